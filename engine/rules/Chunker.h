// Content-defined chunks, in one place for the publisher (which indexes big
// files) and the updater (which cuts its local copies with the same rule and
// fetches only the chunks it does not have): the chunker, and the byte ranges
// a patch asks for. The chunk index is LevelledIndex.h's. Platform-free.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct ChunkParams {
    std::uint32_t minSize, avgSize, maxSize;
    // How much harder the cut test is before the average size and easier
    // after it, in bits: 2 gathers sizes around the average; 0 is one
    // test past the minimum, which finds an old file's cuts again sooner
    // after an insertion (the levelled index's).
    std::uint32_t normalization = 2;
};

// Missing chunks closer than this are fetched with one request, the bytes
// between them included: a request costs more than that many bytes.
constexpr std::uint64_t kMergeGapBytes = 64 * 1024;

// A gear rolling hash over the last 64 bytes with a cut test that is harder
// before the average size and easier after it (by the normalization), so
// sizes gather around it.
// Fed in blocks of any size, it finds the same cuts as over the whole file;
// it keeps nothing but its position in the current chunk.
class CChunker {
public:
    explicit CChunker(const ChunkParams& params);

    // Takes data up to the end of the current chunk. Returns how many of the n
    // bytes it took; ended is the length of the chunk that ends with the last
    // of them, or 0 when the chunk goes on past data.
    std::size_t Feed(const unsigned char* data, std::size_t n, std::uint32_t& ended);
    // At the end of the stream: the length of its last chunk (0 when the
    // stream ended on a cut), and the chunker is ready for another stream.
    std::uint32_t Finish();

private:
    ChunkParams m_params;
    std::uint64_t m_maskBefore, m_maskAfter;  // cut tests before and after the average size
    std::uint32_t m_length = 0;               // bytes of the current chunk taken so far
    std::uint64_t m_hash = 0;
};

// Feeds data through the chunker: bytes(data, n) gets every byte in order,
// and ended(length) hears of each chunk as its last byte has gone to bytes.
template <typename Bytes, typename Ended>
void CutChunks(CChunker& chunker, const unsigned char* data, std::size_t n, Bytes&& bytes, Ended&& ended)
{
    while (n > 0) {
        std::uint32_t length = 0;
        const std::size_t took = chunker.Feed(data, n, length);
        bytes(data, took);
        if (length) ended(length);
        data += took;
        n -= took;
    }
}

struct ByteRange {
    std::uint64_t offset, length;
};
