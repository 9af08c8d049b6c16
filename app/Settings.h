// The settings file (<executable without extension>.INI): every key the
// program reads, with its default. Nothing is ever written back.
#pragma once
#include "afxstr.h"

extern const char kSectionDownload[];  // "Download"
extern const char kKeySite[];          // "site": root of the update web site
extern const char kDefaultSite[];
extern const char kSectionSetup[];     // "Setup"
extern const char kKeyTempDir[];       // "TempDir": download folder inside ours
extern const char kDefaultTempDir[];
extern const char kSectionMessages[];  // "messages"
extern const char kKeyErrorMsg[];      // "ErrorMsg": text of the failure box
extern const char kDefaultErrorMsg[];

// The settings file's path for an executable path: only the last element's
// extension is replaced. Empty when the result does not fit MAX_PATH.
CString SettingsPathFor(const char* exePath);

// The update site's address as the manifest is fetched from: "http://" in
// front unless the value already names http:// or https:// (any letter case),
// then "/update/" (ManifestBaseUrlFor, shared with the publisher).
CString ManifestBaseUrl(const CString& site);
