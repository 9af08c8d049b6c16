// The run log: update.log in the temporary folder, one line per event with the
// local time, so that "the update failed" can be traced to a file, a URL, a
// status or a move. Writing it never changes the outcome of a run.
#pragma once
#include <string>

namespace RunLog {

// Where the lines go from now on (created, with its folder, when first written).
// Until this is called nothing is written.
void Open(const std::string& tempDir);
// Appends one line (system code page text; a line end is added). Thread-safe.
void Write(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Past this size the log is renamed to update.log.1 (replacing an older one).
const unsigned long kMaxBytes = 1024 * 1024;

} // namespace RunLog
