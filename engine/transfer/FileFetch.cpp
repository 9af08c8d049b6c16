// A file's transfer: a kept download reused, an interrupted one resumed, a
// patch tried, or the whole file fetched, each checked as it is written.
#include "transfer/FileFetch.h"
#include <cstdio>
#include <cstring>
#include "rules/PathRules.h"
#include "rules/SiteRules.h"
#include "support/Errors.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "support/TestHooks.h"

namespace {
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

bool IsDiskFull(const CFileException& e)
{
    return CFileException::OsErrorToException(e.m_lOsError) == CFileException::diskFull;
}
} // namespace

Outcome FetchFile(const TransferContext& context, const DownloadTask& task)
{
    CFileFetch fetch(context, task);
    try {
        fetch.Run();
        return Outcome::Done();
    } catch (const TransferStopped&) {
        return Outcome::Stopped();
    } catch (const CInternetException& e) {
        return Outcome::Failed(DescribeError(e), MessageOf(e));
    } catch (const CFileException& e) {
        if (IsDiskFull(e)) fetch.DropAfterFullDisk();
        return Outcome::Failed(DescribeError(e), DescribeError(e));
    } catch (const TransferRejected& e) {
        return Outcome::Failed(e.why);
    } catch (...) {
        return Outcome::Failed(std::string());
    }
}

CFileFetch::CFileFetch(const TransferContext& context, const DownloadTask& task)
    : m_context(context), m_task(task), m_size(task.dwSize)
{
}

std::string CFileFetch::InstalledPath() const { return JoinPath(m_context.installDir, m_task.szLocalName); }

std::unique_ptr<CHttpFile> CFileFetch::Open(const char* url, const std::string& headers) const
{
    if (!m_context.session) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    // No cookie is kept or sent: a site's cookies are not the updater's to
    // store, and the cookie store costs every request a look into a shared file.
    auto http = m_context.session->OpenURL(url, 1,
                                           INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_TRANSFER_ASCII,
                                           headers.empty() ? nullptr : headers.c_str(),
                                           static_cast<DWORD>(headers.size()));
    m_context.sink.Activity();
    return http;
}

UINT CFileFetch::Read(CHttpFile& http, BYTE* into, UINT limit)
{
    const UINT n = http.Read(into, limit);
    m_context.sink.Activity();
    return n;
}

void CFileFetch::StopPlatformFirst()
{
    // Once the user has asked to stop, the platform is left running.
    ThrowIfStopped();
    if (!m_context.sink.StopPlatform()) throw TransferRejected{ "the platform could not be stopped" };
}

void CFileFetch::Begin(CDownloadVerifier::Source source)
{
    StopPlatformFirst();
    m_fileBytes = 0;
    m_verifier = std::make_unique<CDownloadVerifier>(m_task, source);
    m_context.sink.FileStarted(m_task);
}

void CFileFetch::OpenDownload(UINT flags)
{
    CFileException error(CFileException::none, -1, nullptr);
    if (!m_download.Open(m_path.c_str(), flags, &error)) throw error;
}

bool CFileFetch::RangeAnswered(CHttpFile& http, UINT64 first, UINT64 last, std::string& answer, UINT64* total) const
{
    DWORD status = 0;
    http.QueryInfoStatusCode(status);
    CString range;
    const bool hasRange = http.QueryInfoText(HTTP_QUERY_CONTENT_RANGE, range) != FALSE;
    answer = "HTTP " + std::to_string(status) + (hasRange ? std::string(", ") + range.GetString() : std::string());
    UINT64 from = 0, to = 0, of = 0;
    if (status != 206 || !hasRange || !ParseContentRange(range, from, to, of) || from != first || to != last || to >= of)
        return false;
    if (total) *total = of;
    return total || of == m_size;
}

void CFileFetch::ExpectRange(CHttpFile& http, UINT64 first, UINT64 last, const char* request) const
{
    std::string answer;
    if (!RangeAnswered(http, first, last, answer))
        throw TransferRejected{ std::string(request) + " was answered with " + answer };
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
        Append(m_buffer, n);
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
        ReportPlaced(n);
        // Bytes from disk are progress too: the stall watchdog watches for none.
        m_context.sink.Activity();
        at += n;
    }
}

void CFileFetch::ReportPlaced(UINT n)
{
    m_fileBytes += n;
    m_context.sink.FileProgress(m_task, m_fileBytes, n);
}

void CFileFetch::Append(const BYTE* data, UINT n)
{
    m_download.Write(data, n);
    m_flushAhead.Written(m_download.m_hFile, n);
    m_verifier->Update(data, n);
    ReportPlaced(n);
}

void CFileFetch::FlushDownload()
{
    // On disk before anything may be installed from it.
    m_flushAhead.Wait();
    if (!::FlushFileBuffers(m_download.m_hFile))
        throw CFileException(CFileException::hardIO, static_cast<LONG>(::GetLastError()), m_path.c_str());
    if (const DWORD slow = TestHooks::SlowFlushMs()) ::Sleep(slow);
    m_download.Close();
}

std::string CFileFetch::CloseAndVerify()
{
    // A big file flushed to slow media takes a while with no byte from the network.
    CLocalWork busy(m_context.sink);
    FlushDownload();
    return m_verifier->Finish();
}

void CFileFetch::DropDownload()
{
    m_flushAhead.Wait();
    m_download.Abort();
    Delete(m_path);
    Delete(ValidatorPath());
}

void CFileFetch::DropAfterFullDisk()
{
    if (m_path.empty()) return;
    m_wholeAnswer.reset();
    DropDownload();
    Delete(m_path + ".prev");
    RunLog::Write("download %s: the disk is full; the partial download is deleted", m_task.szName);
}

void CFileFetch::Run()
{
    char path[MAX_PATH];
    if (!FormatPath(path, sizeof(path), "%s\\%s.dtm", m_context.tempDir.c_str(), m_task.szLocalName))
        throw CFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, m_task.szLocalName);
    m_path = path;
    CreateFoldersFor(m_context.tempDir, m_task.szLocalName);

    LONGLONG have = FileSizeOf(m_path);
    if (have == static_cast<LONGLONG>(m_size)) {
        if (ReuseEarlierDownload()) return;
        have = -1;
    } else if (have > static_cast<LONGLONG>(m_size)) {
        RunLog::Write("download %s: the kept %lld bytes are more than the file's %lu; fetched again", m_task.szName, have,
                      static_cast<unsigned long>(m_size));
        DropDownload();
        have = -1;
    }
    // A patch needs an installed copy to take chunks from; with only an
    // interrupted download, resuming it fetches just what is missing.
    if (m_task.bChunks && FileSizeOf(InstalledPath()) > 0) {
        PatchOrWhole(have);
        return;
    }
    if (have > 0 && Resume(have)) return;
    FetchWhole();
}

void CFileFetch::PatchOrWhole(LONGLONG have)
{
    const Outcome patched = TryPatch(have);
    if (patched.IsDone()) return;
    if (patched.IsStopped()) throw TransferStopped{};
    ThrowIfStopped();
    DropDownload();
    Delete(m_path + ".prev");
    RunLog::Write("download %s: patch failed (%s); %s", m_task.szName, patched.what.c_str(),
                  m_wholeAnswer ? "taking the whole file the server is sending" : "fetching the whole file");
    FetchWhole(std::move(m_wholeAnswer));
}

bool CFileFetch::ReuseEarlierDownload()
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
        DropDownload();
        return false;
    }
    FlushKept();
    Delete(ValidatorPath());
    RunLog::Write("download %s: reused the verified download of an earlier run, %lu bytes", m_task.szName,
                  static_cast<unsigned long>(m_size));
    return true;
}

void CFileFetch::FlushKept()
{
    // An earlier run may have been killed before its flush: what is installed must be on disk.
    CLocalWork busy(m_context.sink);
    OpenDownload(CFile::modeReadWrite);
    FlushDownload();
}

UINT CFileFetch::ReadFirstBlock(CHttpFile& http, BYTE* first)
{
    // The first block is judged as a whole: fill it across short reads (never
    // asking for more than one byte past the file's size).
    const UINT wanted = m_size < kBlockSize ? m_size + 1 : kBlockSize;
    UINT n = 0;
    while (n < wanted) {
        const UINT got = Read(http, first + n, wanted - n);
        if (got == 0) break;
        n += got;
    }
    if (LooksLikeErrorPage(first, n)) throw TransferRejected{ "the body looks like an error page" };
    if (n > m_size) throw TransferRejected{ "the body is longer than the manifest's " + std::to_string(m_size) + " bytes" };
    return n;
}

void CFileFetch::FetchWhole(std::unique_ptr<CHttpFile> http)
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
    BYTE first[kBlockSize];
    const UINT n = ReadFirstBlock(*http, first);

    Begin();
    // The validator of the bytes it held goes first, then the one of the bytes
    // it will hold: only when there is more to come than the first block, as
    // only then can the .dtm be left cut short.
    Delete(ValidatorPath());
    OpenDownload(CFile::modeCreate | CFile::modeReadWrite);
    const bool mayBeCut = n < m_size;
    if (mayBeCut) KeepValidator(*http);
    Append(first, n);
    ReadBody(*http);
    http.reset();
    // Wrong bytes are never installed, and their .dtm is not kept for a later run.
    const std::string mismatch = CloseAndVerify();
    if (!mismatch.empty()) {
        DropDownload();
        throw TransferRejected{ mismatch };
    }
    if (mayBeCut) Delete(ValidatorPath());
    RunLog::Write("download %s: %lu bytes, verified", m_task.szName, static_cast<unsigned long>(m_fileBytes));
}
