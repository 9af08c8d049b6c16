// A patch from the levelled chunk index: the index's head is fetched and
// checked while the installed copy (and what an earlier run left) is cut into
// chunks and groups; then the lists of the groups not found locally, then the
// chunks not found, several ranges at once; the .dtm is written in order from
// local bytes and fetched ones, each fetched chunk checked against its
// identity, the whole file's digests deciding. The first file's survey (the
// cut, the head and the lists) may have been made ahead (EarlyPatch.h).
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>
#include "Sha256Digest.h"
#include "rules/LevelledIndex.h"
#include "support/Errors.h"
#include "support/Files.h"
#include "support/KeptThreads.h"
#include "support/RunLog.h"
#include "transfer/EarlyPatch.h"
#include "transfer/FileFetch.h"
#include "transfer/PatchParts.h"
#include "transfer/RangeFetch.h"

namespace {
// Local copies are cut in pieces this big: fewer reads, the same cuts.
const UINT kPiece = 1024 * 1024;
// The most bytes copied from a local copy at once.
const UINT kCopyRunBytes = 1024 * 1024;

// Cuts a local copy into chunks and groups, in one read. False when it could
// not be read to its end; the cuts are then right for the bytes that were read.
bool CutCopy(const std::string& path, CIndexCutter& cut, const std::function<bool()>& stopped)
{
    CSharedReadFile file(path.c_str());
    const LONGLONG length = FileSizeOf(path);
    std::vector<BYTE> buffer(kPiece);
    UINT64 at = 0;
    while (file.IsOpen() && length > 0 && at < static_cast<UINT64>(length) && !stopped()) {
        const UINT64 left = static_cast<UINT64>(length) - at;
        const UINT n = left < kPiece ? static_cast<UINT>(left) : kPiece;
        if (!file.ReadAt(at, buffer.data(), n)) break;
        cut.Update(buffer.data(), n);
        at += n;
    }
    cut.Finish();
    return file.IsOpen() && length >= 0 && at == static_cast<UINT64>(length);
}

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

void PatchSources::Cut(const std::function<bool()>& stopped)
{
    whole = true;
    for (size_t s = 0; s < paths.size(); ++s) {
        CIndexCutter cut;
        whole = CutCopy(paths[s], cut, stopped) && whole;
        index.Add(cut, static_cast<std::uint32_t>(s));
    }
}

void PatchSources::Open()
{
    for (const std::string& path : paths) files.push_back(std::make_unique<CSharedReadFile>(path.c_str()));
}

struct ListedChunk {
    UINT64 offset;
    IndexChunk chunk;
};

namespace {
// Every chunk of the lists fetched, in file order.
std::vector<ListedChunk> ListedChunks(const IndexHead& head, const std::vector<std::vector<IndexChunk>>& lists)
{
    std::vector<ListedChunk> out;
    for (size_t g = 0; g < head.groups.size() && g < lists.size(); ++g) {
        UINT64 offset = head.groups[g].offset;
        for (const IndexChunk& c : lists[g]) {
            out.push_back({ offset, c });
            offset += c.length;
        }
    }
    return out;
}
} // namespace

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

void CFileFetch::Patch(LONGLONG have)
{
    // A running platform may write to its files: it is stopped before the
    // installed copy is cut or copied, and before a survey made ahead is trusted.
    StopPlatformFirst();
    // A file surveyed ahead had no bytes of an earlier run (SurveyAhead): its survey is all there is to take.
    std::unique_ptr<PatchSurvey> survey = m_context.earlyPatch ? m_context.earlyPatch->Take(m_task) : nullptr;
    if (!survey) {
        survey = std::make_unique<PatchSurvey>();
        survey->local.paths.push_back(InstalledPath());
        AddEarlierBytes(m_path, have, survey->local.paths);
        Survey(*survey);
    }
    const IndexHead& head = survey->head;
    const PatchPlan plan = PlanPatch(head, survey->lists, survey->local.index);
    survey->local.Open();
    WritePatched(plan, ListedChunks(head, survey->lists), survey->local, survey->index.rangesAnswered);
    survey->local.files.clear();
    Delete(m_path + ".prev");
    RunLog::Write("download %s: patched: %llu bytes reused, %llu fetched in %lu range request(s); chunk index "
                  "%lu request(s), head %llu bytes, lists %llu bytes; verified",
                  m_task.szName, static_cast<unsigned long long>(plan.localBytes),
                  static_cast<unsigned long long>(plan.fetchBytes), static_cast<unsigned long>(plan.fetches.size()),
                  static_cast<unsigned long>(survey->index.requests), static_cast<unsigned long long>(head.headBytes),
                  static_cast<unsigned long long>(survey->index.listBytes));
}

void CFileFetch::Survey(PatchSurvey& survey)
{
    CutWhileFetchingHead(survey.local, survey.index, survey.head);
    const IndexHead& head = survey.head;
    std::vector<bool> wanted(head.groups.size());
    size_t found = 0;
    for (size_t g = 0; g < head.groups.size(); ++g) {
        wanted[g] = survey.local.index.FindGroup(head.groups[g]) == nullptr;
        found += !wanted[g];
    }
    RunLog::Write("download %s: local copies cut; %lu of the index's %lu groups found", m_task.szName,
                  static_cast<unsigned long>(found), static_cast<unsigned long>(head.groups.size()));
    survey.lists = FetchLists(head, wanted, survey.index);
}

void CFileFetch::CutWhileFetchingHead(PatchSources& local, IndexFetch& index, IndexHead& head)
{
    // Cutting a big copy takes a while with no byte from the network: it is progress all the same.
    auto stopped = [this] {
        m_context.sink.Activity();
        return m_context.sink.StopRequested();
    };
    // The threads the lists' and chunks' ranges will need are made meanwhile, on the core the cut leaves.
    KeptThreads::Keep(kRangesInFlight);
    std::exception_ptr cutFailed;
    std::thread cutting([&] {
        try {
            local.Cut(stopped);
        } catch (...) {
            cutFailed = std::current_exception();
        }
    });
    // Whatever the head's fetch does, the cutting thread is joined first.
    try {
        FetchIndexHead(index, head);
    } catch (...) {
        cutting.join();
        throw;
    }
    cutting.join();
    if (cutFailed) std::rethrow_exception(cutFailed);
    ThrowIfStopped();
}

void CFileFetch::FetchIndexHead(IndexFetch& index, IndexHead& head)
{
    // The manifest gives the head's length; without it, what most heads of a
    // file this size take, and the rest when that was short.
    const UINT64 most = MaxIndexHeadBytes(m_size);
    UINT64 wanted = m_task.qwChunksHead && m_task.qwChunksHead <= most ? m_task.qwChunksHead : PlanHeadFetch(m_size).length;
    RunLog::Write("download %s: GET %s bytes 0-%llu (chunk index head)", m_task.szName, m_task.szChunksUrl,
                  static_cast<unsigned long long>(wanted - 1));
    ExtendIndex(index, wanted);
    UINT64 headBytes = 0;
    IndexFault fault = ReadIndexHeadBytes(index.prefix.data(), index.prefix.size(), m_size, headBytes);
    if (fault == IndexFault::None && index.prefix.size() < headBytes) {
        ExtendIndex(index, headBytes);
        if (index.prefix.size() < headBytes) fault = IndexFault::Truncated;
    }
    if (fault != IndexFault::None) throw TransferRejected{ std::string("the chunk index ") + DescribeIndexFault(fault) };
    CSha256Digest digest;
    digest.Update(index.prefix.data(), static_cast<UINT>(headBytes));
    if (!SameHexDigest(digest.FinalHex().c_str(), m_task.szChunksSha256))
        throw TransferRejected{ "the chunk index's head does not match its SHA-256" };
    fault = DecodeIndexHead(index.prefix.data(), static_cast<size_t>(headBytes), m_size, head);
    if (fault != IndexFault::None) throw TransferRejected{ std::string("the chunk index ") + DescribeIndexFault(fault) };
}

void CFileFetch::ExtendIndex(IndexFetch& index, UINT64 upTo)
{
    const UINT64 from = index.prefix.size();
    auto http = Open(m_task.szChunksUrl, "Range: bytes=" + std::to_string(from) + "-" + std::to_string(upTo - 1) + "\r\n");
    ++index.requests;
    DWORD status = 0;
    http->QueryInfoStatusCode(status);
    const UINT64 limit = MaxLevelledIndexBytes(m_size);
    UINT64 last = 0, total = 0;
    std::string answer;
    if (status == 200 && from == 0) {
        // Its server ignores ranges: the whole index, as long as any index for the file can be.
        index.rangesAnswered = false;
        last = limit;
    } else if (RangeAnswered(*http, from, upTo - 1, answer, &total) && total <= limit &&
               (!index.total || total == index.total)) {
        index.total = total;
        last = upTo - 1;
    } else {
        throw TransferRejected{ "a range of the chunk index was answered with " + answer };
    }
    for (UINT64 at = from; at <= last;) {
        ThrowIfStopped();
        const UINT64 left = last + 1 - at;
        const UINT n = Read(*http, m_buffer, left < kBlockSize ? static_cast<UINT>(left) : kBlockSize);
        if (n == 0) break;
        index.prefix.insert(index.prefix.end(), m_buffer, m_buffer + n);
        at += n;
    }
    if (index.rangesAnswered ? index.prefix.size() != last + 1 : index.prefix.size() > limit)
        throw TransferRejected{ "the chunk index came cut short, or longer than any index for the file" };
}

std::unique_ptr<CHttpFile> CFileFetch::OpenIndexRange(const ByteRange& range, UINT64 total)
{
    const UINT64 last = range.offset + range.length - 1;
    auto http = Open(m_task.szChunksUrl, "Range: bytes=" + std::to_string(range.offset) + "-" + std::to_string(last) + "\r\n");
    std::string answer;
    UINT64 of = 0;
    if (!RangeAnswered(*http, range.offset, last, answer, &of) || (total && of != total))
        throw TransferRejected{ "a range of the chunk index was answered with " + answer };
    return http;
}

std::vector<unsigned char> CFileFetch::FetchListBytes(const std::vector<ByteRange>& ranges, IndexFetch& index)
{
    UINT64 total = 0;
    for (const ByteRange& r : ranges) total += r.length;
    std::vector<unsigned char> bytes(static_cast<size_t>(total));
    if (ranges.empty()) return bytes;
    const UINT64 indexTotal = index.total;
    CRangeFetch stream(ranges, [&](size_t i) { return OpenIndexRange(ranges[i], indexTotal); }, m_context.sink);
    for (UINT64 at = 0; at < total;) {
        const UINT64 left = total - at;
        const UINT n = left < kCopyRunBytes ? static_cast<UINT>(left) : kCopyRunBytes;
        stream.Read(bytes.data() + at, n);
        at += n;
    }
    index.requests += ranges.size();
    index.listBytes = total;
    return bytes;
}

std::vector<std::vector<IndexChunk>> CFileFetch::FetchLists(const IndexHead& head, const std::vector<bool>& wanted,
                                                            IndexFetch& index)
{
    const UINT64 have = index.prefix.size();
    const std::vector<ByteRange> ranges = PlanListFetches(head, wanted, have);
    // The ranges' bytes one after another, as they were asked for.
    const std::vector<unsigned char> fetched = FetchListBytes(ranges, index);
    std::vector<std::vector<IndexChunk>> lists(head.groups.size());
    std::vector<unsigned char> list;
    size_t r = 0;
    UINT64 base = 0;  // where ranges[r] starts in fetched
    for (size_t g = 0; g < head.groups.size() && g < wanted.size(); ++g) {
        if (!wanted[g]) continue;
        const UINT64 lo = head.groups[g].listOffset, hi = lo + UINT64(head.groups[g].chunks) * kListEntryBytes;
        // A list may start in what the head's request brought and end in a range.
        list.assign(index.prefix.begin() + static_cast<size_t>(lo < have ? lo : have),
                    index.prefix.begin() + static_cast<size_t>(hi < have ? hi : have));
        const UINT64 from = lo > have ? lo : have;
        if (from < hi) {
            for (; r < ranges.size() && ranges[r].offset + ranges[r].length < hi; ++r) base += ranges[r].length;
            if (r == ranges.size() || ranges[r].offset > from) throw TransferRejected{ "a group's list was not fetched" };
            const unsigned char* p = fetched.data() + base + (from - ranges[r].offset);
            list.insert(list.end(), p, p + (hi - from));
        }
        const IndexFault fault = DecodeGroupList(head, g, list.data(), list.size(), lists[g]);
        if (fault != IndexFault::None) throw TransferRejected{ std::string("the chunk index ") + DescribeIndexFault(fault) };
    }
    return lists;
}

// Where the stream of a patch's ranges stands in the new file: the bytes of
// local pieces that lie inside a range (merged across small gaps) are passed over.
class CRangeCursor {
public:
    CRangeCursor(const std::vector<ByteRange>& ranges, CRangeFetch& stream)
        : m_ranges(ranges), m_stream(stream), m_at(ranges.empty() ? 0 : ranges[0].offset)
    {
    }
    // Passes over the stream's bytes that lie before file offset 'to'.
    void SkipTo(UINT64 to)
    {
        while (m_r < m_ranges.size() && m_at < to) {
            const UINT64 end = End(), stop = end < to ? end : to;
            m_stream.Skip(stop - m_at);
            m_at = stop;
            if (m_at == end) Next();
        }
    }
    // Bytes [from, from + n) of the file, which the ranges hold.
    void Read(UINT64 from, BYTE* into, UINT n)
    {
        SkipTo(from);
        if (m_r == m_ranges.size() || m_at != from || from + n > End())
            throw TransferRejected{ "a fetched piece lies outside the ranges asked for" };
        m_stream.Read(into, n);
        m_at += n;
        if (m_at == End()) Next();
    }

private:
    UINT64 End() const { return m_ranges[m_r].offset + m_ranges[m_r].length; }
    void Next()
    {
        if (++m_r < m_ranges.size()) m_at = m_ranges[m_r].offset;
    }
    const std::vector<ByteRange>& m_ranges;
    CRangeFetch& m_stream;
    size_t m_r = 0;
    UINT64 m_at;
};

std::unique_ptr<CHttpFile> CFileFetch::OpenFileRange(const ByteRange& range, std::mutex& wholeLock)
{
    const UINT64 last = range.offset + range.length - 1;
    auto http = Open(m_task.szUrl, "Range: bytes=" + std::to_string(range.offset) + "-" + std::to_string(last) + "\r\n");
    DWORD status = 0;
    if (http->QueryInfoStatusCode(status) && status == 200) {
        // The whole file is on its way: it is taken instead of asking for it again.
        std::lock_guard<std::mutex> lock(wholeLock);
        if (!m_wholeAnswer) m_wholeAnswer = std::move(http);
        throw TransferRejected{ "a range request was answered with the whole file (HTTP 200)" };
    }
    ExpectRange(*http, range.offset, last, "a range request");
    return http;
}

void CFileFetch::WritePatched(const PatchPlan& plan, const std::vector<ListedChunk>& chunks, PatchSources& local,
                              bool rangesAnswered)
{
    Begin(CDownloadVerifier::Source::Disk);
    // A patched .dtm cut short is resumed, if ever, with its digests as the only check.
    Delete(ValidatorPath());
    OpenDownload(CFile::modeCreate | CFile::modeReadWrite);
    std::mutex wholeLock;
    {
        // A server that sent the whole index for a range is asked one range at
        // a time: its first answer, the whole file, is then taken as it is.
        CRangeFetch stream(plan.fetches, [&](size_t i) { return OpenFileRange(plan.fetches[i], wholeLock); },
                           m_context.sink, rangesAnswered ? kRangesInFlight : 1, kRangeBufferBytes, kRangeLookaheadBytes);
        CRangeCursor cursor(plan.fetches, stream);
        std::vector<BYTE> run(kCopyRunBytes);
        size_t c = 0;
        for (const PatchPiece& piece : plan.pieces) {
            ThrowIfStopped();
            if (piece.local) {
                CopyLocal(piece, local, run, stream);
                cursor.SkipTo(piece.offset + piece.length);
            } else {
                PlaceFetched(piece, chunks, c, cursor);
            }
        }
    }
    const std::string mismatch = CloseAndVerify();
    if (!mismatch.empty()) throw TransferRejected{ "the patched file does not verify: " + mismatch };
}

void CFileFetch::CopyLocal(const PatchPiece& piece, PatchSources& local, std::vector<BYTE>& run, CRangeFetch& stream)
{
    for (UINT64 done = 0; done < piece.length;) {
        ThrowIfStopped();
        stream.Reached(piece.offset + done);
        const UINT64 left = piece.length - done;
        const UINT n = left < run.size() ? static_cast<UINT>(left) : static_cast<UINT>(run.size());
        if (!local.files[piece.source]->ReadAt(piece.from + done, run.data(), n))
            throw TransferRejected{ "a local copy could not be read again" };
        Append(run.data(), n);
        m_context.sink.Activity();  // progress from disk, which the stall watchdog would not see
        done += n;
    }
}

void CFileFetch::PlaceFetched(const PatchPiece& piece, const std::vector<ListedChunk>& chunks, size_t& c,
                              CRangeCursor& cursor)
{
    for (UINT64 at = piece.offset, end = piece.offset + piece.length; at < end;) {
        while (c < chunks.size() && chunks[c].offset < at) ++c;
        if (c == chunks.size() || chunks[c].offset != at || at + chunks[c].chunk.length > end)
            throw TransferRejected{ "a fetched piece is not made of listed chunks" };
        const UINT length = chunks[c].chunk.length;
        cursor.Read(at, m_buffer, length);
        if (CHash64::Of(m_buffer, length) != chunks[c].chunk.id)
            throw TransferRejected{ "a fetched chunk at byte " + std::to_string(at) + " does not match the index" };
        Append(m_buffer, length);
        at += length;
    }
}
