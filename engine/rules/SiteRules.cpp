#include "rules/SiteRules.h"
#include <cstring>
#include "rules/PathRules.h"

bool LooksLikeErrorPage(const unsigned char* block, std::size_t n)
{
    static const char kHtml[] = "<html>";
    static const char kDoctype[] = "<!DOCTYPE HTML PUBLIC";
    static_assert(sizeof(kDoctype) - 1 <= kMinFirstBlockBytes, "a block long enough holds either signature");
    if (n < kMinFirstBlockBytes) return true;
    return std::memcmp(block, kHtml, sizeof(kHtml) - 1) == 0 || std::memcmp(block, kDoctype, sizeof(kDoctype) - 1) == 0;
}

namespace {
bool StartsWithNoCase(const std::string& s, const char* prefix)
{
    for (std::size_t i = 0; prefix[i]; ++i) {
        if (i >= s.size()) return false;
        if (FoldAsciiCase(s[i]) != prefix[i]) return false;
    }
    return true;
}
} // namespace

std::string SiteUrlWithScheme(const std::string& site)
{
    if (StartsWithNoCase(site, "http://") || StartsWithNoCase(site, "https://")) return site;
    return "http://" + site;
}

std::string ManifestBaseUrlFor(const std::string& site)
{
    return SiteUrlWithScheme(site) + "/update/";
}

bool DeclaresDtd(const std::string& body)
{
    static const char kDoctype[] = "<!doctype";
    const std::size_t n = sizeof(kDoctype) - 1;
    for (std::size_t step = 1; step <= 2; ++step) {
        for (std::size_t i = 0; i + (n - 1) * step < body.size(); ++i) {
            std::size_t k = 0;
            for (; k < n; ++k) {
                if (FoldAsciiCase(body[i + k * step]) != kDoctype[k]) break;
                if (step == 2 && k + 1 < n && body[i + k * step + 1] != '\0') break;
            }
            if (k == n) return true;
        }
    }
    return false;
}
