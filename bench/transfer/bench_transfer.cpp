// Download throughput: the updater's transfer (DownloadAll with a report sink
// that does nothing) against a bare loop of the same WinINet and file calls.
// Usage: bench_transfer.exe manager|bare URL OUTDIR
#include <windows.h>
#include <psapi.h>
#include <wininet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "DownloadManager.h"

namespace {
class NullNotify : public UpdateNotify {
public:
    void OnUpdateNotify(UINT32, UINT32, int status, const char*) override
    {
        if (status == US_ALL_DOWNLOADED || status == US_FAILED || status == US_CANCELLED) m_last = status;
    }
    volatile int m_last = 0;
};

// Everything but the installation: the bench measures the transfer alone.
class TransferOnly : public CDownloadManager {
public:
    int Install() override { return 1; }
};

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

long long Bare(const char* url, const std::string& out)
{
    HINTERNET session = ::InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET file = ::InternetOpenUrlA(session, url, nullptr, 0, INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_ASCII, 1);
    if (!file) return -1;
    HANDLE h = ::CreateFileA(out.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    static char buffer[8192];
    long long total = 0;
    for (;;) {
        DWORD got = 0;
        if (!::InternetReadFile(file, buffer, sizeof(buffer), &got) || got == 0) break;
        DWORD put = 0;
        ::WriteFile(h, buffer, got, &put, nullptr);
        total += got;
    }
    ::CloseHandle(h);
    ::InternetCloseHandle(file);
    ::InternetCloseHandle(session);
    return total;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || (std::string(argv[1]) == "manager" && argc < 6)) {
        std::fprintf(stderr, "usage: %s bare URL OUTDIR | %s manager URL OUTDIR SIZE MD5\n", argv[0], argv[0]);
        return 2;
    }
    const std::string mode = argv[1], outDir = argv[3];
    LARGE_INTEGER t0, t1;
    long long bytes = 0;
    ::QueryPerformanceCounter(&t0);
    if (mode == "bare") {
        bytes = Bare(argv[2], outDir + "\\bare.dtm");
    } else {
        NullNotify sink;
        TransferOnly manager;
        manager.Init(&sink, "http://unused/", outDir.c_str(), outDir.c_str());
        // A verified download of an earlier round would be used as it is: fetch anew.
        ::DeleteFileA((outDir + "\\big.bin.dtm").c_str());
        manager.AddTask("big.bin", argv[2], nullptr, static_cast<UINT32>(std::strtoul(argv[4], nullptr, 10)), argv[5]);
        manager.Start();
        while (!sink.m_last) ::Sleep(5);
        manager.StopWorker(INFINITE);
        if (manager.GetState() != US_ALL_DOWNLOADED) {
            std::fprintf(stderr, "transfer failed (state %d)\n", manager.GetState());
            return 1;
        }
        WIN32_FILE_ATTRIBUTE_DATA fa;
        if (::GetFileAttributesExA((outDir + "\\big.bin.dtm").c_str(), GetFileExInfoStandard, &fa))
            bytes = (static_cast<long long>(fa.nFileSizeHigh) << 32) | fa.nFileSizeLow;
    }
    ::QueryPerformanceCounter(&t1);
    PROCESS_MEMORY_COUNTERS pmc{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc));
    const double s = Seconds(t0, t1);
    std::printf("%s %lld bytes %.2f s %.1f MB/s peak %.1f MiB\n", mode.c_str(), bytes, s, bytes / s / 1e6,
                pmc.PeakWorkingSetSize / 1048576.0);
    return bytes > 0 ? 0 : 1;
}
