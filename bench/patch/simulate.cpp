// What a patch would fetch, computed without a network: for chunk parameters
// in a range, cuts an old and a new version of a random file as the publisher
// and the updater do and counts the index plus the ranges the updater asks
// for (missing chunks merged across gaps of at most kMergeGapBytes).
//
//   simulate [MiB] [rounds]     (default 64 MiB, 5 rounds of random files)
//
// Cases, as the peers were measured: 16 scattered 64 KiB regions rewritten,
// and 1 KiB inserted near the start.
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rules/Chunker.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Random {
    std::uint64_t s;
    std::uint64_t Next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    void Fill(unsigned char* p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(Next() >> 32);
    }
};

void Sha256(const unsigned char* p, std::size_t n, unsigned char out[32])
{
    unsigned int len = 0;
    EVP_Digest(p, n, out, &len, EVP_sha256(), nullptr);
}

// The file's chunks as the publisher indexes them, fed in 64 KiB blocks.
ChunkIndex Cut(const Bytes& file, const ChunkParams& params)
{
    CChunker chunker(params);
    ChunkIndex index;
    index.fileSize = file.size();
    std::size_t chunkStart = 0, at = 0;
    unsigned char digest[32];
    while (at < file.size()) {
        const std::size_t block = std::min<std::size_t>(64 * 1024, file.size() - at);
        std::size_t done = 0;
        while (done < block) {
            std::uint32_t ended = 0;
            done += chunker.Feed(file.data() + at + done, block - done, ended);
            if (ended) {
                Sha256(file.data() + chunkStart, ended, digest);
                index.Add(ended, digest);
                chunkStart += ended;
            }
        }
        at += block;
    }
    if (const std::uint32_t last = chunker.Finish()) {
        Sha256(file.data() + chunkStart, last, digest);
        index.Add(last, digest);
    }
    return index;
}

struct Fetch {
    std::uint64_t indexBytes = 0, rangeBytes = 0, requests = 0, reused = 0;
    std::uint64_t Total() const { return indexBytes + rangeBytes; }
};

Fetch Patch(const ChunkIndex& oldIndex, const ChunkIndex& newIndex)
{
    CLocalChunks local;
    std::uint64_t offset = 0;
    unsigned char full[32] = {};
    for (const ChunkEntry& c : oldIndex.chunks) {
        std::memcpy(full, c.id, kChunkIdBytes);
        local.Add(full, 0, offset, c.length);
        offset += c.length;
    }
    std::vector<bool> missing;
    Fetch f;
    for (const ChunkEntry& c : newIndex.chunks) {
        const bool have = local.Find(c) != nullptr;
        missing.push_back(!have);
        if (have) f.reused += c.length;
    }
    f.indexBytes = kChunkIndexHeaderBytes + newIndex.chunks.size() * kChunkEntryBytes;
    for (const ByteRange& r : PlanFetches(newIndex, missing)) f.rangeBytes += r.length;
    f.requests = PlanFetches(newIndex, missing).size() + 1;
    return f;
}

double Mean(const std::vector<double>& v)
{
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / v.size();
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::size_t size = mib << 20;
    const ChunkParams sets[] = {
        { 1024, 4096, 16384 }, { 2048, 8192, 32768 }, { 4096, 16384, 65536 },
        { 8192, 32768, 131072 }, { 16384, 65536, 262144 },
    };
    std::printf("%zu MiB random file, %d rounds; index entry %zu bytes (+%zu header); requests include the index\n",
                mib, rounds, kChunkEntryBytes, kChunkIndexHeaderBytes);
    std::printf("goals: scattered <= %.0f (1.25 x zsync 1310000) and <= 2670000 (casync); inserted <= 162000 (casync)\n",
                1.25 * 1310000);
    std::printf("%-20s %9s %8s | %10s %10s %6s | %9s %9s %6s | %8s\n", "min/avg/max", "mean len", "index",
                "scattered", "worst", "reqs", "inserted", "worst", "reqs", "MB/s cut");
    for (const ChunkParams& p : sets) {
        std::vector<double> scattered, inserted, sreq, ireq, meanLen, index, rate;
        double sWorst = 0, iWorst = 0;
        for (int r = 0; r < rounds; ++r) {
            Random rng{ 0x9E3779B97F4A7C15ull * (r + 1) };
            Bytes oldFile(size);
            rng.Fill(oldFile.data(), size);

            const auto t0 = std::chrono::steady_clock::now();
            CChunker timing(p);
            std::uint32_t ended = 0;
            for (std::size_t at = 0; at < size;) at += timing.Feed(oldFile.data() + at, size - at, ended);
            const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            rate.push_back(size / 1e6 / secs);

            const ChunkIndex oldIndex = Cut(oldFile, p);
            meanLen.push_back(double(size) / oldIndex.chunks.size());

            // 16 regions of 64 KiB, one at a random place in each sixteenth.
            Bytes changed = oldFile;
            const std::size_t slot = size / 16;
            for (int k = 0; k < 16; ++k) {
                const std::size_t at = k * slot + rng.Next() % (slot - 65536);
                rng.Fill(changed.data() + at, 65536);
            }
            const Fetch s = Patch(oldIndex, Cut(changed, p));
            scattered.push_back(s.Total());
            sreq.push_back(s.requests);
            sWorst = std::max<double>(sWorst, s.Total());
            index.push_back(s.indexBytes);

            // 1 KiB inserted somewhere in the first MiB.
            const std::size_t at = 4096 + rng.Next() % (1 << 20);
            Bytes grown(oldFile.begin(), oldFile.begin() + at);
            grown.resize(at + 1024);
            rng.Fill(grown.data() + at, 1024);
            grown.insert(grown.end(), oldFile.begin() + at, oldFile.end());
            const Fetch i = Patch(oldIndex, Cut(grown, p));
            inserted.push_back(i.Total());
            ireq.push_back(i.requests);
            iWorst = std::max<double>(iWorst, i.Total());
        }
        char name[32];
        std::snprintf(name, sizeof name, "%u/%u/%u", p.minSize, p.avgSize, p.maxSize);
        std::printf("%-20s %9.0f %8.0f | %10.0f %10.0f %6.1f | %9.0f %9.0f %6.1f | %8.0f\n", name, Mean(meanLen),
                    Mean(index), Mean(scattered), sWorst, Mean(sreq), Mean(inserted), iWorst, Mean(ireq), Mean(rate));
    }
    return 0;
}
