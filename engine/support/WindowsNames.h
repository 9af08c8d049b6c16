// File names as Windows reads and compares them, for the rules that must agree
// with the file system: conversions without best fit, and ordinal comparison
// without regard to letter case (not in ASCII only).
#pragma once
#include <windows.h>
#include <string>

// The text in codePage; exact is false when a character has no exact form
// there (no best-fit substitutes) or the conversion failed. Code page 65001
// takes no best-fit flag, so it is asked for invalid characters instead.
std::string NarrowExact(const wchar_t* text, UINT codePage, bool& exact);
// The system code page's text as UTF-16 (length bytes of it, or to its end).
std::wstring WidenAnsi(const char* text);
std::wstring WidenAnsi(const char* text, size_t length);

// The one folding of names as Windows compares them: every letter in its
// upper-case form as the file system folds it (not in ASCII only: "Σ" and "σ"
// are one name), and '/' read as '\'. Two names are one file exactly when
// their foldings are equal. The publisher's Windows build folds with this too.
std::wstring FoldWindowsName(std::wstring name);
// The letters alone, folded that way (separators as they are).
std::wstring UpperAsWindows(std::wstring text);
// The folding of an ANSI name, as UTF-8 (a key for tables and files).
std::string WindowsNameKeyUtf8(const char* text, size_t length);

// Names compared by their foldings.
int CompareWindowsNames(const std::wstring& a, const std::wstring& b);  // <0, 0, >0
bool SameWindowsName(const char* a, const char* b);
// For IsWithinFolder: two elements, not terminated.
bool SameWindowsElement(const char* a, size_t aLength, const char* b, size_t bLength);

// Lead byte of a double-byte character in the system code page.
bool IsAnsiLeadByte(unsigned char c);

// Where the temporary folder lies, seen from the installation folder.
struct TempFolderPlace {
    std::string inside;               // relative to the installation when it lies inside it, else ""
    bool coversInstallation = false;  // it is the installation folder itself, or above it
};
// Compared by what the folders are, not by how their paths are spelled (letter
// case, 8.3 forms, another drive's view of the same folder, a link).
TempFolderPlace PlaceTempFolder(const char* installation, const char* tempFolder);

// What a path names, whatever its spelling: its volume's serial and its file
// id. False when it cannot be opened.
struct FileIdentity {
    DWORD volume = 0;
    ULONGLONG file = 0;
    bool operator==(const FileIdentity& o) const { return volume == o.volume && file == o.file; }
};
bool IdentityOf(const wchar_t* path, FileIdentity& id);
bool IdentityOf(const char* path, FileIdentity& id);

// Why the updater may not write a relative name in the installation: the name
// rules, and our own files in the temporary folder; null when it may.
const char* UnsafeInstallName(const char* name, const TempFolderPlace& temp);
