#include "install/Recovery.h"
#include <windows.h>
#include "install/JournalFile.h"
#include "install/Platform.h"
#include "support/RunLog.h"
#include "support/WindowsNames.h"

namespace {
// Not one of ours, or not one to trust: it is never acted on.
void SetAside(const RunPaths& paths, const std::string& why)
{
    const std::string aside = paths.JournalPath() + ".rejected";
    if (::MoveFileExA(paths.JournalPath().c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        RunLog::Write("recovery: the journal was set aside as %s and not acted on: %s", aside.c_str(), why.c_str());
    else
        RunLog::Write("recovery: the journal is not acted on: %s; it cannot be set aside (error %lu)", why.c_str(),
                      ::GetLastError());
}

// The journal as it was left: false when it is another updater's, in use.
bool Load(const RunPaths& paths, JournalPlan& plan, bool& usable)
{
    std::string why;
    DWORD error = 0;
    usable = LoadJournal(paths.JournalPath(), plan, why, error);
    if (usable) return true;
    // Open for writing elsewhere: an installation is under way. Its journal is
    // left exactly as it is.
    if (error == ERROR_SHARING_VIOLATION) {
        RunLog::Write("recovery: the journal is open in another updater, which is installing; nothing is installed "
                      "this run");
        return false;
    }
    SetAside(paths, why);
    return true;
}

// Rolls back an installation that never committed.
bool Undo(const RunPaths& paths, JournalPlan& plan, const FileDigest& digestOf, bool& platformStopped)
{
    // Files are about to be put back under it: the platform must not run on them.
    if (!StopRunningPlatform(&platformStopped)) return false;
    StatesFromTraces(paths, plan);
    const bool complete = RollBack(paths, plan, &digestOf);
    RunLog::Write(complete ? "recovery: an interrupted installation was rolled back"
                           : "recovery: an interrupted installation could not be rolled back completely");
    return complete;
}
} // namespace

bool RecoverInterruptedInstall(const std::string& tempDir, const std::string& appDir, const FileDigest& digestOf,
                               bool& platformStopped)
{
    platformStopped = false;
    const RunPaths paths(tempDir, appDir);
    const std::vector<std::string> retired = RetiredRuns(paths);
    const bool journal = ::GetFileAttributesA(paths.JournalPath().c_str()) != INVALID_FILE_ATTRIBUTES;
    if (retired.empty() && !journal) return true;
    const TempFolderPlace temp = PlaceTempFolder(appDir.c_str(), tempDir.c_str());
    for (const std::string& run : retired) TidyRetired(paths, run, temp);
    if (!journal) return true;
    JournalPlan plan;
    bool usable = false;
    if (!Load(paths, plan, usable)) return false;
    if (!usable) return true;
    if (const char* outside = paths.OutsideItsFolders(plan, temp)) {
        SetAside(paths, std::string("it names ") + outside +
                            ", which is outside the installation or inside the temporary folder");
        return true;
    }
    if (plan.committed) {
        const bool tidied = TidyCommitted(paths, plan);
        RunLog::Write(tidied ? "recovery: an installation that had completed was tidied up"
                             : "recovery: an installation that had completed left kept copies that cannot be deleted "
                               "yet; the run goes on");
        return true;
    }
    return Undo(paths, plan, digestOf, platformStopped);
}
