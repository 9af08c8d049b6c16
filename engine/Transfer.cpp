// DownloadAll: fetches every queued file into the temporary folder as <name>.dtm.
#include "DownloadManager.h"
#include <cstdio>
#include <cstring>
#include "PathRules.h"
#include "SiteRules.h"
#include "Platform.h"
#include "afxfile.h"
#include "afxinet.h"
#include "RunLog.h"
#include "Verifier.h"
#include <string>

namespace {
const UINT kBlockSize = 8192;

// The first block failed the checks, the server answered with an error, or the
// bytes are not the ones the manifest names.
struct TransferRejected {
    std::string why;
};
} // namespace


int CDownloadManager::DownloadAll()
{
    const int count = static_cast<int>(m_tasks.size());
    BYTE buffer[kBlockSize];
    char text[512];
    CFile tmp;
    CFileException fileError(CFileException::none, -1, nullptr);
    std::unique_ptr<CHttpFile> http;
    DownloadTask* task = nullptr;

    // Reads at most limit bytes; never asks for more than one byte past the
    // file's size, so an endless body costs one block, not the disk.
    auto read = [&](BYTE* into, UINT limit) {
        UINT n = http->Read(into, limit);
        MarkActivity();
        return n;
    };

    try {
        for (int i = 0; i < count; ++i) {
            task = m_tasks[static_cast<size_t>(i)].get();
            // A stop asked for between two files ends the run before the next
            // file is even opened.
            if (StopRequested()) return ReportCancelled();

            SetState(US_CONNECTING);
            Notify(0, 0, US_CONNECTING, nullptr);
            MarkActivity();
            RunLog::Write("download %s: GET %s", task->szName, task->szUrl);

            if (!m_pSession) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
            http = m_pSession->OpenURL(task->szUrl, 1, INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_ASCII,
                                       nullptr, 0);
            MarkActivity();
            DWORD status = 0;
            const bool hasStatus = http->QueryInfoStatusCode(status) != FALSE;
            DWORD announced = 0;
            const bool hasLength = http->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, announced) != FALSE;
            RunLog::Write("download %s: HTTP %lu, %s", task->szName, hasStatus ? status : 0ul,
                          hasLength ? (std::to_string(announced) + " bytes announced").c_str() : "no length announced");
            if (hasStatus && status >= 400) throw TransferRejected{ "HTTP error status" };
            // A download is exactly the listed file: another length is another file.
            const UINT32 size = task->dwSize;
            if (hasLength && announced != size)
                throw TransferRejected{ "the server announces " + std::to_string(announced) + " bytes; the manifest says " +
                                        std::to_string(size) };
            const UINT64 limit = static_cast<UINT64>(size) + 1;
            auto want = [&](UINT64 have, UINT room) {
                return static_cast<UINT>(limit - have < room ? limit - have : room);
            };

            // The first block is judged as a whole: fill it across short reads.
            UINT n = 0;
            while (n < want(0, kBlockSize)) {
                const UINT got = read(buffer + n, want(0, kBlockSize) - n);
                if (got == 0) break;
                n += got;
            }
            if (LooksLikeErrorPage(buffer, n)) throw TransferRejected{ "the body looks like an error page" };
            if (n > size) throw TransferRejected{ "the body is longer than the manifest's " + std::to_string(size) + " bytes" };

            // Once the user has asked to stop, the platform is left running.
            if (StopRequested()) {
                http.reset();
                return ReportCancelled();
            }
            SetState(US_FILE_START);
            if (!StopPlatformForRun()) throw TransferRejected{ "the platform could not be stopped" };
            Notify(0, size, US_FILE_START, task->szName);

            char path[MAX_PATH];
            if (!FormatPath(path, sizeof(path), "%s\\%s.dtm", m_strTempDir.GetString(), task->szLocalName))
                throw CFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, task->szLocalName);
            CreateFoldersFor(m_strTempDir, task->szLocalName);
            if (!tmp.Open(path, CFile::modeCreate | CFile::modeReadWrite, &fileError)) throw fileError;

            CDownloadVerifier verifier(*task);
            tmp.Write(buffer, n);
            verifier.Update(buffer, n);
            UINT64 fileBytes = n;
            m_dwRunBytes += n;
            SetState(US_PROGRESS);
            Notify(static_cast<UINT32>(fileBytes), m_dwRunBytes, US_PROGRESS, task->szName);

            // To the end of the body; one more byte than the file's size is an error at once.
            while (!StopRequested()) {
                n = read(buffer, want(fileBytes, kBlockSize));
                if (n == 0) break;
                if (fileBytes + n > size)
                    throw TransferRejected{ "the body is longer than the manifest's " + std::to_string(size) + " bytes" };
                tmp.Write(buffer, n);
                verifier.Update(buffer, n);
                fileBytes += n;
                m_dwRunBytes += n;
                SetState(US_PROGRESS);
                Notify(static_cast<UINT32>(fileBytes), m_dwRunBytes, US_PROGRESS, task->szName);
            }
            http.reset();
            if (StopRequested()) {
                tmp.Abort();
                return ReportCancelled();
            }
            if (fileBytes < size) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);

            // On disk before anything may be installed from it.
            if (!::FlushFileBuffers(tmp.m_hFile))
                throw CFileException(CFileException::hardIO, static_cast<LONG>(::GetLastError()), path);
            tmp.Close();

            // Wrong bytes are never installed, and their .dtm is not kept for a later run.
            const std::string mismatch = verifier.Finish();
            if (!mismatch.empty()) {
                ::DeleteFileA(path);
                throw TransferRejected{ mismatch.c_str() };
            }
            RunLog::Write("download %s: %lu bytes%s", task->szName, static_cast<unsigned long>(fileBytes),
                          task->bVerify ? ", verified" : "");

            task->bDone = TRUE;
            SetState(US_FILE_DONE);
            Notify(0, 0, US_FILE_DONE, task->szName);
        }
        SetState(US_ALL_DOWNLOADED);
        Notify(0, 0, US_ALL_DOWNLOADED, nullptr);
        RunLog::Write("download: all %d file(s) received", count);
        return 0;
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
    http.reset();
    tmp.Abort();
    // A read cut short by the stop itself (the window closed) is a cancel, not a failure.
    if (StopRequested() && m_phase.load() == kTransferring) return ReportCancelled();
    ReportFailure(text);
    return 1;
}
