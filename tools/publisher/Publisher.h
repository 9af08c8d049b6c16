// Turns a release folder into an update site: <site>/update/update.xml, the
// files under <site>/files/, each at the URL its manifest entry names, and a
// levelled chunk index for each big file under <site>/chunks/ (<path>.idx),
// with which the updater fetches only the parts of a file that changed.
#pragma once
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>
#include "rules/SiteRules.h"

struct PublishOptions {
    std::filesystem::path release;
    std::string baseUrl;  // the settings file's "site", with or without scheme
    std::filesystem::path site;
    bool quiet = false;   // no per-file progress
    bool progressBar = false;  // out is a terminal: big files show a bar, not percentage lines
    std::filesystem::path signKey;        // P-256 private key (PEM); empty: unsigned
    std::optional<std::uint64_t> serial;  // the manifest's serial; unset: the time now (or one more than the site's)
    bool forceSerial = false;             // allow a serial not greater than the site's current one
};

// One file of the release as the manifest lists it.
struct ReleaseFile {
    std::filesystem::path source;
    std::string relative;      // UTF-8, '/' separated
    std::string manifestName;  // UTF-8, '\' separated
    std::string url;
    std::uint64_t size = 0;
    std::string md5;
    std::string sha256;
    std::string version;
    std::vector<unsigned char> index;  // the levelled chunk index; empty: none
    std::string indexUrl;
    std::string indexSha256;           // of the index's head
    std::uint64_t indexHeadBytes = 0;
    std::string noIndex;               // why a file big enough has none
};

// Something the updater would skip or could not take, with the file it concerns.
struct Refusal {
    std::string file;
    std::string reason;
};

struct ScanResult {
    std::vector<ReleaseFile> files;  // in manifest order (byte order of the names)
    std::vector<Refusal> refusals;
};

// The updater's sizes are 32-bit. Its other limits are in SiteRules.h.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;
// Files from this size on get a chunk index; below it a patch saves too little.
constexpr std::uint64_t kIndexFromBytes = 1 << 20;

// Exit codes of the tool. A signing key that cannot be used is a usage error.
enum PublishStatus { kPublished = 0, kRefused = 1, kUsage = 2, kSiteWriteFailed = 3 };

// Reads and checks the whole release; writes nothing. An empty site is not
// checked for overlap.
ScanResult ScanRelease(const PublishOptions& options, std::ostream& progress);

// The manifest text for the files, UTF-8, unsigned.
std::string ManifestXml(const std::vector<ReleaseFile>& files, std::uint64_t serial);

// The serial of the manifest SITE_DIR serves now; none when there is no
// manifest or it carries no serial.
std::optional<std::uint64_t> SiteSerial(const std::filesystem::path& site);

// Loads the signing key, scans, then (only when nothing was refused) updates
// the site in place: files and indexes first, the manifest last, stale files
// and indexes after it. Messages go to out and err; returns a PublishStatus.
int Publish(const PublishOptions& options, std::ostream& out, std::ostream& err);
