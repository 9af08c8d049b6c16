// Content-defined chunks and the chunk index, in one place for the publisher
// (which writes an index per big file) and the updater (which cuts its local
// copies with the same rule and fetches only the chunks it does not have).
// Platform-free. Hashing is the caller's: the publisher has OpenSSL, the
// updater CNG, and both hand identities in as bytes.
//
// Index format, all numbers little-endian:
//   header (40 bytes): "UPCHUNKS", u32 version, u32 minimum, u32 average and
//     u32 maximum chunk size, u64 file size, u32 chunk count, u32 identity size
//   then per chunk: u32 length, identity (the first bytes of its SHA-256).
// Every chunk but the last is minimum..maximum bytes long; the lengths add up
// to the file size; nothing follows the last chunk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct ChunkParams {
    std::uint32_t minSize, avgSize, maxSize;
    // How much harder the cut test is before the average size and easier
    // after it, in bits: 2 gathers sizes around the average (v1); 0 is one
    // test past the minimum, which finds an old file's cuts again sooner
    // after an insertion (the levelled index's).
    std::uint32_t normalization = 2;
};

// What the index format fixes (chosen with bench/patch/simulate.sh): small
// chunks find more of an old file, a bigger index costs every patch.
constexpr ChunkParams kChunkParams = { 2048, 8192, 32768 };
constexpr std::size_t kChunkIdBytes = 8;
constexpr std::uint32_t kChunkIndexVersion = 1;
constexpr std::size_t kChunkIndexHeaderBytes = 40;
constexpr std::size_t kChunkEntryBytes = 4 + kChunkIdBytes;
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
    explicit CChunker(const ChunkParams& params = kChunkParams);

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

struct ChunkEntry {
    std::uint32_t length;
    unsigned char id[kChunkIdBytes];
};

struct ChunkIndex {
    std::uint64_t fileSize = 0;
    std::vector<ChunkEntry> chunks;  // in file order
    // Appends a chunk; sha256 is its full digest (its prefix is kept).
    void Add(std::uint32_t length, const unsigned char sha256[32]);
};

std::vector<unsigned char> EncodeChunkIndex(const ChunkIndex& index);

enum class ChunkIndexFault {
    None,
    Oversized,       // more bytes than any index for the file's size
    Truncated,
    NotAnIndex,      // wrong magic
    OtherVersion,
    OtherParameters, // chunk sizes or identity size not ours
    OtherFileSize,   // made for a file of another size
    BadChunkLength,  // outside minimum..maximum (all but the last), or zero
    LengthsDiffer,   // the lengths do not add up to the file size
    TrailingBytes,
};

// Reads an index for a file of fileSize bytes. Strict: anything but exactly
// what EncodeChunkIndex writes for such a file is refused.
ChunkIndexFault DecodeChunkIndex(const unsigned char* data, std::size_t n, std::uint64_t fileSize, ChunkIndex& out);
// A few English words for a fault, to follow "chunk index".
const char* DescribeChunkIndexFault(ChunkIndexFault fault);

// The most bytes an index for a file of this size can have: fetching an index
// needs no more.
std::uint64_t MaxChunkIndexBytes(std::uint64_t fileSize);

// The chunks of local copies, found by identity.
class CLocalChunks {
public:
    struct Chunk {
        unsigned char id[kChunkIdBytes];
        std::uint64_t offset;
        std::uint32_t source;  // the caller's number for the copy it is in
        std::uint32_t length;
    };
    void Add(const unsigned char sha256[32], std::uint32_t source, std::uint64_t offset, std::uint32_t length);
    // The chunk with this identity and length, or null. The first added wins.
    const Chunk* Find(const ChunkEntry& wanted);
    std::size_t Size() const { return m_chunks.size(); }

private:
    std::vector<Chunk> m_chunks;
    bool m_sorted = true;
};

struct ByteRange {
    std::uint64_t offset, length;
};

// The requests that fetch every chunk marked missing (one flag per chunk of
// the index): runs of missing chunks, and two runs merged into one request
// when at most maxGap bytes lie between them.
std::vector<ByteRange> PlanFetches(const ChunkIndex& index, const std::vector<bool>& missing,
                                   std::uint64_t maxGap = kMergeGapBytes);
