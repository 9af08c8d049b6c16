// The serial of the last signed manifest a run finished with, kept in the
// temporary folder so that an older signed manifest is refused later.
#pragma once
#include <cstdint>
#include <string>

// False when none was kept; unreadable is set when a serial file is there but
// does not hold a serial.
bool ReadLastSerial(const std::string& tempDir, std::uint64_t& serial, bool& unreadable);
// Written only after a finished run, atomically. A failure only weakens the
// downgrade check (the run has finished): it is logged, not reported.
void KeepSerial(const std::string& tempDir, std::uint64_t serial);
// The file's path, for the log.
std::string SerialPath(const std::string& tempDir);
