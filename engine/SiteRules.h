// What the updater takes from an update site, in one place for the updater
// and the publisher: field limits, the error-page test, the manifest address.
// Platform-free.
#pragma once
#include <cstddef>
#include <string>

// Longest name and URL a download task holds (each field has one byte more
// for the terminator).
constexpr std::size_t kMaxNameBytes = 31;
constexpr std::size_t kMaxUrlBytes = 255;
// A download whose first block is shorter than this is an error page.
constexpr std::size_t kMinFirstBlockBytes = 22;

// True when a download's first block is a web server's error page, not the
// file: under kMinFirstBlockBytes, or starting byte-exact with "<html>" or
// "<!DOCTYPE HTML PUBLIC".
bool LooksLikeErrorPage(const unsigned char* block, std::size_t n);

// The "site" value with "http://" in front unless it already starts with
// "http://" or "https://" in any letter case.
std::string SiteUrlWithScheme(const std::string& site);

// The folder URL the updater fetches update.xml from: the site with its
// scheme, then "/update/". A final '/' of the site stays, so "h/" gives
// "http://h//update/".
std::string ManifestBaseUrlFor(const std::string& site);
