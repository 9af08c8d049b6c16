// Test helper: does what a user would with the updater's windows, from a script.
//   dismissbox box MS    waits up to MS ms for the message box titled "提示",
//                        prints its text (code page 936) and presses OK;
//   dismissbox close MS  closes the platform's window ("Velmora游戏大厅") as its
//                        user would and waits up to MS ms for it to go.
// Exit code 0 when done, 1 when there was nothing to act on in time, 2 for usage.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char kBoxTitle[] = "提示";
const char kPlatformTitle[] = "Velmora游戏大厅";

struct Search { const char* cls; const char* title; HWND found; };

BOOL CALLBACK Visit(HWND h, LPARAM lp)
{
    auto* s = reinterpret_cast<Search*>(lp);
    char cls[64] = {}, title[256] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    ::GetWindowTextA(h, title, sizeof(title));
    if (!::IsWindowVisible(h) || (s->cls && std::strcmp(cls, s->cls) != 0) || std::strcmp(title, s->title) != 0)
        return TRUE;
    s->found = h;
    return FALSE;
}

HWND WaitFor(const char* cls, const char* title, DWORD ms)
{
    for (DWORD waited = 0;; waited += 50) {
        Search s{ cls, title, nullptr };
        ::EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (s.found || waited >= ms) return s.found;
        ::Sleep(50);
    }
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: dismissbox box|close TIMEOUT_MS\n");
        return 2;
    }
    const DWORD ms = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    if (std::strcmp(argv[1], "box") == 0) {
        HWND box = WaitFor("#32770", kBoxTitle, ms);
        if (!box) return 1;
        char text[1024] = {};
        ::GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));  // the box's static text
        std::printf("%s\n", text);
        std::fflush(stdout);
        ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        for (DWORD waited = 0; ::IsWindow(box) && waited < 5000; waited += 50) ::Sleep(50);
        return ::IsWindow(box) ? 1 : 0;
    }
    if (std::strcmp(argv[1], "close") == 0) {
        HWND wnd = WaitFor(nullptr, kPlatformTitle, ms);
        if (!wnd) return 1;
        ::PostMessageA(wnd, WM_CLOSE, 0, 0);
        for (DWORD waited = 0; ::IsWindow(wnd) && waited < 5000; waited += 50) ::Sleep(50);
        return ::IsWindow(wnd) ? 1 : 0;
    }
    std::fprintf(stderr, "usage: dismissbox box|close TIMEOUT_MS\n");
    return 2;
}
