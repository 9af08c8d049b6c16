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
    ::MoveFileExA(paths.JournalPath().c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    RunLog::Write("recovery: the journal was set aside as %s and not acted on: %s", aside.c_str(), why.c_str());
}
} // namespace

bool RecoverInterruptedInstall(const std::string& tempDir, const std::string& appDir, bool& platformStopped)
{
    platformStopped = false;
    const RunPaths paths(tempDir, appDir);
    if (::GetFileAttributesA(paths.JournalPath().c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    JournalPlan plan;
    std::string why;
    if (!LoadJournal(paths.JournalPath(), plan, why)) {
        SetAside(paths, why);
        return true;
    }
    if (const char* outside = paths.OutsideItsFolders(plan, PlaceTempFolder(appDir.c_str(), tempDir.c_str()))) {
        SetAside(paths, std::string("it names ") + outside +
                            ", which is outside the installation or inside the temporary folder");
        return true;
    }
    if (plan.committed) {
        const bool tidied = TidyCommitted(paths, plan);
        RunLog::Write(tidied ? "recovery: an installation that had completed was tidied up"
                             : "recovery: an installation that had completed keeps a copy that cannot be deleted yet");
        return true;
    }
    // Files are about to be put back under it: the platform must not run on them.
    if (!StopRunningPlatform(&platformStopped)) return false;
    StatesFromTraces(paths, plan);
    const bool complete = RollBack(paths, plan);
    RunLog::Write(complete ? "recovery: an interrupted installation was rolled back"
                           : "recovery: an interrupted installation could not be rolled back completely");
    return complete;
}
