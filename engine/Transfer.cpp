// DownloadAll: fetches every queued file into the temporary folder as <name>.dtm.
#include "DownloadManager.h"
#include <cstdio>
#include <cstring>
#include "PathRules.h"
#include "Platform.h"
#include "afxfile.h"
#include "afxinet.h"

namespace {
const UINT kBlockSize = 8192;
const UINT kMinFirstBlock = 22;

// The first block failed the checks, or the server answered with an error.
struct TransferRejected {};

// Fills the buffer as far as the body allows: a single read may return less
// than is on its way, and the first block is judged as a whole.
UINT ReadFirstBlock(CHttpFile& http, BYTE* buffer, UINT size)
{
    UINT got = 0;
    while (got < size) {
        UINT n = http.Read(buffer + got, size - got);
        if (n == 0) break;
        got += n;
    }
    return got;
}

bool IsErrorPage(const BYTE* block, UINT n)
{
    if (n < kMinFirstBlock) return true;
    if (std::memcmp(block, "<html>", 6) == 0) return true;
    if (std::memcmp(block, "<!DOCTYPE HTML PUBLIC", 21) == 0) return true;
    return false;
}

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
        SetState(US_CANCELLED);
        Notify(0, 0, US_CANCELLED, nullptr);
        return 2;
    };

    try {
        for (int i = 0; i < count; ++i) {
            task = m_tasks[static_cast<size_t>(i)];
            // A stop asked for between two files ends the run before the next
            // file is even opened.
            if (StopRequested()) return cancelled();

            SetState(US_CONNECTING);
            Notify(0, 0, US_CONNECTING, nullptr);

            if (!m_pSession) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
            http = m_pSession->OpenURL(task->szUrl, 1, INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_ASCII,
                                       nullptr, 0);
            DWORD status = 0;
            if (http->QueryInfoStatusCode(status) && status >= 400) throw TransferRejected();
            DWORD announced = 0;
            const bool hasLength = http->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, announced) != FALSE;
            if (!hasLength) announced = 0;

            UINT n = ReadFirstBlock(*http, buffer, kBlockSize);
            if (IsErrorPage(buffer, n)) throw TransferRejected();

            // Once the user has asked to stop, the platform is left running.
            if (StopRequested()) {
                http.reset();
                return cancelled();
            }
            SetState(US_FILE_START);
            StopRunningPlatform();
            Notify(0, announced, US_FILE_START, task->szName);

            char path[MAX_PATH];
            if (!FormatPath(path, sizeof(path), "%s\\%s.dtm", m_strTempDir.GetString(), task->szLocalName))
                throw CFileException(CFileException::badPath, ERROR_FILENAME_EXCED_RANGE, task->szLocalName);
            CreateFoldersFor(m_strTempDir, task->szLocalName);
            if (!tmp.Open(path, CFile::modeCreate | CFile::modeReadWrite, &fileError)) throw fileError;

            tmp.Write(buffer, n);
            UINT32 fileBytes = n;
            m_dwRunBytes += n;
            SetState(US_PROGRESS);
            Notify(fileBytes, m_dwRunBytes, US_PROGRESS, task->szName);

            // Without an announced length the body runs to its end; a body that
            // ends before its announced length is a failed transfer.
            while ((!hasLength || fileBytes < announced) && !StopRequested()) {
                n = http->Read(buffer, kBlockSize);
                if (n == 0) {
                    if (hasLength) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
                    break;
                }
                tmp.Write(buffer, n);
                fileBytes += n;
                m_dwRunBytes += n;
                SetState(US_PROGRESS);
                Notify(fileBytes, m_dwRunBytes, US_PROGRESS, task->szName);
            }

            http.reset();
            tmp.Close();
            if (StopRequested()) return cancelled();

            task->bDone = TRUE;
            SetState(US_FILE_DONE);
            Notify(0, 0, US_FILE_DONE, task->szName);
        }
        SetState(US_ALL_DOWNLOADED);
        Notify(0, 0, US_ALL_DOWNLOADED, nullptr);
        return 0;
    } catch (const CInternetException& e) {
        std::memset(text, 0, sizeof(text));
        e.GetErrorMessage(text, sizeof(text) - 1);
    } catch (const CFileException& e) {
        std::memset(text, 0, sizeof(text));
        e.GetErrorMessage(text, sizeof(text) - 1);
    } catch (...) {
        std::snprintf(text, sizeof(text), "下载 %s 文件失败", task ? task->szName : "");
    }
    http.reset();
    tmp.Abort();
    SetState(US_FAILED);
    Notify(0, 0, US_FAILED, text);
    return 1;
}
