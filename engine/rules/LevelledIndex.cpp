#include "rules/LevelledIndex.h"
#include <algorithm>
#include <cstring>
#include "rules/LittleEndian.h"

namespace {

const unsigned char kMagic[8] = { 'U', 'P', 'C', 'H', 'U', 'N', 'K', '2' };

// Header fields, by offset.
enum : std::size_t {
    kAtVersion = 8, kAtChunkMin = 12, kAtChunkAvg = 16, kAtChunkMax = 20, kAtGroupMin = 24, kAtGroupCut = 28,
    kAtGroupMax = 32, kAtNormalization = 36, kAtFileSize = 40, kAtChunkCount = 48, kAtGroupCount = 56,
};

// The group's end as the grouping decides it after a chunk with this identity.
bool EndsGroup(const GroupParams& p, std::uint32_t chunksSoFar, std::uint64_t id)
{
    return chunksSoFar >= p.maxChunks || (chunksSoFar >= p.minChunks && id % p.cutOneIn == 0);
}

void PutListEntry(unsigned char entry[kListEntryBytes], std::uint32_t length, std::uint64_t id)
{
    for (std::size_t i = 0; i < 2; ++i) entry[i] = static_cast<unsigned char>(length >> (8 * i));
    for (std::size_t i = 0; i < 8; ++i) entry[2 + i] = static_cast<unsigned char>(id >> (8 * i));
}

// Every chunk but the last holds at least the minimum; every group but the
// last at least its minimum of chunks.
std::uint64_t MaxChunkCount(std::uint64_t fileSize)
{
    return fileSize == 0 ? 0 : (fileSize - 1) / kLevelledChunkParams.minSize + 1;
}

std::uint64_t MaxGroupCount(std::uint64_t chunks) { return chunks == 0 ? 0 : (chunks - 1) / kGroupParams.minChunks + 1; }

struct Header {
    std::uint64_t chunkCount, groupCount, headBytes;
};

IndexFault ReadHeader(const unsigned char* data, std::size_t n, std::uint64_t fileSize, Header& h)
{
    if (n < kIndexHeaderBytes) return IndexFault::Truncated;
    if (std::memcmp(data, kMagic, sizeof(kMagic)) != 0) return IndexFault::NotAnIndex;
    if (GetLe32(data + kAtVersion) != kLevelledIndexVersion) return IndexFault::OtherVersion;
    const ChunkParams& c = kLevelledChunkParams;
    const GroupParams& g = kGroupParams;
    if (GetLe32(data + kAtChunkMin) != c.minSize || GetLe32(data + kAtChunkAvg) != c.avgSize ||
        GetLe32(data + kAtChunkMax) != c.maxSize || GetLe32(data + kAtGroupMin) != g.minChunks ||
        GetLe32(data + kAtGroupCut) != g.cutOneIn || GetLe32(data + kAtGroupMax) != g.maxChunks ||
        GetLe32(data + kAtNormalization) != c.normalization)
        return IndexFault::OtherParameters;
    if (GetLe64(data + kAtFileSize) != fileSize) return IndexFault::OtherFileSize;
    h.chunkCount = GetLe64(data + kAtChunkCount);
    h.groupCount = GetLe64(data + kAtGroupCount);
    if (h.chunkCount > MaxChunkCount(fileSize) || h.groupCount > MaxGroupCount(h.chunkCount))
        return IndexFault::Oversized;
    h.headBytes = kIndexHeaderBytes + h.groupCount * kTopEntryBytes;
    return IndexFault::None;
}

// A group's chunk count and length as its chunks allow them.
bool GroupSizeFits(std::uint32_t chunks, std::uint32_t bytes, bool last)
{
    const ChunkParams& c = kLevelledChunkParams;
    if (chunks == 0 || chunks > kGroupParams.maxChunks || (!last && chunks < kGroupParams.minChunks)) return false;
    const std::uint64_t least = last ? std::uint64_t(chunks - 1) * c.minSize + 1 : std::uint64_t(chunks) * c.minSize;
    return bytes >= least && bytes <= std::uint64_t(chunks) * c.maxSize;
}

// The chunks of a list whose bytes are its group's: lengths, the group's cut
// and the sum.
IndexFault ReadListEntries(const IndexHead& head, std::size_t g, const unsigned char* p, std::vector<IndexChunk>& out)
{
    const IndexGroup& group = head.groups[g];
    const bool lastGroup = g + 1 == head.groups.size();
    const ChunkParams& c = kLevelledChunkParams;
    std::uint64_t sum = 0;
    out.resize(group.chunks);
    for (std::uint32_t i = 0; i < group.chunks; ++i, p += kListEntryBytes) {
        IndexChunk& chunk = out[i];
        chunk.length = GetLe16(p);
        chunk.id = GetLe64(p + 2);
        const bool lastInGroup = i + 1 == group.chunks;
        if (chunk.length == 0 || chunk.length > c.maxSize || (!(lastGroup && lastInGroup) && chunk.length < c.minSize))
            return IndexFault::BadChunkLength;
        if (!lastGroup || !lastInGroup) {
            if (EndsGroup(kGroupParams, i + 1, chunk.id) != lastInGroup) return IndexFault::BadGroupCut;
        }
        sum += chunk.length;
    }
    return sum == group.bytes ? IndexFault::None : IndexFault::LengthsDiffer;
}

void AddPiece(PatchPlan& plan, std::uint64_t offset, std::uint64_t length, const CLocalIndex::Place* from)
{
    if (length == 0) return;
    if (!plan.pieces.empty()) {
        PatchPiece& last = plan.pieces.back();
        const bool follows = from ? last.local && last.source == from->source && last.from + last.length == from->offset
                                  : !last.local;
        if (follows) {
            last.length += length;
            return;
        }
    }
    plan.pieces.push_back({ offset, length, from != nullptr, from ? from->source : 0, from ? from->offset : 0 });
}

// The missing pieces as requests: runs at most maxGap bytes apart merged.
void PlanRequests(PatchPlan& plan, std::uint64_t maxGap)
{
    for (const PatchPiece& p : plan.pieces) {
        if (p.local) {
            plan.localBytes += p.length;
            continue;
        }
        std::vector<ByteRange>& r = plan.fetches;
        if (!r.empty() && p.offset - (r.back().offset + r.back().length) <= maxGap)
            r.back().length = p.offset + p.length - r.back().offset;
        else
            r.push_back({ p.offset, p.length });
    }
    for (const ByteRange& r : plan.fetches) plan.fetchBytes += r.length;
}

} // namespace

CIndexCutter::CIndexCutter(std::uint64_t offset, const ChunkParams& chunking, const GroupParams& grouping)
    : m_chunking(chunking), m_grouping(grouping), m_chunker(chunking), m_offset(offset)
{
    m_open.offset = offset;
}

void CIndexCutter::Update(const unsigned char* data, std::size_t n)
{
    CutChunks(
        m_chunker, data, n, [this](const unsigned char* bytes, std::size_t k) { m_chunkHash.Update(bytes, k); },
        [this](std::uint32_t length) { EndChunk(length); });
}

void CIndexCutter::Finish()
{
    if (const std::uint32_t last = m_chunker.Finish()) EndChunk(last);
    if (m_open.chunks) EndGroup();
}

void CIndexCutter::EndChunk(std::uint32_t length)
{
    const std::uint64_t id = m_chunkHash.Final();
    m_chunkHash.Reset();
    m_chunks.push_back({ id, m_offset, length });
    m_offset += length;
    unsigned char entry[kListEntryBytes];
    PutListEntry(entry, length, id);
    m_listHash.Update(entry, sizeof(entry));
    ++m_open.chunks;
    m_open.bytes += length;
    if (EndsGroup(m_grouping, m_open.chunks, id)) EndGroup();
}

void CIndexCutter::EndGroup()
{
    m_open.id = m_listHash.Final();
    m_listHash.Reset();
    m_groups.push_back(m_open);
    m_open = Group{ 0, m_offset, m_chunks.size(), 0, 0 };
}

std::vector<unsigned char> EncodeLevelledIndex(const CIndexCutter& cut, std::uint64_t fileSize)
{
    const ChunkParams& c = cut.Chunking();
    const GroupParams& g = cut.Grouping();
    std::vector<unsigned char> out(kMagic, kMagic + sizeof(kMagic));
    out.reserve(kIndexHeaderBytes + cut.Groups().size() * kTopEntryBytes + cut.Chunks().size() * kListEntryBytes);
    for (std::uint32_t v : { kLevelledIndexVersion, c.minSize, c.avgSize, c.maxSize, g.minChunks, g.cutOneIn,
                             g.maxChunks, c.normalization })
        PutLe(out, v, 4);
    for (std::uint64_t v : { fileSize, std::uint64_t(cut.Chunks().size()), std::uint64_t(cut.Groups().size()) })
        PutLe(out, v, 8);
    for (const CIndexCutter::Group& group : cut.Groups()) {
        PutLe(out, group.id, 8);
        PutLe(out, group.chunks, 4);
        PutLe(out, group.bytes, 4);
    }
    for (const CIndexCutter::Chunk& chunk : cut.Chunks()) {
        PutLe(out, chunk.length, 2);
        PutLe(out, chunk.id, 8);
    }
    return out;
}

IndexFault ReadIndexHeadBytes(const unsigned char* data, std::size_t n, std::uint64_t fileSize, std::uint64_t& headBytes)
{
    Header h;
    const IndexFault fault = ReadHeader(data, n, fileSize, h);
    headBytes = fault == IndexFault::None ? h.headBytes : 0;
    return fault;
}

IndexFault DecodeIndexHead(const unsigned char* data, std::size_t n, std::uint64_t fileSize, IndexHead& out)
{
    out = IndexHead();
    if (n > MaxIndexHeadBytes(fileSize)) return IndexFault::Oversized;
    Header h;
    const IndexFault fault = ReadHeader(data, n, fileSize, h);
    if (fault != IndexFault::None) return fault;
    if (n < h.headBytes) return IndexFault::Truncated;
    if (n > h.headBytes) return IndexFault::TrailingBytes;

    IndexHead head;
    head.fileSize = fileSize;
    head.chunkCount = h.chunkCount;
    head.headBytes = h.headBytes;
    head.groups.resize(static_cast<std::size_t>(h.groupCount));
    std::uint64_t chunks = 0, bytes = 0;
    const unsigned char* p = data + kIndexHeaderBytes;
    for (std::size_t g = 0; g < head.groups.size(); ++g, p += kTopEntryBytes) {
        IndexGroup& group = head.groups[g];
        group.id = GetLe64(p);
        group.chunks = GetLe32(p + 8);
        group.bytes = GetLe32(p + 12);
        if (!GroupSizeFits(group.chunks, group.bytes, g + 1 == head.groups.size())) return IndexFault::BadGroupSize;
        group.offset = bytes;
        group.listOffset = h.headBytes + chunks * kListEntryBytes;
        chunks += group.chunks;
        bytes += group.bytes;
    }
    if (chunks != h.chunkCount) return IndexFault::CountsDiffer;
    if (bytes != fileSize) return IndexFault::LengthsDiffer;
    out = std::move(head);
    return IndexFault::None;
}

IndexFault DecodeGroupList(const IndexHead& head, std::size_t g, const unsigned char* data, std::size_t n,
                           std::vector<IndexChunk>& out)
{
    out.clear();
    if (g >= head.groups.size()) return IndexFault::ListMismatch;
    const std::uint64_t expected = std::uint64_t(head.groups[g].chunks) * kListEntryBytes;
    if (n < expected) return IndexFault::Truncated;
    if (n > expected) return IndexFault::TrailingBytes;
    // Checked against its parent before anything in it is believed.
    if (CHash64::Of(data, n) != head.groups[g].id) return IndexFault::ListMismatch;
    std::vector<IndexChunk> chunks;
    const IndexFault fault = ReadListEntries(head, g, data, chunks);
    if (fault == IndexFault::None) out = std::move(chunks);
    return fault;
}

IndexFault DecodeLevelledIndex(const unsigned char* data, std::size_t n, std::uint64_t fileSize, IndexHead& head,
                               std::vector<IndexChunk>& chunks)
{
    head = IndexHead();
    chunks.clear();
    if (n > MaxLevelledIndexBytes(fileSize)) return IndexFault::Oversized;
    std::uint64_t headBytes = 0;
    IndexFault fault = ReadIndexHeadBytes(data, n, fileSize, headBytes);
    if (fault == IndexFault::None && n < headBytes) fault = IndexFault::Truncated;
    IndexHead read;
    if (fault == IndexFault::None) fault = DecodeIndexHead(data, static_cast<std::size_t>(headBytes), fileSize, read);
    if (fault != IndexFault::None) return fault;
    const std::uint64_t total = headBytes + read.chunkCount * kListEntryBytes;
    if (n < total) return IndexFault::Truncated;
    if (n > total) return IndexFault::TrailingBytes;
    std::vector<IndexChunk> all, list;
    all.reserve(static_cast<std::size_t>(read.chunkCount));
    for (std::size_t g = 0; g < read.groups.size(); ++g) {
        const IndexGroup& group = read.groups[g];
        fault = DecodeGroupList(read, g, data + group.listOffset, std::size_t(group.chunks) * kListEntryBytes, list);
        if (fault != IndexFault::None) return fault;
        all.insert(all.end(), list.begin(), list.end());
    }
    head = std::move(read);
    chunks = std::move(all);
    return IndexFault::None;
}

const char* DescribeIndexFault(IndexFault fault)
{
    switch (fault) {
    case IndexFault::None: return "is valid";
    case IndexFault::Oversized: return "is larger than any index for the file's size";
    case IndexFault::Truncated: return "is cut short";
    case IndexFault::NotAnIndex: return "is not a levelled chunk index";
    case IndexFault::OtherVersion: return "has a format version this program does not read";
    case IndexFault::OtherParameters: return "was made with other chunk or group sizes";
    case IndexFault::OtherFileSize: return "was made for a file of another size";
    case IndexFault::BadGroupSize: return "has a group whose size its chunks cannot have";
    case IndexFault::CountsDiffer: return "has group chunk counts that do not add up to its chunk count";
    case IndexFault::LengthsDiffer: return "has lengths that do not add up to the file's or the group's size";
    case IndexFault::ListMismatch: return "has a chunk list that is not its group's";
    case IndexFault::BadChunkLength: return "has a chunk length outside the chunk sizes";
    case IndexFault::BadGroupCut: return "has a group that does not end where the grouping ends it";
    case IndexFault::TrailingBytes: return "has bytes after its end";
    }
    return "cannot be read";
}

std::uint64_t MaxIndexHeadBytes(std::uint64_t fileSize)
{
    return kIndexHeaderBytes + MaxGroupCount(MaxChunkCount(fileSize)) * kTopEntryBytes;
}

std::uint64_t MaxLevelledIndexBytes(std::uint64_t fileSize)
{
    return MaxIndexHeadBytes(fileSize) + MaxChunkCount(fileSize) * kListEntryBytes;
}

ByteRange PlanHeadFetch(std::uint64_t fileSize)
{
    // Random data averages about 5 KiB a chunk; a quarter more groups than
    // that and two spare entries cover most files without a second request.
    const std::uint64_t groupBytes = 5120ull * (kGroupParams.minChunks + kGroupParams.cutOneIn);
    const std::uint64_t groups = fileSize / groupBytes * 5 / 4 + 2;
    return { 0, std::min(kIndexHeaderBytes + groups * kTopEntryBytes, MaxIndexHeadBytes(fileSize)) };
}

std::vector<ByteRange> PlanListFetches(const IndexHead& head, const std::vector<bool>& wanted, std::uint64_t haveBytes,
                                       std::uint64_t maxGap)
{
    std::vector<ByteRange> ranges;
    for (std::size_t g = 0; g < head.groups.size() && g < wanted.size(); ++g) {
        const std::uint64_t end = head.groups[g].listOffset + std::uint64_t(head.groups[g].chunks) * kListEntryBytes;
        if (!wanted[g] || end <= haveBytes) continue;
        const std::uint64_t start = std::max(head.groups[g].listOffset, haveBytes);
        if (!ranges.empty() && start - (ranges.back().offset + ranges.back().length) <= maxGap)
            ranges.back().length = end - ranges.back().offset;
        else
            ranges.push_back({ start, end - start });
    }
    return ranges;
}

void CLocalIndex::Add(const CIndexCutter& cut, std::uint32_t source)
{
    for (const CIndexCutter::Chunk& c : cut.Chunks()) m_chunks.push_back({ c.id, c.offset, source, 1, c.length });
    for (const CIndexCutter::Group& g : cut.Groups()) m_groups.push_back({ g.id, g.offset, source, g.chunks, g.bytes });
    m_sorted = false;
}

const CLocalIndex::Place* CLocalIndex::FindGroup(const IndexGroup& group)
{
    Sort();
    return Find(m_groups, group.id, group.chunks, group.bytes);
}

const CLocalIndex::Place* CLocalIndex::FindChunk(const IndexChunk& chunk)
{
    Sort();
    return Find(m_chunks, chunk.id, 1, chunk.length);
}

void CLocalIndex::Sort()
{
    if (m_sorted) return;
    // Stable: the first added of equal identities wins.
    auto byId = [](const Place& a, const Place& b) { return a.id < b.id; };
    std::stable_sort(m_groups.begin(), m_groups.end(), byId);
    std::stable_sort(m_chunks.begin(), m_chunks.end(), byId);
    m_sorted = true;
}

const CLocalIndex::Place* CLocalIndex::Find(const std::vector<Place>& places, std::uint64_t id, std::uint32_t chunks,
                                            std::uint32_t bytes)
{
    auto it = std::lower_bound(places.begin(), places.end(), id, [](const Place& p, std::uint64_t v) { return p.id < v; });
    for (; it != places.end() && it->id == id; ++it)
        if (it->chunks == chunks && it->bytes == bytes) return &*it;
    return nullptr;
}

PatchPlan PlanPatch(const IndexHead& head, const std::vector<std::vector<IndexChunk>>& lists, CLocalIndex& local,
                    std::uint64_t maxGap)
{
    PatchPlan plan;
    for (std::size_t g = 0; g < head.groups.size(); ++g) {
        const IndexGroup& group = head.groups[g];
        if (const CLocalIndex::Place* found = local.FindGroup(group)) {
            AddPiece(plan, group.offset, group.bytes, found);
            continue;
        }
        if (g >= lists.size() || lists[g].size() != group.chunks) {
            AddPiece(plan, group.offset, group.bytes, nullptr);
            continue;
        }
        std::uint64_t offset = group.offset;
        for (const IndexChunk& chunk : lists[g]) {
            AddPiece(plan, offset, chunk.length, local.FindChunk(chunk));
            offset += chunk.length;
        }
    }
    PlanRequests(plan, maxGap);
    return plan;
}
