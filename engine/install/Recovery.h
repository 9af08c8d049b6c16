// Recovery of an installation that a killed run left half done.
#pragma once
#include <string>
#include "install/Journal.h"

// Finishes or undoes the installation a journal in tempDir describes,
// stopping the platform first (platformStopped tells whether one was
// running). A file is moved back only when its bytes have the digest the
// journal recorded (digestOf reads them); any other file stays and is logged.
// A committed installation blocks nothing: what it left is deleted when it
// can be. True when nothing is left to undo; false when the journal had to
// stay (a file could not be put back, or another updater has it open and is
// installing), in which case nothing may be installed over it. A journal that
// names anything outside the installation or the temporary folder, or was
// written by an earlier version, is never acted on: it is set aside and the
// run goes on.
bool RecoverInterruptedInstall(const std::string& tempDir, const std::string& appDir, const FileDigest& digestOf,
                               bool& platformStopped);
