// The digest cache's rules and file format, platform-free: which cached MD5
// may stand for reading an installed file, which files are read again anyway,
// and the cache file's text. The file on disk and the stat of an installed
// file are Windows code, in DigestCache.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// What identifies an installed file's bytes without reading them.
struct FileStamp {
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;  // FILETIME ticks (100 ns since 1601, UTC)
    std::uint64_t creation = 0;
    std::uint32_t volumeSerial = 0;
    std::uint64_t fileIndex = 0;
    bool operator==(const FileStamp& o) const
    {
        return size == o.size && lastWrite == o.lastWrite && creation == o.creation &&
               volumeSerial == o.volumeSerial && fileIndex == o.fileIndex;
    }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

struct DigestEntry {
    std::string name;            // as the manifest gives it
    FileStamp stamp;             // the file as it was when digested
    std::string md5;             // 32 lowercase hex digits
    std::uint64_t takenAt = 0;   // FILETIME ticks, taken before the first byte was read
};

// A file may have changed again within this long of its last write without its
// time showing it, so its digest is trusted only when taken at least this late.
const std::uint64_t kDigestSettleTicks = 2ull * 10000000;
// Each pass reads again the files with the oldest entries, this many bytes (and
// at least one file), so that damage no stamp shows is still found.
const std::uint64_t kReverifyBytes = 64ull * 1024 * 1024;
// A cache file larger than this is not read (a 16 MiB manifest needs far less).
const std::size_t kMaxDigestCacheBytes = 64u * 1024 * 1024;
// The first line of the file; a cache of another version is not read.
extern const char kDigestCacheHeader[];

// The form of a name that two names naming one file share.
using NameKeyFunction = std::string (*)(const std::string& name);
// ASCII letters folded, '/' read as '\' (the platform-free comparison).
std::string AsciiNameKey(const std::string& name);

class DigestTable {
public:
    explicit DigestTable(NameKeyFunction key = &AsciiNameKey) : m_key(key) {}

    // The cached MD5 for name, when its entry may stand for reading the file
    // whose stamp is now: every field equal, and the digest taken at least
    // kDigestSettleTicks after the file's last write. Null otherwise.
    const DigestEntry* Find(const std::string& name, const FileStamp& now) const;
    // Adds or replaces the entry for entry.name. False, and nothing kept, for an
    // entry the file cannot hold (empty name, a control character, an MD5 that
    // is not 32 hex digits).
    bool Put(DigestEntry entry);
    // For each listed name, whether it is read this pass whatever its entry
    // says: the entries of listed names, oldest first, until their sizes reach
    // budget (at least one). Names without an entry are read anyway; unmarked.
    std::vector<bool> Reverify(const std::vector<std::string>& listed, std::uint64_t budget = kReverifyBytes) const;

    std::size_t Size() const { return m_entries.size(); }
    void Clear() { m_entries.clear(); }
    // The whole file: header, one line per entry, and the MD5 of all before it.
    std::string Serialize() const;
    // Replaces the content with the file's; on anything but a whole cache of
    // this version the table is left empty and why says what was wrong.
    bool Parse(const std::string& bytes, const char** why = nullptr);

private:
    NameKeyFunction m_key;
    std::unordered_map<std::string, DigestEntry> m_entries;  // by key
};
