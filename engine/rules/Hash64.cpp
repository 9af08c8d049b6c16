#include "rules/Hash64.h"
#include <cstring>
#include "rules/LittleEndian.h"

namespace {

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kP5 = 0x27D4EB2F165667C5ull;

inline std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline std::uint64_t Round(std::uint64_t lane, std::uint64_t word) { return Rotl(lane + word * kP2, 31) * kP1; }

inline std::uint64_t Merge(std::uint64_t h, std::uint64_t lane) { return (h ^ Round(0, lane)) * kP1 + kP4; }

// Whole stripes of 32 bytes, one word per lane; returns the bytes taken.
inline std::size_t Stripes(std::uint64_t lane[4], const unsigned char* p, std::size_t n)
{
    std::uint64_t a = lane[0], b = lane[1], c = lane[2], d = lane[3];
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = Round(a, GetLe64(p + i));
        b = Round(b, GetLe64(p + i + 8));
        c = Round(c, GetLe64(p + i + 16));
        d = Round(d, GetLe64(p + i + 24));
    }
    lane[0] = a, lane[1] = b, lane[2] = c, lane[3] = d;
    return i;
}

} // namespace

void CHash64::Reset()
{
    m_lane[0] = kP1 + kP2;
    m_lane[1] = kP2;
    m_lane[2] = 0;
    m_lane[3] = 0 - kP1;
    m_total = 0;
    m_tailBytes = 0;
}

void CHash64::Update(const unsigned char* data, std::size_t n)
{
    if (n == 0) return;
    m_total += n;
    if (m_tailBytes + n < 32) {
        std::memcpy(m_tail + m_tailBytes, data, n);
        m_tailBytes += n;
        return;
    }
    if (m_tailBytes) {
        const std::size_t fill = 32 - m_tailBytes;
        std::memcpy(m_tail + m_tailBytes, data, fill);
        Stripes(m_lane, m_tail, 32);
        data += fill;
        n -= fill;
    }
    const std::size_t took = Stripes(m_lane, data, n);
    m_tailBytes = n - took;
    std::memcpy(m_tail, data + took, m_tailBytes);
}

std::uint64_t CHash64::Final() const
{
    std::uint64_t h;
    if (m_total >= 32) {
        h = Rotl(m_lane[0], 1) + Rotl(m_lane[1], 7) + Rotl(m_lane[2], 12) + Rotl(m_lane[3], 18);
        for (int i = 0; i < 4; ++i) h = Merge(h, m_lane[i]);
    } else {
        h = kP5;
    }
    h += m_total;
    const unsigned char* p = m_tail;
    std::size_t n = m_tailBytes;
    for (; n >= 8; p += 8, n -= 8) h = Rotl(h ^ Round(0, GetLe64(p)), 27) * kP1 + kP4;
    if (n >= 4) {
        h = Rotl(h ^ (GetLe32(p) * kP1), 23) * kP2 + kP3;
        p += 4;
        n -= 4;
    }
    for (; n > 0; ++p, --n) h = Rotl(h ^ (*p * kP5), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    return h ^ (h >> 32);
}

std::uint64_t CHash64::Of(const unsigned char* data, std::size_t n)
{
    CHash64 h;
    h.Update(data, n);
    return h.Final();
}
