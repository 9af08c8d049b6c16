// The last manifest a pass read whole, kept in the temporary folder with the
// validators the server sent for it (ETag, Last-Modified), so that a start with
// nothing new asks "changed since?" and gets a small 304 instead of the whole
// list; and with the list as read from it, so that msxml does not read the same
// bytes again. Kept as <temporary folder>\manifest.kept.
#pragma once
#include <string>
#include "manifest/PassSteps.h"

struct KeptManifest {
    std::string address;       // the manifest's URL without its query
    std::string etag;          // as the server sent them; either may be empty
    std::string lastModified;
    std::string body;          // the manifest as read (a signature comment included)
    ManifestContent content;   // what the pass read from body

    bool HasValidator() const { return !etag.empty() || !lastModified.empty(); }
};

// Why a kept copy is not used.
enum class KeptFault {
    None,
    Missing,    // there is none
    Foreign,    // not a kept manifest, or of another version
    Damaged,    // cut short, or its bytes do not match their checksum
};

// The file's bytes (empty when a header value holds a line end), and back: all
// or nothing, checked against their MD5.
std::string SerializeKept(const KeptManifest& kept);
KeptFault ParseKept(std::string bytes, KeptManifest& kept);

// The kept copy in tempDir; on any fault kept is left empty. Never throws.
KeptFault LoadKept(const std::string& tempDir, KeptManifest& kept);
// Replaces the kept copy atomically with SerializeKept's bytes; false when it
// could not be written.
bool SaveKept(const std::string& tempDir, const std::string& bytes);
// Deletes the kept copy (a damaged one, or one no validator can ask about).
void DropKept(const std::string& tempDir);
// The address a kept copy is kept for: url without its query ("?=<random>").
std::string KeptAddress(const std::string& url);
