#include "install/JournalFile.h"
#include <windows.h>
#include <vector>
#include "rules/PathRules.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "support/Task.h"
#include "support/TestHooks.h"

namespace {
const DWORD kMoveFlags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
// A journal is a line per file; anything larger is not ours.
const std::size_t kMaxJournalBytes = 64u * 1024 * 1024;

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WriteText(HANDLE h, const std::string& text)
{
    DWORD written = 0;
    return ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

// A placed file goes back to its .dtm (deleted when it cannot).
bool Unplace(const std::string& installed, const std::string& download)
{
    return ::MoveFileExA(installed.c_str(), download.c_str(), MOVEFILE_REPLACE_EXISTING | kMoveFlags) ||
           ::DeleteFileA(installed.c_str());
}

// Without proof to ask for (a run undoing its own moves knows what it did),
// or when its bytes have the digest the journal recorded.
bool IsTheRuns(const FileDigest* proof, const std::string& path, const std::string& md5)
{
    return !proof || (!md5.empty() && SameHexDigest((*proof)(path).c_str(), md5.c_str()));
}

// The file a step placed goes back to its .dtm; a file that is not the run's stays.
bool TakeBackPlaced(const RunPaths& paths, const JournalStep& step, const FileDigest* proof)
{
    const std::string installed = paths.Installed(step.dest);
    if (!IsTheRuns(proof, installed, step.newMd5)) {
        RunLog::Write("rollback: %s is not the file this run put there; it is left as it is", step.dest.c_str());
        return true;
    }
    if (Unplace(installed, paths.Download(step.local))) return true;
    RunLog::Write("rollback: cannot remove %s (error %lu)", step.dest.c_str(), ::GetLastError());
    return false;
}

// The kept copy goes back where it was, unless something else stands there now.
bool PutBackKept(const RunPaths& paths, const std::string& run, const JournalStep& step, const FileDigest* proof,
                 int& putBack)
{
    const std::string kept = paths.Kept(run, step), installed = paths.Installed(step.dest);
    if (proof && Exists(installed)) {
        RunLog::Write("rollback: %s holds a file this run did not put there; its old copy stays at %s",
                      step.dest.c_str(), kept.c_str());
        return true;
    }
    if (!IsTheRuns(proof, kept, step.keptMd5)) {
        RunLog::Write("rollback: %s is not the copy this run kept aside; it is left where it is", kept.c_str());
        return true;
    }
    if (::MoveFileExA(kept.c_str(), installed.c_str(), kMoveFlags)) {
        TestHooks::KillPoint("rollback", ++putBack);
        return true;
    }
    RunLog::Write("rollback: cannot put back %s (error %lu)", step.dest.c_str(), ::GetLastError());
    return false;
}

bool RollBackStep(const RunPaths& paths, const std::string& run, const JournalStep& step, const FileDigest* proof,
                  int& putBack)
{
    switch (step.kind) {
    case StepKind::Keep:
        if (step.state == StepState::Untouched) return true;  // never went aside: untouched
        if (step.state == StepState::Complete && !TakeBackPlaced(paths, step, proof)) return false;
        return PutBackKept(paths, run, step, proof, putBack);
    case StepKind::Add: return step.state != StepState::Complete || TakeBackPlaced(paths, step, proof);
    case StepKind::Folder:
        if (step.state == StepState::Complete) ::RemoveDirectoryA(paths.Installed(step.dest).c_str());  // only if empty
        return true;
    }
    return true;
}

// A committed run's kept copies; one that cannot be deleted yet goes at the
// next restart. True when none is left.
bool DeleteKeptCopies(const RunPaths& paths, const JournalPlan& plan)
{
    bool all = true;
    int deleted = 0;
    for (const JournalStep& s : plan.steps) {
        if (s.kind != StepKind::Keep) continue;
        const std::string kept = paths.Kept(plan.run, s);
        // A read-only copy is deleted like any other.
        ::SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (::DeleteFileA(kept.c_str())) {
            TestHooks::KillPoint("tidying", ++deleted);
            continue;
        }
        const DWORD error = ::GetLastError();
        if (!Exists(kept)) continue;
        const bool atRestart = ::MoveFileExA(kept.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
        RunLog::Write("install: the kept copy %s cannot be deleted yet (error %lu)%s", kept.c_str(), error,
                      atRestart ? "; it is deleted at the next restart" : "");
        all = false;
    }
    return all;
}

} // namespace

bool CJournalFile::WritePlan(const std::string& path, const JournalPlan& plan)
{
    m_file.reset(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    const std::string text = EncodeJournalPlan(plan);
    m_planBytes = static_cast<LONGLONG>(text.size());
    return m_file && WriteText(m_file.get(), text) && ::FlushFileBuffers(m_file.get());
}

CJournalFile::Commit CJournalFile::WriteCommit()
{
    if (!m_file) return Commit::CutBack;
    if (WriteText(m_file.get(), kJournalCommitLine) && ::FlushFileBuffers(m_file.get()) && !TestHooks::FailCommitFlush())
        return Commit::Committed;
    // The line may be on disk without its flush having succeeded: a rollback
    // killed half-way must not leave a journal that reads as committed.
    LARGE_INTEGER plan{};
    plan.QuadPart = m_planBytes;
    if (::SetFilePointerEx(m_file.get(), plan, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_file.get()) &&
        ::FlushFileBuffers(m_file.get()))
        return Commit::CutBack;
    return Commit::Uncertain;
}

bool LoadJournal(const std::string& path, JournalPlan& plan, std::string& why, DWORD& error)
{
    std::string text;
    error = 0;
    if (!ReadSmallFile(path, kMaxJournalBytes, text, error)) {
        why = "it cannot be opened (error " + std::to_string(error) + ")";
        return false;
    }
    error = 0;
    const JournalFault fault = DecodeJournal(text, plan);
    if (fault == JournalFault::None) return true;
    why = DescribeJournalFault(fault);
    return false;
}

bool TidyCommitted(const RunPaths& paths, const JournalPlan& plan)
{
    if (DeleteKeptCopies(paths, plan)) {
        RemoveEmptyTree(paths.KeptFolder(plan.run));
        ::DeleteFileA(paths.JournalPath().c_str());
        return true;
    }
    // A committed installation blocks nothing: its journal waits beside what is left.
    const std::string journal = paths.JournalPath();
    if (::MoveFileExA(journal.c_str(), paths.RetiredJournal(plan.run).c_str(), MOVEFILE_WRITE_THROUGH) ||
        ::DeleteFileA(journal.c_str()))
        RunLog::Write("install: a later start deletes the kept copies left");
    else
        RunLog::Write("install: the journal cannot be moved beside the kept copies left (error %lu)", ::GetLastError());
    return false;
}

std::vector<std::string> RetiredRuns(const RunPaths& paths)
{
    std::vector<std::string> runs;
    WIN32_FIND_DATAA found;
    HANDLE h = ::FindFirstFileA(JoinPath(paths.TempDir(), "kept.*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return runs;
    do {
        const std::string name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() > 5 &&
            EqualIgnoringAsciiCase(name.substr(0, 5).c_str(), "kept.") && Exists(paths.RetiredJournal(name.substr(5))))
            runs.push_back(name.substr(5));
    } while (::FindNextFileA(h, &found));
    ::FindClose(h);
    return runs;
}

void TidyRetired(const RunPaths& paths, const std::string& run, const TempFolderPlace& temp)
{
    const std::string journal = paths.RetiredJournal(run);
    JournalPlan plan;
    std::string why;
    DWORD error = 0;
    if (LoadJournal(journal, plan, why, error) && (!plan.committed || plan.run != run))
        why = "it is not the committed journal of its run";
    else if (why.empty() && paths.OutsideItsFolders(plan, temp))
        why = "it names a file outside the installation";
    if (!why.empty()) {
        RunLog::Write("recovery: %s is left alone: %s", journal.c_str(), why.c_str());
        return;
    }
    if (!DeleteKeptCopies(paths, plan)) return;  // logged; a later start tries again
    ::DeleteFileA(journal.c_str());
    RemoveEmptyTree(paths.KeptFolder(run));
    RunLog::Write("recovery: the kept copies an earlier installation left were deleted");
}
bool RollBack(const RunPaths& paths, const JournalPlan& plan, const FileDigest* proof)
{
    bool complete = true;
    int putBack = 0;
    for (auto it = plan.steps.rbegin(); it != plan.steps.rend(); ++it)
        complete = RollBackStep(paths, plan.run, *it, proof, putBack) && complete;
    if (complete) {
        RemoveEmptyTree(paths.KeptFolder(plan.run));
        ::DeleteFileA(paths.JournalPath().c_str());
    }
    return complete;
}

void StatesFromTraces(const RunPaths& paths, JournalPlan& plan)
{
    for (JournalStep& s : plan.steps) {
        const bool placed = Exists(paths.Installed(s.dest));
        switch (s.kind) {
        case StepKind::Keep:
            s.state = !Exists(paths.Kept(plan.run, s)) ? StepState::Untouched
                      : placed                          ? StepState::Complete
                                                        : StepState::MovedAside;
            break;
        case StepKind::Add: s.state = placed ? StepState::Complete : StepState::Untouched; break;
        case StepKind::Folder: s.state = StepState::Complete; break;  // removed only if it is empty
        }
    }
}
