// Content-defined chunks and the chunk index. Built natively (with the
// publisher's tests) and for Windows (unit_tests): both must cut the same
// bytes at the same places, or the updater would find nothing to reuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rules/Chunker.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes RandomBytes(std::size_t n, std::uint64_t seed)
{
    Bytes b(n);
    std::uint64_t s = seed | 1;
    for (auto& c : b) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        c = static_cast<unsigned char>(s >> 32);
    }
    return b;
}

// Stands in for SHA-256: the unit takes identities as bytes from whoever hashes.
void Identity(const unsigned char* p, std::size_t n, unsigned char out[32])
{
    for (int lane = 0; lane < 4; ++lane) {
        std::uint64_t h = 0xcbf29ce484222325ull ^ static_cast<std::uint64_t>(lane) * 0x9E3779B97F4A7C15ull;
        for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
        std::memcpy(out + 8 * lane, &h, 8);
    }
}

// Cuts data fed in blocks of the given sizes (repeated), as a reader of a
// file in blocks would, and indexes the chunks.
ChunkIndex Cut(const Bytes& data, const std::vector<std::size_t>& blocks)
{
    CChunker chunker;
    ChunkIndex index;
    index.fileSize = data.size();
    std::size_t at = 0, chunkStart = 0, b = 0;
    unsigned char id[32];
    while (at < data.size()) {
        std::size_t block = std::min(blocks[b++ % blocks.size()], data.size() - at);
        while (block > 0) {
            std::uint32_t ended = 0;
            const std::size_t took = chunker.Feed(data.data() + at, block, ended);
            at += took;
            block -= took;
            if (ended) {
                EXPECT_EQ(chunkStart + ended, at);
                Identity(data.data() + chunkStart, ended, id);
                index.Add(ended, id);
                chunkStart = at;
            }
        }
    }
    if (const std::uint32_t last = chunker.Finish()) {
        Identity(data.data() + chunkStart, last, id);
        index.Add(last, id);
    }
    return index;
}

std::vector<std::uint32_t> Lengths(const ChunkIndex& index)
{
    std::vector<std::uint32_t> v;
    for (const ChunkEntry& c : index.chunks) v.push_back(c.length);
    return v;
}

// An index whose header agrees with itself, for the length checks.
Bytes Encoded(std::uint64_t fileSize, const std::vector<std::uint32_t>& lengths)
{
    ChunkIndex index;
    const unsigned char id[32] = {};
    index.fileSize = fileSize;
    for (std::uint32_t n : lengths) index.Add(n, id);
    return EncodeChunkIndex(index);
}

// 3 MiB of random bytes with 200 KiB of zeros in the middle (no cut fits there
// but the maximum) and a short tail.
Bytes Sample()
{
    Bytes data = RandomBytes(3 << 20, 42);
    std::fill(data.begin() + (1 << 20), data.begin() + (1 << 20) + 200 * 1024, 0);
    return data;
}

} // namespace

TEST(Chunker, CutsTheSameWhateverTheBlocksAndKeepsToTheSizes)
{
    const Bytes data = Sample();
    const ChunkIndex whole = Cut(data, { data.size() });
    const std::vector<std::uint32_t> lengths = Lengths(whole);
    EXPECT_EQ(Lengths(Cut(data, { 1, 7, 4096, 65536, 63, 100000 })), lengths);
    EXPECT_EQ(Lengths(Cut(data, { 8192 })), lengths);
    EXPECT_EQ(Lengths(Cut(data, { 1 })), lengths);

    std::uint64_t sum = 0;
    std::size_t atMax = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        sum += lengths[i];
        EXPECT_LE(lengths[i], kChunkParams.maxSize) << "chunk " << i;
        if (i + 1 < lengths.size()) {
            EXPECT_GE(lengths[i], kChunkParams.minSize) << "chunk " << i;
        }
        if (lengths[i] == kChunkParams.maxSize) ++atMax;
    }
    EXPECT_EQ(sum, data.size());
    // The zeros give maximum-size chunks; random bytes average near the target.
    EXPECT_GE(atMax, 200u * 1024 / kChunkParams.maxSize - 1);
    const double mean = double(data.size() - 200 * 1024) / double(lengths.size() - atMax);
    EXPECT_GT(mean, kChunkParams.avgSize * 0.75);
    EXPECT_LT(mean, kChunkParams.avgSize * 1.5);

    // The cuts of this sample pinned: the publisher (native) and the updater
    // (Windows) run this same check, so they cannot drift apart.
    std::uint64_t fingerprint = 0xcbf29ce484222325ull;
    for (std::uint32_t n : lengths) fingerprint = (fingerprint ^ n) * 0x100000001b3ull;
    EXPECT_EQ(lengths.size(), 327u);
    EXPECT_EQ(fingerprint, 7185204818352092625ull);
}

TEST(Chunker, AnInsertionChangesOnlyTheChunksAroundIt)
{
    const Bytes before = Sample();
    const std::size_t at = 1500000;
    Bytes after(before.begin(), before.begin() + at);
    const Bytes inserted = RandomBytes(1024, 7);
    after.insert(after.end(), inserted.begin(), inserted.end());
    after.insert(after.end(), before.begin() + at, before.end());

    const ChunkIndex oldIndex = Cut(before, { 65536 });
    const ChunkIndex newIndex = Cut(after, { 65536 });
    CLocalChunks local;
    std::uint64_t offset = 0;
    unsigned char id[32] = {};
    for (const ChunkEntry& c : oldIndex.chunks) {
        std::memcpy(id, c.id, kChunkIdBytes);
        local.Add(id, 0, offset, c.length);
        offset += c.length;
    }
    std::vector<bool> missing;
    offset = 0;
    for (const ChunkEntry& c : newIndex.chunks) {
        const CLocalChunks::Chunk* found = local.Find(c);
        missing.push_back(!found);
        if (found) {
            EXPECT_EQ(0, std::memcmp(before.data() + found->offset, after.data() + offset, c.length)) << offset;
        }
        offset += c.length;
    }
    const std::vector<ByteRange> fetch = PlanFetches(newIndex, missing);
    ASSERT_EQ(fetch.size(), 1u);
    EXPECT_LE(fetch[0].offset, at);
    EXPECT_GE(fetch[0].offset + fetch[0].length, at + 1024);
    EXPECT_LE(fetch[0].length, 1024u + 2 * kChunkParams.maxSize);

    // A chunk with the identity but another length is not the one wanted.
    ChunkEntry other = newIndex.chunks.front();
    other.length += 1;
    EXPECT_EQ(local.Find(other), nullptr);

    // Runs of missing chunks share a request across 64 KiB of chunks held, not more.
    ChunkIndex runs;
    for (int i = 0; i < 8; ++i) runs.Add(32768, id);
    const std::vector<bool> gaps = { true, false, false, true, false, false, false, true };
    const std::vector<ByteRange> ranges = PlanFetches(runs, gaps);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_TRUE(ranges[0].offset == 0 && ranges[0].length == 4 * 32768);
    EXPECT_TRUE(ranges[1].offset == 7 * 32768 && ranges[1].length == 32768);
    EXPECT_EQ(PlanFetches(runs, gaps, 65535).size(), 3u);
}

TEST(Chunker, TheIndexReadsBackAndEveryDamagedFormIsRefused)
{
    const Bytes data = Sample();
    const ChunkIndex index = Cut(data, { 65536 });
    const Bytes good = EncodeChunkIndex(index);
    ASSERT_EQ(good.size(), kChunkIndexHeaderBytes + index.chunks.size() * kChunkEntryBytes);
    ChunkIndex read;
    ASSERT_EQ(DecodeChunkIndex(good.data(), good.size(), data.size(), read), ChunkIndexFault::None);
    EXPECT_TRUE(EncodeChunkIndex(read) == good);

    auto patched = [&](std::size_t at, std::uint32_t value) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(value >> (8 * i));
        return b;
    };
    Bytes trailing = good, huge = good, magic = good;
    trailing.push_back(0);
    huge.resize(MaxChunkIndexBytes(data.size()) + 1);
    magic[0] = 'X';
    const std::uint32_t min = kChunkParams.minSize, max = kChunkParams.maxSize;
    const struct {
        const char* form;
        Bytes bytes;
        std::uint64_t fileSize;
        ChunkIndexFault fault;
    } cases[] = {
        { "one byte short", Bytes(good.begin(), good.end() - 1), data.size(), ChunkIndexFault::Truncated },
        { "header cut", Bytes(good.begin(), good.begin() + 39), data.size(), ChunkIndexFault::Truncated },
        { "a byte more", trailing, data.size(), ChunkIndexFault::TrailingBytes },
        { "past the bound", huge, data.size(), ChunkIndexFault::Oversized },
        { "chunk count past the bound", patched(32, 0x7FFFFFFF), data.size(), ChunkIndexFault::Oversized },
        { "magic", magic, data.size(), ChunkIndexFault::NotAnIndex },
        { "version", patched(8, kChunkIndexVersion + 1), data.size(), ChunkIndexFault::OtherVersion },
        { "minimum", patched(12, min / 2), data.size(), ChunkIndexFault::OtherParameters },
        { "average", patched(16, kChunkParams.avgSize * 2), data.size(), ChunkIndexFault::OtherParameters },
        { "maximum", patched(20, max * 2), data.size(), ChunkIndexFault::OtherParameters },
        { "identity size", patched(36, 32), data.size(), ChunkIndexFault::OtherParameters },
        { "another file's size", good, data.size() + 1, ChunkIndexFault::OtherFileSize },
        { "a length changed", patched(kChunkIndexHeaderBytes, index.chunks[0].length + 1), data.size(),
          ChunkIndexFault::LengthsDiffer },
        { "under the minimum", Encoded(2 * min, { min - 1, min + 1 }), 2 * min, ChunkIndexFault::BadChunkLength },
        { "over the maximum", Encoded(max + 11, { max + 1, 10 }), max + 11, ChunkIndexFault::BadChunkLength },
        { "empty last chunk", Encoded(2 * min + 1, { min, min + 1, 0 }), 2 * min + 1, ChunkIndexFault::BadChunkLength },
        { "lengths short of the size", Encoded(min + 11, { min, 10 }), min + 11, ChunkIndexFault::LengthsDiffer },
        { "short last chunk", Encoded(min + 10, { min, 10 }), min + 10, ChunkIndexFault::None },
        { "empty file", Encoded(0, {}), 0, ChunkIndexFault::None },
    };
    for (const auto& c : cases) {
        ChunkIndex out;
        out.fileSize = 1;
        EXPECT_EQ(DecodeChunkIndex(c.bytes.data(), c.bytes.size(), c.fileSize, out), c.fault) << c.form;
        if (c.fault != ChunkIndexFault::None) {
            EXPECT_TRUE(out.chunks.empty() && out.fileSize == 0) << c.form;
        }
    }

    // The bound is tight: an index of minimum-size chunks only fits it.
    const Bytes tight = Encoded(3 * min + 1, { min, min, min, 1 });
    EXPECT_EQ(tight.size(), MaxChunkIndexBytes(3 * min + 1));
    EXPECT_EQ(DecodeChunkIndex(tight.data(), tight.size(), 3 * min + 1, read), ChunkIndexFault::None);
}
