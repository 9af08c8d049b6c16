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
    DeviceName,          // CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$
};

// Walks the name a character at a time (a double-byte character's trail byte
// may be 0x5C and never separates); '\' and '/' both separate elements.
// Device names count in any ASCII letter case, with any extension and with
// spaces before it ("aux .dat"), in any element.
NameFault CheckRelativeName(const char* name, LeadBytePredicate isLead);

// True when CheckRelativeName finds nothing: the name stays inside the folder
// it is joined to and names the file it says.
bool IsSafeRelativeName(const char* name, LeadBytePredicate isLead);

// A few English words for a fault, to follow "name" or "unsafe name:".
const char* DescribeNameFault(NameFault fault);

// ASCII letters folded to lower case; Windows compares our names that way, and
// hex digests and URL schemes are compared so too.
inline char FoldAsciiCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool EqualIgnoringAsciiCase(const char* a, const char* b);

// Joins into a fixed buffer with printf-style format; false (and an empty
// buffer) when the result would not fit.
bool FormatPath(char* out, size_t size, const char* fmt, ...);
