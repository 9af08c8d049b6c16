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

    auto cancelled = [&]() {
        RunLog::Write("download: cancelled");
        SetState(US_CANCELLED);
        Notify(0, 0, US_CANCELLED, nullptr);
        return 2;
    };
    auto read = [&](BYTE* into, UINT size) {
        UINT n = http->Read(into, size);
        MarkActivity();
        return n;
    };

    try {
        for (int i = 0; i < count; ++i) {
            task = m_tasks[static_cast<size_t>(i)].get();
            // A stop asked for between two files ends the run before the next
            // file is even opened.
            if (StopRequested()) return cancelled();

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
            if (!hasLength) announced = 0;
            RunLog::Write("download %s: HTTP %lu, %s", task->szName, hasStatus ? status : 0ul,
                          hasLength ? (std::to_string(announced) + " bytes announced").c_str() : "no length announced");
            if (hasStatus && status >= 400) throw TransferRejected{ "HTTP error status" };

            // The first block is judged as a whole: fill it across short reads.
            UINT n = 0;
            while (n < kBlockSize) {
                const UINT got = read(buffer + n, kBlockSize - n);
                if (got == 0) break;
                n += got;
            }
            if (LooksLikeErrorPage(buffer, n)) throw TransferRejected{ "the body looks like an error page" };

            // Once the user has asked to stop, the platform is left running.
            if (StopRequested()) {
                http.reset();
                return cancelled();
            }
            SetState(US_FILE_START);
            if (!StopRunningPlatform()) throw TransferRejected{ "the platform could not be stopped" };
            Notify(0, announced, US_FILE_START, task->szName);

            char path[MAX_PATH];
            if (!FormatPath(path, sizeof(path), "%s\\%s.dtm", m_strTempDir.GetString(), task->szLocalName))
                throw CFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, task->szLocalName);
            CreateFoldersFor(m_strTempDir, task->szLocalName);
            if (!tmp.Open(path, CFile::modeCreate | CFile::modeReadWrite, &fileError)) throw fileError;

            CDownloadVerifier verifier(*task);
            tmp.Write(buffer, n);
            verifier.Update(buffer, n);
            UINT32 fileBytes = n;
            m_dwRunBytes += n;
            SetState(US_PROGRESS);
            Notify(fileBytes, m_dwRunBytes, US_PROGRESS, task->szName);

            // Without an announced length the body runs to its end; a body that
            // ends before its announced length is a failed transfer.
            while ((!hasLength || fileBytes < announced) && !StopRequested()) {
                n = read(buffer, kBlockSize);
                if (n == 0) {
                    if (hasLength) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
                    break;
                }
                tmp.Write(buffer, n);
                verifier.Update(buffer, n);
                fileBytes += n;
                m_dwRunBytes += n;
                SetState(US_PROGRESS);
                Notify(fileBytes, m_dwRunBytes, US_PROGRESS, task->szName);
            }

            http.reset();
            tmp.Close();
            if (StopRequested()) return cancelled();

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
    SetState(US_FAILED);
    Notify(0, 0, US_FAILED, text);
    return 1;
}
