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
// Each pass reads again some files whatever their entries say, so that damage
// no stamp shows is still found: the listed files that follow the last one
// read again (in key order, round from the last to the first), until either
// budget is spent: this many bytes or this many files, whichever comes first,
// and at least one file. Files of at most kReverifyBytes / kReverifyFiles
// bytes (256 KiB) spend the file budget, bigger ones the byte budget.
const std::uint64_t kReverifyBytes = 64ull * 1024 * 1024;
const std::size_t kReverifyFiles = 256;
struct ReverifyBudget {
    std::uint64_t bytes = kReverifyBytes;
    std::size_t files = kReverifyFiles;
};
// A cache file larger than this is not read (100 000 entries take about 15 MB).
const std::size_t kMaxDigestCacheBytes = 64u * 1024 * 1024;
// The first line of the file; a cache of another version is not read.
extern const char kDigestCacheHeader[];

// Where re-verification goes on at the next pass, kept beside the cache (a
// file of its own, so that a pass that changed no entry does not write the
// cache): the key of the last file read again. Anything else reads as "from
// the first key".
std::string SerializeReverifyCursor(const std::string& key);
std::string ParseReverifyCursor(const std::string& bytes);

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
    // The same, with the name's key already made (Key(entry.name)).
    const DigestEntry* FindByKey(const std::string& key, const FileStamp& now) const;
    bool PutByKey(std::string key, DigestEntry entry);
    // For each listed name, whether it is read this pass whatever its entry
    // says: the listed names with an entry, in key order from the first key
    // after `after` (from the first key when none is), until the budget is
    // spent (see kReverifyBytes). last receives the key of the last one marked,
    // the next pass's `after` (empty when none is). Names without an entry are
    // read anyway: unmarked.
    std::vector<bool> Reverify(const std::vector<std::string>& listed, const ReverifyBudget& budget,
                               const std::string& after, std::string& last) const;
    // The key a name is kept under.
    std::string Key(const std::string& name) const { return m_key(name); }

    std::size_t Size() const { return m_entries.size(); }
    void Clear() { m_entries.clear(); }
    // The whole file: header, one line per entry, and the MD5 of all before it.
    std::string Serialize() const;
    // Replaces the content with the file's; on anything but a whole cache of
    // this version the table is left empty and why says what was wrong.
    bool Parse(const std::string& bytes, const char** why = nullptr);

    // Moves the entry kept under key, as it is, into other (no copy).
    void MoveEntry(const std::string& key, DigestTable& other);

private:
    NameKeyFunction m_key;
    std::unordered_map<std::string, DigestEntry> m_entries;  // by key
};
