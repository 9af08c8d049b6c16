// Rules for the relative file names a manifest may carry, and path helpers.
// Platform-free: the updater and the publisher judge names with this one code.
#pragma once
#include <cstddef>

// Lead byte of a double-byte character in the text's code page.
using LeadBytePredicate = bool (*)(unsigned char);

// The first reason a name could leave, or miss, the file it means once Windows
// has read it. Element faults concern one folder or file name of the path.
enum class NameFault {
    None,
    Empty,               // no name at all
    Rooted,              // starts with a separator
    Colon,               // a drive or stream
    ControlCharacter,    // a byte under 0x20
    EmptyElement,        // two separators in a row, or one at the end
    DotsOnlyElement,     // "..", "." and the forms Windows trims to them
    TrailingDotOrSpace,  // Windows strips them, so the name means another file
    DeviceName,          // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and COM/LPT with ¹ ² ³), CONIN$, CONOUT$
    ReservedCharacter,   // < > " | ? *: wildcards and pipes, never part of a file name
    ShortNameForm,       // QUORVA~1.EXE: on a volume with 8.3 names it may be another file's short name
};

// Walks the name a character at a time (a double-byte character's trail byte
// may be 0x5C and never separates); '\' and '/' both separate elements.
// Device names count in any ASCII letter case, with any extension and with
// spaces before it ("aux .dat"), in any element. COM and LPT followed by a
// superscript digit are devices too: that digit is judged as a single byte
// (0xB9, 0xB2, 0xB3) where it is not a lead byte, and in its UTF-8 form where
// 0xC2 is not a lead byte (code page 65001).
NameFault CheckRelativeName(const char* name, LeadBytePredicate isLead);

// True when CheckRelativeName finds nothing: the name stays inside the folder
// it is joined to and names the file it says.
bool IsSafeRelativeName(const char* name, LeadBytePredicate isLead);

// True when name (separators '\\' or '/') is folder or lies inside it; folder is
// a path of one or more elements. Elements compare as sameElement says
// (Windows compares names without regard to letter case, and not in ASCII only).
using ElementsEqual = bool (*)(const char* a, size_t aLength, const char* b, size_t bLength);
bool IsWithinFolder(const char* name, const char* folder, LeadBytePredicate isLead, ElementsEqual sameElement);

// A few English words for a fault, to follow "name" or "unsafe name:".
const char* DescribeNameFault(NameFault fault);

// ASCII letters folded to lower case; Windows compares our names that way, and
// hex digests and URL schemes are compared so too.
inline char FoldAsciiCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool EqualIgnoringAsciiCase(const char* a, const char* b);

// Joins into a fixed buffer with printf-style format; false (and an empty
// buffer) when the result would not fit.
bool FormatPath(char* out, size_t size, const char* fmt, ...);
