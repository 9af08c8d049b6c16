// Stand-in for the platform's client: a window with the platform's title that
// stays up until it is closed or terminated. Each start appends a line to
// standin-started.txt beside the executable, so tests and the demo can see it ran.
// With QUORVANTA_STANDIN_HOLD naming a file beside it, it keeps that file open
// for writing (sharing reads and writes) as long as it runs, as a real client
// does with its own settings; with QUORVANTA_STANDIN_LOCK, open sharing
// nothing, as a client does with a file it is rewriting.
#include <windows.h>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {
const char kTitle[] = "Velmora游戏大厅";

LRESULT CALLBACK WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(hWnd, &ps);
        RECT rc;
        ::GetClientRect(hWnd, &rc);
        ::DrawTextA(dc, "Velmora游戏大厅 (stand-in)", -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        ::EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(hWnd, msg, wParam, lParam);
    }
}

void RecordStart()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (!slash) return;
    std::strcpy(slash + 1, "standin-started.txt");
    if (FILE* f = std::fopen(path, "a")) {
        SYSTEMTIME t;
        ::GetLocalTime(&t);
        std::fprintf(f, "pid %lu started %04d-%02d-%02d %02d:%02d:%02d\n", ::GetCurrentProcessId(), t.wYear, t.wMonth,
                     t.wDay, t.wHour, t.wMinute, t.wSecond);
        std::fclose(f);
    }
}

// The file named by the variable, opened for writing; null when none is named.
HANDLE HoldFile(const char* variable, DWORD share)
{
    char name[MAX_PATH] = {}, path[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableA(variable, name, sizeof(name));
    if (n == 0 || n >= sizeof(name)) return nullptr;
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (!slash || std::strlen(path) + std::strlen(name) >= MAX_PATH) return nullptr;
    std::strcpy(slash + 1, name);
    return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}
} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int nCmdShow)
{
    RecordStart();
    // Closed by the system when the process ends.
    HANDLE held = HoldFile("QUORVANTA_STANDIN_HOLD", FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE locked = HoldFile("QUORVANTA_STANDIN_LOCK", 0);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = "QuorvantaStandIn";
    ::RegisterClassA(&wc);
    HWND hWnd = ::CreateWindowExA(0, wc.lpszClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  320, 120, nullptr, nullptr, hInstance, nullptr);
    if (!hWnd) return 1;
    ::ShowWindow(hWnd, nCmdShow);
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    for (HANDLE h : { held, locked })
        if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return 0;
}
