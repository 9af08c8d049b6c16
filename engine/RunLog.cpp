#include "RunLog.h"
#include <windows.h>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex s_lock;
std::string s_path;
}

namespace RunLog {

void Open(const std::string& tempDir)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_path = tempDir.empty() ? std::string() : tempDir + "\\update.log";
}

std::string Path()
{
    std::lock_guard<std::mutex> guard(s_lock);
    return s_path;
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
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (::GetFileAttributesExA(s_path.c_str(), GetFileExInfoStandard, &info) &&
        (info.nFileSizeHigh != 0 || info.nFileSizeLow >= kMaxBytes))
        ::MoveFileExA(s_path.c_str(), (s_path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    HANDLE h = ::CreateFileA(s_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const std::string dir = s_path.substr(0, s_path.rfind('\\'));
        ::CreateDirectoryA(dir.c_str(), nullptr);
        h = ::CreateFileA(s_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
    }
    DWORD written = 0;
    ::WriteFile(h, line, length, &written, nullptr);
    ::CloseHandle(h);
}

} // namespace RunLog
