// Rules for the relative file names a manifest may carry, and path helpers.
#pragma once
#include <cstddef>

// Lead byte of a double-byte character in the text's code page.
using LeadBytePredicate = bool (*)(unsigned char);

// True when name is a non-empty relative path that stays inside the folder it
// is joined to: no leading separator, no drive or stream colon, no element made
// only of dots and spaces ("..", "." and the forms Windows trims to them), no
// empty element and no control character.
bool IsSafeRelativeName(const char* name, LeadBytePredicate isLead);

// Joins into a fixed buffer with printf-style format; false (and an empty
// buffer) when the result would not fit.
bool FormatPath(char* out, size_t size, const char* fmt, ...);
