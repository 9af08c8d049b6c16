// What a patch would fetch, computed without a network, with the levelled
// chunk index (a head with the top list, group lists, chunks). Files are streams from a seeded generator, never
// stored, so 4 GiB costs memory for the indexes only.
//
//   simulate [MiB ...]              (default 64 256 1024 4096; one round each)
//   simulate --sweep [MiB] [rounds] (v2 costs for other chunk and group sizes)
//
// Cases, as the peers were measured: 1 KiB inserted near the start, and 16
// regions of 64 KiB rewritten, one at a random place in each sixteenth: the
// head in one exact request (the manifest gives its length), the lists of the
// groups not found in the old copy (PlanListFetches), then PlanPatch's
// requests; requests count every range. The goal beside each row is the
// absolute one (1 KiB inserted: at most 100 kB at every size); the goals
// against zsync and casync are bench/patch/run.sh's. (The earlier flat index
// fetched about 1.35 kB per MiB of file before any chunk: 86 kB at 64 MiB,
// 5.5 MB at 4 GiB.)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rules/Chunker.h"
#include "rules/LevelledIndex.h"

namespace {

using Clock = std::chrono::steady_clock;

// xorshift64* bytes, eight at a time.
class Prng {
public:
    explicit Prng(std::uint64_t seed) : m_s(seed | 1) {}
    std::uint64_t Next()
    {
        m_s ^= m_s >> 12;
        m_s ^= m_s << 25;
        m_s ^= m_s >> 27;
        return m_s * 0x2545F4914F6CDD1Dull;
    }
    void Fill(unsigned char* p, std::size_t n)
    {
        for (; n && m_have; --n) *p++ = m_word[8 - m_have--];
        for (; n >= 8; n -= 8, p += 8) {
            const std::uint64_t v = Next();
            std::memcpy(p, &v, 8);
        }
        if (!n) return;
        const std::uint64_t v = Next();
        std::memcpy(m_word, &v, 8);
        m_have = 8;
        for (; n; --n) *p++ = m_word[8 - m_have--];
    }

private:
    std::uint64_t m_s;
    unsigned char m_word[8] = {};
    int m_have = 0;
};

// New bytes in the new file's coordinates: inserted, or over as many old ones.
struct Edit {
    std::uint64_t at, length;
    bool insert;
};

// The old file (size bytes from seed) with edits (sorted, apart), read in order.
class Stream {
public:
    Stream(std::uint64_t seed, std::uint64_t size, std::vector<Edit> edits = {})
        : m_old(seed), m_new(seed ^ 0xABCDEF), m_edits(std::move(edits)), m_size(size)
    {
        for (const Edit& e : m_edits) m_size += e.insert ? e.length : 0;
    }
    std::uint64_t Size() const { return m_size; }
    std::size_t Read(unsigned char* out, std::size_t n)
    {
        std::size_t done = 0;
        while (done < n && m_pos < m_size) {
            const Edit* e = m_next < m_edits.size() ? &m_edits[m_next] : nullptr;
            const bool inside = e && m_pos >= e->at;
            const std::uint64_t until = inside ? e->at + e->length : e ? e->at : m_size;
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, until - m_pos));
            if (inside) {
                m_new.Fill(out + done, k);
                if (!e->insert) Skip(k);
            } else {
                m_old.Fill(out + done, k);
            }
            done += k;
            m_pos += k;
            if (inside && m_pos == until) ++m_next;
        }
        return done;
    }

private:
    void Skip(std::size_t k)
    {
        std::vector<unsigned char> scratch(k);
        m_old.Fill(scratch.data(), k);
    }
    Prng m_old, m_new;
    std::vector<Edit> m_edits;
    std::uint64_t m_size, m_pos = 0;
    std::size_t m_next = 0;
};

// A file read once, cut into chunks and groups.
struct Cuts {
    CIndexCutter v2;
    double seconds = 0;  // of the cut alone
    Cuts(const ChunkParams& chunking, const GroupParams& grouping) : v2(0, chunking, grouping) {}
};

void Cut(Stream stream, Cuts& cuts)
{
    std::vector<unsigned char> block(1 << 20);
    while (const std::size_t n = stream.Read(block.data(), block.size())) {
        const auto t0 = Clock::now();
        cuts.v2.Update(block.data(), n);
        cuts.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    }
    cuts.v2.Finish();
}

struct Fetch {
    std::uint64_t index = 0, chunks = 0, requests = 0;
    std::uint64_t Total() const { return index + chunks; }
};

// The head and lists as a decoder would give them, straight from a cut (any parameters).
IndexHead HeadOf(const CIndexCutter& cut, std::vector<std::vector<IndexChunk>>& lists)
{
    IndexHead head;
    head.chunkCount = cut.Chunks().size();
    head.headBytes = kIndexHeaderBytes + cut.Groups().size() * kTopEntryBytes;
    std::uint64_t listOffset = head.headBytes;
    for (const CIndexCutter::Group& g : cut.Groups()) {
        head.groups.push_back({ g.id, g.chunks, g.bytes, g.offset, listOffset });
        listOffset += std::uint64_t(g.chunks) * kListEntryBytes;
        lists.emplace_back();
        for (std::uint64_t i = g.firstChunk; i < g.firstChunk + g.chunks; ++i)
            lists.back().push_back({ cut.Chunks()[i].id, cut.Chunks()[i].length });
        head.fileSize += g.bytes;
    }
    return head;
}

// What a patch fetches with the levelled index: the head (its length from the
// manifest), the lists of the groups the old copy lacks, and the chunks not found.
Fetch PatchV2(const CIndexCutter& oldCut, const CIndexCutter& newCut)
{
    std::vector<std::vector<IndexChunk>> all;
    const IndexHead head = HeadOf(newCut, all);
    Fetch f;
    // The manifest gives the head's length: one exact request.
    const std::uint64_t have = head.headBytes;
    f.requests = 1;
    f.index = have;
    CLocalIndex local;
    local.Add(oldCut, 0);
    std::vector<bool> wanted;
    for (const IndexGroup& g : head.groups) wanted.push_back(local.FindGroup(g) == nullptr);
    for (const ByteRange& r : PlanListFetches(head, wanted, have)) {
        f.index += r.length;
        ++f.requests;
    }
    std::vector<std::vector<IndexChunk>> lists(head.groups.size());
    for (std::size_t g = 0; g < head.groups.size(); ++g)
        if (wanted[g]) lists[g] = all[g];
    const PatchPlan plan = PlanPatch(head, lists, local);
    f.chunks = plan.fetchBytes;
    f.requests += plan.fetches.size();
    return f;
}

std::vector<Edit> Inserted(Prng& rng)
{
    return { { 4096 + rng.Next() % (1 << 20), 1024, true } };
}

std::vector<Edit> Rewritten(Prng& rng, std::uint64_t size)
{
    std::vector<Edit> edits;
    const std::uint64_t slot = size / 16;
    for (int k = 0; k < 16; ++k) edits.push_back({ k * slot + rng.Next() % (slot - 65536), 65536, false });
    return edits;
}

struct Case {
    Fetch v2;
};

// One size: the old copy, then each change, cut and patched.
void Simulate(std::uint64_t mib, std::uint64_t seed, const ChunkParams& c, const GroupParams& g,
              Case& inserted, Case& rewritten, double& rate, std::uint64_t& headBytes, std::uint64_t& v2Bytes)
{
    const std::uint64_t size = mib << 20;
    Prng rng(seed * 7919);
    Cuts old(c, g);
    Cut(Stream(seed, size), old);
    rate = size / 1e6 / old.seconds;
    std::vector<std::vector<IndexChunk>> lists;
    headBytes = HeadOf(old.v2, lists).headBytes;
    v2Bytes = headBytes + old.v2.Chunks().size() * kListEntryBytes;
    for (Case* out : { &inserted, &rewritten }) {
        Cuts changed(c, g);
        Cut(Stream(seed, size, out == &inserted ? Inserted(rng) : Rewritten(rng, size)), changed);
        out->v2 = PatchV2(old.v2, changed.v2);
    }
}

std::string Kb(std::uint64_t n)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", n / 1000.0);
    return text;
}

// goal: the most a patch may fetch, 0 when the goal is the peers' (bench/patch/run.sh).
void PrintRow(std::uint64_t mib, const char* change, const Case& c, std::uint64_t goal)
{
    std::printf("%6llu MiB  %-22s | %9s %9s %9s %5llu | ", (unsigned long long)mib, change, Kb(c.v2.index).c_str(),
                Kb(c.v2.chunks).c_str(), Kb(c.v2.Total()).c_str(), (unsigned long long)c.v2.requests);
    if (goal) std::printf("<= %s kB: %s\n", Kb(goal).c_str(), c.v2.Total() <= goal ? "met" : "NOT met");
    else std::printf("against zsync and casync: bench/patch/run.sh\n");
}

int Table(const std::vector<std::uint64_t>& sizes)
{
    std::printf("chunks %u/%u/%u bytes, groups of %u + 1 in %u (at most %u) chunks; kB = 1000 bytes\n",
                kLevelledChunkParams.minSize, kLevelledChunkParams.avgSize, kLevelledChunkParams.maxSize,
                kGroupParams.minChunks, kGroupParams.cutOneIn, kGroupParams.maxChunks);
    std::printf("the head is fetched with one exact request (the manifest gives its length)\n");
    std::printf("%-33s | %9s %9s %9s %5s | %s\n", "file  change", "index kB", "chunks kB", "total kB", "reqs",
                "goal");
    for (std::uint64_t mib : sizes) {
        Case inserted, rewritten;
        double rate = 0;
        std::uint64_t head = 0, whole = 0;
        Simulate(mib, 0x9E3779B97F4A7C15ull * mib, kLevelledChunkParams, kGroupParams, inserted, rewritten,
                 rate, head, whole);
        PrintRow(mib, "1 KiB inserted", inserted, 100000);
        PrintRow(mib, "16 x 64 KiB rewritten", rewritten, 0);
        std::printf("%6s      head %s kB, whole index %s kB; cut and identities %.0f MB/s\n", "", Kb(head).c_str(),
                    Kb(whole).c_str(), rate);
        std::fflush(stdout);
    }
    return 0;
}

int Sweep(std::uint64_t mib, int rounds)
{
    const ChunkParams chunkings[] = { { 2048, 8192, 32768, 2 }, { 1024, 4096, 16384, 0 }, { 1024, 2048, 16384, 0 } };
    const GroupParams groupings[] = { { 64, 256, 1024 }, { 128, 512, 2048 }, { 256, 1024, 4096 } };
    std::printf("%llu MiB, %d rounds, exact head; totals in kB (index + chunks), worst of the rounds in brackets\n",
                (unsigned long long)mib, rounds);
    std::printf("%-19s %-14s | %9s %18s | %9s %18s | %8s\n", "chunks", "groups", "head kB", "inserted", "lists kB",
                "rewritten", "MB/s");
    for (const ChunkParams& c : chunkings) {
        for (const GroupParams& g : groupings) {
            std::uint64_t sumI = 0, worstI = 0, sumR = 0, worstR = 0, head = 0, whole = 0, lists = 0;
            double rate = 0;
            for (int r = 0; r < rounds; ++r) {
                Case inserted, rewritten;
                double rr = 0;
                Simulate(mib, 0x9E3779B97F4A7C15ull * (r + 1), c, g, inserted, rewritten, rr, head, whole);
                sumI += inserted.v2.Total();
                worstI = std::max(worstI, inserted.v2.Total());
                sumR += rewritten.v2.Total();
                worstR = std::max(worstR, rewritten.v2.Total());
                lists += rewritten.v2.index - head;
                rate += rr / rounds;
            }
            char cn[32], gn[32], ins[40], rew[40];
            std::snprintf(cn, sizeof cn, "%u/%u/%u n%u", c.minSize, c.avgSize, c.maxSize, c.normalization);
            std::snprintf(gn, sizeof gn, "%u+%u/%u", g.minChunks, g.cutOneIn, g.maxChunks);
            std::snprintf(ins, sizeof ins, "%s [%s]", Kb(sumI / rounds).c_str(), Kb(worstI).c_str());
            std::snprintf(rew, sizeof rew, "%s [%s]", Kb(sumR / rounds).c_str(), Kb(worstR).c_str());
            std::printf("%-19s %-14s | %9s %18s | %9s %18s | %8.0f\n", cn, gn, Kb(head).c_str(), ins,
                        Kb(lists / rounds).c_str(), rew, rate);
            std::fflush(stdout);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--sweep") == 0)
        return Sweep(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024, argc > 3 ? std::atoi(argv[3]) : 3);
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = { 64, 256, 1024, 4096 };
    return Table(sizes);
}
