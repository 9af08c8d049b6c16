// Per-byte speed of what the updater does to local copies before a patch,
// beside the MD5 digest it already runs on every download: bench_chunker [MiB] [rounds]
// Prints MB/s (10^6 bytes per second), medians over the rounds, for
//   - the chunker alone (cuts only, the levelled index's sizes), fed in 64 KiB blocks;
//   - CMd5Digest over the same bytes;
//   - CSha256Digest (CNG) over the same bytes as one message;
//   - CSha256Digest per chunk (a new object per chunk), with the cuts;
//   - CIndexCutter: the levelled index's chunks, groups and CHash64
//     identities, everything a patch needs of a local copy;
// all in memory, so the disk does not take part.
#include "rules/Chunker.h"
#include "rules/LevelledIndex.h"
#include "Md5Digest.h"
#include "Sha256Digest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

template <typename F>
double Rate(std::size_t bytes, F&& f)
{
    LARGE_INTEGER t0, t1;
    ::QueryPerformanceCounter(&t0);
    f();
    ::QueryPerformanceCounter(&t1);
    return bytes / 1e6 / Seconds(t0, t1);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t size = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64) << 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<unsigned char> data(size);
    unsigned long long s = 88172645463325252ull;
    for (auto& c : data) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        c = static_cast<unsigned char>(s >> 32);
    }
    const std::size_t kBlock = 64 * 1024;
    std::vector<double> cut, md5, sha, shaChunks, levelled;
    std::size_t levelledChunks = 0, levelledGroups = 0;
    std::size_t chunks = 0;
    for (int r = 0; r < rounds; ++r) {
        cut.push_back(Rate(size, [&] {
            CChunker chunker(kLevelledChunkParams);
            chunks = 0;
            for (std::size_t at = 0; at < size;) {
                std::uint32_t ended = 0;
                at += chunker.Feed(data.data() + at, std::min(kBlock, size - at), ended);
                chunks += ended != 0;
            }
            chunks += chunker.Finish() != 0;
        }));
        md5.push_back(Rate(size, [&] {
            CMd5Digest d;
            for (std::size_t at = 0; at < size; at += kBlock) d.Update(data.data() + at, UINT(std::min(kBlock, size - at)));
            d.Final();
        }));
        sha.push_back(Rate(size, [&] {
            CSha256Digest d;
            for (std::size_t at = 0; at < size; at += kBlock) d.Update(data.data() + at, UINT(std::min(kBlock, size - at)));
            BYTE out[32];
            d.Final(out);
        }));
        shaChunks.push_back(Rate(size, [&] {
            CChunker chunker(kLevelledChunkParams);
            std::size_t at = 0, start = 0;
            BYTE out[32];
            while (at < size) {
                std::uint32_t ended = 0;
                at += chunker.Feed(data.data() + at, std::min(kBlock, size - at), ended);
                if (!ended) continue;
                CSha256Digest d;
                d.Update(data.data() + start, ended);
                d.Final(out);
                start = at;
            }
        }));
        levelled.push_back(Rate(size, [&] {
            CIndexCutter cutter;
            for (std::size_t at = 0; at < size; at += kBlock) cutter.Update(data.data() + at, std::min(kBlock, size - at));
            cutter.Finish();
            levelledChunks = cutter.Chunks().size();
            levelledGroups = cutter.Groups().size();
        }));
    }
    std::printf("%zu MiB in memory, %d rounds, %zu chunks (mean %zu bytes)\n", size >> 20, rounds, chunks,
                chunks ? size / chunks : 0);
    std::printf("chunker (cuts only)            %8.1f MB/s\n", Median(cut));
    std::printf("CMd5Digest                     %8.1f MB/s\n", Median(md5));
    std::printf("CSha256Digest, one message     %8.1f MB/s\n", Median(sha));
    std::printf("chunker + CSha256Digest/chunk  %8.1f MB/s\n", Median(shaChunks));
    std::printf("CIndexCutter (levelled index)  %8.1f MB/s  (%zu chunks, %zu groups)\n", Median(levelled),
                levelledChunks, levelledGroups);
    return 0;
}
