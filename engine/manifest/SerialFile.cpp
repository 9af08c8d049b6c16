#include "manifest/SerialFile.h"
#include <windows.h>
#include <cstdio>
#include "rules/SignedManifest.h"
#include "support/Files.h"
#include "support/RunLog.h"

std::string SerialPath(const std::string& tempDir) { return JoinPath(tempDir, "manifest.serial"); }

bool ReadLastSerial(const std::string& tempDir, std::uint64_t& serial, bool& unreadable)
{
    unreadable = false;
    std::string digits;
    DWORD error = 0;
    if (!ReadSmallFile(SerialPath(tempDir), 31, digits, error)) {
        unreadable = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
        return false;
    }
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r')) digits.pop_back();
    std::uint64_t value = 0;
    if (!ParseSerial(digits, value)) {
        unreadable = true;
        return false;
    }
    serial = value;
    return true;
}

void KeepSerial(const std::string& tempDir, std::uint64_t serial)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%llu\r\n", static_cast<unsigned long long>(serial));
    const bool ok = ReplaceFileAtomically(SerialPath(tempDir), text);
    RunLog::Write("manifest serial %llu %s", static_cast<unsigned long long>(serial), ok ? "kept" : "could not be kept");
}
