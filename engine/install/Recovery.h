// Recovery of an installation that a killed run left half done.
#pragma once
#include <string>

// Finishes or undoes the installation a journal in tempDir describes,
// stopping the platform first (platformStopped tells whether one was
// running). True when nothing is left to undo; false when the journal had to
// stay (a file could not be put back), in which case nothing may be installed
// over it. A journal that names anything outside the installation or the
// temporary folder is never acted on: it is set aside and the run goes on.
bool RecoverInterruptedInstall(const std::string& tempDir, const std::string& appDir, bool& platformStopped);
