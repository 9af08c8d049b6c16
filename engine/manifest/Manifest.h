// The update manifest: which listed files differ from the installed copies.
#pragma once
#include <windows.h>
#include "afxstr.h"

class CDownloadManager;

// Fetches the manifest at url (synchronously, on a thread with COM initialised)
// and queues into manager every listed file that is missing from exeDir (which
// ends in a backslash) or whose MD5 text differs from the manifest's; adds the
// queued files' sizes to totalSize. Entries whose name or URL does not fit a
// task, or whose name could leave the folder, are skipped. TRUE when something
// was queued and the whole list was read. A response that has not fully
// arrived after timeoutMs fails the pass with nothing queued.
const DWORD kManifestTimeoutMs = 30000;
BOOL FetchManifest(const char* url, const CString& exeDir, CDownloadManager& manager, UINT32& totalSize,
                   DWORD timeoutMs = kManifestTimeoutMs);

// True while a pass that FetchManifest gave up on is still running: the
// process must then end without destroying the objects it may still use.
bool AbandonedManifestPassRunning();
