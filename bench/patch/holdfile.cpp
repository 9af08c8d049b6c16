// Keeps a file open without sharing, as another program may hold an installed
// file, so that an updater run fails at its installation.
//
//   holdfile FILE SECONDS     prints "held" once the file is open, then waits
#include <windows.h>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: holdfile FILE SECONDS\n");
        return 2;
    }
    // No share flags: nobody else may read, write, rename or delete it.
    HANDLE file = ::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "holdfile: cannot open %s (error %lu)\n", argv[1], ::GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    // Bounded, so a bench that dies leaves nothing running for long.
    ::Sleep(static_cast<DWORD>(std::atoi(argv[2])) * 1000);
    ::CloseHandle(file);
    return 0;
}
