// The steps of a run, and the only place that wires the rooms together: the
// manifest pass's list queued, an interrupted installation recovered, every
// file transferred through its context, the installation, and the platform
// started again.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include "DownloadManager.h"
#include "afxfile.h"
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
#include "transfer/EarlyPatch.h"
#include "transfer/TransferPool.h"

// What the transfers see of the run, and how their reports reach the window.
class CDownloadManager::RunSink : public PoolRun, public PoolReport {
public:
    explicit RunSink(CDownloadManager& run) : m_run(run) {}
    bool StopRequested() const override { return m_run.StopRequested(); }
    bool StopPlatform() override { return m_run.StopPlatformForRun(); }
    void Activity() override { m_run.MarkActivity(); }
    void Connecting(const DownloadTask&) override
    {
        m_run.SetState(US_CONNECTING);
        m_run.Notify(0, 0, US_CONNECTING, nullptr);
        m_run.MarkActivity();
    }
    void Started(const DownloadTask& task) override
    {
        m_run.SetState(US_FILE_START);
        m_run.Notify(0, task.dwSize, US_FILE_START, task.szName);
    }
    void Progress(const DownloadTask& task, UINT64 fileBytes, UINT64 runBytes) override
    {
        m_run.SetState(US_PROGRESS);
        m_run.Notify(static_cast<UINT32>(fileBytes), static_cast<UINT32>(runBytes), US_PROGRESS, task.szName);
    }
    void Done(const DownloadTask& task) override
    {
        m_run.SetState(US_FILE_DONE);
        m_run.Notify(0, 0, US_FILE_DONE, task.szName);
    }
    void LocalWork(bool busy) override
    {
        m_run.m_localWork.fetch_add(busy ? 1 : -1);
        if (!busy) m_run.MarkActivity();  // the stall limit counts from the end of it
    }

private:
    CDownloadManager& m_run;
};

int CDownloadManager::DownloadAll()
{
    // A stop asked for before the first file ends the run before it is opened.
    if (StopRequested()) return ReportCancelled();
    RunSink sink(*this);
    std::vector<DownloadTask*> tasks;
    for (const auto& task : m_tasks) tasks.push_back(task.get());
    const PoolResult result =
        FetchAll(tasks, m_pSession.get(), { m_strTempDir.str(), m_strAppDir.str(), m_earlyPatch.get() }, sink, sink);
    m_earlyPatch.reset();
    if (result.outcome.IsStopped()) return ReportCancelled();
    if (result.outcome.IsFailed()) return ReportDownloadFailure(*result.failed, result.outcome);
    SetState(US_ALL_DOWNLOADED);
    Notify(0, 0, US_ALL_DOWNLOADED, nullptr);
    RunLog::Write("download: all %d file(s) received", static_cast<int>(tasks.size()));
    return 0;
}

void CDownloadManager::SurveyAhead()
{
    // The first file a patch may take from its installed copy, unless an
    // earlier run left a download of it or a patch's bytes: its patch takes
    // those too, and surveys them itself.
    for (const auto& task : m_tasks) {
        const std::string kept = JoinPath(m_strTempDir.str(), task->szLocalName) + ".dtm";
        if (!task->bChunks || FileSizeOf(JoinPath(m_strAppDir.str(), task->szLocalName)) <= 0) continue;
        if (FileSizeOf(kept) >= 0 || FileSizeOf(kept + ".prev") >= 0 || !m_pSession) return;
        try {
            m_earlyPatch = std::make_unique<CEarlyPatch>(m_pSession.get(), m_strAppDir.str(), *task);
        } catch (const std::exception&) {
            // No thread for it: the patch surveys for itself.
        }
        return;
    }
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
    if (!files.empty() && !StopPlatformBeforeInstalling()) {
        RunLog::Write("install failed: the platform could not be stopped");
        ReportFailure("安装  文件失败");
        return 1;
    }
    // The copies kept aside: their digests from the cache where their stamps
    // still stand (the pass has just digested them), read otherwise.
    std::optional<CDigestCache> cache;
    const auto keptDigest = [&](const DownloadTask& task, const std::string& path) {
        if (!cache) {
            std::vector<std::string> names;
            for (const DownloadTask* file : files) names.push_back(file->szName);
            cache.emplace(m_strTempDir.str(), names, ReverifyBudget{ 0, 0 });
        }
        try {
            return std::string(cache->Digest(task.szName, path.c_str()).GetString());
        } catch (const CFileException&) {
            return std::string();
        }
    };
    const Outcome outcome =
        InstallDownloads(files, { m_strTempDir.str(), m_strAppDir.str(), OwnFileName(), keptDigest });
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
        if (InstalledName(local, ownName) != local || std::strlen(task->szMd5) != 32) continue;
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
    // A file is moved back only when its bytes prove it the interrupted run's.
    const auto digestOf = [](const std::string& path) {
        try {
            return std::string(DigestInstalledFile(path.c_str()).GetString());
        } catch (const CFileException&) {
            return std::string();
        }
    };
    const bool consistent =
        ::RecoverInterruptedInstall(m_strTempDir.str(), m_strAppDir.str(), digestOf, platformStopped);
    if (platformStopped) NotePlatformStopped();
    return consistent;
}

ManifestFetch FetchManifest(const char* url, const CString& exeDir, CDownloadManager& manager, UINT32& totalSize,
                            DWORD timeoutMs)
{
    const ManifestList list =
        RunManifestPass({ url, exeDir.str(), manager.GetTempDir().str(), OwnFileName() }, timeoutMs);
    if (!list.complete) return ManifestFetch::Failed;
    if (list.hasSerial) manager.SetManifestSerial(list.serial);
    // Nothing to install: the installation is this manifest's, so a damaged
    // serial file is written anew now (an installation keeps it when it finishes).
    if (list.files.empty() && list.hasSerial && list.serialFileDamaged) KeepSerial(manager.GetTempDir().str(), list.serial);
    for (const ListedFile& file : list.files) {
        totalSize += file.size;
        manager.AddTask(file.name.c_str(), file.url.c_str(), nullptr, file.size, file.md5.c_str(),
                        file.hasSha256 ? file.sha256.c_str() : nullptr,
                        file.chunksUrl.empty() ? nullptr : file.chunksUrl.c_str(), file.chunksSha256.c_str(),
                        file.chunksHead);
    }
    manager.SurveyAhead();
    return list.files.empty() ? ManifestFetch::NothingToUpdate : ManifestFetch::Queued;
}
