// The digest cache: the MD5 of each installed file the manifest pass digested,
// keyed by what identifies its bytes without reading them (size, times, volume
// and file index), so that a start with nothing to update reads the file list,
// not every installed byte. Kept as <temporary folder>\digests.cache.
//
// DigestTable (the rules and the file format) is platform-free; CDigestCache
// (the file on disk, the stat of an installed file, a pass) is Windows only.
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

#ifdef _WIN32
#include <windows.h>
#include "afxstr.h"

// The name key as Windows compares file names (file-system upper case).
std::string WindowsNameKey(const std::string& name);
// The current time in FILETIME ticks.
std::uint64_t NowTicks();
// Stamps installed files. Opening a file costs three round trips to the
// wineserver (0.14 to 0.2 ms each time under Wine, as measured, against 0.01 ms
// for its attributes by name), so size and times come from the file by name
// and its index and volume from one listing of its folder; a file its folder's
// entry does not describe (a link, or listed before it was replaced) is
// stamped with GetFileInformationByHandle on a handle opened for attributes
// only (sharing read, write and delete).
class CFileStamper {
public:
    CFileStamper() = default;
    CFileStamper(const CFileStamper&) = delete;
    CFileStamper& operator=(const CFileStamper&) = delete;
    // False when path is not a regular file whose attributes we can read.
    // known: its attributes when the caller has read them already.
    bool Stamp(const char* path, FileStamp& stamp, const WIN32_FILE_ATTRIBUTE_DATA* known = nullptr);

private:
    struct Listed {
        std::uint64_t id, size, lastWrite, creation;
        unsigned long attributes;
    };
    struct Folder {
        bool listed = false;
        std::uint32_t serial = 0;
        std::unordered_map<std::wstring, Listed> files;  // by upper-case name
    };
    Folder& FolderOf(const std::string& path);  // listed on first use
    std::unordered_map<std::string, Folder> m_folders;
    std::size_t m_entries = 0;  // listed so far, in all folders
};
// One file's stamp.
bool StampFile(const char* path, FileStamp& stamp);

// The MD5 text of an installed file, read sharing reads, writes and deletion
// (the running platform may hold its own files open for writing); a regular
// file on disk only. Throws CFileException when it cannot be read.
CString DigestInstalledFile(const CString& path);

// One manifest pass's use of the cache, on the pass's thread:
//   CDigestCache cache(tempDir, listedNames);   // loads the cache, picks the files to re-verify
//   md5 = cache.Digest(name, path);             // for each installed file, instead of HashFilePath
//   cache.Commit();                             // once the whole list was read: writes it, logs
// Reading and writing the cache never throws; Digest throws what reading the file throws.
class CDigestCache {
public:
    CDigestCache(const std::string& tempDir, const std::vector<std::string>& listedNames,
                 std::uint64_t reverifyBytes = kReverifyBytes);
    CDigestCache(const CDigestCache&) = delete;
    CDigestCache& operator=(const CDigestCache&) = delete;

    // The MD5 text of the installed file at path, named name in the manifest:
    // from the cache when its entry may be used and it is not due to be
    // re-verified, otherwise read (DigestInstalledFile, which may throw
    // CFileException). Either way the new cache gets the entry.
    // known: the file's attributes when the caller has read them already.
    CString Digest(const std::string& name, const CString& path, const WIN32_FILE_ATTRIBUTE_DATA* known = nullptr);
    // Replaces the cache file with this pass's entries (those of listed names
    // digested or answered) and logs the pass. False when it could not be written.
    bool Commit();

    // Files whose MD5 came from the cache; files read, and their bytes.
    std::size_t Hits() const { return m_hits; }
    std::size_t Read() const { return m_read; }
    std::uint64_t ReadBytes() const { return m_readBytes; }

    // After an installation: entries for installed files, from the digest each
    // was verified with and the stamp of the installed file after the move.
    struct Installed {
        std::string name;  // as the manifest gives it
        std::string path;  // the installed file (under the name it was listed with)
        std::string md5;
    };
    static bool RecordInstalled(const std::string& tempDir, const std::vector<Installed>& files);

private:
    std::string m_path;
    CFileStamper m_stamper;
    DigestTable m_old{ &WindowsNameKey }, m_new{ &WindowsNameKey };
    std::vector<std::string> m_reverifyKeys;  // sorted
    std::uint64_t m_started;  // GetTickCount64 at the pass's start
    std::size_t m_hits = 0, m_read = 0;
    std::uint64_t m_readBytes = 0;
};
#endif
