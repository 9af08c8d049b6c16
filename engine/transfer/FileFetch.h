// The transfer's inside (for FileFetch.cpp and Patch.cpp only). Every way it
// can end is an exception here; FetchFile turns them into an Outcome.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "afxfile.h"
#include "afxinet.h"
#include "rules/LevelledIndex.h"
#include "support/Files.h"
#include "transfer/Transfer.h"
#include "transfer/Verifier.h"

// The answer is not the file: an error status, an error page, a length or
// range other than asked for, or bytes other than the manifest's.
struct TransferRejected {
    std::string why;
};
// The user asked to stop, or the window is gone.
struct TransferStopped {};

// Local work under way, for the stall watchdog (TransferSink::LocalWork).
class CLocalWork {
public:
    explicit CLocalWork(TransferSink& sink) : m_sink(sink) { m_sink.LocalWork(true); }
    ~CLocalWork() { m_sink.LocalWork(false); }
    CLocalWork(const CLocalWork&) = delete;
    CLocalWork& operator=(const CLocalWork&) = delete;

private:
    TransferSink& m_sink;
};

// Beside an interrupted download, <name>.dtm.validator says which version of
// the file its bytes are: one line, "ETag: <strong entity tag>" or
// "Last-Modified: <date>" as the server sent it, ended by CRLF, printable
// ASCII only, at most kMaxValidatorBytes in all. Anything else is no
// validator. It is written when a whole download starts, sent back as
// If-Range when the download is resumed, and deleted with the .dtm or once
// the .dtm verifies. Nothing else reads it: the installation and the recovery
// only ever name <name>.dtm.
const char kValidatorSuffix[] = ".validator";
const size_t kMaxValidatorBytes = 512;
// The validator line in a side file's bytes; empty when they hold none.
std::string ParseValidator(const std::string& bytes);

// A patch's parts (PatchParts.h, Patch.cpp): the local copies it takes bytes
// from, what it fetched of the chunk index, both with the lists (its survey),
// a chunk of a fetched list where the new file has it, and where the stream
// of its ranges stands.
struct PatchSources;
struct IndexFetch;
struct PatchSurvey;
struct ListedChunk;
class CRangeFetch;
class CRangeCursor;

class CFileFetch {
public:
    CFileFetch(const TransferContext& context, const DownloadTask& task);
    CFileFetch(const CFileFetch&) = delete;
    CFileFetch& operator=(const CFileFetch&) = delete;

    void Run();
    // A patch's survey of its installed copy and the chunk index, made before
    // the patch itself (EarlyPatch.h); throws as the patch would.
    void Survey(PatchSurvey& survey);
    // After a full disk: the partial download and what a patch kept aside go,
    // so that the disk is not left full.
    void DropAfterFullDisk();

private:
    static const UINT kBlockSize = 8192;
    static const UINT kDiskPiece = 64 * 1024;

    bool ReuseEarlierDownload();
    // The kept .dtm, read to check it, is flushed before it may be installed.
    void FlushKept();
    void PatchOrWhole(LONGLONG have);
    // Patch.cpp: a patch from the installed copy and the chunk index; what went
    // wrong when it did not work (a stop passes through as TransferStopped).
    Outcome TryPatch(LONGLONG have);
    void Patch(LONGLONG have);
    // The local copies cut into chunks and groups on a thread of their own
    // while the index's head is fetched and checked.
    void CutWhileFetchingHead(PatchSources& local, IndexFetch& index, IndexHead& head);
    void FetchIndexHead(IndexFetch& index, IndexHead& head);
    // The index's first bytes made at least upTo long, with one request.
    void ExtendIndex(IndexFetch& index, UINT64 upTo);
    // The lists of the groups wanted, fetched several ranges at once and checked.
    std::vector<std::vector<IndexChunk>> FetchLists(const IndexHead& head, const std::vector<bool>& wanted,
                                                    IndexFetch& index);
    std::vector<unsigned char> FetchListBytes(const std::vector<ByteRange>& ranges, IndexFetch& index);
    // A request for a range of the index or the file, its answer checked.
    std::unique_ptr<CHttpFile> OpenIndexRange(const ByteRange& range, UINT64 total);
    std::unique_ptr<CHttpFile> OpenFileRange(const ByteRange& range, std::mutex& wholeLock);
    // The .dtm in order, from local copies and the plan's ranges (several in
    // flight; one at a time when the index's server sent it whole).
    void WritePatched(const PatchPlan& plan, const std::vector<ListedChunk>& chunks, PatchSources& local,
                      bool rangesAnswered);
    void CopyLocal(const PatchPiece& piece, PatchSources& local, std::vector<BYTE>& run, CRangeFetch& stream);
    // The chunks of a fetched piece, each checked against its identity.
    void PlaceFetched(const PatchPiece& piece, const std::vector<ListedChunk>& chunks, size_t& next,
                      CRangeCursor& cursor);
    // Resume.cpp: true once the file is there (resumed, or whole when the
    // server sent all of it); false when the kept bytes could not be
    // continued and were dropped: the whole file is then to be fetched.
    bool Resume(LONGLONG have);
    // Why the answer to a resumed request cannot continue the kept bytes; empty when it can.
    std::string ResumeRefusal(CHttpFile& http, UINT64 have, const std::string& validator) const;
    bool GiveUpResume(std::unique_ptr<CHttpFile>& http, const std::string& why);
    std::string ValidatorPath() const { return m_path + kValidatorSuffix; }
    std::string KeptValidator() const;
    void KeepValidator(const CHttpFile& http) const;
    void FetchWhole(std::unique_ptr<CHttpFile> http = nullptr);
    UINT ReadFirstBlock(CHttpFile& http, BYTE* first);

    // Both may be called from a patch's range threads.
    std::unique_ptr<CHttpFile> Open(const char* url, const std::string& headers = std::string()) const;
    UINT Read(CHttpFile& http, BYTE* into, UINT limit);
    // Throws unless a request for bytes first..last of the file was answered
    // with exactly them (206 and that Content-Range).
    void ExpectRange(CHttpFile& http, UINT64 first, UINT64 last, const char* request) const;
    // With total null, the range must be of the file (its size the total);
    // else of anything, its total stored there.
    bool RangeAnswered(CHttpFile& http, UINT64 first, UINT64 last, std::string& answer, UINT64* total = nullptr) const;
    // The rest of a body into the .dtm: never more than one byte past the
    // file's size is asked for, so an endless body costs one block, not the
    // disk; a longer body fails at once, a shorter one at its end.
    void ReadBody(CHttpFile& http);
    // The first length bytes of a file on disk through the verifier, counted as placed.
    void FeedFromDisk(const CSharedReadFile& file, UINT64 length);
    // Stops the platform and announces the file; a second attempt starts its bars over.
    void Begin(CDownloadVerifier::Source source = CDownloadVerifier::Source::Network);
    // Stops the platform, unless the user asked to stop (then the platform is left running).
    void StopPlatformFirst();
    void OpenDownload(UINT flags);
    void ReportPlaced(UINT n);
    void Append(const BYTE* data, UINT n);
    // Flushes and closes the .dtm; what did not match, empty when everything did.
    std::string CloseAndVerify();
    void FlushDownload();
    void ThrowIfStopped() const
    {
        if (m_context.sink.StopRequested()) throw TransferStopped{};
    }
    void Delete(const std::string& path) const { ::DeleteFileA(path.c_str()); }
    // The .dtm and its validator are deleted (the .dtm closed first).
    void DropDownload();
    std::string InstalledPath() const;

    const TransferContext& m_context;
    const DownloadTask& m_task;
    const UINT32 m_size;
    std::string m_path;  // the .dtm
    CFile m_download;
    CFlushAhead m_flushAhead;  // after m_download: waited for before it closes
    std::unique_ptr<CDownloadVerifier> m_verifier;
    // A patch's range request answered with the whole file: taken as it is.
    std::unique_ptr<CHttpFile> m_wholeAnswer;
    UINT64 m_fileBytes = 0;
    BYTE m_buffer[kDiskPiece];
};
