#include "install/JournalFile.h"
#include <windows.h>
#include "support/Files.h"
#include "support/RunLog.h"

namespace {
const DWORD kMoveFlags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
// A journal is a line per file; anything larger is not ours.
const std::size_t kMaxJournalBytes = 64u * 1024 * 1024;

bool Exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WriteAll(HANDLE h, const std::string& text)
{
    DWORD written = 0;
    return ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size() &&
           ::FlushFileBuffers(h);
}

// A placed file goes back to its .dtm (deleted when it cannot).
bool Unplace(const std::string& installed, const std::string& download)
{
    return ::MoveFileExA(installed.c_str(), download.c_str(), MOVEFILE_REPLACE_EXISTING | kMoveFlags) ||
           ::DeleteFileA(installed.c_str());
}

bool RollBackStep(const RunPaths& paths, const std::string& run, const JournalStep& step)
{
    const std::string installed = paths.Installed(step.dest);
    switch (step.kind) {
    case StepKind::Keep:
        if (step.state == StepState::Untouched) return true;  // never went aside: untouched
        if (step.state == StepState::Complete) Unplace(installed, paths.Download(step.local));
        if (::MoveFileExA(paths.Kept(run, step).c_str(), installed.c_str(), kMoveFlags)) return true;
        RunLog::Write("rollback: cannot put back %s (error %lu)", step.dest.c_str(), ::GetLastError());
        return false;
    case StepKind::Add:
        if (step.state != StepState::Complete || Unplace(installed, paths.Download(step.local))) return true;
        RunLog::Write("rollback: cannot remove added %s (error %lu)", step.dest.c_str(), ::GetLastError());
        return false;
    case StepKind::Folder:
        if (step.state == StepState::Complete) ::RemoveDirectoryA(installed.c_str());  // only if empty again
        return true;
    }
    return true;
}
} // namespace

bool CJournalFile::WritePlan(const std::string& path, const JournalPlan& plan)
{
    m_file.reset(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    return m_file && WriteAll(m_file.get(), EncodeJournalPlan(plan));
}

bool CJournalFile::WriteCommit() { return m_file && WriteAll(m_file.get(), kJournalCommitLine); }

bool LoadJournal(const std::string& path, JournalPlan& plan, std::string& why)
{
    std::string text;
    DWORD error = 0;
    if (!ReadSmallFile(path, kMaxJournalBytes, text, error)) {
        why = "it cannot be opened (error " + std::to_string(error) + ")";
        return false;
    }
    const JournalFault fault = DecodeJournal(text, plan);
    if (fault == JournalFault::None) return true;
    why = DescribeJournalFault(fault);
    return false;
}

bool TidyCommitted(const RunPaths& paths, const JournalPlan& plan)
{
    bool all = true;
    for (const JournalStep& s : plan.steps) {
        if (s.kind != StepKind::Keep) continue;
        const std::string kept = paths.Kept(plan.run, s);
        // A read-only copy is deleted like any other.
        ::SetFileAttributesA(kept.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::DeleteFileA(kept.c_str()) && Exists(kept)) {
            RunLog::Write("install: the kept copy %s cannot be deleted (error %lu)", kept.c_str(), ::GetLastError());
            all = false;
        }
    }
    if (!all) return false;
    RemoveEmptyTree(paths.KeptFolder(plan.run));
    ::DeleteFileA(paths.JournalPath().c_str());
    return true;
}

bool RollBack(const RunPaths& paths, const JournalPlan& plan)
{
    bool complete = true;
    for (auto it = plan.steps.rbegin(); it != plan.steps.rend(); ++it)
        complete = RollBackStep(paths, plan.run, *it) && complete;
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
