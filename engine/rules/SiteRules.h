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
// The first block the updater judges as a whole.
constexpr std::size_t kFirstBlockBytes = 8192;
// A manifest larger than this is not read at all (as decoded, when it is sent
// compressed). 100 000 files, the largest installation the updater is made
// for, take about 30 MiB with digests, URLs and chunk indexes.
constexpr std::size_t kManifestMaxBytes = 64u * 1024 * 1024;
// Redirects followed for one request (the manifest or a file); one more fails it.
constexpr int kSiteMaxRedirects = 5;  // as CInternetSession::OpenURL

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

// True when the manifest's raw bytes declare a DTD ("<!DOCTYPE" in any letter
// case, in single-byte text or either UTF-16 order): such a manifest is not
// read, since a DTD can expand without bound.
bool DeclaresDtd(const std::string& body);
