#include "rules/PathRules.h"
#include <cstdarg>
#include <cstdio>

namespace {

bool IsSuperscriptDigit(unsigned char c) { return c == 0xB9 || c == 0xB2 || c == 0xB3; }

// Windows opens a device for these whatever follows the first dot, and
// ignores spaces before it. stem runs up to that dot (or the element's end).
bool IsDeviceStem(const unsigned char* stem, const unsigned char* end, LeadBytePredicate isLead)
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
    const bool comOrLpt = (s[0] == 'c' && s[1] == 'o' && s[2] == 'm') || (s[0] == 'l' && s[1] == 'p' && s[2] == 't');
    if (!comOrLpt) return false;
    const unsigned char d = stem[3];
    if (n == 4 && d >= '0' && d <= '9') return true;
    // COM¹ and friends, in a single-byte code page or in UTF-8.
    if (n == 4 && IsSuperscriptDigit(d) && !(isLead && isLead(d))) return true;
    return n == 5 && d == 0xC2 && IsSuperscriptDigit(stem[4]) && !(isLead && isLead(d));
}

// 1 to 6 characters without a dot or a tilde, '~', digits, then an optional
// extension of up to 3 characters: the form Windows gives generated short
// names, which may name another file than the long name says.
bool IsShortNameForm(const unsigned char* element, const unsigned char* end)
{
    const unsigned char* p = element;
    while (p < end && *p != '~' && *p != '.') ++p;
    const size_t base = static_cast<size_t>(p - element);
    if (base < 1 || base > 6 || p == end || *p != '~') return false;
    const unsigned char* digits = ++p;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    if (p == digits) return false;
    if (p == end) return true;
    if (*p != '.') return false;
    const size_t ext = static_cast<size_t>(end - p - 1);
    for (const unsigned char* q = p + 1; q < end; ++q)
        if (*q == '.') return false;
    return ext <= 3;
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
            if (IsDeviceStem(element, firstDot ? firstDot : p, isLead)) return NameFault::DeviceName;
            if (p[-1] == '.' || p[-1] == ' ') return NameFault::TrailingDotOrSpace;
            if (IsShortNameForm(element, p)) return NameFault::ShortNameForm;
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
        if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') return NameFault::ReservedCharacter;
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
    case NameFault::ReservedCharacter: return "contains one of < > \" | ? *, which Windows does not allow in names";
    case NameFault::ShortNameForm:
        return "has a folder or file name in the form of a generated short name (QUORVA~1.EXE), which may be another file";
    }
    return "is unsafe";
}

namespace {
// The next element of a relative path: [begin, end), and where the one after starts.
bool NextElement(const char*& p, const char*& begin, const char*& end, LeadBytePredicate isLead)
{
    while (*p == '\\' || *p == '/') ++p;
    if (!*p) return false;
    begin = p;
    while (*p && *p != '\\' && *p != '/') {
        if (isLead && isLead(static_cast<unsigned char>(*p)) && static_cast<unsigned char>(p[1]) >= 0x40) p += 2;
        else ++p;
    }
    end = p;
    return true;
}
} // namespace

bool IsWithinFolder(const char* name, const char* folder, LeadBytePredicate isLead, ElementsEqual sameElement)
{
    if (!name || !folder) return false;
    const char *n = name, *f = folder;
    const char *nb, *ne, *fb, *fe;
    bool any = false;
    while (NextElement(f, fb, fe, isLead)) {
        if (!NextElement(n, nb, ne, isLead)) return false;  // above it
        if (!sameElement(nb, static_cast<size_t>(ne - nb), fb, static_cast<size_t>(fe - fb))) return false;
        any = true;
    }
    return any;
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
