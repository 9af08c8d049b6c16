// The engine's façade: the queue of files, the HTTP session and the worker
// thread that runs an update (transfer, installation, platform restart) and
// reports through UpdateNotify. The rooms behind it (manifest/, transfer/,
// install/) see the run only through their own contexts; only this façade
// includes them.
#pragma once
#include <windows.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>
#include "afxhandle.h"
#include "afxstr.h"
#include "UpdateNotify.h"
#include "support/Outcome.h"
#include "support/Task.h"

class CEarlyPatch;
class CInternetSession;

// Holds the task-list lock for its lifetime, also while an exception passes.
class CTaskListLock {
public:
    CTaskListLock();
    ~CTaskListLock();
    CTaskListLock(const CTaskListLock&) = delete;
    CTaskListLock& operator=(const CTaskListLock&) = delete;
};

class CDownloadManager {
public:
    CDownloadManager();
    virtual ~CDownloadManager();
    CDownloadManager(const CDownloadManager&) = delete;
    CDownloadManager& operator=(const CDownloadManager&) = delete;

    BOOL Init(UpdateNotify* pNotify, const char* pszBaseUrl, const char* pszTempDir, const char* pszAppDir);
    // Queues a file of exactly dwSize bytes. FALSE, with nothing queued and no
    // id used, for a null name or digest, or for a name or URL that does not
    // fit the task's fields. The downloaded bytes must have the MD5 pszMd5 (a
    // text that is not one never matches); likewise pszSha256 when given.
    // With a chunk index (its URL, the SHA-256 of its head and, when known,
    // the head's length) the file may be patched from the installed copy; an
    // index that does not fit is not used.
    BOOL AddTask(const char* pszName, const char* pszUrl, const char* pszLocalName, UINT32 dwSize,
                 const char* pszMd5, const char* pszSha256 = nullptr, const char* pszChunksUrl = nullptr,
                 const char* pszChunksSha256 = nullptr, UINT64 qwChunksHead = 0);
    // The signed manifest's serial: kept (in the temporary folder) once a run
    // with it has finished, so that an older manifest is refused later.
    void SetManifestSerial(std::uint64_t serial) { m_ullSerial = serial; m_bHasSerial = true; }
    // Finishes or undoes an installation a killed run left (see
    // install/Recovery.h); a platform it stopped is started again by a
    // cancelled run. False when nothing may be installed this run.
    bool RecoverInterruptedInstall();
    // Starts the survey of the first queued file a patch may take from its
    // installed copy, while the run waits to start (transfer/EarlyPatch.h).
    void SurveyAhead();
    // Starts the worker. FALSE (and US_FAILED reported) when no thread could be made.
    BOOL Start();
    // Asks the run to stop: every transfer in flight stops at its next block.
    void Cancel();
    bool CancelRequested() const { return m_bCancel.load() != 0; }
    int GetState() const { return m_nState.load(); }
    void ClearTasks();

    // The window is gone: no report goes out from now on, and the transfer stops
    // at its next check.
    void Detach() { m_bDetached.store(true); }
    // Detaches and waits for the worker, unblocking a network read in progress.
    // Sent messages are processed while waiting. False when the worker is still
    // transferring after timeoutMs: it is then abandoned and will never install,
    // so the process may end under it (a platform this run stopped is started
    // again first: the installation is unchanged). An installation in progress
    // is always waited for, however long it takes: a half-done one must not be
    // cut short. A worker that has ended the transfer itself with a cancel or a
    // failure is waited for up to kFinishingWaitMs more, so that the end of the
    // process does not cut the platform's start short.
    bool StopWorker(DWORD timeoutMs);
    static const DWORD kFinishingWaitMs = 10000;
    // Gives up on a transfer that no longer moves: the run has failed and the
    // worker will report nothing more and never install. False once the worker
    // has ended the transfer itself (installing, failed or cancelled).
    bool Abandon();
    // Milliseconds since the transfer last received anything; 0 when no transfer
    // is under way (before the start, and once installation has begun).
    ULONGLONG TransferIdleMs() const;
    // How the worker ended: 0 installed, 1 failed, 2 cancelled; -1 when it never
    // ran or has not ended.
    int WorkerResult() const;
    // The no-byte limit of a transfer (60 s; UPDATER_STALL_TIMEOUT_MS shortens it for tests).
    static DWORD StallLimitMs();

    virtual int DownloadAll();  // 0 received, 1 failed, 2 cancelled
    virtual int Install();      // 0 installed, 1 failed (and rolled back)

    // Read access for the window and for tests.
    int GetTaskCount() const { return static_cast<int>(m_tasks.size()); }
    const DownloadTask* GetTask(int i) const { return m_tasks.at(static_cast<size_t>(i)).get(); }
    const CString& GetBaseUrl() const { return m_strBaseUrl; }
    const CString& GetTempDir() const { return m_strTempDir; }
    const CString& GetAppDir() const { return m_strAppDir; }
    bool HasSession() const { return m_pSession != nullptr; }

protected:
    class RunSink;
    // Every report goes through here; nothing is sent once detached.
    void Notify(UINT32 dwDone, UINT32 dwTotal, int nStatus, const char* pszText);
    void MarkActivity() { m_lastActivity.store(::GetTickCount64()); }
    void SetState(int nState) { m_nState.store(nState); }
    bool StopRequested() const { return m_bCancel.load() != 0 || m_bDetached.load(); }
    static DWORD WINAPI ThreadProc(LPVOID pParam);
    // Waits up to ms for the worker to end, handling messages sent to this thread.
    bool WaitForWorker(DWORD ms);
    int Run();
    int CancelBeforeInstalling();
    int ReportDownloadFailure(const DownloadTask& task, const Outcome& outcome);
    // The transfer ends one way only: the first to claim its end (the worker,
    // or the watchdog or the window's end through Abandon) reports it.
    bool EndTransfer(int phase);
    int ReportCancelled();
    void ReportFailure(const char* pszText);
    // Stops the platform before a file is written; remembers that this run did.
    bool StopPlatformForRun();
    // The platform may have been started again while the files arrived.
    bool StopPlatformBeforeInstalling();
    void NotePlatformStopped();
    void RestartPlatformIfStopped();
    void RecordInstalledDigests() const;

    int m_nLastTaskId = 0;
    std::atomic<int> m_nState{0};
    std::vector<std::unique_ptr<DownloadTask>> m_tasks;
    CScopedHandle m_hThread;
    CScopedHandle m_hStartEvent;
    std::atomic<LONG> m_bCancel{0};
    std::atomic<bool> m_bDetached{false};
    enum Phase : int { kIdle, kTransferring, kInstalling, kAbandoned, kFailed, kCancelled };
    std::atomic<int> m_phase{kIdle};
    enum PlatformState : int { kPlatformUntouched, kPlatformStopped, kPlatformStarted };
    std::atomic<int> m_platform{kPlatformUntouched};
    std::mutex m_platformStop;  // transfers in flight stop the platform one at a time
    bool m_platformGone = false;  // under m_platformStop: stopped or not running, this run
    std::atomic<ULONGLONG> m_lastActivity{0};
    std::atomic<int> m_localWork{0};  // local work under way: no stall meanwhile
    std::uint64_t m_ullSerial = 0;
    bool m_bHasSerial = false;
    UpdateNotify* m_pNotify = nullptr;
    CString m_strBaseUrl;
    CString m_strTempDir;
    CString m_strAppDir;
    std::unique_ptr<CInternetSession> m_pSession;
    std::unique_ptr<CEarlyPatch> m_earlyPatch;  // until the files are received
};

// The manifest pass (manifest/ManifestPass.h) for the window: fetches the
// manifest at url and queues into manager every listed file that is missing
// from exeDir or differs; adds the queued files' sizes to totalSize.
const DWORD kManifestTimeoutMs = 30000;
enum class ManifestFetch {
    Failed,           // the list was not read to its end: nothing is queued
    NothingToUpdate,  // read whole, and every listed file is up to date
    Queued,           // read whole, and something was queued
};
ManifestFetch FetchManifest(const char* url, const CString& exeDir, CDownloadManager& manager, UINT32& totalSize,
                            DWORD timeoutMs = kManifestTimeoutMs);
// True while a manifest pass that was given up on is still running: the
// process must then end without destroying the objects it may still use.
bool AbandonedManifestPassRunning();
