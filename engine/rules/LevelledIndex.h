// The levelled chunk index (version 2): what a patch fetches grows with the
// change, not with the file. The file is cut into content-defined chunks
// (CChunker with kLevelledChunkParams) and the chunks into groups, cut where a chunk's identity meets a
// stricter test, so groups find each other again after an insertion as
// chunks do. The updater cuts its installed copy the same way, fetches the
// index's head (a top list of group identities), then only the chunk lists of
// the groups it lacks (each list is one range of the index file), then the
// chunks it lacks. Platform-free: the publisher and the updater share it.
//
// Identities are CHash64 (Hash64.h): a chunk's is the hash of its bytes, a
// group's the hash of its chunk list as written below, so a group found
// locally holds every chunk of the list. They only find candidate bytes; the
// whole file's MD5 and SHA-256 decide.
//
// Grouping: a chunk ends its group when the group then holds at least
// minChunks chunks and the chunk's identity is 0 modulo cutOneIn, or when it
// holds maxChunks; the file's last chunk ends the last group.
//
// Index format, all numbers little-endian:
//   head (what the manifest's chunkssha256 covers, fetched first):
//     header (64 bytes): "UPCHUNK2", u32 version (2), u32 minimum, u32
//       average and u32 maximum chunk size, u32 minimum chunks per group, u32
//       the group cut's one-in, u32 maximum chunks per group, u32 the
//       chunking's normalization, u64 file size, u64 chunk count, u64 group
//       count
//     top list, per group in file order (16 bytes): u64 identity, u32 chunk
//       count, u32 byte length
//   then the group lists, in group order, nothing between or after them;
//     per chunk (10 bytes): u16 length, u64 identity.
// Group g's list starts at the head's length + 10 x the chunks of the groups
// before it. Every chunk but the file's last is minimum..maximum bytes long;
// every group but the last holds minimum..maximum chunks (the last 1..maximum)
// and ends as the grouping says; group counts add up to the chunk count,
// group lengths to the file size, each list's lengths to its group's.
//
// Why the digest covers the head only: the head is all an updater needs
// before it knows which lists to fetch, and each list is checked against its
// identity in the head. A list forged to collide only leads to bytes that
// fail the whole file's digests, which fall back to a whole download.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include "rules/Chunker.h"
#include "rules/Hash64.h"

struct GroupParams {
    std::uint32_t minChunks, cutOneIn, maxChunks;
};

// What the format fixes (chosen with bench/patch/simulate.sh --sweep): one
// cut test past the minimum finds an old file's cuts again within a few KiB
// of an insertion, where v1's normalized sizes sometimes took 90 KiB; chunks
// of about 5 KiB fetch less around a change than v1's 10 KiB. Groups of about
// 640 chunks (3.3 MB) keep a 4 GiB file's top list near 21 KB and a list near
// 6.4 KB.
constexpr ChunkParams kLevelledChunkParams = { 1024, 4096, 16384, 0 };
constexpr GroupParams kGroupParams = { 128, 512, 2048 };
static_assert(kLevelledChunkParams.maxSize <= 0xFFFF, "list entries hold a chunk's length in 16 bits");
constexpr std::uint32_t kLevelledIndexVersion = 2;
constexpr std::size_t kIndexHeaderBytes = 64;
constexpr std::size_t kTopEntryBytes = 16;
constexpr std::size_t kListEntryBytes = 10;
// Lists closer than this in the index are fetched with one request.
constexpr std::uint64_t kListMergeGapBytes = 2048;

// One chunk of a list.
struct IndexChunk {
    std::uint64_t id;
    std::uint32_t length;
};

// One entry of the top list, with where it lies in the file and its list in the index.
struct IndexGroup {
    std::uint64_t id;
    std::uint32_t chunks, bytes;
    std::uint64_t offset;      // of its first byte in the file
    std::uint64_t listOffset;  // of its list in the index
};

struct IndexHead {
    std::uint64_t fileSize = 0, chunkCount = 0, headBytes = 0;
    std::vector<IndexGroup> groups;  // in file order
};

// Cuts a stream into chunks and groups with their identities, in one pass:
// the publisher indexes a file with it, the updater its installed copies.
// offset is where the stream starts in its file: a reader may start anywhere,
// and its cuts meet the real ones again within a few chunks (groups within a
// group or two).
class CIndexCutter {
public:
    struct Chunk {
        std::uint64_t id, offset;
        std::uint32_t length;
    };
    struct Group {
        std::uint64_t id, offset, firstChunk;
        std::uint32_t chunks, bytes;
    };

    explicit CIndexCutter(std::uint64_t offset = 0, const ChunkParams& chunking = kLevelledChunkParams,
                          const GroupParams& grouping = kGroupParams);
    void Update(const unsigned char* data, std::size_t n);
    // Ends the last chunk and group at the end of the stream.
    void Finish();

    const std::vector<Chunk>& Chunks() const { return m_chunks; }
    const std::vector<Group>& Groups() const { return m_groups; }
    const ChunkParams& Chunking() const { return m_chunking; }
    const GroupParams& Grouping() const { return m_grouping; }

private:
    void EndChunk(std::uint32_t length);
    void EndGroup();

    ChunkParams m_chunking;
    GroupParams m_grouping;
    CChunker m_chunker;
    CHash64 m_chunkHash, m_listHash;
    std::uint64_t m_offset;
    std::vector<Chunk> m_chunks;
    std::vector<Group> m_groups;
    Group m_open{};  // the group being filled
};

// The index of a file as cut (with the format's parameters, or the decoder
// refuses it).
std::vector<unsigned char> EncodeLevelledIndex(const CIndexCutter& cut, std::uint64_t fileSize);

enum class IndexFault {
    None,
    Oversized,        // more bytes or counts than any index for the file's size
    Truncated,
    NotAnIndex,       // wrong magic
    OtherVersion,
    OtherParameters,  // chunk or group sizes not ours
    OtherFileSize,    // made for a file of another size
    BadGroupSize,     // a group's chunk count or byte length outside what its chunks allow
    CountsDiffer,     // the groups' chunk counts do not add up to the chunk count
    LengthsDiffer,    // lengths do not add up to the file's or the group's size
    ListMismatch,     // a list that is not its group's (out of place or altered)
    BadChunkLength,   // outside minimum..maximum (all but the file's last), or zero
    BadGroupCut,      // a group that does not end where the grouping ends it
    TrailingBytes,
};

// The head's length, read from the header (the first kIndexHeaderBytes of
// the index). Fails as DecodeIndexHead does on the header's fields.
IndexFault ReadIndexHeadBytes(const unsigned char* data, std::size_t n, std::uint64_t fileSize,
                              std::uint64_t& headBytes);
// Reads exactly the head of an index for a file of fileSize bytes. Strict:
// anything but what EncodeLevelledIndex writes for such a file is refused.
IndexFault DecodeIndexHead(const unsigned char* data, std::size_t n, std::uint64_t fileSize, IndexHead& out);
// Reads the list of head.groups[g] from exactly its bytes, checked against
// its entry in the head.
IndexFault DecodeGroupList(const IndexHead& head, std::size_t g, const unsigned char* data, std::size_t n,
                           std::vector<IndexChunk>& out);
// A whole index: the head, then every list in place, nothing after.
IndexFault DecodeLevelledIndex(const unsigned char* data, std::size_t n, std::uint64_t fileSize, IndexHead& head,
                               std::vector<IndexChunk>& chunks);
// A few English words for a fault, to follow "chunk index".
const char* DescribeIndexFault(IndexFault fault);

// The most bytes a head, or a whole index, for a file of this size can have.
std::uint64_t MaxIndexHeadBytes(std::uint64_t fileSize);
std::uint64_t MaxLevelledIndexBytes(std::uint64_t fileSize);

// The first request for an index: the header and the top list a file of this
// size usually has, so one range mostly fetches the head (when not,
// ReadIndexHeadBytes says how much more to ask for).
ByteRange PlanHeadFetch(std::uint64_t fileSize);
// The index ranges that hold the lists of the groups wanted (one flag per
// group), leaving out the first haveBytes of the index already fetched;
// lists at most maxGap bytes apart are fetched with one request.
std::vector<ByteRange> PlanListFetches(const IndexHead& head, const std::vector<bool>& wanted,
                                       std::uint64_t haveBytes = 0, std::uint64_t maxGap = kListMergeGapBytes);

// The chunks and groups of local copies, found by identity.
class CLocalIndex {
public:
    struct Place {
        std::uint64_t id, offset;
        std::uint32_t source;  // the caller's number for the copy
        std::uint32_t chunks, bytes;
    };
    void Add(const CIndexCutter& cut, std::uint32_t source);
    // The copy of a group with the same identity, chunk count and length, or
    // null. The first added of equal ones wins.
    const Place* FindGroup(const IndexGroup& group);
    // The copy of a chunk with this identity and length, or null.
    const Place* FindChunk(const IndexChunk& chunk);

private:
    static const Place* Find(const std::vector<Place>& places, std::uint64_t id, std::uint32_t chunks,
                             std::uint32_t bytes);
    void Sort();
    std::vector<Place> m_groups, m_chunks;  // chunks: 1 chunk of its length
    bool m_sorted = true;
};

// Where each part of the new file comes from.
struct PatchPiece {
    std::uint64_t offset, length;  // in the new file
    bool local;
    std::uint32_t source;  // local pieces: the copy and where in it
    std::uint64_t from;
};

struct PatchPlan {
    std::vector<PatchPiece> pieces;  // the whole new file in order; local runs merged
    std::vector<ByteRange> fetches;  // requests covering every piece not local
    std::uint64_t localBytes = 0, fetchBytes = 0;
};

// The patch of a file: groups found locally are copied whole; the chunks of
// the others (lists[g], decoded, for each group not found; an empty list
// fetches the group whole) are copied when found, else fetched, missing
// runs at most maxGap bytes apart merged into one request.
PatchPlan PlanPatch(const IndexHead& head, const std::vector<std::vector<IndexChunk>>& lists,
                    CLocalIndex& local, std::uint64_t maxGap = kMergeGapBytes);
