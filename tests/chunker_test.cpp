// Content-defined chunks and the chunk index. Built natively (with the
// publisher's tests) and for Windows (unit_tests): both must cut the same
// bytes at the same places, or the updater would find nothing to reuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rules/Chunker.h"
#include "rules/LevelledIndex.h"

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

// Chunk sizes gathered around the average (a normalization of 2), as the
// earlier flat index cut them: the chunker keeps both kinds of cut test.
constexpr ChunkParams kNormalized = { 2048, 8192, 32768, 2 };

// Cuts data fed in blocks of the given sizes (repeated), as a reader of a
// file in blocks would; the chunks' lengths.
std::vector<std::uint32_t> Lengths(const Bytes& data, const std::vector<std::size_t>& blocks)
{
    CChunker chunker(kNormalized);
    std::vector<std::uint32_t> lengths;
    std::size_t at = 0, chunkStart = 0, b = 0;
    while (at < data.size()) {
        std::size_t block = std::min(blocks[b++ % blocks.size()], data.size() - at);
        while (block > 0) {
            std::uint32_t ended = 0;
            const std::size_t took = chunker.Feed(data.data() + at, block, ended);
            at += took;
            block -= took;
            if (ended) {
                EXPECT_EQ(chunkStart + ended, at);
                lengths.push_back(ended);
                chunkStart = at;
            }
        }
    }
    if (const std::uint32_t last = chunker.Finish()) lengths.push_back(last);
    return lengths;
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
    const std::vector<std::uint32_t> lengths = Lengths(data, { data.size() });
    EXPECT_EQ(Lengths(data, { 1, 7, 4096, 65536, 63, 100000 }), lengths);
    EXPECT_EQ(Lengths(data, { 8192 }), lengths);
    EXPECT_EQ(Lengths(data, { 1 }), lengths);

    std::uint64_t sum = 0;
    std::size_t atMax = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        sum += lengths[i];
        EXPECT_LE(lengths[i], kNormalized.maxSize) << "chunk " << i;
        if (i + 1 < lengths.size()) {
            EXPECT_GE(lengths[i], kNormalized.minSize) << "chunk " << i;
        }
        if (lengths[i] == kNormalized.maxSize) ++atMax;
    }
    EXPECT_EQ(sum, data.size());
    // The zeros give maximum-size chunks; random bytes average near the target.
    EXPECT_GE(atMax, 200u * 1024 / kNormalized.maxSize - 1);
    const double mean = double(data.size() - 200 * 1024) / double(lengths.size() - atMax);
    EXPECT_GT(mean, kNormalized.avgSize * 0.75);
    EXPECT_LT(mean, kNormalized.avgSize * 1.5);

    // The cuts of this sample pinned: the publisher (native) and the updater
    // (Windows) run this same check, so they cannot drift apart.
    std::uint64_t fingerprint = 0xcbf29ce484222325ull;
    for (std::uint32_t n : lengths) fingerprint = (fingerprint ^ n) * 0x100000001b3ull;
    EXPECT_EQ(lengths.size(), 327u);
    EXPECT_EQ(fingerprint, 7185204818352092625ull);
}

// The levelled index (v2): identities, cuts, the codec at every level and a
// patch planned from it.
namespace {

// 32 MiB: random bytes with 2 MiB of zeros (maximum-size chunks with one
// identity) a third of the way in: a handful of groups.
const Bytes& LevelledSample()
{
    static const Bytes data = [] {
        Bytes b = RandomBytes(32 << 20, 1234);
        std::fill(b.begin() + (10 << 20), b.begin() + (12 << 20), 0);
        return b;
    }();
    return data;
}

CIndexCutter CutLevelled(const Bytes& data, const std::vector<std::size_t>& blocks)
{
    CIndexCutter cut;
    for (std::size_t at = 0, b = 0; at < data.size();) {
        const std::size_t n = std::min(blocks[b++ % blocks.size()], data.size() - at);
        cut.Update(data.data() + at, n);
        at += n;
    }
    cut.Finish();
    return cut;
}

std::uint64_t Fingerprint(const CIndexCutter& cut)
{
    std::uint64_t f = 0xcbf29ce484222325ull;
    for (const auto& c : cut.Chunks()) f = (f ^ c.length ^ c.id) * 0x100000001b3ull;
    for (const auto& g : cut.Groups()) f = (f ^ g.chunks ^ g.id) * 0x100000001b3ull;
    return f;
}

void Put(Bytes& b, std::size_t at, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

} // namespace

TEST(LevelledIndex, IdentitiesAndCutsAreTheSameWhateverTheBlocksAndPinned)
{
    const char* texts[] = { "", "a", "abc", "Nobody inspects the spammish repetition" };
    const std::uint64_t known[] = { 0xEF46DB3751D8E999ull, 0xD24EC4F1A98C6E5Bull, 0x44BC2CF5AD770999ull,
                                    0xFBCEA83C8A378BF1ull };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(CHash64::Of(reinterpret_cast<const unsigned char*>(texts[i]), std::strlen(texts[i])), known[i]) << texts[i];

    const Bytes& data = LevelledSample();
    const CIndexCutter whole = CutLevelled(data, { data.size() });
    EXPECT_EQ(Fingerprint(CutLevelled(data, { 1, 7, 4096, 65536, 63, 100000, 31, 33 })), Fingerprint(whole));
    ASSERT_GE(whole.Groups().size(), 4u);
    std::uint64_t offset = 0, chunk = 0;
    for (const auto& g : whole.Groups()) {
        EXPECT_EQ(g.offset, offset);
        EXPECT_EQ(g.firstChunk, chunk);
        std::uint64_t bytes = 0;
        for (std::uint64_t i = g.firstChunk; i < g.firstChunk + g.chunks; ++i) bytes += whole.Chunks()[i].length;
        EXPECT_EQ(bytes, g.bytes);
        offset += g.bytes;
        chunk += g.chunks;
    }
    EXPECT_EQ(offset, data.size());
    EXPECT_EQ(chunk, whole.Chunks().size());
    // The publisher (native) and the updater (Windows) run this same check.
    EXPECT_EQ(whole.Chunks().size(), 6430u);
    EXPECT_EQ(whole.Groups().size(), 12u);
    EXPECT_EQ(Fingerprint(whole), 12188487651949301216ull);
}

TEST(LevelledIndex, APatchFetchesTheChangedGroupsListsAndChunksAndRebuildsTheFile)
{
    const Bytes& before = LevelledSample();
    Bytes after(before.begin(), before.begin() + 100000);  // 1 KiB inserted near the start
    const Bytes inserted = RandomBytes(1024, 9);
    after.insert(after.end(), inserted.begin(), inserted.end());
    after.insert(after.end(), before.begin() + 100000, before.end());
    const Bytes rewritten = RandomBytes(65536, 10);  // and 64 KiB rewritten near the end
    std::copy(rewritten.begin(), rewritten.end(), after.end() - 3000000);

    const CIndexCutter newCut = CutLevelled(after, { 65536 });
    const Bytes index = EncodeLevelledIndex(newCut, after.size());
    IndexHead head;
    std::vector<IndexChunk> all;
    ASSERT_EQ(DecodeLevelledIndex(index.data(), index.size(), after.size(), head, all), IndexFault::None);
    ASSERT_EQ(all.size(), newCut.Chunks().size());
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_TRUE(all[i].id == newCut.Chunks()[i].id && all[i].length == newCut.Chunks()[i].length) << i;
    std::uint64_t headBytes = 0;
    ASSERT_EQ(ReadIndexHeadBytes(index.data(), kIndexHeaderBytes, after.size(), headBytes), IndexFault::None);
    EXPECT_EQ(headBytes, head.headBytes);
    EXPECT_GE(PlanHeadFetch(after.size()).length, headBytes);

    // The old copy, and its second half cut on its own (as a second reader
    // would): its chunks find their places again, the first added wins.
    CLocalIndex local;
    local.Add(CutLevelled(before, { 65536 }), 0);
    CIndexCutter half(before.size() / 2);
    half.Update(before.data() + before.size() / 2, before.size() / 2);
    half.Finish();
    EXPECT_GT(half.Chunks().size(), 100u);
    EXPECT_EQ(half.Chunks().back().offset + half.Chunks().back().length, before.size());
    local.Add(half, 1);
    std::vector<bool> wanted;
    for (const IndexGroup& g : head.groups) wanted.push_back(local.FindGroup(g) == nullptr);
    EXPECT_EQ(std::count(wanted.begin(), wanted.end(), true), 2) << "the first and the last group changed";
    const std::vector<ByteRange> listRanges = PlanListFetches(head, wanted, head.headBytes);
    ASSERT_EQ(listRanges.size(), 2u);
    std::vector<std::vector<IndexChunk>> lists(head.groups.size());
    for (std::size_t g = 0; g < head.groups.size(); ++g) {
        if (!wanted[g]) continue;
        const IndexGroup& group = head.groups[g];
        const bool fetched = std::any_of(listRanges.begin(), listRanges.end(), [&](const ByteRange& r) {
            return r.offset <= group.listOffset && group.listOffset + group.chunks * kListEntryBytes <= r.offset + r.length;
        });
        EXPECT_TRUE(fetched) << g;
        ASSERT_EQ(DecodeGroupList(head, g, index.data() + group.listOffset, group.chunks * kListEntryBytes, lists[g]),
                  IndexFault::None);
    }
    const PatchPlan plan = PlanPatch(head, lists, local);
    EXPECT_LE(plan.fetchBytes, 1024u + 65536 + 4 * kLevelledChunkParams.maxSize + 2 * kMergeGapBytes);
    Bytes rebuilt(after.size(), 0xEE);
    std::uint64_t next = 0;
    for (const PatchPiece& p : plan.pieces) {
        EXPECT_EQ(p.offset, next);
        next = p.offset + p.length;
        EXPECT_EQ(p.source, 0u);
        const unsigned char* from = p.local ? before.data() + p.from : after.data() + p.offset;
        if (!p.local) {
            EXPECT_TRUE(std::any_of(plan.fetches.begin(), plan.fetches.end(), [&](const ByteRange& r) {
                return r.offset <= p.offset && p.offset + p.length <= r.offset + r.length;
            })) << p.offset;
        }
        std::copy(from, from + p.length, rebuilt.begin() + p.offset);
    }
    EXPECT_EQ(next, after.size());
    EXPECT_TRUE(rebuilt == after);

    // Lists at most the gap apart share a request; what was fetched with the head is not asked again.
    const std::vector<bool> every(head.groups.size(), true);
    EXPECT_EQ(PlanListFetches(head, every, 0).size(), 1u);
    EXPECT_EQ(PlanListFetches(head, every, index.size()).size(), 0u);
    const IndexGroup& g1 = head.groups[1];
    const std::vector<ByteRange> cut = PlanListFetches(head, every, g1.listOffset + 5);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].offset, g1.listOffset + 5);
    EXPECT_EQ(cut[0].offset + cut[0].length, index.size());
}

TEST(LevelledIndex, EveryDamagedLevelIsRefused)
{
    const Bytes& data = LevelledSample();
    const std::uint64_t size = data.size();
    const CIndexCutter cut = CutLevelled(data, { 65536 });
    const Bytes good = EncodeLevelledIndex(cut, size);
    IndexHead head;
    std::vector<IndexChunk> chunks;
    ASSERT_EQ(DecodeLevelledIndex(good.data(), good.size(), size, head, chunks), IndexFault::None);
    EXPECT_EQ(good.size(), head.headBytes + chunks.size() * kListEntryBytes);
    EXPECT_LE(good.size(), MaxLevelledIndexBytes(size));
    const std::size_t headBytes = static_cast<std::size_t>(head.headBytes);
    const IndexGroup& g1 = head.groups[1];
    const std::size_t list1 = static_cast<std::size_t>(g1.listOffset), top1 = kIndexHeaderBytes + kTopEntryBytes;
    const std::uint32_t max = kLevelledChunkParams.maxSize;

    auto patched = [&](std::size_t at, std::uint64_t v, int bytes) {
        Bytes b = good;
        Put(b, at, v, bytes);
        return b;
    };
    // A list changed by a publisher that also wrote its identity into the head.
    auto forged = [&](std::size_t entry, std::uint64_t v, int bytes, int field) {
        Bytes b = patched(list1 + entry * kListEntryBytes + field, v, bytes);
        Put(b, top1, CHash64::Of(b.data() + list1, g1.chunks * kListEntryBytes), 8);
        return b;
    };
    Bytes trailing = good, huge = good, magic = good;
    trailing.push_back(0);
    huge.resize(MaxLevelledIndexBytes(size) + 1);
    magic[7] = '1';
    const Bytes shifted = patched(list1, 0, 0);  // read one entry past its place below
    enum Level { Whole, Head, List1 };
    const struct {
        const char* form;
        Bytes bytes;
        Level level;
        std::size_t from, n;  // the bytes the level reads (n 0: to the end)
        IndexFault fault;
    } cases[] = {
        { "whole: one byte short", good, Whole, 0, good.size() - 1, IndexFault::Truncated },
        { "whole: a byte more", trailing, Whole, 0, 0, IndexFault::TrailingBytes },
        { "whole: past the bound", huge, Whole, 0, 0, IndexFault::Oversized },
        { "whole: a list altered", patched(list1 + 5, 0x55, 1), Whole, 0, 0, IndexFault::ListMismatch },
        { "head: one byte short", good, Head, 0, headBytes - 1, IndexFault::Truncated },
        { "head: header cut", good, Head, 0, kIndexHeaderBytes - 1, IndexFault::Truncated },
        { "head: a byte more", good, Head, 0, headBytes + 1, IndexFault::TrailingBytes },
        { "head: past the bound", huge, Head, 0, 0, IndexFault::Oversized },
        { "head: magic", magic, Head, 0, headBytes, IndexFault::NotAnIndex },
        { "head: version", patched(8, 3, 4), Head, 0, headBytes, IndexFault::OtherVersion },
        { "head: group cut", patched(28, 128, 4), Head, 0, headBytes, IndexFault::OtherParameters },
        { "head: reserved field", patched(36, 1, 4), Head, 0, headBytes, IndexFault::OtherParameters },
        { "head: another file's size", patched(40, size + 1, 8), Head, 0, headBytes, IndexFault::OtherFileSize },
        { "head: chunk count past the bound", patched(48, size, 8), Head, 0, headBytes, IndexFault::Oversized },
        { "head: group count past the data", patched(56, head.groups.size() + 1, 8), Head, 0, headBytes,
          IndexFault::Truncated },
        { "head: chunk count one more", patched(48, chunks.size() + 1, 8), Head, 0, headBytes, IndexFault::CountsDiffer },
        { "head: a group one chunk more", patched(top1 + 8, g1.chunks + 1, 4), Head, 0, headBytes,
          IndexFault::CountsDiffer },
        { "head: a group over the maximum", patched(top1 + 8, kGroupParams.maxChunks + 1, 4), Head, 0, headBytes,
          IndexFault::BadGroupSize },
        { "head: a group longer than its chunks", patched(top1 + 12, std::uint64_t(g1.chunks) * max + 1, 4), Head, 0, headBytes,
          IndexFault::BadGroupSize },
        { "head: a group's length changed", patched(top1 + 12, g1.bytes + 1, 4), Head, 0, headBytes,
          IndexFault::LengthsDiffer },
        { "list: one entry short", good, List1, list1, g1.chunks * kListEntryBytes - kListEntryBytes,
          IndexFault::Truncated },
        { "list: a byte more", good, List1, list1, g1.chunks * kListEntryBytes + 1, IndexFault::TrailingBytes },
        { "list: one entry out of place", shifted, List1, list1 + kListEntryBytes, g1.chunks * kListEntryBytes,
          IndexFault::ListMismatch },
        { "list: group 0's in its place", good, List1, headBytes, g1.chunks * kListEntryBytes,
          IndexFault::ListMismatch },
        { "list: an identity altered", patched(list1 + 2, 1, 1), List1, list1, g1.chunks * kListEntryBytes,
          IndexFault::ListMismatch },
        { "list (forged): a chunk under the minimum", forged(3, 100, 2, 0), List1, list1, g1.chunks * kListEntryBytes,
          IndexFault::BadChunkLength },
        { "list (forged): a chunk of zero bytes", forged(3, 0, 2, 0), List1, list1, g1.chunks * kListEntryBytes,
          IndexFault::BadChunkLength },
        { "list (forged): the group ends early", forged(kGroupParams.minChunks, kGroupParams.cutOneIn * 12345ull, 8, 2), List1, list1,
          g1.chunks * kListEntryBytes, IndexFault::BadGroupCut },
        { "list (forged): the group ends late", forged(g1.chunks - 1, kGroupParams.cutOneIn * 12345ull + 1, 8, 2), List1, list1,
          g1.chunks * kListEntryBytes, IndexFault::BadGroupCut },
        { "list (forged): lengths that disagree", forged(3, chunks[head.groups[0].chunks + 3].length == max ? max - 1 : max, 2, 0), List1,
          list1, g1.chunks * kListEntryBytes, IndexFault::LengthsDiffer },
    };
    for (const auto& c : cases) {
        const std::size_t n = c.n ? c.n : c.bytes.size() - c.from;
        IndexHead h;
        std::vector<IndexChunk> out(1);
        IndexFault fault;
        if (c.level == Whole) {
            fault = DecodeLevelledIndex(c.bytes.data(), n, size, h, out);
            EXPECT_TRUE(h.groups.empty() && out.empty()) << c.form;
        } else if (c.level == Head) {
            fault = DecodeIndexHead(c.bytes.data(), n, size, h);
            EXPECT_TRUE(h.groups.empty() && h.fileSize == 0) << c.form;
        } else {
            // Each list is checked against the head it came with (forged ones included).
            ASSERT_EQ(DecodeIndexHead(c.bytes.data(), headBytes, size, h), IndexFault::None) << c.form;
            fault = DecodeGroupList(h, 1, c.bytes.data() + c.from, n, out);
            EXPECT_TRUE(out.empty()) << c.form;
        }
        EXPECT_EQ(fault, c.fault) << c.form << ": " << DescribeIndexFault(fault);
    }

    // An empty file has an index of its header alone.
    CIndexCutter none;
    none.Finish();
    const Bytes empty = EncodeLevelledIndex(none, 0);
    EXPECT_EQ(empty.size(), kIndexHeaderBytes);
    EXPECT_EQ(DecodeLevelledIndex(empty.data(), empty.size(), 0, head, chunks), IndexFault::None);
}
