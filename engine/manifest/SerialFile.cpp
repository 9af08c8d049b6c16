#include "manifest/SerialFile.h"
#include <windows.h>
#include <cstdio>
#include "rules/SignedManifest.h"
#include "support/Files.h"
#include "support/RunLog.h"

std::string SerialPath(const std::string& tempDir) { return JoinPath(tempDir, "manifest.serial"); }

LastSerial ReadLastSerial(const std::string& tempDir, std::uint64_t& serial)
{
    std::string digits;
    DWORD error = 0;
    const std::string path = SerialPath(tempDir);
    if (!ReadSmallFile(path, 31, digits, error) && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND))
        return LastSerial::None;
    while (!digits.empty() && (digits.back() == '\n' || digits.back() == '\r')) digits.pop_back();
    std::uint64_t value = 0;
    if (error != 0 || !ParseSerial(digits, value)) {
        RunLog::Write("manifest serial: %s holds no serial; taken as absent, written anew when a run finishes",
                      path.c_str());
        return LastSerial::Damaged;
    }
    serial = value;
    return LastSerial::Read;
}

void KeepSerial(const std::string& tempDir, std::uint64_t serial)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%llu\r\n", static_cast<unsigned long long>(serial));
    const bool ok = ReplaceFileAtomically(SerialPath(tempDir), text);
    RunLog::Write("manifest serial %llu %s", static_cast<unsigned long long>(serial), ok ? "kept" : "could not be kept");
}
