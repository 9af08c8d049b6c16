// The identity of a chunk or a group in the levelled chunk index: a fast
// 64-bit hash (the XXH64 algorithm, seed 0), written here so the publisher
// and the updater compute it alike without a library. It only finds
// candidate bytes: a false match costs a fallback to the whole file, whose
// MD5 and SHA-256 decide. Platform-free; fed in pieces of any size, it gives
// what it gives over the whole message.
#pragma once
#include <cstddef>
#include <cstdint>

class CHash64 {
public:
    CHash64() { Reset(); }
    void Reset();
    void Update(const unsigned char* data, std::size_t n);
    // The hash of everything fed since the last Reset; the state is kept.
    std::uint64_t Final() const;

    static std::uint64_t Of(const unsigned char* data, std::size_t n);

private:
    std::uint64_t m_lane[4];
    std::uint64_t m_total;
    unsigned char m_tail[32];  // bytes not yet making up a stripe of 32
    std::size_t m_tailBytes;
};
