#include "rules/Chunker.h"
#include "rules/LittleEndian.h"
#include <algorithm>
#include <cstring>

namespace {

// The hash sees the last 64 bytes: each step shifts the older ones out.
constexpr std::uint32_t kWindow = 64;

struct GearTable {
    std::uint64_t v[256];
};

// Fixed by the index format: a table of splitmix64 values from a fixed seed.
constexpr GearTable MakeGearTable()
{
    GearTable t{};
    std::uint64_t x = 0x5C0FFEE0DDF00D11ull;
    for (int i = 0; i < 256; ++i) {
        x += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        t.v[i] = z ^ (z >> 31);
    }
    return t;
}
constexpr GearTable kGear = MakeGearTable();

const unsigned char kMagic[8] = { 'U', 'P', 'C', 'H', 'U', 'N', 'K', 'S' };

unsigned Log2(std::uint32_t v)
{
    unsigned bits = 0;
    while (v > 1) {
        v >>= 1;
        ++bits;
    }
    return bits;
}

// A cut where the hash's top bits are all zero: they depend on all 64 bytes
// of the window, the low bits only on the last few.
std::uint64_t TopBits(unsigned bits) { return ~0ull << (64 - bits); }

// Rolls the hash over data[i, stop) and stops after the first byte whose hash
// passes the cut test; returns where it stopped.
inline std::size_t RollToCut(const unsigned char* data, std::size_t i, std::size_t stop, std::uint64_t& hash,
                             std::uint64_t mask, bool& hit)
{
    std::uint64_t h = hash;
    while (i < stop) {
        h = (h << 1) + kGear.v[data[i++]];
        if (!(h & mask)) {
            hit = true;
            break;
        }
    }
    hash = h;
    return i;
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v) { PutLe(out, v, 4); }
void Put64(std::vector<unsigned char>& out, std::uint64_t v) { PutLe(out, v, 8); }
std::uint32_t Get32(const unsigned char* p) { return GetLe32(p); }
std::uint64_t Get64(const unsigned char* p) { return GetLe64(p); }

std::uint64_t MaxChunkCount(std::uint64_t fileSize)
{
    // Every chunk but the last holds at least the minimum.
    return fileSize == 0 ? 0 : (fileSize - 1) / kChunkParams.minSize + 1;
}

} // namespace

CChunker::CChunker(const ChunkParams& params)
    : m_params(params),
      m_maskBefore(TopBits(Log2(params.avgSize) + params.normalization)),
      m_maskAfter(TopBits(Log2(params.avgSize) - params.normalization))
{
}

std::size_t CChunker::Feed(const unsigned char* data, std::size_t n, std::uint32_t& ended)
{
    ended = 0;
    std::size_t i = 0;
    std::uint32_t length = m_length;
    // Bytes until the chunk holds `last` bytes, within data.
    auto room = [&](std::uint32_t last) -> std::size_t {
        return last > length ? std::min<std::size_t>(n - i, last - length) : 0;
    };
    // No cut before the minimum, and bytes a window before it never reach a
    // cut test: they are skipped without hashing.
    std::size_t k = room(m_params.minSize - kWindow);
    i += k;
    length += static_cast<std::uint32_t>(k);
    std::uint64_t h = m_hash;
    k = room(m_params.minSize - 1);
    for (const std::size_t stop = i + k; i < stop; ++i) h = (h << 1) + kGear.v[data[i]];
    length += static_cast<std::uint32_t>(k);

    bool hit = false;
    std::size_t from = i;
    i = RollToCut(data, i, i + room(m_params.avgSize - 1), h, m_maskBefore, hit);
    length += static_cast<std::uint32_t>(i - from);
    if (!hit) {
        from = i;
        i = RollToCut(data, i, i + room(m_params.maxSize), h, m_maskAfter, hit);
        length += static_cast<std::uint32_t>(i - from);
        hit = hit || length == m_params.maxSize;
    }
    if (hit) {
        ended = length;
        m_length = 0;
        m_hash = 0;
        return i;
    }
    m_length = length;
    m_hash = h;
    return i;
}

std::uint32_t CChunker::Finish()
{
    const std::uint32_t last = m_length;
    m_length = 0;
    m_hash = 0;
    return last;
}

void ChunkIndex::Add(std::uint32_t length, const unsigned char sha256[32])
{
    ChunkEntry e;
    e.length = length;
    std::memcpy(e.id, sha256, kChunkIdBytes);
    chunks.push_back(e);
}

std::vector<unsigned char> EncodeChunkIndex(const ChunkIndex& index)
{
    std::vector<unsigned char> out(kMagic, kMagic + sizeof(kMagic));
    out.reserve(kChunkIndexHeaderBytes + index.chunks.size() * kChunkEntryBytes);
    Put32(out, kChunkIndexVersion);
    Put32(out, kChunkParams.minSize);
    Put32(out, kChunkParams.avgSize);
    Put32(out, kChunkParams.maxSize);
    Put64(out, index.fileSize);
    Put32(out, static_cast<std::uint32_t>(index.chunks.size()));
    Put32(out, static_cast<std::uint32_t>(kChunkIdBytes));
    for (const ChunkEntry& e : index.chunks) {
        Put32(out, e.length);
        out.insert(out.end(), e.id, e.id + kChunkIdBytes);
    }
    return out;
}

ChunkIndexFault DecodeChunkIndex(const unsigned char* data, std::size_t n, std::uint64_t fileSize, ChunkIndex& out)
{
    out = ChunkIndex();
    if (n > MaxChunkIndexBytes(fileSize)) return ChunkIndexFault::Oversized;
    if (n < kChunkIndexHeaderBytes) return ChunkIndexFault::Truncated;
    if (std::memcmp(data, kMagic, sizeof(kMagic)) != 0) return ChunkIndexFault::NotAnIndex;
    if (Get32(data + 8) != kChunkIndexVersion) return ChunkIndexFault::OtherVersion;
    if (Get32(data + 12) != kChunkParams.minSize || Get32(data + 16) != kChunkParams.avgSize ||
        Get32(data + 20) != kChunkParams.maxSize || Get32(data + 36) != kChunkIdBytes)
        return ChunkIndexFault::OtherParameters;
    if (Get64(data + 24) != fileSize) return ChunkIndexFault::OtherFileSize;
    const std::uint64_t count = Get32(data + 32);
    if (count > MaxChunkCount(fileSize)) return ChunkIndexFault::Oversized;
    const std::uint64_t expected = kChunkIndexHeaderBytes + count * kChunkEntryBytes;
    if (n < expected) return ChunkIndexFault::Truncated;
    if (n > expected) return ChunkIndexFault::TrailingBytes;

    ChunkIndex index;
    index.fileSize = fileSize;
    index.chunks.resize(static_cast<std::size_t>(count));
    std::uint64_t sum = 0;
    const unsigned char* p = data + kChunkIndexHeaderBytes;
    for (std::size_t i = 0; i < index.chunks.size(); ++i, p += kChunkEntryBytes) {
        ChunkEntry& e = index.chunks[i];
        e.length = Get32(p);
        std::memcpy(e.id, p + 4, kChunkIdBytes);
        const bool last = i + 1 == index.chunks.size();
        if (e.length == 0 || e.length > kChunkParams.maxSize || (!last && e.length < kChunkParams.minSize))
            return ChunkIndexFault::BadChunkLength;
        sum += e.length;
    }
    if (sum != fileSize) return ChunkIndexFault::LengthsDiffer;
    out = std::move(index);
    return ChunkIndexFault::None;
}

const char* DescribeChunkIndexFault(ChunkIndexFault fault)
{
    switch (fault) {
    case ChunkIndexFault::None: return "is valid";
    case ChunkIndexFault::Oversized: return "is larger than any index for the file's size";
    case ChunkIndexFault::Truncated: return "is cut short";
    case ChunkIndexFault::NotAnIndex: return "is not a chunk index";
    case ChunkIndexFault::OtherVersion: return "has a format version this program does not read";
    case ChunkIndexFault::OtherParameters: return "was made with other chunk sizes";
    case ChunkIndexFault::OtherFileSize: return "was made for a file of another size";
    case ChunkIndexFault::BadChunkLength: return "has a chunk length outside the chunk sizes";
    case ChunkIndexFault::LengthsDiffer: return "has chunk lengths that do not add up to the file size";
    case ChunkIndexFault::TrailingBytes: return "has bytes after its last chunk";
    }
    return "cannot be read";
}

std::uint64_t MaxChunkIndexBytes(std::uint64_t fileSize)
{
    return kChunkIndexHeaderBytes + MaxChunkCount(fileSize) * kChunkEntryBytes;
}

void CLocalChunks::Add(const unsigned char sha256[32], std::uint32_t source, std::uint64_t offset, std::uint32_t length)
{
    Chunk c;
    std::memcpy(c.id, sha256, kChunkIdBytes);
    c.source = source;
    c.offset = offset;
    c.length = length;
    m_chunks.push_back(c);
    m_sorted = false;
}

const CLocalChunks::Chunk* CLocalChunks::Find(const ChunkEntry& wanted)
{
    auto byId = [](const Chunk& a, const Chunk& b) { return std::memcmp(a.id, b.id, kChunkIdBytes) < 0; };
    if (!m_sorted) {
        std::stable_sort(m_chunks.begin(), m_chunks.end(), byId);
        m_sorted = true;
    }
    Chunk key;
    std::memcpy(key.id, wanted.id, kChunkIdBytes);
    auto range = std::equal_range(m_chunks.begin(), m_chunks.end(), key, byId);
    for (auto it = range.first; it != range.second; ++it)
        if (it->length == wanted.length) return &*it;
    return nullptr;
}

std::vector<ByteRange> PlanFetches(const ChunkIndex& index, const std::vector<bool>& missing, std::uint64_t maxGap)
{
    std::vector<ByteRange> ranges;
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < index.chunks.size(); offset += index.chunks[i].length, ++i) {
        if (i >= missing.size() || !missing[i]) continue;
        const std::uint64_t length = index.chunks[i].length;
        if (!ranges.empty() && offset - (ranges.back().offset + ranges.back().length) <= maxGap)
            ranges.back().length = offset + length - ranges.back().offset;
        else
            ranges.push_back({ offset, length });
    }
    return ranges;
}
