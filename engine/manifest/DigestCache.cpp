// The digest cache on Windows: the stamp of an installed file, the cache file
// in the temporary folder, and one manifest pass's use of them.
#include "manifest/DigestCache.h"
#include <windows.h>
#include <algorithm>
#include <cstring>
#include <vector>
#include "Md5Digest.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "support/Task.h"
#include "support/WindowsNames.h"
#include "afxfile.h"
#include "afxhandle.h"

namespace {
const char kCacheName[] = "digests.cache";
const char kCursorName[] = "digests.cursor";

std::string CachePath(const std::string& tempDir) { return JoinPath(tempDir, kCacheName); }

// The cursor is a hint: one lost or cut short starts re-verification from the
// first key again, so it is written in place, without a flush.
std::string LoadCursor(const std::string& path)
{
    std::string bytes;
    DWORD error = 0;
    return ReadSmallFile(path, 4096, bytes, error) ? ParseReverifyCursor(bytes) : std::string();
}

void SaveCursor(const std::string& path, const std::string& key)
{
    CScopedHandle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string bytes = SerializeReverifyCursor(key);
    DWORD written = 0;
    if (h) ::WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::uint64_t Ticks(const FILETIME& t) { return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// Past this many entries in all, folders are no longer listed (memory stays bounded).
const std::size_t kMaxListedEntries = 256 * 1024;

// The cache as it is on disk; an empty table (and why) when it cannot be used.
bool Load(const std::string& path, DigestTable& table, const char*& why)
{
    table.Clear();
    std::string bytes;
    DWORD error = 0;
    if (!ReadSmallFile(path, kMaxDigestCacheBytes, bytes, error)) {
        why = error == ERROR_FILE_NOT_FOUND ? "there is none"
              : error == ERROR_FILE_TOO_LARGE ? "it is larger than 64 MiB"
                                               : "it cannot be read";
        return false;
    }
    return table.Parse(bytes, &why);
}

// A run killed while it is written leaves the old cache or none, never half of one.
bool Save(const std::string& path, const DigestTable& table) { return ReplaceFileAtomically(path, table.Serialize()); }
} // namespace

std::string WindowsNameKey(const std::string& name)
{
    // A name the system cannot convert keeps a key all the same.
    const std::string key = WindowsNameKeyUtf8(name.data(), name.size());
    return key.empty() && !name.empty() ? AsciiNameKey(name) : key;
}

std::uint64_t NowTicks()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

CFileStamper::Folder& CFileStamper::FolderOf(const std::string& path)
{
    const auto known = m_folders.find(path);
    if (known != m_folders.end()) return known->second;
    Folder& folder = m_folders[path];
    CScopedHandle h(::CreateFileA(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !::GetFileInformationByHandle(h.get(), &info)) return folder;
    folder.serial = info.dwVolumeSerialNumber;
    // Records of variable length, aligned to 8 bytes.
    std::vector<ULONGLONG> buffer(64 * 1024 / sizeof(ULONGLONG));
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(ULONGLONG));
    bool more = ::GetFileInformationByHandleEx(h.get(), FileIdBothDirectoryRestartInfo, buffer.data(), bytes) != FALSE;
    while (more) {
        const char* at = reinterpret_cast<const char*>(buffer.data());
        for (;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            if (m_entries++ >= kMaxListedEntries) {
                folder.files.clear();  // too many to keep: its files are stamped on handles of their own
                return folder;
            }
            folder.files[FoldWindowsName(std::wstring(e->FileName, e->FileNameLength / sizeof(wchar_t)))] = {
                static_cast<std::uint64_t>(e->FileId.QuadPart), static_cast<std::uint64_t>(e->EndOfFile.QuadPart),
                static_cast<std::uint64_t>(e->LastWriteTime.QuadPart),
                static_cast<std::uint64_t>(e->CreationTime.QuadPart), e->FileAttributes
            };
            if (!e->NextEntryOffset) break;
            at += e->NextEntryOffset;
        }
        more = ::GetFileInformationByHandleEx(h.get(), FileIdBothDirectoryInfo, buffer.data(), bytes) != FALSE;
    }
    folder.listed = ::GetLastError() == ERROR_NO_MORE_FILES;
    if (!folder.listed) folder.files.clear();
    return folder;
}

bool CFileStamper::Stamp(const char* path, FileStamp& stamp, const WIN32_FILE_ATTRIBUTE_DATA* known)
{
    // Size and times from the file itself (a folder's entry may lag behind a
    // file still open for writing); index and volume from its folder.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (known) data = *known;
    else if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return false;
    stamp.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite = Ticks(data.ftLastWriteTime);
    stamp.creation = Ticks(data.ftCreationTime);
    const char* cut = std::strrchr(path, '\\');
    if (const char* slash = std::strrchr(path, '/')) cut = cut && cut > slash ? cut : slash;
    if (cut && cut[1]) {
        const Folder& folder = FolderOf(std::string(path, cut + 1));
        const std::wstring name = WidenAnsi(cut + 1);
        const auto it = folder.files.find(FoldWindowsName(name));
        // The entry must describe this very file: one listed before the file
        // was replaced, or a link to a file elsewhere, does not.
        if (it != folder.files.end() && !(it->second.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            it->second.size == stamp.size && it->second.lastWrite == stamp.lastWrite &&
            it->second.creation == stamp.creation) {
            stamp.volumeSerial = folder.serial;
            stamp.fileIndex = it->second.id;
            return true;
        }
    }
    CScopedHandle h(::CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!h || !::GetFileInformationByHandle(h.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return false;
    stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.lastWrite = Ticks(info.ftLastWriteTime);
    stamp.creation = Ticks(info.ftCreationTime);
    stamp.volumeSerial = info.dwVolumeSerialNumber;
    stamp.fileIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool CFileStamper::StampListed(const char* path, FileStamp& stamp, DWORD& attributes)
{
    const char* cut = std::strrchr(path, '\\');
    if (const char* slash = std::strrchr(path, '/')) cut = cut && cut > slash ? cut : slash;
    if (cut && cut[1]) {
        // Files of one folder usually follow one another in the list.
        const std::size_t folderLength = static_cast<std::size_t>(cut + 1 - path);
        if (!m_lastFolder || m_lastFolderPath.compare(0, std::string::npos, path, folderLength) != 0) {
            m_lastFolderPath.assign(path, folderLength);
            m_lastFolder = &FolderOf(m_lastFolderPath);
        }
        const Folder& folder = *m_lastFolder;
        if (folder.listed) {
            const auto it = folder.files.find(FoldWindowsName(WidenAnsi(cut + 1)));
            if (it == folder.files.end()) {
                attributes = INVALID_FILE_ATTRIBUTES;
                return false;
            }
            const Listed& e = it->second;
            if (!(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                attributes = e.attributes;
                stamp = { e.size, e.lastWrite, e.creation, folder.serial, e.id };
                return !(e.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
            }
        }
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        attributes = INVALID_FILE_ATTRIBUTES;
        return false;
    }
    attributes = data.dwFileAttributes;
    return Stamp(path, stamp, &data);
}

bool StampFile(const char* path, FileStamp& stamp)
{
    CFileStamper stamper;
    return stamper.Stamp(path, stamp);
}

CDigestCache::CDigestCache(const std::string& tempDir, const std::vector<std::string>& listedNames,
                           const ReverifyBudget& budget)
    : m_path(CachePath(tempDir)), m_cursorPath(JoinPath(tempDir, kCursorName)), m_started(::GetTickCount64())
{
    try {
        const char* why = nullptr;
        if (!Load(m_path, m_old, why)) RunLog::Write("digest cache: not used (%s)", why ? why : "unknown");
        m_cursor = LoadCursor(m_cursorPath);
        const std::vector<bool> marks = m_old.Reverify(listedNames, budget, m_cursor, m_nextCursor);
        for (std::size_t i = 0; i < marks.size(); ++i)
            if (marks[i]) m_reverifyKeys.push_back(m_old.Key(listedNames[i]));
        std::sort(m_reverifyKeys.begin(), m_reverifyKeys.end());
    } catch (...) {
        // Without its cache the pass reads every file, as it always could.
        m_old.Clear();
        m_reverifyKeys.clear();
        m_nextCursor = m_cursor;
    }
}

CString DigestInstalledFile(const CString& path)
{
    CSharedReadFile file(path);
    if (!file.IsOpen()) {
        const LONG error = static_cast<LONG>(file.OpenError());
        throw CFileException(CFileException::OsErrorToException(error), error, path);
    }
    // Only a file on disk: a device or a pipe could block a read for ever.
    if (!file.IsOnDisk()) throw CFileException(CFileException::accessDenied, ERROR_INVALID_FUNCTION, path);
    CMd5Digest digest;
    std::vector<BYTE> piece(64 * 1024);
    for (UINT got = 0;; digest.Update(piece.data(), got)) {
        if (!file.Read(piece.data(), static_cast<UINT>(piece.size()), got)) {
            const LONG error = static_cast<LONG>(::GetLastError());
            throw CFileException(CFileException::OsErrorToException(error), error, path);
        }
        if (got == 0) break;
    }
    return digest.Final();
}

bool CDigestCache::StampOf(const char* path, FileStamp& stamp, DWORD& attributes)
{
    try {
        return m_stamper.StampListed(path, stamp, attributes);
    } catch (...) {
        attributes = ::GetFileAttributesA(path);  // out of memory: read without a stamp
        return false;
    }
}

CString CDigestCache::Digest(const std::string& name, const CString& path)
{
    FileStamp stamp;
    bool stamped = false;
    try {
        stamped = m_stamper.Stamp(path, stamp);
    } catch (...) {
        stamped = false;
    }
    return Digest(name, path, stamped ? &stamp : nullptr);
}

CString CDigestCache::Digest(const std::string& name, const CString& path, const FileStamp* stamp)
{
    std::string key;
    std::string cachedMd5;  // the entry's, when it may stand for the file
    try {
        if (stamp) {
            key = m_old.Key(name);
            if (const DigestEntry* cached = m_old.FindByKey(key, *stamp)) cachedMd5 = cached->md5;
        }
        if (!cachedMd5.empty() && !std::binary_search(m_reverifyKeys.begin(), m_reverifyKeys.end(), key)) {
            // Kept as it was: a pass that changes no entry does not write the file.
            m_old.MoveEntry(key, m_new);
            ++m_hits;
            return CString(cachedMd5.c_str());
        }
    } catch (...) {
        stamp = nullptr;  // the file is read, as without a cache
        cachedMd5.clear();
    }
    // Taken before the first byte is read: a later write shows in the file's
    // time, unless within the settle time, which Find does not trust.
    const std::uint64_t takenAt = NowTicks();
    const CString md5 = DigestInstalledFile(path);
    ++m_read;
    m_readBytes += stamp ? stamp->size : 0;
    if (stamp) {
        try {
            // Read again and found as it was: the entry stands as it is.
            if (!cachedMd5.empty() && SameHexDigest(md5, cachedMd5.c_str())) {
                m_old.MoveEntry(key, m_new);
            } else {
                m_new.PutByKey(std::move(key), { name, *stamp, md5.GetString(), takenAt });
                m_changed = true;
            }
        } catch (...) {
        }
    }
    return md5;
}

bool CDigestCache::Commit()
{
    bool failed = false;
    m_written = false;
    try {
        // Entries of files no longer listed are left out too.
        if (m_changed || m_old.Size() != 0) {
            m_written = Save(m_path, m_new);
            failed = !m_written;
        }
        if (m_nextCursor != m_cursor) SaveCursor(m_cursorPath, m_nextCursor);
    } catch (...) {
        failed = true;
    }
    const std::uint64_t ms = ::GetTickCount64() - m_started;
    RunLog::Write("digest cache: %lu entries, %lu from the cache, %lu digested (%llu bytes), %llu ms; %s",
                  static_cast<unsigned long>(m_new.Size()), static_cast<unsigned long>(m_hits),
                  static_cast<unsigned long>(m_read), static_cast<unsigned long long>(m_readBytes),
                  static_cast<unsigned long long>(ms),
                  failed ? "the cache could not be written" : m_written ? "written" : "unchanged, not written");
    return !failed;
}

bool CDigestCache::RecordInstalled(const std::string& tempDir, const std::vector<Installed>& files)
{
    try {
        DigestTable table(&WindowsNameKey);
        const std::string path = CachePath(tempDir);
        const char* why = nullptr;
        Load(path, table, why);  // none: the installed files start one
        CFileStamper stamper;
        for (const Installed& f : files) {
            FileStamp stamp;
            if (stamper.Stamp(f.path.c_str(), stamp)) table.Put({ f.name, stamp, f.md5, NowTicks() });
        }
        return Save(path, table);
    } catch (...) {
        return false;
    }
}
