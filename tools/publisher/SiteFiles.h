// The publisher's file rules, one owner each: reading a whole small file
// (keys, indexes already on the site) and replacing a set of site files so
// that the updater never sees some new and some old.
#pragma once
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The file's bytes; false with the reason ("cannot be read: ...") when it
// cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, std::string& why);

// Writes the bytes as the file's whole content; false when they could not
// all be written.
bool WriteWholeFile(const std::filesystem::path& path, const void* data, std::size_t n);

// The bytes as one gzip member (zlib's deflate at its best compression);
// empty when zlib fails.
std::string GzipOf(const std::string& bytes);

// New contents are written beside their final names (name + suffix) and
// renamed over them only once every one is written, in the order staged: a
// failure before Commit leaves the old files as they were. Staged copies
// left when the object goes are removed.
class StagedFiles {
public:
    explicit StagedFiles(std::string suffix) : m_suffix(std::move(suffix)) {}
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // Where to write dest's new content; shownAs names it in Commit's message.
    std::filesystem::path Stage(const std::filesystem::path& dest, const std::string& shownAs);
    // Moves every staged copy into place; false with "cannot move <shownAs>
    // into place: ..." when one cannot be (those before it are in place).
    bool Commit(std::string& why);

private:
    struct Staged {
        std::filesystem::path temp, dest;
        std::string shownAs;
    };
    std::string m_suffix;
    std::vector<Staged> m_staged;
    bool m_committed = false;
};
