// All-or-nothing installation: every installed copy that a move replaces is
// kept aside in the temporary folder, and a journal there says what was done,
// so that a failed step, or the next run after a killed one, can put it back.
#pragma once

// The journal's name in the temporary folder, and the suffix of a kept copy
// (<temp>\<destination name>.bak).
extern const char kInstallJournalName[];
extern const char kKeptCopySuffix[];

// Finishes or undoes an installation that a killed run left half done (a
// journal in tempDir), stopping the platform first. True when nothing is left
// to undo; false when the journal had to stay (a file could not be put back),
// in which case nothing may be installed over it.
bool RecoverInterruptedInstall(const char* tempDir, const char* appDir);
