// Resuming an interrupted download: the rest asked for with a range request
// that carries the kept bytes' validator, and every answer that cannot
// continue them (another version, another range, another length, a body too
// long or empty) ending in the whole file rather than in a failure that the
// next run would meet again.
#include "support/Files.h"
#include "support/RunLog.h"
#include "transfer/FileFetch.h"

namespace {
bool Printable(const std::string& text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The answer's validator as a side file's line: a strong ETag, else
// Last-Modified; empty when it has neither. A weak tag says only that two
// versions mean the same, not that their bytes are the same: never joined.
std::string ValidatorLine(const CHttpFile& http)
{
    CString value;
    if (http.QueryInfoText(HTTP_QUERY_ETAG, value)) {
        const std::string tag = value.GetString();
        if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"' && Printable(tag)) return "ETag: " + tag;
    }
    if (http.QueryInfoText(HTTP_QUERY_LAST_MODIFIED, value) && Printable(value.GetString()))
        return std::string("Last-Modified: ") + value.GetString();
    return std::string();
}

std::string KindOf(const std::string& line) { return line.substr(0, line.find(':')); }
std::string ValueOf(const std::string& line) { return line.substr(line.find(": ") + 2); }
} // namespace

std::string ParseValidator(const std::string& bytes)
{
    if (bytes.size() > kMaxValidatorBytes || bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0)
        return std::string();
    const std::string line = bytes.substr(0, bytes.size() - 2);
    if (!Printable(line)) return std::string();
    const bool tag = StartsWith(line, "ETag: \"") && line.size() >= 8 && line.back() == '"';
    const bool date = StartsWith(line, "Last-Modified: ") && line.size() > 15;
    return tag || date ? line : std::string();
}

std::string CFileFetch::KeptValidator() const
{
    std::string bytes;
    DWORD error = 0;
    return ReadSmallFile(ValidatorPath(), kMaxValidatorBytes, bytes, error) ? ParseValidator(bytes) : std::string();
}

void CFileFetch::KeepValidator(const CHttpFile& http) const
{
    const std::string line = ValidatorLine(http);
    if (line.empty()) return;
    // Without it a resume is still checked by the file's digests: a failed write costs no more.
    CFile file;
    if (!file.Open(ValidatorPath().c_str(), CFile::modeCreate | CFile::modeWrite)) return;
    const std::string bytes = line + "\r\n";
    try {
        file.Write(bytes.data(), static_cast<UINT>(bytes.size()));
        file.Close();
    } catch (const CFileException&) {
        file.Abort();
        Delete(ValidatorPath());
    }
}

std::string CFileFetch::ResumeRefusal(CHttpFile& http, UINT64 have, const std::string& validator) const
{
    std::string answer;
    if (!RangeAnswered(http, have, m_size - 1ull, answer)) return "answered with " + answer;
    DWORD announced = 0;
    if (http.QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, announced) && announced != m_size - have)
        return "answered with " + std::to_string(announced) + " bytes announced";
    // A server that ignores If-Range still names the version it sends.
    const std::string now = ValidatorLine(http);
    if (!validator.empty() && !now.empty() && KindOf(now) == KindOf(validator) && now != validator)
        return "answered from another version (" + now + "; the kept bytes are of " + validator + ")";
    return std::string();
}

bool CFileFetch::GiveUpResume(std::unique_ptr<CHttpFile>& http, const std::string& why)
{
    http.reset();
    DropDownload();
    RunLog::Write("download %s: the resumed request was %s; the kept bytes are dropped and the whole file fetched",
                  m_task.szName, why.c_str());
    return false;
}

bool CFileFetch::Resume(LONGLONG have)
{
    const std::string validator = KeptValidator();
    std::string headers = "Range: bytes=" + std::to_string(have) + "-\r\n";
    if (!validator.empty()) headers += "If-Range: " + ValueOf(validator) + "\r\n";
    RunLog::Write("download %s: GET %s from byte %lld%s%s", m_task.szName, m_task.szUrl, have,
                  validator.empty() ? "" : ", If-Range of ", validator.c_str());
    auto http = Open(m_task.szUrl, headers);
    DWORD status = 0;
    // A server that ignores ranges, or whose file changed (If-Range), sends the whole file: start over with it.
    if (http->QueryInfoStatusCode(status) && status == 200) {
        RunLog::Write("download %s: HTTP 200: the whole file instead of the rest", m_task.szName);
        FetchWhole(std::move(http));
        return true;
    }
    const std::string refused = ResumeRefusal(*http, static_cast<UINT64>(have), validator);
    if (!refused.empty()) return GiveUpResume(http, refused);

    Begin();
    // The bytes already there go through the verifier first, from disk.
    {
        CSharedReadFile kept(m_path.c_str());
        if (!kept.IsOpen()) throw CFileException(CFileException::fileNotFound, static_cast<LONG>(kept.OpenError()), m_path.c_str());
        FeedFromDisk(kept, static_cast<UINT64>(have));
    }
    OpenDownload(CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite);
    m_download.Seek(have, FILE_BEGIN);
    try {
        ReadBody(*http);
    } catch (const TransferRejected& e) {
        return GiveUpResume(http, "refused: " + e.why);
    } catch (const CInternetException&) {
        // A body that ends before its first byte would end every later try the same way.
        if (m_fileBytes != static_cast<UINT64>(have) || !http->Ended()) throw;
        return GiveUpResume(http, "answered with an empty body");
    }
    http.reset();
    const std::string mismatch = CloseAndVerify();
    if (!mismatch.empty()) {
        RunLog::Write("download %s: %s", m_task.szName, mismatch.c_str());
        DropDownload();
        RunLog::Write("download %s: the resumed file does not verify; fetched again from byte 0", m_task.szName);
        return false;
    }
    Delete(ValidatorPath());
    RunLog::Write("download %s: resumed: %lld bytes kept, %llu fetched, verified", m_task.szName, have,
                  static_cast<unsigned long long>(m_fileBytes - have));
    return true;
}
