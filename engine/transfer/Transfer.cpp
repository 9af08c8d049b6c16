// DownloadAll: brings every queued file into the temporary folder as
// <name>.dtm, verified. What it costs follows what changed: a verified .dtm
// from an earlier run is used as it is, an interrupted one is resumed, a file
// with a chunk index is patched from the installed copy, and anything that
// goes wrong on those paths falls back, once, to the whole file.
#include "DownloadManager.h"
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include "rules/Chunker.h"
#include "rules/PathRules.h"
#include "rules/SiteRules.h"
#include "install/Platform.h"
#include "afxfile.h"
#include "afxinet.h"
#include "support/RunLog.h"
#include "transfer/Verifier.h"

namespace {
const UINT kBlockSize = 8192;
const UINT kDiskPiece = 64 * 1024;
// The most bytes copied from a local copy at once.
const UINT kCopyRunBytes = 1024 * 1024;

// The first block failed the checks, the server answered with an error, or the
// bytes are not the ones the manifest names.
struct TransferRejected {
    std::string why;
};
// The user asked to stop, or the window is gone.
struct Stopped {};

LONGLONG FileSize(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// "bytes <first>-<last>/<total>"
bool ParseContentRange(const char* text, UINT64& first, UINT64& last, UINT64& total)
{
    unsigned long long a = 0, b = 0, c = 0;
    char tail = 0;
    if (std::sscanf(text, "bytes %llu-%llu/%llu%c", &a, &b, &c, &tail) != 3) return false;
    first = a;
    last = b;
    total = c;
    return true;
}

std::string Describe(const CInternetException& e)
{
    char text[512] = {};
    e.GetErrorMessage(text, sizeof(text) - 1);
    return std::string(text) + " (internet error " + std::to_string(e.m_dwError) + ")";
}

std::string Describe(const CFileException& e)
{
    char text[512] = {};
    e.GetErrorMessage(text, sizeof(text) - 1);
    return text;
}

// Cuts bytes [from, to) of a file into chunks and records each one's SHA-256.
// A part that starts inside the file may begin off a real chunk boundary: the
// rule finds the real boundaries again within a chunk or two.
void ScanChunks(const std::string& path, std::uint32_t source, UINT64 from, UINT64 to, CLocalChunks& out,
                const std::function<bool()>& stopped)
{
    CSharedReadFile file(path.c_str());
    if (!file.IsOpen()) return;
    std::vector<BYTE> buffer(kDiskPiece);
    CChunker chunker;
    CSha256Digest digest(true);
    BYTE sha[32];
    UINT64 chunkStart = from;
    for (UINT64 at = from; at < to && !stopped();) {
        const UINT n = static_cast<UINT>(to - at < kDiskPiece ? to - at : kDiskPiece);
        if (!file.ReadAt(at, buffer.data(), n)) break;
        CutChunks(
            chunker, buffer.data(), n, [&](const BYTE* bytes, size_t k) { digest.Update(bytes, static_cast<UINT>(k)); },
            [&](std::uint32_t length) {
                if (digest.Final(sha)) out.Add(sha, source, chunkStart, length);
                chunkStart += length;
            });
        at += n;
    }
    if (const std::uint32_t last = chunker.Finish()) {
        if (digest.Final(sha)) out.Add(sha, source, chunkStart, last);
    }
}
} // namespace

// One queued file, from its .dtm as it was to its .dtm verified.
class CFileFetch {
public:
    CFileFetch(CDownloadManager& manager, DownloadTask& task) : m(manager), m_task(task), m_size(task.dwSize) {}
    CFileFetch(const CFileFetch&) = delete;
    CFileFetch& operator=(const CFileFetch&) = delete;

    void Run();

private:
    bool ReuseKept();
    bool Patch(LONGLONG have, std::string& why);
    bool Resume(LONGLONG have);
    void Whole(std::unique_ptr<CHttpFile> http = nullptr);

    std::unique_ptr<CHttpFile> Open(const char* url, const std::string& headers = std::string());
    UINT Read(CHttpFile& http, BYTE* into, UINT limit);
    // Whether a request for bytes first..last of the file was answered with
    // exactly them (206 and that Content-Range); answer says what came.
    bool RangeAnswered(CHttpFile& http, UINT64 first, UINT64 last, std::string& answer) const;
    // The rest of a body into the .dtm: never more than one byte past the
    // file's size is asked for, so an endless body costs one block, not the
    // disk; a longer body fails at once, a shorter one at its end.
    void ReadBody(CHttpFile& http);
    // The first length bytes of a file on disk through the verifier, counted as placed.
    void FeedFromDisk(const CSharedReadFile& file, UINT64 length);
    // Stops the platform and announces the file; a second attempt starts its bars over.
    void Begin(CDownloadVerifier::Source source = CDownloadVerifier::Source::Network);
    void Counted(UINT n);
    void Place(const BYTE* data, UINT n);
    // Flushes and closes the .dtm; what did not match, empty when everything did.
    std::string Finish();
    void ThrowIfStopped() const
    {
        if (m.StopRequested()) throw Stopped{};
    }
    void Delete(const std::string& path) const { ::DeleteFileA(path.c_str()); }
    // The installed copy of the file, whatever the folder's text ends with.
    std::string InstalledPath() const
    {
        std::string folder = m.m_strAppDir.str();
        if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
        return folder + m_task.szLocalName;
    }

    CDownloadManager& m;
    DownloadTask& m_task;
    const UINT32 m_size;
    std::string m_path;
    CFile m_tmp;
    std::unique_ptr<CDownloadVerifier> m_verifier;
    UINT64 m_fileBytes = 0;
    UINT32 m_runBytesAtStart = 0;
    bool m_started = false;
    BYTE m_buffer[kDiskPiece];
};

std::unique_ptr<CHttpFile> CFileFetch::Open(const char* url, const std::string& headers)
{
    if (!m.m_pSession) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    auto http = m.m_pSession->OpenURL(url, 1, INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_ASCII,
                                      headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()));
    m.MarkActivity();
    return http;
}

UINT CFileFetch::Read(CHttpFile& http, BYTE* into, UINT limit)
{
    const UINT n = http.Read(into, limit);
    m.MarkActivity();
    return n;
}

void CFileFetch::Begin(CDownloadVerifier::Source source)
{
    // Once the user has asked to stop, the platform is left running.
    ThrowIfStopped();
    m.SetState(US_FILE_START);
    if (!m.StopPlatformForRun()) throw TransferRejected{ "the platform could not be stopped" };
    if (m_started) m.m_dwRunBytes = m_runBytesAtStart;
    m_started = true;
    m_runBytesAtStart = m.m_dwRunBytes;
    m_fileBytes = 0;
    m_verifier = std::make_unique<CDownloadVerifier>(m_task, source);
    m.Notify(0, m_size, US_FILE_START, m_task.szName);
}

bool CFileFetch::RangeAnswered(CHttpFile& http, UINT64 first, UINT64 last, std::string& answer) const
{
    DWORD status = 0;
    http.QueryInfoStatusCode(status);
    CString range;
    const bool hasRange = http.QueryInfoText(HTTP_QUERY_CONTENT_RANGE, range) != FALSE;
    answer = "HTTP " + std::to_string(status) + (hasRange ? std::string(", ") + range.GetString() : std::string());
    UINT64 from = 0, to = 0, total = 0;
    return status == 206 && hasRange && ParseContentRange(range, from, to, total) && from == first && to == last &&
           total == m_size;
}

void CFileFetch::ReadBody(CHttpFile& http)
{
    for (;;) {
        ThrowIfStopped();
        const UINT64 room = static_cast<UINT64>(m_size) + 1 - m_fileBytes;
        const UINT n = Read(http, m_buffer, static_cast<UINT>(room < kBlockSize ? room : kBlockSize));
        if (n == 0) break;
        if (m_fileBytes + n > m_size)
            throw TransferRejected{ "the body is longer than the manifest's " + std::to_string(m_size) + " bytes" };
        Place(m_buffer, n);
    }
    ThrowIfStopped();
    if (m_fileBytes < m_size) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
}

void CFileFetch::FeedFromDisk(const CSharedReadFile& file, UINT64 length)
{
    for (UINT64 at = 0; at < length;) {
        ThrowIfStopped();
        const UINT n = static_cast<UINT>(length - at < kDiskPiece ? length - at : kDiskPiece);
        if (!file.ReadAt(at, m_buffer, n))
            throw CFileException(CFileException::endOfFile, ERROR_HANDLE_EOF, m_path.c_str());
        m_verifier->Update(m_buffer, n);
        Counted(n);
        // Bytes from disk are progress too: the stall watchdog watches for none.
        m.MarkActivity();
        at += n;
    }
}

void CFileFetch::Counted(UINT n)
{
    m_fileBytes += n;
    m.m_dwRunBytes += n;
    m.SetState(US_PROGRESS);
    m.Notify(static_cast<UINT32>(m_fileBytes), m.m_dwRunBytes, US_PROGRESS, m_task.szName);
}

void CFileFetch::Place(const BYTE* data, UINT n)
{
    m_tmp.Write(data, n);
    m_verifier->Update(data, n);
    Counted(n);
}

std::string CFileFetch::Finish()
{
    // On disk before anything may be installed from it.
    if (!::FlushFileBuffers(m_tmp.m_hFile))
        throw CFileException(CFileException::hardIO, static_cast<LONG>(::GetLastError()), m_path.c_str());
    m_tmp.Close();
    return m_verifier->Finish();
}

void CFileFetch::Run()
{
    char path[MAX_PATH];
    if (!FormatPath(path, sizeof(path), "%s\\%s.dtm", m.m_strTempDir.GetString(), m_task.szLocalName))
        throw CFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, m_task.szLocalName);
    m_path = path;
    CreateFoldersFor(m.m_strTempDir, m_task.szLocalName);

    LONGLONG have = FileSize(path);
    if (have == static_cast<LONGLONG>(m_size)) {
        if (ReuseKept()) return;
        have = -1;
    } else if (have > static_cast<LONGLONG>(m_size)) {
        RunLog::Write("download %s: the kept %lld bytes are more than the file's %lu; fetched again", m_task.szName, have,
                      static_cast<unsigned long>(m_size));
        Delete(m_path);
        have = -1;
    }
    const bool hasInstalled = FileSize(InstalledPath().c_str()) > 0;
    // A patch needs an installed copy to take chunks from; with only an
    // interrupted download, resuming it fetches just what is missing.
    if (m_task.bChunks && hasInstalled) {
        std::string why;
        try {
            if (Patch(have, why)) return;
        } catch (const CInternetException& e) {
            why = Describe(e);
        } catch (const CFileException& e) {
            why = Describe(e);
        } catch (const TransferRejected& e) {
            why = e.why;
        }
        ThrowIfStopped();
        m_tmp.Abort();
        Delete(m_path);
        Delete(m_path + ".prev");
        RunLog::Write("download %s: patch failed (%s); fetching the whole file", m_task.szName, why.c_str());
        Whole();
        return;
    }
    if (have > 0) {
        if (Resume(have)) return;
        RunLog::Write("download %s: the resumed file does not verify; fetched again from byte 0", m_task.szName);
        Whole();
        return;
    }
    Whole();
}

bool CFileFetch::ReuseKept()
{
    {
        CSharedReadFile kept(m_path.c_str());
        if (!kept.IsOpen()) return false;
        Begin(CDownloadVerifier::Source::Disk);
        FeedFromDisk(kept, m_size);
    }  // closed before it may be deleted: a file open elsewhere is only marked for deletion
    const std::string mismatch = m_verifier->Finish();
    if (!mismatch.empty()) {
        RunLog::Write("download %s: the kept download does not verify (%s); fetched again", m_task.szName, mismatch.c_str());
        Delete(m_path);
        return false;
    }
    RunLog::Write("download %s: reused the verified download of an earlier run, %lu bytes", m_task.szName,
                  static_cast<unsigned long>(m_size));
    return true;
}

bool CFileFetch::Resume(LONGLONG have)
{
    RunLog::Write("download %s: GET %s from byte %lld", m_task.szName, m_task.szUrl, have);
    auto http = Open(m_task.szUrl, "Range: bytes=" + std::to_string(have) + "-\r\n");
    std::string answer;
    const bool resumed = RangeAnswered(*http, static_cast<UINT64>(have), m_size - 1ull, answer);
    RunLog::Write("download %s: %s", m_task.szName, answer.c_str());
    // A server that ignores ranges sends the whole file: start over with it.
    DWORD status = 0;
    if (!resumed && http->QueryInfoStatusCode(status) && status == 200) {
        Whole(std::move(http));
        return true;
    }
    if (!resumed) throw TransferRejected{ "the resumed request was answered with " + answer };
    DWORD announced = 0;
    if (http->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, announced) && announced != m_size - have)
        throw TransferRejected{ "the resumed request announces " + std::to_string(announced) + " bytes" };

    Begin();
    // The bytes already there go through the verifier first, from disk.
    {
        CSharedReadFile kept(m_path.c_str());
        if (!kept.IsOpen()) throw CFileException(CFileException::fileNotFound, static_cast<LONG>(kept.OpenError()), m_path.c_str());
        FeedFromDisk(kept, static_cast<UINT64>(have));
    }
    CFileException error(CFileException::none, -1, nullptr);
    if (!m_tmp.Open(m_path.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite, &error)) throw error;
    m_tmp.Seek(have, FILE_BEGIN);
    ReadBody(*http);
    http.reset();
    const std::string mismatch = Finish();
    if (!mismatch.empty()) {
        RunLog::Write("download %s: %s", m_task.szName, mismatch.c_str());
        Delete(m_path);
        return false;
    }
    RunLog::Write("download %s: resumed: %lld bytes kept, %llu fetched, verified", m_task.szName, have,
                  static_cast<unsigned long long>(m_fileBytes - have));
    return true;
}

void CFileFetch::Whole(std::unique_ptr<CHttpFile> http)
{
    if (!http) {
        RunLog::Write("download %s: GET %s", m_task.szName, m_task.szUrl);
        http = Open(m_task.szUrl);
    }
    DWORD status = 0;
    const bool hasStatus = http->QueryInfoStatusCode(status) != FALSE;
    DWORD announced = 0;
    const bool hasLength = http->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, announced) != FALSE;
    RunLog::Write("download %s: HTTP %lu, %s", m_task.szName, hasStatus ? status : 0ul,
                  hasLength ? (std::to_string(announced) + " bytes announced").c_str() : "no length announced");
    if (hasStatus && status >= 400) throw TransferRejected{ "HTTP error status" };
    // A download is exactly the listed file: another length is another file.
    if (hasLength && announced != m_size)
        throw TransferRejected{ "the server announces " + std::to_string(announced) + " bytes; the manifest says " +
                                std::to_string(m_size) };
    // The first block is judged as a whole: fill it across short reads (never
    // asking for more than one byte past the file's size).
    BYTE first[kBlockSize];
    const UINT firstWanted = m_size < kBlockSize ? m_size + 1 : kBlockSize;
    UINT n = 0;
    while (n < firstWanted) {
        const UINT got = Read(*http, first + n, firstWanted - n);
        if (got == 0) break;
        n += got;
    }
    if (LooksLikeErrorPage(first, n)) throw TransferRejected{ "the body looks like an error page" };
    if (n > m_size) throw TransferRejected{ "the body is longer than the manifest's " + std::to_string(m_size) + " bytes" };

    Begin();
    CFileException error(CFileException::none, -1, nullptr);
    if (!m_tmp.Open(m_path.c_str(), CFile::modeCreate | CFile::modeReadWrite, &error)) throw error;
    Place(first, n);
    ReadBody(*http);
    http.reset();
    // Wrong bytes are never installed, and their .dtm is not kept for a later run.
    const std::string mismatch = Finish();
    if (!mismatch.empty()) {
        Delete(m_path);
        throw TransferRejected{ mismatch };
    }
    RunLog::Write("download %s: %lu bytes%s", m_task.szName, static_cast<unsigned long>(m_fileBytes),
                  m_task.bVerify ? ", verified" : "");
}

bool CFileFetch::Patch(LONGLONG have, std::string& why)
{
    // The index first, bounded by what the chunking allows for the file and
    // checked against the digest the manifest gives for it.
    RunLog::Write("download %s: GET %s (chunk index)", m_task.szName, m_task.szChunksUrl);
    std::vector<unsigned char> bytes;
    {
        auto http = Open(m_task.szChunksUrl);
        DWORD status = 0;
        http->QueryInfoStatusCode(status);
        if (status != 200) {
            why = "the chunk index was answered with HTTP " + std::to_string(status);
            return false;
        }
        const UINT64 limit = MaxChunkIndexBytes(m_size);
        for (;;) {
            ThrowIfStopped();
            const UINT n = Read(*http, m_buffer, kBlockSize);
            if (n == 0) break;
            bytes.insert(bytes.end(), m_buffer, m_buffer + n);
            if (bytes.size() > limit) {
                why = "the chunk index is larger than any index for the file";
                return false;
            }
        }
    }
    CSha256Digest indexDigest;
    indexDigest.Update(bytes.data(), static_cast<UINT>(bytes.size()));
    if (!SameHexDigest(indexDigest.FinalHex().c_str(), m_task.szChunksSha256)) {
        why = "the chunk index does not match its SHA-256";
        return false;
    }
    ChunkIndex index;
    const ChunkIndexFault fault = DecodeChunkIndex(bytes.data(), bytes.size(), m_size, index);
    if (fault != ChunkIndexFault::None) {
        why = std::string("the chunk index ") + DescribeChunkIndexFault(fault);
        return false;
    }

    // The local copies: the installed file, and a .dtm an earlier run left,
    // moved aside first so that no file is read and written at once.
    std::vector<std::string> paths = { InstalledPath() };
    const std::string previous = m_path + ".prev";
    if (have > 0 && ::MoveFileExA(m_path.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING)) paths.push_back(previous);
    // Each copy is cut in two halves on both cores; the first half runs a
    // little into the second, where the second half finds the real boundaries.
    const UINT64 kOverlap = 8 * static_cast<UINT64>(kChunkParams.maxSize);
    std::vector<CLocalChunks> local(paths.size() * 2);
    // Cutting a big copy takes a while with no byte from the network: it is progress all the same.
    auto stopped = [this] {
        m.MarkActivity();
        return m.StopRequested();
    };
    for (size_t s = 0; s < paths.size(); ++s) {
        const LONGLONG length = FileSize(paths[s].c_str());
        if (length <= 0) continue;
        const UINT64 half = static_cast<UINT64>(length) / 2;
        const UINT64 firstEnd = half + kOverlap < static_cast<UINT64>(length) ? half + kOverlap : length;
        const auto source = static_cast<std::uint32_t>(s);
        std::thread second(
            [&, s, half, length, source] { ScanChunks(paths[s], source, half, length, local[2 * s + 1], stopped); });
        ScanChunks(paths[s], source, 0, firstEnd, local[2 * s], stopped);
        second.join();
    }
    ThrowIfStopped();
    std::vector<std::unique_ptr<CSharedReadFile>> sources;
    for (const std::string& path : paths) sources.push_back(std::make_unique<CSharedReadFile>(path.c_str()));
    auto find = [&](const ChunkEntry& wanted) -> const CLocalChunks::Chunk* {
        for (CLocalChunks& part : local)
            if (const CLocalChunks::Chunk* found = part.Find(wanted)) return found;
        return nullptr;
    };
    std::vector<bool> missing(index.chunks.size());
    for (size_t i = 0; i < index.chunks.size(); ++i) missing[i] = find(index.chunks[i]) == nullptr;
    const std::vector<ByteRange> ranges = PlanFetches(index, missing);

    // The .dtm in order: chunks found here are copied, the rest fetched with
    // one range request per run of missing chunks, each checked as it arrives.
    Begin(CDownloadVerifier::Source::Disk);
    CSha256Digest chunkDigest(true);
    CFileException error(CFileException::none, -1, nullptr);
    if (!m_tmp.Open(m_path.c_str(), CFile::modeCreate | CFile::modeReadWrite, &error)) throw error;
    UINT64 offset = 0, reused = 0, fetched = 0;
    size_t next = 0;
    std::unique_ptr<CHttpFile> http;
    std::vector<BYTE> run(kCopyRunBytes);
    const std::vector<ChunkEntry>& chunks = index.chunks;
    for (size_t i = 0; i < chunks.size();) {
        ThrowIfStopped();
        const ChunkEntry& chunk = chunks[i];
        if (next < ranges.size() && offset >= ranges[next].offset) {
            const ByteRange& r = ranges[next];
            if (!http) {
                const UINT64 lastByte = r.offset + r.length - 1;
                http = Open(m_task.szUrl, "Range: bytes=" + std::to_string(r.offset) + "-" + std::to_string(lastByte) + "\r\n");
                std::string answer;
                if (!RangeAnswered(*http, r.offset, lastByte, answer)) {
                    why = "a range request was answered with " + answer;
                    return false;
                }
            }
            for (UINT got = 0; got < chunk.length;) {
                const UINT n = Read(*http, m_buffer + got, chunk.length - got);
                if (n == 0) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
                got += n;
            }
            BYTE sha[32];
            chunkDigest.Update(m_buffer, chunk.length);
            if (!chunkDigest.Final(sha) || std::memcmp(sha, chunk.id, kChunkIdBytes) != 0) {
                why = "a fetched chunk at byte " + std::to_string(offset) + " does not match the index";
                return false;
            }
            fetched += chunk.length;
            if (offset + chunk.length >= r.offset + r.length) {
                http.reset();
                ++next;
            }
            Place(m_buffer, chunk.length);
            offset += chunk.length;
            ++i;
            continue;
        }
        // Chunks that follow one another here too are copied as one run: a
        // read and a write per chunk would cost more than the bytes.
        const CLocalChunks::Chunk* found = find(chunk);
        if (!found) {
            why = "a local chunk was lost";
            return false;
        }
        UINT length = chunk.length;
        size_t j = i + 1;
        for (; j < chunks.size() && length + chunks[j].length <= kCopyRunBytes; ++j) {
            if (next < ranges.size() && offset + length >= ranges[next].offset) break;
            const CLocalChunks::Chunk* more = find(chunks[j]);
            if (!more || more->source != found->source || more->offset != found->offset + length) break;
            length += chunks[j].length;
        }
        if (!sources[found->source]->ReadAt(found->offset, run.data(), length)) {
            why = "a local chunk could not be read again";
            return false;
        }
        reused += length;
        Place(run.data(), length);
        m.MarkActivity();  // progress from disk, which the stall watchdog would not see
        offset += length;
        i = j;
    }
    const std::string mismatch = Finish();
    if (!mismatch.empty()) {
        why = "the patched file does not verify: " + mismatch;
        return false;
    }
    sources.clear();
    Delete(previous);
    RunLog::Write("download %s: patched: %llu bytes reused, %llu fetched in %lu range request(s), index %lu bytes, verified",
                  m_task.szName, static_cast<unsigned long long>(reused), static_cast<unsigned long long>(fetched),
                  static_cast<unsigned long>(ranges.size()), static_cast<unsigned long>(bytes.size()));
    return true;
}

int CDownloadManager::DownloadAll()
{
    const int count = static_cast<int>(m_tasks.size());
    char text[512];
    DownloadTask* task = nullptr;
    try {
        for (int i = 0; i < count; ++i) {
            task = m_tasks[static_cast<size_t>(i)].get();
            // A stop asked for between two files ends the run before the next
            // file is even opened.
            if (StopRequested()) return ReportCancelled();
            SetState(US_CONNECTING);
            Notify(0, 0, US_CONNECTING, nullptr);
            MarkActivity();
            CFileFetch(*this, *task).Run();
            task->bDone = TRUE;
            SetState(US_FILE_DONE);
            Notify(0, 0, US_FILE_DONE, task->szName);
        }
        SetState(US_ALL_DOWNLOADED);
        Notify(0, 0, US_ALL_DOWNLOADED, nullptr);
        RunLog::Write("download: all %d file(s) received", count);
        return 0;
    } catch (const Stopped&) {
        return ReportCancelled();
    } catch (const CInternetException& e) {
        std::memset(text, 0, sizeof(text));
        e.GetErrorMessage(text, sizeof(text) - 1);
        RunLog::Write("download %s: failed: %s (internet error %lu)", task ? task->szName : "", text, e.m_dwError);
    } catch (const CFileException& e) {
        std::memset(text, 0, sizeof(text));
        e.GetErrorMessage(text, sizeof(text) - 1);
        RunLog::Write("download %s: failed: %s", task ? task->szName : "", text);
    } catch (const TransferRejected& e) {
        std::snprintf(text, sizeof(text), "下载 %s 文件失败", task ? task->szName : "");
        RunLog::Write("download %s: failed: %s", task ? task->szName : "", e.why.c_str());
    } catch (...) {
        std::snprintf(text, sizeof(text), "下载 %s 文件失败", task ? task->szName : "");
        RunLog::Write("download %s: failed", task ? task->szName : "");
    }
    // A read cut short by the stop itself (the window closed) is a cancel, not a failure.
    if (StopRequested() && m_phase.load() == kTransferring) return ReportCancelled();
    ReportFailure(text);
    return 1;
}
