// Numbers in the index formats are little-endian whatever the host; these
// read and write them byte by byte (compilers make single loads of the reads).
#pragma once
#include <cstdint>
#include <vector>

inline std::uint32_t GetLe16(const unsigned char* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8; }

inline std::uint32_t GetLe32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

inline std::uint64_t GetLe64(const unsigned char* p) { return GetLe32(p) | std::uint64_t(GetLe32(p + 4)) << 32; }

inline void PutLe(std::vector<unsigned char>& out, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
