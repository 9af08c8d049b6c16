// The run log: update.log in the temporary folder, one line per event with the
// local time, so that "the update failed" can be traced to a file, a URL, a
// status or a move. Writing it never changes the outcome of a run.
#pragma once
#include <string>

namespace RunLog {

// Where the lines of this run go (created, with its folder, when first
// written). Until this is called nothing is written.
void Open(const std::string& tempDir);
// Appends one line (system code page text; a line end is added). Thread-safe.
void Write(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A run that finds the log at this size or more renames it to update.log.1
// first, replacing the older one, unless the older one holds the last failed
// run and update.log holds none: then update.log is started anew, so a failed
// run stays until a later run fails (support asks for it after the next starts).
const unsigned long kMaxBytes = 1024 * 1024;
// Within one run the log is renamed only past this size (a run that lists a
// hundred thousand files to fetch), so a run's lines stay in one file.
const unsigned long kMaxRunBytes = 16ul * 1024 * 1024;
// How the outcome line of a failed run begins.
extern const char kFailedOutcome[];

} // namespace RunLog
