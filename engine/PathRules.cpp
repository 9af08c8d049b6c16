#include "PathRules.h"
#include <cstdarg>
#include <cstdio>

bool IsSafeRelativeName(const char* name, LeadBytePredicate isLead)
{
    if (!name || !*name) return false;
    if (name[0] == '\\' || name[0] == '/') return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
    bool onlyDotsAndSpaces = true;
    bool elementEmpty = true;
    while (*p) {
        unsigned char c = *p;
        if (isLead && isLead(c) && p[1]) {
            // A trail byte may look like a backslash; it never separates.
            onlyDotsAndSpaces = false;
            elementEmpty = false;
            p += 2;
            continue;
        }
        if (c < 0x20 || c == ':') return false;
        if (c == '\\' || c == '/') {
            if (elementEmpty || onlyDotsAndSpaces) return false;
            onlyDotsAndSpaces = true;
            elementEmpty = true;
        } else {
            elementEmpty = false;
            if (c != '.' && c != ' ') onlyDotsAndSpaces = false;
        }
        ++p;
    }
    return !elementEmpty && !onlyDotsAndSpaces;
}

bool FormatPath(char* out, size_t size, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(out, size, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size) out[0] = '\0';
        return false;
    }
    return true;
}
