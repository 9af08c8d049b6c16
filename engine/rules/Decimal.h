// Decimal numbers in the updater's own files (digest cache, kept manifest):
// digits only, no sign, no space, no empty field, never past a limit.
#pragma once
#include <cstddef>
#include <cstdint>

// The n characters at text as a decimal of at most max; false for anything else.
inline bool ParseDecimal(const char* text, std::size_t n, std::uint64_t max, std::uint64_t& value)
{
    if (n == 0 || n > 20) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        const unsigned d = static_cast<unsigned>(c - '0');
        if (v > (max - d) / 10) return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}
