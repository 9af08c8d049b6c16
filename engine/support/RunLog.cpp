#include "support/RunLog.h"
#include "support/Files.h"
#include "afxhandle.h"
#include <windows.h>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex s_lock;
std::string s_path;
// Open from the first line on, so that a long run does not open the file for
// every line it writes; the size decides when the log is renamed.
CScopedHandle s_file;
unsigned long long s_size = 0;
bool s_rotationChecked = false;  // this run looked at the log's size when it first wrote

// Opens (or creates, with its folder) the log for appending.
bool OpenFile()
{
    for (int attempt = 0; attempt < 2 && !s_file; ++attempt) {
        s_file.reset(::CreateFileA(s_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!s_file) ::CreateDirectoryA(s_path.substr(0, s_path.rfind('\\')).c_str(), nullptr);
    }
    LARGE_INTEGER size{};
    s_size = (s_file && ::GetFileSizeEx(s_file.get(), &size)) ? static_cast<unsigned long long>(size.QuadPart) : 0;
    return static_cast<bool>(s_file);
}

// Whether the file holds the outcome line of a failed run.
bool HoldsFailedRun(const std::string& path)
{
    std::string bytes;
    DWORD error = 0;
    return ReadSmallFile(path, 4 * RunLog::kMaxRunBytes, bytes, error) &&
           bytes.find(std::string("] ") + RunLog::kFailedOutcome) != std::string::npos;
}

// Starts a new log file. Between runs an older failed run is kept over later
// runs that did not fail; within a run its own lines come first.
bool Rotate(bool betweenRuns)
{
    s_file.reset();
    const std::string older = s_path + ".1";
    if (betweenRuns && HoldsFailedRun(older) && !HoldsFailedRun(s_path)) ::DeleteFileA(s_path.c_str());
    else ::MoveFileExA(s_path.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING);
    return OpenFile();
}
}

namespace RunLog {

const char kFailedOutcome[] = "outcome: failed";

void Open(const std::string& tempDir)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_file.reset();
    s_rotationChecked = false;
    s_path = tempDir.empty() ? std::string() : JoinPath(tempDir, "update.log");
}

void Write(const char* fmt, ...)
{
    char message[1024];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(message, sizeof(message), fmt, args);
    va_end(args);
    if (n < 0) return;

    SYSTEMTIME t;
    ::GetLocalTime(&t);
    char line[1200];
    n = std::snprintf(line, sizeof(line), "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] %s\r\n", t.wYear, t.wMonth, t.wDay,
                      t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                      static_cast<unsigned long>(::GetCurrentProcessId()), message);
    if (n < 0) return;
    const DWORD length = static_cast<DWORD>(n < static_cast<int>(sizeof(line)) ? n : sizeof(line) - 1);

    std::lock_guard<std::mutex> guard(s_lock);
    if (s_path.empty()) return;
    // Every failure below is ignored on purpose: the log is a witness, not a step.
    if (!s_file && !OpenFile()) return;
    const bool firstLine = !s_rotationChecked;
    s_rotationChecked = true;
    if (s_size >= (firstLine ? kMaxBytes : kMaxRunBytes) && !Rotate(firstLine)) return;
    DWORD written = 0;
    if (::WriteFile(s_file.get(), line, length, &written, nullptr)) s_size += written;
}

} // namespace RunLog
