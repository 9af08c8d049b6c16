// The manifest pass's digest step alone, through the digest cache, as the pass
// runs it: the file's attributes, then its digest (from the cache or read),
// then one cache write. Shows what the step costs before and after the cache
// exists, apart from Wine's start and the window.
// Usage: bench_launch.exe [plain] SUMS APPDIR TEMPDIR
//   SUMS: md5sum's output for files under APPDIR ("<md5>  <name>" per line).
//   plain: the step as it is without the cache (every file read, nothing written).
// Prints "seconds from-cache digested bytes differing"; exit code 1 when a
// digest differs from md5sum's.
#include <windows.h>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>
#include "manifest/DigestCache.h"
#include "Md5Digest.h"
#include "support/Task.h"
#include "afxfile.h"

int main(int argc, char** argv)
{
    const bool plain = argc == 5 && std::string(argv[1]) == "plain";
    if (plain) ++argv, --argc;
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_launch [plain] SUMS APPDIR TEMPDIR\n");
        return 2;
    }
    std::vector<std::string> names, sums;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 35) continue;
        sums.push_back(line.substr(0, 32));
        std::string name = line.substr(34);
        for (char& c : name) c = c == '/' ? '\\' : c;
        names.push_back(name);
    }
    const std::string app = argv[2];
    ::CreateDirectoryA(argv[3], nullptr);

    LARGE_INTEGER f, t0, t1;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&t0);
    std::unique_ptr<CDigestCache> cache;
    if (!plain) cache = std::make_unique<CDigestCache>(argv[3], names);
    size_t differing = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string path = app + "\\" + names[i];
        if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ++differing;
            continue;
        }
        try {
            const CString md5 = cache ? cache->Digest(names[i], path.c_str()) : CMd5Digest::HashFilePath(path.c_str());
            if (!SameHexDigest(md5, sums[i].c_str())) ++differing;
        } catch (const CFileException&) {
            ++differing;
        }
    }
    if (cache) cache->Commit();
    ::QueryPerformanceCounter(&t1);
    std::printf("%.3f %lu %lu %llu %lu\n", double(t1.QuadPart - t0.QuadPart) / double(f.QuadPart),
                static_cast<unsigned long>(cache ? cache->Hits() : 0),
                static_cast<unsigned long>(cache ? cache->Read() : names.size()),
                static_cast<unsigned long long>(cache ? cache->ReadBytes() : 0),
                static_cast<unsigned long>(differing));
    return differing ? 1 : 0;
}
