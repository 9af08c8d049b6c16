// The digest cache: the MD5 of each installed file the manifest pass digested,
// keyed by what identifies its bytes without reading them (size, times, volume
// and file index), so that a start with nothing to update reads the file list,
// not every installed byte. Kept as <temporary folder>\digests.cache.
// The rules and the format are DigestTable's; this is the Windows side.
#pragma once
#include <windows.h>
#include <string>
#include <unordered_map>
#include <vector>
#include "afxstr.h"
#include "manifest/DigestTable.h"

// The name key as Windows compares file names (file-system upper case).
std::string WindowsNameKey(const std::string& name);
// The current time in FILETIME ticks.
std::uint64_t NowTicks();
// Stamps installed files. Opening a file costs three round trips to the
// wineserver (0.14 to 0.2 ms each time under Wine, as measured, against 0.02 ms
// for its attributes by name and 0.01 ms for its share of a folder's listing).
// Stamp takes size and times from the file by name and its index and volume
// from one listing of its folder; a file its folder's entry does not describe
// (a link, or listed before it was replaced) is stamped with
// GetFileInformationByHandle on a handle opened for attributes only (sharing
// read, write and delete). StampListed, for the manifest pass, takes everything
// from the listing.
class CFileStamper {
public:
    CFileStamper() = default;
    CFileStamper(const CFileStamper&) = delete;
    CFileStamper& operator=(const CFileStamper&) = delete;
    // False when path is not a regular file whose attributes we can read.
    // known: its attributes when the caller has read them already.
    bool Stamp(const char* path, FileStamp& stamp, const WIN32_FILE_ATTRIBUTE_DATA* known = nullptr);
    // As its folder's listing describes the file when the folder was first
    // looked at in this pass, one call per folder whatever its number of files.
    // A file's folder entry can lag behind a file another program holds open
    // for writing (until it is closed): such a file may be taken as unchanged
    // by this pass, and is seen by the next one. attributes: the file's, or
    // INVALID_FILE_ATTRIBUTES when there is no such file. A file the listing
    // does not describe (a link, a folder that cannot be listed) is stamped as
    // Stamp does. False when path is not a regular file or has no stamp.
    bool StampListed(const char* path, FileStamp& stamp, DWORD& attributes);

private:
    struct Listed {
        std::uint64_t id, size, lastWrite, creation;
        unsigned long attributes;
    };
    struct Folder {
        bool listed = false;
        std::uint32_t serial = 0;
        std::unordered_map<std::wstring, Listed> files;  // by name folded as Windows compares names
    };
    Folder& FolderOf(const std::string& path);  // listed on first use
    std::unordered_map<std::string, Folder> m_folders;
    const Folder* m_lastFolder = nullptr;  // the folder last looked at, and its path
    std::string m_lastFolderPath;
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
//   cache.Commit();                             // once the whole list was read: writes what changed, logs
// Reading and writing the cache never throws; Digest throws what reading the file throws.
class CDigestCache {
public:
    CDigestCache(const std::string& tempDir, const std::vector<std::string>& listedNames,
                 const ReverifyBudget& budget = ReverifyBudget());
    CDigestCache(const CDigestCache&) = delete;
    CDigestCache& operator=(const CDigestCache&) = delete;

    // The installed file's stamp and attributes, for Digest (StampListed:
    // INVALID_FILE_ATTRIBUTES when there is no such file). Never throws.
    bool StampOf(const char* path, FileStamp& stamp, DWORD& attributes);
    // The MD5 text of the installed file at path, named name in the manifest:
    // from the cache when its entry may be used and it is not due to be
    // re-verified, otherwise read (DigestInstalledFile, which may throw
    // CFileException). Either way the new cache gets the entry. stamp: the
    // file's (StampOf); null when it has none: the file is then read and gets
    // no entry. Without it, the file is stamped here.
    CString Digest(const std::string& name, const CString& path, const FileStamp* stamp);
    CString Digest(const std::string& name, const CString& path);
    // Replaces the cache file with this pass's entries (those of listed names
    // digested or answered) when they differ from the file's, keeps where
    // re-verification goes on, and logs the pass. False when the cache had to
    // be written and could not be.
    bool Commit();

    // Files whose MD5 came from the cache; files read, and their bytes.
    std::size_t Hits() const { return m_hits; }
    std::size_t Read() const { return m_read; }
    std::uint64_t ReadBytes() const { return m_readBytes; }
    // Whether the last Commit wrote the cache file.
    bool Written() const { return m_written; }

    // After an installation: entries for installed files, from the digest each
    // was verified with and the stamp of the installed file after the move.
    struct Installed {
        std::string name;  // as the manifest gives it
        std::string path;  // the installed file (under the name it was listed with)
        std::string md5;
    };
    static bool RecordInstalled(const std::string& tempDir, const std::vector<Installed>& files);

private:
    std::string m_path, m_cursorPath;
    CFileStamper m_stamper;
    // The cache as loaded, less the entries this pass took on as they were;
    // the new cache: those entries, and the ones made this pass.
    DigestTable m_old{ &WindowsNameKey }, m_new{ &WindowsNameKey };
    bool m_changed = false;  // an entry was made this pass
    std::vector<std::string> m_reverifyKeys;  // sorted
    std::string m_cursor, m_nextCursor;       // the last key read again, before and after this pass
    std::uint64_t m_started;  // GetTickCount64 at the pass's start
    std::size_t m_hits = 0, m_read = 0;
    std::uint64_t m_readBytes = 0;
    bool m_written = false;
};
