#include "support/WindowsNames.h"
#include <algorithm>
#include <cstring>
#include "rules/PathRules.h"
#include "afxhandle.h"

std::string NarrowExact(const wchar_t* text, UINT codePage, bool& exact)
{
    if (!text) text = L"";
    // UTF-8 refuses the best-fit flag and the default-character query.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    const int n = ::WideCharToMultiByte(codePage, flags, text, -1, nullptr, 0, nullptr, used);
    exact = false;
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    if (::WideCharToMultiByte(codePage, flags, text, -1, &out[0], n, nullptr, used) != n) return std::string();
    out.resize(static_cast<size_t>(n - 1));
    exact = !usedDefault;
    return out;
}

std::wstring WidenAnsi(const char* text) { return text ? WidenAnsi(text, std::strlen(text)) : std::wstring(); }

namespace {
// Most names are ASCII: every ANSI code page reads it as itself, and Windows
// folds it as a-z to A-Z. Those are done here, without a call per name.
bool IsAscii(const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    return true;
}

template <class Char>
Char FoldAscii(Char c)
{
    if (c >= 'a' && c <= 'z') return static_cast<Char>(c - 'a' + 'A');
    return c == '/' ? static_cast<Char>('\\') : c;
}
} // namespace

std::wstring WidenAnsi(const char* text, size_t length)
{
    if (IsAscii(text, length)) return std::wstring(text, text + length);
    const int n = length ? ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0) : 0;
    std::wstring w(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &w[0], n);
    return w;
}

std::wstring UpperAsWindows(std::wstring text)
{
    const int n = static_cast<int>(text.size());
    // LCMAP_UPPERCASE without linguistic casing maps one character to one.
    std::wstring upper(text.size(), L'\0');
    if (n > 0 && ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(), n, &upper[0], n) == n) return upper;
    return text;
}

std::wstring FoldWindowsName(std::wstring name)
{
    if (std::all_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x80; })) {
        std::transform(name.begin(), name.end(), name.begin(), FoldAscii<wchar_t>);
        return name;
    }
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return UpperAsWindows(std::move(name));
}

std::string WindowsNameKeyUtf8(const char* text, size_t length)
{
    if (IsAscii(text, length)) {
        std::string key(text, length);
        std::transform(key.begin(), key.end(), key.begin(), FoldAscii<char>);
        return key;
    }
    const std::wstring folded = FoldWindowsName(WidenAnsi(text, length));
    const int n = static_cast<int>(folded.size());
    const int k = n ? ::WideCharToMultiByte(CP_UTF8, 0, folded.data(), n, nullptr, 0, nullptr, nullptr) : 0;
    if (k <= 0) return std::string();
    std::string key(static_cast<size_t>(k), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, folded.data(), n, &key[0], k, nullptr, nullptr);
    return key;
}

int CompareWindowsNames(const std::wstring& a, const std::wstring& b)
{
    return FoldWindowsName(a).compare(FoldWindowsName(b));
}

bool SameWindowsName(const char* a, const char* b)
{
    if (!a || !b) return false;
    return CompareWindowsNames(WidenAnsi(a), WidenAnsi(b)) == 0;
}

bool SameWindowsElement(const char* a, size_t aLength, const char* b, size_t bLength)
{
    return CompareWindowsNames(WidenAnsi(a, aLength), WidenAnsi(b, bLength)) == 0;
}

bool IsAnsiLeadByte(unsigned char c) { return ::IsDBCSLeadByte(c) != FALSE; }

namespace {
// The full path with its 8.3 elements spelled out and no final separator; a
// part that does not exist yet stays as written. Empty when it does not fit.
std::string LongFullPath(const char* path)
{
    char full[MAX_PATH] = {}, longer[MAX_PATH] = {};
    const DWORD n = ::GetFullPathNameA(path, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return std::string();
    const DWORD m = ::GetLongPathNameA(full, longer, MAX_PATH);
    std::string out = (m > 0 && m < MAX_PATH) ? longer : full;
    // A drive's root keeps its separator: "C:" alone is the current folder there.
    while (out.size() > 3 && (out.back() == '\\' || out.back() == '/')) out.pop_back();
    return out;
}

// The folder above (never cut at a trail byte); false at the root.
bool Parent(std::string& path)
{
    size_t cut = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        if (IsAnsiLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) ++i;
        else if (path[i] == '\\' || path[i] == '/') cut = i;
    }
    if (cut == std::string::npos || cut + 1 == path.size() || cut < 2) return false;
    path.resize(cut == 2 && path[1] == ':' ? 3 : cut);  // a drive keeps its root
    return true;
}

// One folder: by identity when both can be opened, by name otherwise.
class CFolderMatch {
public:
    explicit CFolderMatch(const std::string& folder) : m_folder(folder), m_known(IdentityOf(folder.c_str(), m_id)) {}
    bool Is(const std::string& other) const
    {
        FileIdentity id;
        if (m_known && IdentityOf(other.c_str(), id)) return id == m_id;
        return SameWindowsName(other.c_str(), m_folder.c_str());
    }

private:
    std::string m_folder;
    FileIdentity m_id;
    bool m_known;
};
} // namespace

bool IdentityOf(const wchar_t* path, FileIdentity& id)
{
    // Backup semantics open a folder too; no access to the bytes is asked for.
    CScopedHandle h(::CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !::GetFileInformationByHandle(h.get(), &info)) return false;
    id.volume = info.dwVolumeSerialNumber;
    id.file = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool IdentityOf(const char* path, FileIdentity& id) { return IdentityOf(WidenAnsi(path).c_str(), id); }

TempFolderPlace PlaceTempFolder(const char* installation, const char* tempFolder)
{
    TempFolderPlace place;
    const std::string inst = LongFullPath(installation), temp = LongFullPath(tempFolder);
    if (inst.empty() || temp.empty()) return place;
    // The temporary folder, or a folder above it, is the installation.
    const CFolderMatch isInstallation(inst);
    for (std::string above = temp;;) {
        if (isInstallation.Is(above)) {
            if (above.size() == temp.size()) place.coversInstallation = true;
            else place.inside = temp.substr(above.back() == '\\' ? above.size() : above.size() + 1);
            return place;
        }
        if (!Parent(above)) break;
    }
    // A folder above the installation is the temporary folder.
    const CFolderMatch isTemp(temp);
    for (std::string above = inst; Parent(above);) {
        if (isTemp.Is(above)) {
            place.coversInstallation = true;
            break;
        }
    }
    return place;
}

const char* UnsafeInstallName(const char* name, const TempFolderPlace& temp)
{
    const NameFault fault = CheckRelativeName(name, &IsAnsiLeadByte);
    if (fault != NameFault::None) return DescribeNameFault(fault);
    // Our journal, kept copies and downloads live there; a file named like the
    // folder itself could never be installed either.
    if (temp.coversInstallation ||
        (!temp.inside.empty() && IsWithinFolder(name, temp.inside.c_str(), &IsAnsiLeadByte, &SameWindowsElement)))
        return "is or lies inside the updater's temporary folder";
    return nullptr;
}
