#include "rules/Chunker.h"
#include <algorithm>

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
