#include "Platform.h"
#include <windows.h>

const char kPlatformWindowTitle[] = "Velmora游戏大厅";
const char kPlatformExeName[] = "\\Quorvanta.exe";

void StopRunningPlatform()
{
    HWND hWnd = ::FindWindowA(nullptr, kPlatformWindowTitle);
    if (!hWnd) return;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hWnd, &pid);
    HANDLE hProcess = ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!hProcess) return;
    ::TerminateProcess(hProcess, 0);
    ::CloseHandle(hProcess);
}

bool CreateFoldersFor(const char* base, const char* relativeName)
{
    char path[MAX_PATH];
    const int baseLen = lstrlenA(base);
    if (baseLen + 1 + lstrlenA(relativeName) >= MAX_PATH) return false;
    lstrcpyA(path, base);
    lstrcatA(path, "\\");
    lstrcatA(path, relativeName);
    // Every separator after the base ends a folder name; the last element is the file.
    for (char* p = path + baseLen + 1; *p; p = ::CharNextA(p)) {
        if (*p != '\\' && *p != '/') continue;
        const char c = *p;
        *p = '\0';
        const DWORD attributes = ::GetFileAttributesA(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            ::CreateDirectoryA(path, nullptr);
        *p = c;
    }
    return true;
}
