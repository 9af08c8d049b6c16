// The serial of the last signed manifest a run finished with, kept in the
// temporary folder so that an older signed manifest is refused later.
#pragma once
#include <cstdint>
#include <string>

// What the serial file holds.
enum class LastSerial {
    None,     // no serial file
    Read,     // a serial
    Damaged,  // a file that holds no serial (or cannot be read): taken as none
};
// Reads the serial file; a damaged one is logged. Only the player's own
// machine can damage it (and it could as well delete it), so it is taken as
// absent and written anew once a run finishes.
LastSerial ReadLastSerial(const std::string& tempDir, std::uint64_t& serial);
// Written only after a finished run, atomically. A failure only weakens the
// downgrade check (the run has finished): it is logged, not reported.
void KeepSerial(const std::string& tempDir, std::uint64_t serial);
// The file's path, for the log.
std::string SerialPath(const std::string& tempDir);
