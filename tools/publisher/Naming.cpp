#include "Naming.h"
#include "rules/PathRules.h"
#include "rules/SiteRules.h"
#include <cctype>
#include <cstring>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#include "support/WindowsNames.h"
#else
#include <cerrno>
#include <clocale>
#include <cwctype>
#include <iconv.h>
#include <locale.h>
#include <memory>
#endif

bool IsLeadByte936(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

#ifdef _WIN32
std::optional<std::string> ToCodePage936(const std::string& utf8)
{
    if (utf8.empty()) return std::string();
    const int wn = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
    if (wn <= 0) return std::nullopt;
    std::wstring w(static_cast<size_t>(wn), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), &w[0], wn);
    BOOL usedDefault = FALSE;
    const int n = ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, w.data(), wn, nullptr, 0, nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, w.data(), wn, &out[0], n, nullptr, &usedDefault);
    if (usedDefault) return std::nullopt;
    return out;
}
#else
std::optional<std::string> ToCodePage936(const std::string& utf8)
{
    iconv_t cd = ::iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::vector<char> in(utf8.begin(), utf8.end());
    std::string out(utf8.size() * 2 + 8, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = &out[0];
    size_t dstLeft = out.size();
    // Any invalid or unconvertible sequence stops the conversion (no //TRANSLIT).
    const size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const bool ok = r != static_cast<size_t>(-1) && srcLeft == 0 && r == 0;
    ::iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - dstLeft);
    return out;
}
#endif

std::string NormalizeBaseUrl(const std::string& site)
{
    std::string url = SiteUrlWithScheme(site);
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::string PercentEncodePath(const std::string& path)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) && c < 0x80) out += char(c);
        else if (c == '-' || c == '.' || c == '_' || c == '~' || c == '/') out += char(c);
        else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string XmlAttribute(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        // Attribute normalisation would turn these into spaces.
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string OneFileKey(const std::string& utf8Name)
{
    std::string key = FoldCaseAsWindows(utf8Name);
    for (char& c : key)
        if (c == '\\') c = '/';
    if (key.find('/') == std::string::npos && key.size() > 4 && key.compare(key.size() - 4, 4, ".EXE") == 0)
        key.replace(key.size() - 4, 4, ".EX_");
    return key;
}

std::string FolderCaseClash(const std::string& utf8Name, std::map<std::string, std::string>& folded)
{
    for (std::size_t cut = utf8Name.find('/'); cut != std::string::npos; cut = utf8Name.find('/', cut + 1)) {
        const std::string folder = utf8Name.substr(0, cut);
        const auto [it, fresh] = folded.emplace(FoldCaseAsWindows(folder) + "/", folder);
        if (!fresh && it->second != folder)
            return "folder \"" + folder + "\" is the folder \"" + it->second + "\" for Windows (letter case is ignored)";
    }
    return std::string();
}

#ifdef _WIN32
std::string FoldCaseAsWindows(const std::string& utf8)
{
    const int wn = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
    if (wn <= 0) return utf8;
    std::wstring w(static_cast<size_t>(wn), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), &w[0], wn);
    // The updater's own folding, so that the two never disagree on Windows.
    w = UpperAsWindows(std::move(w));
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), wn, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w.data(), wn, &out[0], n, nullptr, nullptr);
    return out;
}
#else
namespace {
struct LocaleFree {
    void operator()(locale_t l) const { ::freelocale(l); }
};
using LocalePtr = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleFree>;

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Lower-case variants that Windows' table leaves as they are, although towupper
// maps them (final sigma, dotless i, micro sign, title-case digraphs, Greek
// symbol forms, long s).
bool WindowsKeepsCase(char32_t c)
{
    static const char32_t kept[] = { 0x00B5, 0x0131, 0x017F, 0x01C5, 0x01C8, 0x01CB, 0x01F2, 0x0345, 0x03C2,
                                     0x03D0, 0x03D1, 0x03D5, 0x03D6, 0x03F0, 0x03F1, 0x03F5, 0x1E9B, 0x1FBE };
    for (char32_t k : kept)
        if (c == k) return true;
    return false;
}
} // namespace

std::string FoldCaseAsWindows(const std::string& utf8)
{
    // Windows' table maps each letter to one upper-case letter, as towupper
    // does, but for a few variants.
    static const LocalePtr utf8Locale(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)));
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > utf8.size()) return utf8;
        char32_t c = n == 1 ? b : (b & (0x7F >> n));
        for (size_t k = 1; k < n; ++k) {
            const unsigned char t = static_cast<unsigned char>(utf8[i + k]);
            if ((t & 0xC0) != 0x80) return utf8;
            c = (c << 6) | (t & 0x3F);
        }
        i += n;
        if (c < 0x80) c = static_cast<char32_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        else if (utf8Locale && !WindowsKeepsCase(c)) c = static_cast<char32_t>(::towupper_l(static_cast<wint_t>(c), utf8Locale.get()));
        AppendUtf8(out, c);
    }
    return out;
}
#endif
