#include "FileCheck.h"
#include <algorithm>
#include "Crypto.h"
#include "HttpClient.h"
#include "Md5Digest.h"
#include "rules/LevelledIndex.h"
#include "rules/PathRules.h"
#include "rules/SiteRules.h"

bool EqualHex(const std::string& a, const std::string& b) { return EqualIgnoringAsciiCase(a.c_str(), b.c_str()); }

namespace {

// What one GET brought: status, lengths, digests, the first block, and the
// bytes asked to be kept.
struct Fetched {
    HttpResponse response;
    std::uint64_t bytes = 0;
    bool tooLong = false;
    std::string firstBlock;
    std::string md5, sha256;
    std::string kept;
};

// Keeps the bytes of a body that fall in [from, from + length).
void KeepPart(std::string& kept, std::uint64_t at, const char* data, std::size_t n, std::uint64_t from,
              std::uint64_t length)
{
    const std::uint64_t start = std::max(at, from), end = std::min(at + n, from + length);
    if (start < end) kept.append(data + (start - at), static_cast<std::size_t>(end - start));
}

Fetched Fetch(HttpClient& http, const std::string& url, std::uint64_t limit, bool wantDigests,
              const std::function<void(std::uint64_t)>& onBytes, ByteRange keep = { 0, 0 })
{
    Fetched f;
    CMd5Digest md5;
    Sha256 sha;
    f.response = http.Get(url, [&](const char* data, std::size_t n) {
        if (n > limit - std::min(limit, f.bytes)) {
            f.tooLong = true;
            return false;
        }
        if (f.firstBlock.size() < kFirstBlockBytes)
            f.firstBlock.append(data, std::min(n, kFirstBlockBytes - f.firstBlock.size()));
        KeepPart(f.kept, f.bytes, data, n, keep.offset, keep.length);
        if (wantDigests) {
            md5.Update(reinterpret_cast<const BYTE*>(data), static_cast<UINT>(n));
            sha.Update(data, n);
        }
        f.bytes += n;
        onBytes(n);
        return true;
    });
    if (f.response.transferred && wantDigests) {
        f.md5 = md5.Final().str();
        f.sha256 = sha.FinalHex();
    }
    return f;
}

// The answer's status and transport, in words; empty when a body of 200 arrived.
std::string TransportProblem(const Fetched& f)
{
    if (!f.response.transferred && !f.tooLong) return "no complete answer (" + f.response.error + ")";
    if (f.response.status != 200) return "HTTP " + std::to_string(f.response.status);
    return std::string();
}

// How a server answered one single-range request.
enum class RangeAnswer { Answered, Ignored, Wrong };

// Asks for one range of a file of total bytes, as a patch does, and compares
// the answer with the bytes expected there; served says what a wrong answer was.
RangeAnswer AskRange(HttpClient& http, const std::string& url, const ByteRange& range, std::uint64_t total,
                     const std::string& expected, std::string& served)
{
    const std::uint64_t last = range.offset + range.length - 1;
    std::string body;
    bool longer = false;
    const HttpResponse r = http.Get(
        url,
        [&](const char* data, std::size_t n) {
            if (body.size() + n > range.length) {
                longer = true;
                return false;
            }
            body.append(data, n);
            return true;
        },
        std::to_string(range.offset) + "-" + std::to_string(last));
    if (r.status == 200) return RangeAnswer::Ignored;
    const std::string wanted =
        "bytes " + std::to_string(range.offset) + "-" + std::to_string(last) + "/" + std::to_string(total);
    if (!r.transferred && !longer) served = "no complete answer (" + r.error + ")";
    else if (r.status != 206) served = "HTTP " + std::to_string(r.status);
    else if (r.contentRange != wanted) served = "HTTP 206 with Content-Range \"" + r.contentRange + "\"";
    else if (longer) served = "HTTP 206 with more than " + std::to_string(range.length) + " bytes";
    else if (body.size() != range.length) served = "HTTP 206 with " + std::to_string(body.size()) + " bytes";
    else if (body != expected) served = "HTTP 206 with other bytes than the whole answer's";
    else return RangeAnswer::Answered;
    return RangeAnswer::Wrong;
}

// The part of a file whose single range is asked for: a few KiB from its middle.
ByteRange MiddlePart(std::uint64_t size)
{
    const std::uint64_t offset = size / 2;
    return { offset, std::min<std::uint64_t>(4096, size - offset) };
}

class FileCheck {
public:
    FileCheck(HttpClient& http, const std::function<void(std::uint64_t)>& onBytes) : m_http(http), m_onBytes(onBytes) {}
    FileCheckResult Take() { return std::move(m_result); }

    void CheckFile(const Entry& e)
    {
        // One byte more than the entry's size is enough to know the body is too long.
        const ByteRange part = MiddlePart(e.size);
        const Fetched f = Fetch(m_http, e.fileload, std::uint64_t(e.size) + 1, true, m_onBytes, part);
        const std::string expected = std::to_string(e.size) + " bytes";
        std::string problem = TransportProblem(f);
        std::string wanted = "HTTP 200 and " + expected;
        if (problem.empty() && f.response.contentLength && *f.response.contentLength != e.size)
            problem = "HTTP 200 with " + std::to_string(*f.response.contentLength) + " bytes announced";
        if (problem.empty() && f.tooLong) problem = "HTTP 200 with more than " + expected;
        if (problem.empty() && f.bytes != e.size) problem = "HTTP 200 with " + std::to_string(f.bytes) + " bytes";
        if (problem.empty() &&
            LooksLikeErrorPage(reinterpret_cast<const unsigned char*>(f.firstBlock.data()), f.firstBlock.size())) {
            wanted = "the file";
            problem = "what the updater takes for an error page (it starts \"" + f.firstBlock.substr(0, 21) + "\")";
        }
        if (problem.empty() && !EqualHex(f.md5, e.md5)) {
            wanted = "MD5 " + e.md5;
            problem = "MD5 " + f.md5 + " (other bytes of the same length)";
        }
        if (problem.empty() && e.sha256 && !EqualHex(f.sha256, *e.sha256)) {
            wanted = "SHA-256 " + *e.sha256;
            problem = "SHA-256 " + f.sha256;
        }
        if (!problem.empty()) Problem(e.filename, e.fileload, wanted, problem);
        if (!e.chunks) return;
        // A patch asks the file's URL for ranges.
        if (problem.empty() && part.length) CheckRange(e.filename + " (range)", e.fileload, part, e.size, f.kept);
        CheckChunkIndex(e);
    }

    // The index as the updater reads it (the manifest's digest is its head's,
    // chunkshead its head's length, and the whole index decodes), then its
    // head as one range, as the updater's first request for it.
    void CheckChunkIndex(const Entry& e)
    {
        m_result.hadChunkIndex = true;
        const std::string label = e.filename + " (chunk index)";
        if (!e.chunksSha256) {
            Problem(label, *e.chunks, "a chunkssha256 attribute beside chunks", "none");
            return;
        }
        const std::uint64_t limit = MaxLevelledIndexBytes(e.size);
        const Fetched f = Fetch(m_http, *e.chunks, limit, false, [](std::uint64_t) {}, { 0, limit });
        std::string problem = TransportProblem(f);
        if (problem.empty() && f.tooLong)
            problem = "more than " + std::to_string(limit) + " bytes (any index for the file's size is smaller)";
        if (!problem.empty()) {
            Problem(label, *e.chunks, "HTTP 200 and a chunk index", problem);
            return;
        }
        std::uint64_t headBytes = 0;
        if (JudgeIndex(e, label, f.kept, headBytes))
            CheckRange(label, *e.chunks, { 0, headBytes }, f.kept.size(), f.kept.substr(0, headBytes));
    }

    // False when the index is not one the updater uses (a problem reported).
    bool JudgeIndex(const Entry& e, const std::string& label, const std::string& bytes, std::uint64_t& headBytes)
    {
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        const std::string& url = *e.chunks;
        if (bytes.compare(0, 8, "UPCHUNKS") == 0) {
            Problem(label, url, "a levelled chunk index (version 2)",
                             "a version 1 index, which the updater does not read (it fetches the whole file): "
                             "publish the release again");
            return false;
        }
        IndexFault fault = ReadIndexHeadBytes(data, bytes.size(), e.size, headBytes);
        if (fault == IndexFault::None && bytes.size() < headBytes) fault = IndexFault::Truncated;
        if (fault != IndexFault::None) {
            Problem(label, url, "a chunk index for a file of " + e.filesize + " bytes",
                             std::string("one that ") + DescribeIndexFault(fault));
            return false;
        }
        Sha256 headDigest;
        headDigest.Update(data, static_cast<std::size_t>(headBytes));
        const std::string sum = headDigest.FinalHex();
        if (!EqualHex(sum, *e.chunksSha256)) {
            Problem(label, url, "SHA-256 " + *e.chunksSha256 + " of its head",
                             "SHA-256 " + sum + " of its " + std::to_string(headBytes) + "-byte head");
            return false;
        }
        if (e.chunksHead && *e.chunksHead != std::to_string(headBytes)) {
            Problem(label, url, "a head of " + *e.chunksHead + " bytes (the chunkshead attribute)",
                             "one of " + std::to_string(headBytes) + " bytes");
            return false;
        }
        IndexHead head;
        std::vector<IndexChunk> chunks;
        fault = DecodeLevelledIndex(data, bytes.size(), e.size, head, chunks);
        if (fault != IndexFault::None) {
            Problem(label, url, "an index that decodes",
                             std::string("one whose head matches its digest but that ") + DescribeIndexFault(fault));
            return false;
        }
        return true;
    }

    // One single range, as a patch asks for them: a server that ignores ranges
    // is told once in the summary (patches then fetch whole files); a wrong
    // answer makes every patch fall back, so it is a problem.
    void CheckRange(const std::string& label, const std::string& url, const ByteRange& range, std::uint64_t total,
                    const std::string& expected)
    {
        std::string served;
        ++m_result.rangesAsked;
        switch (AskRange(m_http, url, range, total, expected, served)) {
        case RangeAnswer::Answered: ++m_result.rangesAnswered; break;
        case RangeAnswer::Ignored:
            if (m_result.rangeIgnoredAt.empty()) m_result.rangeIgnoredAt = url;
            break;
        case RangeAnswer::Wrong:
            Problem(label, url,
                             "HTTP 206 with bytes " + std::to_string(range.offset) + "-" +
                                 std::to_string(range.offset + range.length - 1) + "/" + std::to_string(total),
                             served + " (the updater then fetches the whole file)");
            break;
        }
    }

private:
    void Problem(const std::string& file, const std::string& url, const std::string& expected, const std::string& served)
    {
        m_result.problems.push_back({ file, url, expected, served });
    }

    HttpClient& m_http;
    const std::function<void(std::uint64_t)>& m_onBytes;
    FileCheckResult m_result;
};

} // namespace

FileCheckResult CheckListedFile(HttpClient& http, const Entry& e, const std::function<void(std::uint64_t)>& onBytes)
{
    FileCheck check(http, onBytes);
    check.CheckFile(e);
    return check.Take();
}
