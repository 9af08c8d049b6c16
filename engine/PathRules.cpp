#include "PathRules.h"
#include <cstdarg>
#include <cstdio>

namespace {

// Windows opens a device for these whatever follows the first dot, and
// ignores spaces before it. stem runs up to that dot (or the element's end).
bool IsDeviceStem(const unsigned char* stem, const unsigned char* end)
{
    while (end > stem && end[-1] == ' ') --end;
    const size_t n = static_cast<size_t>(end - stem);
    if (n < 3 || n > 7) return false;
    char s[8] = {};
    for (size_t i = 0; i < n; ++i) s[i] = FoldAsciiCase(static_cast<char>(stem[i]));
    static const char* const kNames[] = { "con", "prn", "aux", "nul", "conin$", "conout$" };
    for (const char* d : kNames) {
        size_t i = 0;
        while (d[i] && d[i] == s[i]) ++i;
        if (!d[i] && i == n) return true;
    }
    return n == 4 && ((s[0] == 'c' && s[1] == 'o' && s[2] == 'm') || (s[0] == 'l' && s[1] == 'p' && s[2] == 't')) &&
           s[3] >= '0' && s[3] <= '9';
}

} // namespace

NameFault CheckRelativeName(const char* name, LeadBytePredicate isLead)
{
    if (!name || !*name) return NameFault::Empty;
    if (name[0] == '\\' || name[0] == '/') return NameFault::Rooted;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
    const unsigned char* element = p;
    const unsigned char* firstDot = nullptr;
    bool onlyDotsAndSpaces = true;
    for (;;) {
        const unsigned char c = *p;
        if (c == '\0' || c == '\\' || c == '/') {
            if (p == element) return NameFault::EmptyElement;
            if (onlyDotsAndSpaces) return NameFault::DotsOnlyElement;
            if (IsDeviceStem(element, firstDot ? firstDot : p)) return NameFault::DeviceName;
            if (p[-1] == '.' || p[-1] == ' ') return NameFault::TrailingDotOrSpace;
            if (c == '\0') return NameFault::None;
            element = ++p;
            firstDot = nullptr;
            onlyDotsAndSpaces = true;
            continue;
        }
        // Trail bytes are 0x40 or more in every double-byte code page, 0x5C among
        // them, and never separate; a lead byte before anything lower stands alone.
        if (isLead && isLead(c) && p[1] >= 0x40) {
            onlyDotsAndSpaces = false;
            p += 2;
            continue;
        }
        if (c < 0x20) return NameFault::ControlCharacter;
        if (c == ':') return NameFault::Colon;
        if (c == '.' && !firstDot) firstDot = p;
        if (c != '.' && c != ' ') onlyDotsAndSpaces = false;
        ++p;
    }
}

bool IsSafeRelativeName(const char* name, LeadBytePredicate isLead)
{
    return CheckRelativeName(name, isLead) == NameFault::None;
}

const char* DescribeNameFault(NameFault fault)
{
    switch (fault) {
    case NameFault::None: return "is safe";
    case NameFault::Empty: return "is empty";
    case NameFault::Rooted: return "starts with a folder separator";
    case NameFault::Colon: return "contains ':', which Windows reads as a drive or stream";
    case NameFault::ControlCharacter: return "contains a control character";
    case NameFault::EmptyElement: return "has an empty folder or file name";
    case NameFault::DotsOnlyElement: return "has a folder or file name made only of dots and spaces";
    case NameFault::TrailingDotOrSpace: return "has a folder or file name ending in a dot or a space, which Windows strips";
    case NameFault::DeviceName: return "has a Windows device name (CON, NUL, COM1, ...) as a folder or file name";
    }
    return "is unsafe";
}

bool EqualIgnoringAsciiCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        if (FoldAsciiCase(*a) != FoldAsciiCase(*b)) return false;
        if (!*a) return true;
    }
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
