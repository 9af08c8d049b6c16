// updater-publish --check: reads a live update site the way the updater does
// and says what a player would get that differs from what was published.
// Linux build only (libcurl, libxml2).
#pragma once
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

struct CheckOptions {
    std::string baseUrl;                  // the settings file's "site", with or without scheme
    std::filesystem::path publicKey;      // P-256 public key (PEM); empty: signatures not checked
    std::filesystem::path caFile;         // authorities to trust instead of the system's
    std::filesystem::path release;        // the release the manifest must list exactly; empty: none
    std::optional<std::uint64_t> minSerial;  // the manifest's serial must be at least this
    bool progressBar = false;             // out is a terminal
};

// Exit codes: the site serves what it lists (and the release, when given);
// something is wrong (one line per problem on out); the options cannot be used.
enum CheckStatus { kSiteGood = 0, kSiteProblems = 1, kCheckUsage = 2 };

int CheckSite(const CheckOptions& options, std::ostream& out, std::ostream& err);
