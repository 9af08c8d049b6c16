// Digest throughput over a file: bench_digest <file> [runs]
// Hashes the file <runs> times with CMd5Digest::HashFilePath and prints MB/s (10^6 bytes
// per second) per run, the median, and the peak working set, which must not grow with
// the file's size.
#include "Md5Digest.h"
#include "afxfile.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_digest <file> [runs]\n");
        return 2;
    }
    const char* path = argv[1];
    int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (runs < 1) runs = 1;

    WIN32_FILE_ATTRIBUTE_DATA attr;
    if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &attr)) {
        std::fprintf(stderr, "cannot stat %s (error %lu)\n", path, ::GetLastError());
        return 1;
    }
    const double bytes = static_cast<double>(
        (static_cast<ULONGLONG>(attr.nFileSizeHigh) << 32) | attr.nFileSizeLow);

    LARGE_INTEGER freq;
    ::QueryPerformanceFrequency(&freq);

    std::vector<double> rates;
    CString digest;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER t0, t1;
        ::QueryPerformanceCounter(&t0);
        try {
            digest = CMd5Digest::HashFilePath(path);
        } catch (const CFileException& e) {
            char msg[512];
            e.GetErrorMessage(msg, sizeof(msg));
            std::fprintf(stderr, "%s\n", msg);
            return 1;
        }
        ::QueryPerformanceCounter(&t1);
        double seconds = static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart);
        double rate = bytes / 1e6 / seconds;
        rates.push_back(rate);
        std::printf("run %d: %.3f s  %.1f MB/s\n", i + 1, seconds, rate);
    }

    std::vector<double> sorted = rates;
    std::sort(sorted.begin(), sorted.end());
    size_t n = sorted.size();
    double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;

    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc));

    std::printf("digest: %s\n", digest.GetString());
    std::printf("median: %.1f MB/s\n", median);
    std::printf("peak working set: %.1f MiB\n", static_cast<double>(pmc.PeakWorkingSetSize) / (1024.0 * 1024.0));
    return 0;
}
