#include "Settings.h"
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
    char path[MAX_PATH] = {};
    if (std::strlen(exePath) >= MAX_PATH) return CString();
    std::strcpy(path, exePath);
    ::PathRemoveExtensionA(path);
    if (!::PathAddExtensionA(path, ".INI")) return CString();
    return CString(path);
}

CString ManifestBaseUrl(const CString& site)
{
    CString url;
    const bool hasScheme = site.Left(7).CompareNoCase("http://") == 0 || site.Left(8).CompareNoCase("https://") == 0;
    if (!hasScheme) url = "http://";
    url += site;
    url += "/update/";
    return url;
}
