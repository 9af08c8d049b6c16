#include "SiteRules.h"
#include <cstring>
#include "PathRules.h"

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
