// A patch: the file's chunk index is fetched and checked, the installed copy
// (and an interrupted download) cut into chunks, and the .dtm written in order
// from the local chunks and single-range requests for the missing ones.
#include <cstring>
#include <exception>
#include <functional>
#include <thread>
#include <vector>
#include "Sha256Digest.h"
#include "rules/Chunker.h"
#include "support/Errors.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "transfer/FileFetch.h"

namespace {
const UINT kPiece = 64 * 1024;
// The most bytes copied from a local copy at once.
const UINT kCopyRunBytes = 1024 * 1024;

// Cuts bytes [from, to) of a file into chunks and records each one's SHA-256.
// A part that starts inside the file may begin off a real chunk boundary: the
// rule finds the real boundaries again within a chunk or two.
void ScanChunks(const std::string& path, std::uint32_t source, UINT64 from, UINT64 to, CLocalChunks& out,
                const std::function<bool()>& stopped)
{
    CSharedReadFile file(path.c_str());
    if (!file.IsOpen()) return;
    std::vector<BYTE> buffer(kPiece);
    CChunker chunker;
    CSha256Digest digest(true);
    BYTE sha[32];
    UINT64 chunkStart = from;
    for (UINT64 at = from; at < to && !stopped();) {
        const UINT n = static_cast<UINT>(to - at < kPiece ? to - at : kPiece);
        if (!file.ReadAt(at, buffer.data(), n)) break;
        CutChunks(
            chunker, buffer.data(), n, [&](const BYTE* bytes, size_t k) { digest.Update(bytes, static_cast<UINT>(k)); },
            [&](std::uint32_t length) {
                if (digest.Final(sha)) out.Add(sha, source, chunkStart, length);
                chunkStart += length;
            });
        at += n;
    }
    if (const std::uint32_t last = chunker.Finish()) {
        if (digest.Final(sha)) out.Add(sha, source, chunkStart, last);
    }
}

// The index's bytes, bounded by what the chunking allows for the file and
// checked against the digest the manifest gives for it.
std::vector<unsigned char> ReadIndexBody(CHttpFile& http, UINT64 limit, const std::function<UINT(BYTE*, UINT)>& read)
{
    DWORD status = 0;
    http.QueryInfoStatusCode(status);
    if (status != 200) throw TransferRejected{ "the chunk index was answered with HTTP " + std::to_string(status) };
    std::vector<unsigned char> bytes;
    BYTE block[8192];
    for (UINT n; (n = read(block, sizeof(block))) != 0;) {
        bytes.insert(bytes.end(), block, block + n);
        if (bytes.size() > limit) throw TransferRejected{ "the chunk index is larger than any index for the file" };
    }
    return bytes;
}
} // namespace

// The local copies a patch takes chunks from, each cut in two halves on both
// cores; the first half runs a little into the second, where the second half
// finds the real boundaries.
struct PatchSources {
    std::vector<std::string> paths;
    std::vector<CLocalChunks> parts;  // two per copy
    std::vector<std::unique_ptr<CSharedReadFile>> files;

    void Scan(const std::function<bool()>& stopped)
    {
        const UINT64 overlap = 8 * static_cast<UINT64>(kChunkParams.maxSize);
        parts.assign(paths.size() * 2, CLocalChunks());
        for (size_t s = 0; s < paths.size(); ++s) {
            const LONGLONG length = FileSizeOf(paths[s]);
            if (length <= 0) continue;
            const UINT64 size = static_cast<UINT64>(length), half = size / 2;
            const UINT64 firstEnd = half + overlap < size ? half + overlap : size;
            const auto source = static_cast<std::uint32_t>(s);
            // Whichever half fails, the other thread is joined first, and what went wrong is thrown here.
            std::exception_ptr failed;
            std::thread second([&, s, half, size, source] {
                try {
                    ScanChunks(paths[s], source, half, size, parts[2 * s + 1], stopped);
                } catch (...) {
                    failed = std::current_exception();
                }
            });
            try {
                ScanChunks(paths[s], source, 0, firstEnd, parts[2 * s], stopped);
            } catch (...) {
                second.join();
                throw;
            }
            second.join();
            if (failed) std::rethrow_exception(failed);
        }
        for (const std::string& path : paths) files.push_back(std::make_unique<CSharedReadFile>(path.c_str()));
    }
    const CLocalChunks::Chunk* Find(const ChunkEntry& wanted)
    {
        for (CLocalChunks& part : parts)
            if (const CLocalChunks::Chunk* found = part.Find(wanted)) return found;
        return nullptr;
    }
};

Outcome CFileFetch::TryPatch(LONGLONG have)
{
    try {
        Patch(have);
        return Outcome::Done();
    } catch (const TransferStopped&) {
        return Outcome::Stopped();
    } catch (const CInternetException& e) {
        return Outcome::Failed(DescribeError(e));
    } catch (const CFileException& e) {
        return Outcome::Failed(DescribeError(e));
    } catch (const TransferRejected& e) {
        return Outcome::Failed(e.why);
    } catch (const std::exception& e) {
        return Outcome::Failed(e.what());
    }
}

namespace {
// The bytes an earlier run left, as a source of chunks: an interrupted .dtm,
// moved aside (to .prev) so that no file is read and written at once. An
// older .prev (a patch cut short) gives way to a newer .dtm, and is a source
// itself when there is none; nothing is ever moved onto an existing file.
void AddEarlierBytes(const std::string& download, LONGLONG have, std::vector<std::string>& paths)
{
    const std::string previous = download + ".prev";
    const bool olderOne = FileSizeOf(previous) >= 0;
    if (have <= 0) {
        if (olderOne) paths.push_back(previous);
        return;
    }
    if (olderOne && !::DeleteFileA(previous.c_str())) {
        paths.push_back(previous);
        return;
    }
    if (::MoveFileExA(download.c_str(), previous.c_str(), 0)) paths.push_back(previous);
}
} // namespace


std::vector<unsigned char> CFileFetch::FetchChunkIndex()
{
    RunLog::Write("download %s: GET %s (chunk index)", m_task.szName, m_task.szChunksUrl);
    std::vector<unsigned char> bytes;
    {
        auto http = Open(m_task.szChunksUrl);
        bytes = ReadIndexBody(*http, MaxChunkIndexBytes(m_size), [&](BYTE* into, UINT n) {
            ThrowIfStopped();
            return Read(*http, into, n);
        });
    }
    CSha256Digest indexDigest;
    indexDigest.Update(bytes.data(), static_cast<UINT>(bytes.size()));
    if (!SameHexDigest(indexDigest.FinalHex().c_str(), m_task.szChunksSha256))
        throw TransferRejected{ "the chunk index does not match its SHA-256" };
    return bytes;
}

void CFileFetch::Patch(LONGLONG have)
{
    const std::vector<unsigned char> bytes = FetchChunkIndex();
    ChunkIndex index;
    const ChunkIndexFault fault = DecodeChunkIndex(bytes.data(), bytes.size(), m_size, index);
    if (fault != ChunkIndexFault::None) throw TransferRejected{ std::string("the chunk index ") + DescribeChunkIndexFault(fault) };

    // A running platform may write to its files: it is stopped before the installed copy is read.
    StopPlatformFirst();
    // The local copies: the installed file, and what an earlier run left.
    PatchSources local;
    local.paths.push_back(InstalledPath());
    AddEarlierBytes(m_path, have, local.paths);
    // Cutting a big copy takes a while with no byte from the network: it is progress all the same.
    local.Scan([this] {
        m_context.sink.Activity();
        return m_context.sink.StopRequested();
    });
    ThrowIfStopped();
    std::vector<bool> missing(index.chunks.size());
    for (size_t i = 0; i < index.chunks.size(); ++i) missing[i] = local.Find(index.chunks[i]) == nullptr;
    const std::vector<ByteRange> ranges = PlanFetches(index, missing);
    const PatchStats stats = WritePatched(index, ranges, local);
    local.files.clear();
    Delete(m_path + ".prev");
    RunLog::Write("download %s: patched: %llu bytes reused, %llu fetched in %lu range request(s), index %lu bytes, verified",
                  m_task.szName, static_cast<unsigned long long>(stats.reused), static_cast<unsigned long long>(stats.fetched),
                  static_cast<unsigned long>(ranges.size()), static_cast<unsigned long>(bytes.size()));
}

PatchStats CFileFetch::WritePatched(const ChunkIndex& index, const std::vector<ByteRange>& ranges, PatchSources& local)
{
    Begin(CDownloadVerifier::Source::Disk);
    // A patched .dtm cut short is resumed, if ever, with its digests as the only check.
    Delete(ValidatorPath());
    OpenDownload(CFile::modeCreate | CFile::modeReadWrite);
    CSha256Digest chunkDigest(true);
    PatchStats stats;
    UINT64 offset = 0;
    size_t next = 0;
    std::unique_ptr<CHttpFile> http;
    std::vector<BYTE> run(kCopyRunBytes);
    const std::vector<ChunkEntry>& chunks = index.chunks;
    for (size_t i = 0; i < chunks.size();) {
        ThrowIfStopped();
        const UINT64 rangeStart = next < ranges.size() ? ranges[next].offset : ~0ull;
        if (offset < rangeStart) {
            const UINT length = PlaceLocalRun(chunks, i, offset, rangeStart, local, run);
            stats.reused += length;
            offset += length;
            continue;
        }
        const ByteRange& r = ranges[next];
        PlaceFetchedChunk(http, r, chunks[i], offset, chunkDigest);
        stats.fetched += chunks[i].length;
        offset += chunks[i].length;
        ++i;
        if (offset >= r.offset + r.length) {
            http.reset();
            ++next;
        }
    }
    const std::string mismatch = CloseAndVerify();
    if (!mismatch.empty()) throw TransferRejected{ "the patched file does not verify: " + mismatch };
    return stats;
}

void CFileFetch::PlaceFetchedChunk(std::unique_ptr<CHttpFile>& http, const ByteRange& range, const ChunkEntry& chunk,
                                   UINT64 offset, CSha256Digest& digest)
{
    if (!http) {
        const UINT64 last = range.offset + range.length - 1;
        http = Open(m_task.szUrl, "Range: bytes=" + std::to_string(range.offset) + "-" + std::to_string(last) + "\r\n");
        DWORD status = 0;
        if (http->QueryInfoStatusCode(status) && status == 200) {
            // The whole file is on its way: it is taken instead of asking for it again.
            m_wholeAnswer = std::move(http);
            throw TransferRejected{ "a range request was answered with the whole file (HTTP 200)" };
        }
        ExpectRange(*http, range.offset, last, "a range request");
    }
    for (UINT got = 0; got < chunk.length;) {
        const UINT n = Read(*http, m_buffer + got, chunk.length - got);
        if (n == 0) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
        got += n;
    }
    BYTE sha[32];
    digest.Update(m_buffer, chunk.length);
    if (!digest.Final(sha) || std::memcmp(sha, chunk.id, kChunkIdBytes) != 0)
        throw TransferRejected{ "a fetched chunk at byte " + std::to_string(offset) + " does not match the index" };
    Append(m_buffer, chunk.length);
}

UINT CFileFetch::PlaceLocalRun(const std::vector<ChunkEntry>& chunks, size_t& i, UINT64 offset, UINT64 rangeStart,
                               PatchSources& local, std::vector<BYTE>& run)
{
    const CLocalChunks::Chunk* found = local.Find(chunks[i]);
    if (!found) throw TransferRejected{ "a local chunk was lost" };
    // Chunks that follow one another here too are copied as one run: a read
    // and a write per chunk would cost more than the bytes.
    UINT length = chunks[i].length;
    size_t j = i + 1;
    for (; j < chunks.size() && length + chunks[j].length <= kCopyRunBytes && offset + length < rangeStart; ++j) {
        const CLocalChunks::Chunk* more = local.Find(chunks[j]);
        if (!more || more->source != found->source || more->offset != found->offset + length) break;
        length += chunks[j].length;
    }
    if (!local.files[found->source]->ReadAt(found->offset, run.data(), length))
        throw TransferRejected{ "a local chunk could not be read again" };
    Append(run.data(), length);
    m_context.sink.Activity();  // progress from disk, which the stall watchdog would not see
    i = j;
    return length;
}
