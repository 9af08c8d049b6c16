// The steps of a run, and the only place that wires the rooms together: the
// manifest pass's list queued, an interrupted installation recovered, every
// file transferred through its context, the installation, and the platform
// started again.
#include <cstdio>
#include <cstring>
#include <string>
#include "DownloadManager.h"
#include "afxinet.h"
#include "install/Installer.h"
#include "install/Platform.h"
#include "install/Recovery.h"
#include "manifest/DigestCache.h"
#include "manifest/ManifestPass.h"
#include "manifest/SerialFile.h"
#include "rules/PathRules.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "transfer/Transfer.h"

// What a file's transfer sees of the run.
class CDownloadManager::RunSink : public TransferSink {
public:
    explicit RunSink(CDownloadManager& run) : m_run(run) {}
    bool StopRequested() const override { return m_run.StopRequested(); }
    bool StopPlatform() override
    {
        m_run.SetState(US_FILE_START);
        return m_run.StopPlatformForRun();
    }
    void FileStarted(const DownloadTask& task) override
    {
        // A second attempt at the same file takes its bytes back.
        if (&task == m_task) m_run.m_dwRunBytes = m_runBytesAtStart;
        m_task = &task;
        m_runBytesAtStart = m_run.m_dwRunBytes;
        m_run.SetState(US_FILE_START);
        m_run.Notify(0, task.dwSize, US_FILE_START, task.szName);
    }
    void FileProgress(const DownloadTask& task, UINT64 fileBytes, UINT n) override
    {
        m_run.m_dwRunBytes += n;
        m_run.SetState(US_PROGRESS);
        m_run.Notify(static_cast<UINT32>(fileBytes), m_run.m_dwRunBytes, US_PROGRESS, task.szName);
    }
    void Activity() override { m_run.MarkActivity(); }

private:
    CDownloadManager& m_run;
    const DownloadTask* m_task = nullptr;
    UINT32 m_runBytesAtStart = 0;
};

int CDownloadManager::DownloadAll()
{
    RunSink sink(*this);
    const TransferContext context{ m_pSession.get(), m_strTempDir.str(), m_strAppDir.str(), sink };
    const int count = static_cast<int>(m_tasks.size());
    for (int i = 0; i < count; ++i) {
        DownloadTask& task = *m_tasks[static_cast<size_t>(i)];
        // A stop asked for between two files ends the run before the next
        // file is even opened.
        if (StopRequested()) return ReportCancelled();
        SetState(US_CONNECTING);
        Notify(0, 0, US_CONNECTING, nullptr);
        MarkActivity();
        const Outcome outcome = FetchFile(context, task);
        if (outcome.IsStopped()) return ReportCancelled();
        if (outcome.IsFailed()) return ReportDownloadFailure(task, outcome);
        task.bDone = TRUE;
        SetState(US_FILE_DONE);
        Notify(0, 0, US_FILE_DONE, task.szName);
    }
    SetState(US_ALL_DOWNLOADED);
    Notify(0, 0, US_ALL_DOWNLOADED, nullptr);
    RunLog::Write("download: all %d file(s) received", count);
    return 0;
}

int CDownloadManager::ReportDownloadFailure(const DownloadTask& task, const Outcome& outcome)
{
    if (outcome.what.empty()) RunLog::Write("download %s: failed", task.szName);
    else RunLog::Write("download %s: failed: %s", task.szName, outcome.what.c_str());
    // A read cut short by the stop itself (the window closed) is a cancel, not a failure.
    if (StopRequested() && m_phase.load() == kTransferring) return ReportCancelled();
    char text[512];
    if (outcome.text.empty()) std::snprintf(text, sizeof(text), "下载 %s 文件失败", task.szName);
    else std::snprintf(text, sizeof(text), "%s", outcome.text.c_str());
    ReportFailure(text);
    return 1;
}

int CDownloadManager::Install()
{
    Notify(0, 0, US_INSTALLING, "开始安装更新，请稍候...");
    std::vector<const DownloadTask*> files;
    for (const auto& task : m_tasks) files.push_back(task.get());
    const Outcome outcome = InstallDownloads(files, { m_strTempDir.str(), m_strAppDir.str(), OwnFileName() });
    if (!outcome.IsDone()) {
        ReportFailure(outcome.text.c_str());
        return 1;
    }
    // Their digests are known: the next start need not read them.
    RecordInstalledDigests();
    return 0;
}

void CDownloadManager::RecordInstalledDigests() const
{
    const std::string ownName = OwnFileName();
    std::vector<CDigestCache::Installed> digests;
    for (const auto& task : m_tasks) {
        const std::string local = task->szLocalName;
        if (InstalledName(local, ownName) != local || !task->bVerify || std::strlen(task->szMd5) != 32) continue;
        std::string md5 = task->szMd5;
        for (char& c : md5) c = FoldAsciiCase(c);
        digests.push_back({ task->szName, JoinPath(m_strAppDir.str(), local), md5 });
    }
    if (!digests.empty()) CDigestCache::RecordInstalled(m_strTempDir.str(), digests);
}

int CDownloadManager::CancelBeforeInstalling()
{
    m_phase.store(kCancelled);
    RunLog::Write("download: cancelled before installation");
    SetState(US_CANCELLED);
    RestartPlatformIfStopped();
    Notify(0, 0, US_CANCELLED, nullptr);
    return 2;
}

int CDownloadManager::Run()
{
    int result = DownloadAll();
    if (result != 0) return result;
    // A transfer that was given up on (stalled network, window closed too
    // long ago) never goes on to replace files.
    if (!EndTransfer(kInstalling)) {
        RunLog::Write("outcome: cancelled before installation");
        return 2;
    }
    // A stop asked for before this point is honoured: nothing is installed yet.
    if (StopRequested()) return CancelBeforeInstalling();
    result = Install();
    if (result != 0) return result;
    if (m_bHasSerial) KeepSerial(m_strTempDir.str(), m_ullSerial);
    ClearTasks();
    // The new installation stands: the platform starts whether or not the
    // window is still there to hear of it.
    m_platform.store(kPlatformStarted);
    StartPlatform(m_strAppDir);
    Notify(0, 0, US_FINISHED, nullptr);
    return 0;
}

bool CDownloadManager::RecoverInterruptedInstall()
{
    bool platformStopped = false;
    const bool consistent = ::RecoverInterruptedInstall(m_strTempDir.str(), m_strAppDir.str(), platformStopped);
    if (platformStopped) NotePlatformStopped();
    return consistent;
}

BOOL FetchManifest(const char* url, const CString& exeDir, CDownloadManager& manager, UINT32& totalSize,
                   DWORD timeoutMs)
{
    const ManifestList list =
        RunManifestPass({ url, exeDir.str(), manager.GetTempDir().str(), OwnFileName() }, timeoutMs);
    if (!list.complete) return FALSE;
    if (list.hasSerial) manager.SetManifestSerial(list.serial);
    for (const ListedFile& file : list.files) {
        totalSize += file.size;
        manager.AddTask(file.name.c_str(), file.url.c_str(), nullptr, file.size, file.md5.c_str(),
                        file.hasSha256 ? file.sha256.c_str() : nullptr,
                        file.chunksUrl.empty() ? nullptr : file.chunksUrl.c_str(), file.chunksSha256.c_str());
    }
    return list.files.empty() ? FALSE : TRUE;
}
