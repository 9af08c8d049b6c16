#include "DownloadManager.h"
#include <shlwapi.h>
#include <cstring>
#include <mutex>
#include "afxinet.h"

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
    ClearTasks();
    if (m_hThread) {
        ::CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    if (m_hStartEvent) {
        ::CloseHandle(m_hStartEvent);
        m_hStartEvent = nullptr;
    }
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
    m_pSession = std::make_unique<CInternetSession>(nullptr, 1, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
    if (!m_hStartEvent) m_hStartEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return m_hStartEvent != nullptr;
}

BOOL CDownloadManager::AddTask(const char* pszName, const char* pszUrl, const char* pszLocalName)
{
    if (!pszName) return FALSE;
    if (!pszUrl) pszUrl = "";
    if (!pszLocalName) pszLocalName = pszName;
    auto task = std::make_unique<DownloadTask>();
    std::memset(task.get(), 0, sizeof(DownloadTask));
    if (!CopyBounded(task->szName, sizeof(task->szName), pszName) ||
        !CopyBounded(task->szLocalName, sizeof(task->szLocalName), pszLocalName) ||
        !CopyBounded(task->szUrl, sizeof(task->szUrl), pszUrl))
        return FALSE;
    task->nId = ++m_nLastTaskId;
    task->bDone = FALSE;
    CTaskListLock lock;
    m_tasks.push_back(task.release());
    return TRUE;
}

void CDownloadManager::Start()
{
    m_dwRunBytes = 0;
    m_hThread = ::CreateThread(nullptr, 0, &CDownloadManager::ThreadProc, this, 0, nullptr);
    if (m_hStartEvent) ::SetEvent(m_hStartEvent);
}

void CDownloadManager::ClearTasks()
{
    CTaskListLock lock;
    for (DownloadTask* task : m_tasks) delete task;
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
    if (::WaitForSingleObject(m_hThread, 0) == WAIT_OBJECT_0) return true;
    // Closing the session closes the request the worker may be blocked on.
    if (m_pSession) m_pSession->Close();
    if (m_hStartEvent) ::SetEvent(m_hStartEvent);
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            ULONGLONG spent = ::GetTickCount64() - start;
            if (spent >= timeoutMs) return false;
            wait = static_cast<DWORD>(timeoutMs - spent);
        }
        // A report in progress may be waiting on a message sent to this thread.
        DWORD r = ::MsgWaitForMultipleObjects(1, &m_hThread, FALSE, wait, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;  // timed out, or the wait failed
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

DWORD WINAPI CDownloadManager::ThreadProc(LPVOID pParam)
{
    auto* self = static_cast<CDownloadManager*>(pParam);
    int result = 1;
    try {
        ::WaitForSingleObject(self->m_hStartEvent, INFINITE);
        result = self->DownloadAll();
        if (result == 0) result = self->Install();
        if (result == 0) self->ClearTasks();
    } catch (...) {
        // Nothing escapes the worker.
        result = 1;
    }
    return static_cast<DWORD>(result);
}
