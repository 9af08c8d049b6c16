#include "install/Platform.h"
#include <windows.h>
#include <shlwapi.h>
#include <cstdio>
#include "support/RunLog.h"
#include "afxhandle.h"

const char kPlatformWindowTitle[] = "Velmora游戏大厅";
const char kPlatformExeName[] = "\\Quorvanta.exe";

bool StopRunningPlatform(bool* stoppedOne)
{
    if (stoppedOne) *stoppedOne = false;
    const ULONGLONG start = ::GetTickCount64();
    // More than one instance may be running; each must be gone before a file is replaced.
    for (int instances = 0; instances < 16; ++instances) {
        HWND hWnd = ::FindWindowA(nullptr, kPlatformWindowTitle);
        if (!hWnd) {
            if (instances > 0)
                RunLog::Write("platform: stopped in %llu ms", static_cast<unsigned long long>(::GetTickCount64() - start));
            return true;
        }
        DWORD pid = 0;
        ::GetWindowThreadProcessId(hWnd, &pid);
        CScopedHandle hProcess(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
        if (!hProcess) {
            // It may have ended between the two calls; if its window is still there, we cannot stop it.
            if (::IsWindow(hWnd)) {
                RunLog::Write("platform: cannot open process %lu (error %lu)", pid, ::GetLastError());
                return false;
            }
            continue;
        }
        ::TerminateProcess(hProcess.get(), 0);
        if (stoppedOne) *stoppedOne = true;
        const ULONGLONG spent = ::GetTickCount64() - start;
        const DWORD wait = spent >= kPlatformExitWaitMs ? 0 : static_cast<DWORD>(kPlatformExitWaitMs - spent);
        const bool ended = ::WaitForSingleObject(hProcess.get(), wait) == WAIT_OBJECT_0;
        if (!ended) {
            RunLog::Write("platform: process %lu still running after %lu ms", pid, kPlatformExitWaitMs);
            return false;
        }
    }
    RunLog::Write("platform: windows keep appearing; giving up");
    return false;
}

void StartPlatform(const char* installationFolder)
{
    // One platform at a time: a run that replaced nothing left the running one alone.
    if (::FindWindowA(nullptr, kPlatformWindowTitle)) {
        RunLog::Write("platform: already running; not started again");
        return;
    }
    char path[MAX_PATH] = {};
    lstrcpynA(path, installationFolder, MAX_PATH);
    ::PathRemoveBackslashA(path);
    // Quoted, so that a folder name with spaces is not split into arguments.
    char command[MAX_PATH + 32];
    std::snprintf(command, sizeof(command), "\"%s%s\"", path, kPlatformExeName);
    const UINT result = ::WinExec(command, SW_SHOWDEFAULT);
    RunLog::Write("platform: started %s (%s)", command, result > 31 ? "ok" : "failed");
}
