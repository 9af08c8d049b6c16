// The façade's own work: the queue, the worker thread, who ends a transfer,
// and the platform's state across the run.
#include "DownloadManager.h"
#include <shlwapi.h>
#include <cstring>
#include <mutex>
#include "afxinet.h"
#include "install/Platform.h"
#include "support/RunLog.h"
#include "support/TestHooks.h"
#include "transfer/EarlyPatch.h"
#include "transfer/TransferPool.h"

namespace {
// The task-list lock lives as long as any manager does.
CRITICAL_SECTION s_csTaskList;
std::mutex s_lockInit;
int s_managers = 0;

bool CopyBounded(char* dst, size_t size, const char* src)
{
    size_t n = std::strlen(src);
    if (n >= size) return false;
    std::memcpy(dst, src, n + 1);
    return true;
}
} // namespace

CTaskListLock::CTaskListLock() { ::EnterCriticalSection(&s_csTaskList); }
CTaskListLock::~CTaskListLock() { ::LeaveCriticalSection(&s_csTaskList); }

CDownloadManager::CDownloadManager()
{
    std::lock_guard<std::mutex> guard(s_lockInit);
    if (s_managers++ == 0) ::InitializeCriticalSection(&s_csTaskList);
}

CDownloadManager::~CDownloadManager()
{
    // The worker uses the session, the callback and the tasks until it ends.
    StopWorker(INFINITE);
    // So does a survey made ahead (a run closed before it started): closing the
    // session ends a request it may be waiting on.
    if (m_earlyPatch && m_pSession) m_pSession->Close();
    m_earlyPatch.reset();
    ClearTasks();
    m_hThread.reset();
    m_hStartEvent.reset();
    m_pSession.reset();
    std::lock_guard<std::mutex> guard(s_lockInit);
    if (--s_managers == 0) ::DeleteCriticalSection(&s_csTaskList);
}

BOOL CDownloadManager::Init(UpdateNotify* pNotify, const char* pszBaseUrl, const char* pszTempDir,
                            const char* pszAppDir)
{
    if (!pNotify) return FALSE;
    m_pNotify = pNotify;
    m_strBaseUrl = pszBaseUrl;
    m_strTempDir = pszTempDir;
    m_strAppDir = pszAppDir;
    if (m_strBaseUrl.IsEmpty() || m_strBaseUrl[m_strBaseUrl.GetLength() - 1] != '/') m_strBaseUrl += "/";
    if (!::PathIsDirectoryA(m_strTempDir)) ::CreateDirectoryA(m_strTempDir, nullptr);
    // The transfers and a patch's ranges in flight must not queue behind WinINet's few connections per server.
    DWORD connections = kConnectionsPerServer;
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof(connections));
    ::InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof(connections));
    m_pSession = std::make_unique<CInternetSession>(nullptr, 1, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
    m_pSession->SetTimeouts(StallLimitMs());
    if (!m_hStartEvent) m_hStartEvent.reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    return m_hStartEvent ? TRUE : FALSE;
}

BOOL CDownloadManager::AddTask(const char* pszName, const char* pszUrl, const char* pszLocalName, UINT32 dwSize,
                               const char* pszMd5, const char* pszSha256, const char* pszChunksUrl,
                               const char* pszChunksSha256, UINT64 qwChunksHead)
{
    // Without a digest nothing would tell the right bytes from others.
    if (!pszName || !pszMd5) return FALSE;
    if (!pszUrl) pszUrl = "";
    if (!pszLocalName) pszLocalName = pszName;
    auto task = std::make_unique<DownloadTask>();
    std::memset(task.get(), 0, sizeof(DownloadTask));
    if (!CopyBounded(task->szName, sizeof(task->szName), pszName) ||
        !CopyBounded(task->szLocalName, sizeof(task->szLocalName), pszLocalName) ||
        !CopyBounded(task->szUrl, sizeof(task->szUrl), pszUrl))
        return FALSE;
    if (!CopyBounded(task->szMd5, sizeof(task->szMd5), pszMd5) || std::strlen(pszMd5) != 32) task->szMd5[0] = '\0';
    if (pszSha256) {
        task->bSha256 = TRUE;
        if (!CopyBounded(task->szSha256, sizeof(task->szSha256), pszSha256) || std::strlen(pszSha256) != 64)
            task->szSha256[0] = '\0';
    }
    task->bChunks = pszChunksUrl && pszChunksSha256 && std::strlen(pszChunksSha256) == 64 &&
                    CopyBounded(task->szChunksUrl, sizeof(task->szChunksUrl), pszChunksUrl) &&
                    CopyBounded(task->szChunksSha256, sizeof(task->szChunksSha256), pszChunksSha256);
    task->qwChunksHead = task->bChunks ? qwChunksHead : 0;
    task->dwSize = dwSize;
    task->nId = ++m_nLastTaskId;
    task->bDone = FALSE;
    CTaskListLock lock;
    m_tasks.push_back(std::move(task));
    return TRUE;
}

BOOL CDownloadManager::Start()
{
    MarkActivity();
    m_phase.store(kTransferring);
    m_hThread.reset(::CreateThread(nullptr, 0, &CDownloadManager::ThreadProc, this, 0, nullptr));
    if (!m_hThread) {
        const DWORD error = ::GetLastError();
        RunLog::Write("worker thread could not be created (error %lu)", error);
        m_phase.store(kIdle);
        SetState(US_FAILED);
        Notify(0, 0, US_FAILED, "CreateThread failed");
        return FALSE;
    }
    if (m_hStartEvent) ::SetEvent(m_hStartEvent.get());
    return TRUE;
}

void CDownloadManager::Cancel()
{
    // Every transfer stops at its next block; the session is not closed here:
    // under Wine closing it reads what is left of each answer, on this thread.
    m_bCancel.store(1);
}

bool CDownloadManager::Abandon()
{
    return EndTransfer(kAbandoned);
}

bool CDownloadManager::EndTransfer(int phase)
{
    int expected = kTransferring;
    return m_phase.compare_exchange_strong(expected, phase);
}

bool CDownloadManager::StopPlatformForRun()
{
    std::lock_guard<std::mutex> guard(m_platformStop);
    // Found gone once, it is not looked for again by every file in flight
    // (each look is a round trip to the window system); the installation
    // looks once more before the first file is replaced.
    if (m_platformGone) return true;
    bool stoppedOne = false;
    if (!StopRunningPlatform(&stoppedOne)) return false;
    if (stoppedOne) NotePlatformStopped();
    m_platformGone = true;
    return true;
}

bool CDownloadManager::StopPlatformBeforeInstalling()
{
    {
        std::lock_guard<std::mutex> guard(m_platformStop);
        m_platformGone = false;
    }
    return StopPlatformForRun();
}

void CDownloadManager::NotePlatformStopped()
{
    int none = kPlatformUntouched;
    m_platform.compare_exchange_strong(none, kPlatformStopped);
}

void CDownloadManager::RestartPlatformIfStopped()
{
    // Once only, whoever gets here first: the worker's cancel or the end of the program.
    int stopped = kPlatformStopped;
    if (!m_platform.compare_exchange_strong(stopped, kPlatformStarted)) return;
    if (const DWORD slow = TestHooks::RestartDelayMs()) ::Sleep(slow);
    RunLog::Write("platform: started again; the installation is unchanged");
    StartPlatform(m_strAppDir);
}

int CDownloadManager::ReportCancelled()
{
    RunLog::Write("download: cancelled");
    SetState(US_CANCELLED);
    // Closing the window abandons a transfer that does not stop in time; the
    // end of the program then does this.
    if (EndTransfer(kCancelled)) RestartPlatformIfStopped();
    Notify(0, 0, US_CANCELLED, nullptr);
    return 2;
}

void CDownloadManager::ReportFailure(const char* pszText)
{
    SetState(US_FAILED);
    // During the transfer the watchdog may have failed the run already, with
    // its own box, or the window's end abandoned it: then nothing more is said.
    if (m_phase.load() != kInstalling && !EndTransfer(kFailed)) return;
    Notify(0, 0, US_FAILED, pszText);
}

ULONGLONG CDownloadManager::TransferIdleMs() const
{
    if (m_phase.load() != kTransferring || m_localWork.load() > 0) return 0;
    // A failure or cancellation being reported (its box may stay up for long) is not a stall.
    const int state = m_nState.load();
    if (state != US_CONNECTING && state != US_FILE_START && state != US_PROGRESS && state != US_FILE_DONE) return 0;
    const ULONGLONG last = m_lastActivity.load(), now = ::GetTickCount64();
    return now > last ? now - last : 0;
}

int CDownloadManager::WorkerResult() const
{
    DWORD code = 0;
    if (!m_hThread || !::GetExitCodeThread(m_hThread.get(), &code) || code == STILL_ACTIVE) return -1;
    return static_cast<int>(code);
}

DWORD CDownloadManager::StallLimitMs()
{
    const DWORD shortened = TestHooks::StallLimitMs();
    return shortened > 0 ? shortened : 60000ul;
}

void CDownloadManager::ClearTasks()
{
    CTaskListLock lock;
    m_tasks.clear();
}

void CDownloadManager::Notify(UINT32 dwDone, UINT32 dwTotal, int nStatus, const char* pszText)
{
    if (m_bDetached.load() || !m_pNotify) return;
    m_pNotify->OnUpdateNotify(dwDone, dwTotal, nStatus, pszText);
}

bool CDownloadManager::StopWorker(DWORD timeoutMs)
{
    Detach();
    if (!m_hThread) return true;
    if (::WaitForSingleObject(m_hThread.get(), 0) == WAIT_OBJECT_0) return true;
    // Closing the session closes the request the worker may be blocked on.
    if (m_pSession) m_pSession->Close();
    if (m_hStartEvent) ::SetEvent(m_hStartEvent.get());
    if (WaitForWorker(timeoutMs)) return true;
    int phase = kTransferring;
    if (m_phase.compare_exchange_strong(phase, kAbandoned)) {
        // The window was closed: a cancel, and nothing was installed.
        RestartPlatformIfStopped();
        return false;
    }
    if (phase == kAbandoned) return false;  // the watchdog gave up on it: stuck in a read
    // Installing: it must finish or roll back. Reporting a cancel or a
    // failure: it may be starting the platform again, which must not be cut.
    if (WaitForWorker(phase == kInstalling ? INFINITE : kFinishingWaitMs)) return true;
    if (phase == kCancelled) RestartPlatformIfStopped();
    return false;
}

bool CDownloadManager::WaitForWorker(DWORD ms)
{
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        DWORD wait = INFINITE;
        if (ms != INFINITE) {
            const ULONGLONG spent = ::GetTickCount64() - start;
            if (spent >= ms) return ::WaitForSingleObject(m_hThread.get(), 0) == WAIT_OBJECT_0;
            wait = static_cast<DWORD>(ms - spent);
        }
        // A report in progress may be waiting on a message sent to this thread.
        const DWORD r = ::MsgWaitForMultipleObjects(1, m_hThread.address(), FALSE, wait, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return true;
        if (r == WAIT_TIMEOUT) continue;
        if (r != WAIT_OBJECT_0 + 1) return false;  // the wait itself failed
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

DWORD WINAPI CDownloadManager::ThreadProc(LPVOID pParam)
{
    auto* self = static_cast<CDownloadManager*>(pParam);
    int result = 1;
    try {
        ::WaitForSingleObject(self->m_hStartEvent.get(), INFINITE);
        result = self->Run();
    } catch (...) {
        // Nothing escapes the worker.
        result = 1;
    }
    self->m_phase.store(kIdle);
    return static_cast<DWORD>(result);
}
