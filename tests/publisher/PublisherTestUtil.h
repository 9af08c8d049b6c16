// Scratch folders and file helpers for the publisher's tests.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }
    fs::path operator/(const std::string& rel) const { return m_path / fs::u8path(rel); }
private:
    fs::path m_path;
};

void WriteFile(const fs::path& p, const std::string& bytes);
std::string ReadFile(const fs::path& p);
// Deterministic bytes that start with nothing the updater rejects.
std::string Pattern(std::size_t n, unsigned seed);

// Output of a shell command and its exit status.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult RunCommand(const std::string& command);
std::string ShellQuote(const std::string& s);

// The attributes of every <file> element of a manifest, entities decoded.
struct ManifestEntry {
    std::string filename, filesize, fileversion, md5, sha256, fileload;
    std::string chunks, chunkssha256, chunkshead;  // empty when the entry has no chunk index
};
std::vector<ManifestEntry> ParseManifest(const std::string& xml);

// A minimal PE image (PE32+ or PE32) with one .rsrc section holding a version
// resource with that file version; withVersion false leaves the resource out.
std::string MakePeImage(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d, bool pe32plus = true,
                        bool withVersion = true);
