#include "Settings.h"
#include "rules/SiteRules.h"
#include <windows.h>
#include <shlwapi.h>
#include <cstring>

const char kSectionDownload[] = "Download";
const char kKeySite[] = "site";
const char kDefaultSite[] = "http://update.example.com";
const char kSectionSetup[] = "Setup";
const char kKeyTempDir[] = "TempDir";
const char kDefaultTempDir[] = "Update";
const char kSectionMessages[] = "messages";
const char kKeyErrorMsg[] = "ErrorMsg";
const char kDefaultErrorMsg[] = "更新失败，请到www.example.com下载最新版本";

CString SettingsPathFor(const char* exePath)
{
    // Only the last element's last extension is replaced, however many dots the
    // name has: game.updater.exe reads game.updater.INI.
    const size_t length = std::strlen(exePath);
    const char* name = ::PathFindFileNameA(exePath);
    const char* dot = std::strrchr(name, '.');
    const size_t stem = dot ? static_cast<size_t>(dot - exePath) : length;
    if (stem + 4 >= MAX_PATH) return CString();
    char path[MAX_PATH] = {};
    std::memcpy(path, exePath, stem);
    std::memcpy(path + stem, ".INI", 5);
    return CString(path);
}

CString ManifestBaseUrl(const CString& site)
{
    return CString(ManifestBaseUrlFor(std::string(site.GetString(), static_cast<size_t>(site.GetLength()))));
}
