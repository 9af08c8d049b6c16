// All-or-nothing installation: every installed copy that a move replaces is
// kept aside in a folder of its run inside the temporary folder, and a journal
// there says what the run set out to do, so that a failed step, or the next
// run after a killed one, can put it back.
#pragma once
#include <string>

// The journal's name in the temporary folder.
extern const char kInstallJournalName[];

// Where the updater's own new executable goes: its name with the last
// extension replaced by ".EX_" (it cannot replace itself while it runs).
std::string SideFileName(const std::string& ownName);

// Finishes or undoes an installation that a killed run left half done (a
// journal in tempDir), stopping the platform first (platformStopped tells
// whether one was running). True when nothing is left to undo; false when the
// journal had to stay (a file could not be put back), in which case nothing
// may be installed over it. A journal that names anything outside the
// installation or the temporary folder is never acted on: it is set aside
// and the run goes on.
bool RecoverInterruptedInstall(const char* tempDir, const char* appDir, bool* platformStopped = nullptr);
