#include "install/Installer.h"
#include <windows.h>
#include <cstdio>
#include <set>
#include "install/JournalFile.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "support/TestHooks.h"
#include "support/WindowsNames.h"

namespace {
const DWORD kMoveFlags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

std::string ErrorText(const char* what)
{
    return std::string(what) + " (error " + std::to_string(::GetLastError()) + ")";
}

// One installation: its plan, its journal, and the name of the file a step failed on.
class CInstallation {
public:
    explicit CInstallation(const InstallFolders& folders) : m_folders(folders), m_paths(folders.tempDir, folders.installDir) {}

    Outcome Run(const std::vector<const DownloadTask*>& files);

private:
    Outcome Plan(const std::vector<const DownloadTask*>& files);
    Outcome PlanFile(const DownloadTask& task, std::set<std::wstring>& folders);
    Outcome PlanFolders(const std::string& dest, std::set<std::wstring>& folders);
    Outcome StartJournal();
    Outcome Apply();
    Outcome Move(JournalStep& step, const std::string& source);
    Outcome Commit();
    Outcome Fail(const Outcome& failure);

    const InstallFolders& m_folders;
    RunPaths m_paths;
    JournalPlan m_plan;
    std::vector<std::string> m_sources;  // the .dtm of each step (empty for a folder)
    bool m_keeps = false;                // some step keeps an installed copy aside
    std::string m_failedName;
    CJournalFile m_journal;
    int m_moves = 0;
    bool m_commitUncertain = false;  // the journal may read as committed: the next start decides
};

Outcome CInstallation::Run(const std::vector<const DownloadTask*>& files)
{
    Outcome outcome = Plan(files);
    if (outcome.IsDone() && !m_plan.steps.empty()) outcome = StartJournal();
    if (outcome.IsDone() && !m_plan.steps.empty()) TestHooks::KillPoint("planned");
    if (outcome.IsDone()) outcome = Apply();
    if (outcome.IsDone() && !m_plan.steps.empty()) TestHooks::KillPoint("moved");
    if (outcome.IsDone()) outcome = Commit();
    if (!outcome.IsDone()) return Fail(outcome);
    RunLog::Write("install: %d file(s) in place", m_moves);
    return outcome;
}

Outcome CInstallation::Plan(const std::vector<const DownloadTask*>& files)
{
    if (::GetFileAttributesA(m_paths.JournalPath().c_str()) != INVALID_FILE_ATTRIBUTES)
        return Outcome::Failed("an earlier installation was never undone");
    // Known to exist, or made by the plan; as Windows compares names, so that
    // "Data" and "data" are one folder.
    std::set<std::wstring> folders;
    for (const DownloadTask* task : files) {
        m_failedName = task->szName;
        const Outcome planned = PlanFile(*task, folders);
        if (!planned.IsDone()) return planned;
    }
    NumberKeptCopies(m_plan.steps);
    return Outcome::Done();
}

Outcome CInstallation::PlanFile(const DownloadTask& task, std::set<std::wstring>& folders)
{
    const std::string local = task.szLocalName;
    const std::string dest = InstalledName(local, m_folders.ownName);
    const std::string target = m_paths.Installed(dest), source = m_paths.Download(local);
    if (target.size() >= MAX_PATH || source.size() >= MAX_PATH || m_paths.KeptFolder("").size() + dest.size() + 56 >= MAX_PATH)
        return Outcome::Failed("the path does not fit");
    const Outcome made = PlanFolders(dest, folders);
    if (!made.IsDone()) return made;
    const DWORD attributes = ::GetFileAttributesA(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Outcome::Failed("a folder stands where the file goes");
    const bool replacing = attributes != INVALID_FILE_ATTRIBUTES;
    m_keeps = m_keeps || replacing;
    JournalStep step{ replacing ? StepKind::Keep : StepKind::Add, dest, local };
    // What a recovery must find before it moves either file.
    step.newMd5 = JournalDigest(task.szMd5);
    if (replacing && m_folders.digestOf) step.keptMd5 = JournalDigest(m_folders.digestOf(task, target));
    m_plan.steps.push_back(std::move(step));
    m_sources.push_back(source);
    return Outcome::Done();
}

// Every separator (never a trail byte) ends a folder that must be there.
Outcome CInstallation::PlanFolders(const std::string& dest, std::set<std::wstring>& folders)
{
    for (const char* p = dest.c_str(); *p; p = ::CharNextA(p)) {
        if (*p != '\\' && *p != '/') continue;
        const std::string folder = dest.substr(0, static_cast<size_t>(p - dest.c_str()));
        const std::wstring key = FoldWindowsName(WidenAnsi(folder.c_str()));
        if (folders.count(key)) continue;
        const DWORD attributes = ::GetFileAttributesA(m_paths.Installed(folder).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            m_plan.steps.push_back({ StepKind::Folder, folder, std::string() });
            m_sources.emplace_back();
        } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Outcome::Failed("its folder cannot be created: a file stands where the folder goes");
        }
        folders.insert(key);
    }
    return Outcome::Done();
}

// A run name whose kept-copy folder does not exist yet, then the plan on disk
// before the first move.
Outcome CInstallation::StartJournal()
{
    bool named = false;
    for (int attempt = 0; attempt < 16 && !named; ++attempt) {
        char run[40];
        std::snprintf(run, sizeof(run), "%lx-%llx-%x", ::GetCurrentProcessId(),
                      static_cast<unsigned long long>(::GetTickCount64()), attempt);
        m_plan.run = run;
        named = ::GetFileAttributesA(m_paths.KeptFolder(run).c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    Outcome outcome = Outcome::Done();
    if (!named || (m_keeps && !::CreateDirectoryA(m_paths.KeptFolder(m_plan.run).c_str(), nullptr)))
        outcome = Outcome::Failed(ErrorText("no folder for the kept copies can be made"));
    else if (!m_journal.WritePlan(m_paths.JournalPath(), m_plan))
        outcome = Outcome::Failed(ErrorText("the journal cannot be written"));
    if (outcome.IsDone()) return outcome;
    m_failedName.clear();
    ::RemoveDirectoryA(m_paths.KeptFolder(m_plan.run).c_str());
    m_journal.Close();
    ::DeleteFileA(m_paths.JournalPath().c_str());
    m_plan.steps.clear();
    return outcome;
}

// The moves, in the plan's order.
Outcome CInstallation::Apply()
{
    const int crashAfter = TestHooks::CrashAfterMoves();
    for (size_t i = 0; i < m_plan.steps.size(); ++i) {
        JournalStep& step = m_plan.steps[i];
        m_failedName = step.dest;
        if (step.kind == StepKind::Folder) {
            if (!::CreateDirectoryA(m_paths.Installed(step.dest).c_str(), nullptr))
                return Outcome::Failed(ErrorText("its folder cannot be created"));
            step.state = StepState::Complete;
            continue;
        }
        const Outcome moved = Move(step, m_sources[i]);
        if (!moved.IsDone()) return moved;
        if (++m_moves == crashAfter) ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    return Outcome::Done();
}

Outcome CInstallation::Move(JournalStep& step, const std::string& source)
{
    const std::string target = m_paths.Installed(step.dest);
    if (step.kind == StepKind::Keep) {
        const std::string kept = m_paths.Kept(m_plan.run, step);
        if (!CreateFoldersFor(m_paths.KeptFolder(m_plan.run), RunPaths::KeptName(step)) ||
            !::MoveFileExA(target.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH))
            return Outcome::Failed(ErrorText("the installed copy cannot be moved aside"));
        step.state = StepState::MovedAside;
    }
    if (!::MoveFileExA(source.c_str(), target.c_str(), kMoveFlags))
        return Outcome::Failed(ErrorText("the new file cannot be moved into place"));
    step.state = StepState::Complete;
    RunLog::Write("install: %s -> %s", source.c_str(), target.c_str());
    return Outcome::Done();
}

// Every move was written through; only now may the kept copies go.
Outcome CInstallation::Commit()
{
    if (m_plan.steps.empty()) return Outcome::Done();
    const CJournalFile::Commit commit = m_journal.WriteCommit();
    if (commit != CJournalFile::Commit::Committed) {
        m_commitUncertain = commit == CJournalFile::Commit::Uncertain;
        return Outcome::Failed(ErrorText("the journal's commit line cannot be written"));
    }
    m_journal.Close();
    TidyCommitted(m_paths, m_plan);  // what cannot be deleted now goes later; it blocks nothing
    return Outcome::Done();
}

Outcome CInstallation::Fail(const Outcome& failure)
{
    RunLog::Write("install failed: %s: %s", m_failedName.c_str(), failure.what.c_str());
    m_journal.Close();
    if (m_commitUncertain) {
        RunLog::Write("install: the journal cannot be cut back to its plan; the next start finishes or undoes this "
                      "installation");
    } else if (!m_plan.steps.empty()) {
        const bool restored = RollBack(m_paths, m_plan);
        RunLog::Write(restored ? "install: rolled back; the installation is as it was"
                               : "install: rolled back only in part; the next run tries again");
    }
    char text[512];
    std::snprintf(text, sizeof(text), "安装 %s 文件失败", m_failedName.c_str());
    return Outcome::Failed(failure.what, text);
}
} // namespace

Outcome InstallDownloads(const std::vector<const DownloadTask*>& files, const InstallFolders& folders)
{
    RunLog::Write("install: %d file(s)", static_cast<int>(files.size()));
    return CInstallation(folders).Run(files);
}
