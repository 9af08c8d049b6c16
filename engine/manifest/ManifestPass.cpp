// The manifest pass's thread and its steps in order: fetch, raw-byte checks
// (size, signature, DTD), the document, the list, the selection.
#include "manifest/ManifestPass.h"
#include <objbase.h>
#include <wininet.h>
#include <atomic>
#include <memory>
#include <thread>
#include "afxhandle.h"
#include "afxinet.h"
#include "manifest/DigestCache.h"
#include "manifest/KeptManifest.h"
#include "manifest/PassSteps.h"
#include "manifest/SerialFile.h"
#include "manifest/Signature.h"
#include "rules/SignedManifest.h"
#include "rules/SiteRules.h"
#include "support/RunLog.h"
#include "support/Task.h"
#include "support/TestHooks.h"

namespace {
// Passes given up on that have not ended yet (a plain counter: it must
// outlive every static object).
std::atomic<int> s_abandonedRunning{ 0 };

// The pass runs on a thread of its own, so that a server that stops answering
// cannot hold the start-up past the time limit; a pass that is given up on
// keeps its own copy of everything it uses.
struct PassJob {
    PassContext context;
    ManifestList result;
    // Given up on: nobody waits for the result, and no installed file may be read.
    enum : int { kRunning, kGivenUp, kEnded };
    std::atomic<int> state{ kRunning };
    LastSerial lastSerialState = LastSerial::None;
    std::uint64_t lastSerial = 0;
    CScopedHandle responded{ ::CreateEventA(nullptr, TRUE, FALSE, nullptr) };  // the request has ended
    CScopedHandle done{ ::CreateEventA(nullptr, TRUE, FALSE, nullptr) };       // the whole pass has ended
};

// The manifest a pass reads: as the server sent it, or the kept copy (with the
// list read from it) when the server says it has not changed since.
struct Fetched {
    KeptManifest manifest;
    bool fromKept = false;
};

// Asks for a compressed manifest only when WinINet will decode it, and asks
// whether the kept copy is still current when there is one.
std::string RequestHeaders(bool decodes, const KeptManifest& kept)
{
    std::string headers = decodes ? "Accept-Encoding: gzip\r\n" : "";
    if (!kept.etag.empty()) headers += "If-None-Match: " + kept.etag + "\r\n";
    if (!kept.lastModified.empty()) headers += "If-Modified-Since: " + kept.lastModified + "\r\n";
    return headers;
}

// The body, at most one byte past the limit.
void ReadBody(CHttpFile& http, std::string& body)
{
    char buffer[65536];
    while (body.size() <= kManifestMaxBytes) {
        const UINT n = http.Read(buffer, sizeof(buffer));
        if (n == 0) break;
        body.append(buffer, n);
    }
}

std::string HeaderText(const CHttpFile& http, DWORD level)
{
    CString value;
    return http.QueryInfoText(level, value) ? std::string(value.GetString()) : std::string();
}

// The manifest, or the kept copy on 304; throws PassFailed when the request
// fails or the status is neither 200 nor a 304 for the kept copy.
Fetched Download(const std::string& url, KeptManifest& kept, HANDLE responded)
{
    Fetched fetched;
    try {
        CInternetSession session(nullptr, 1, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
        BOOL decode = TRUE;
        const bool decodes =
            ::InternetSetOptionA(session.GetHandle(), INTERNET_OPTION_HTTP_DECODING, &decode, sizeof(decode)) != FALSE;
        const std::string headers = RequestHeaders(decodes, kept);
        auto http = session.OpenURL(url.c_str(), 1,
                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                                        INTERNET_FLAG_NO_COOKIES,
                                    headers.empty() ? nullptr : headers.c_str(), static_cast<DWORD>(headers.size()));
        DWORD status = 0;
        http->QueryInfoStatusCode(status);
        if (status == 304 && kept.HasValidator()) {
            ::SetEvent(responded);
            RunLog::Write("manifest: HTTP 304, the kept copy is current (%lu bytes)",
                          static_cast<unsigned long>(kept.body.size()));
            fetched.manifest = std::move(kept);
            fetched.fromKept = true;
            return fetched;
        }
        kept = KeptManifest();  // its memory, before the new body arrives
        std::string& body = fetched.manifest.body;
        ReadBody(*http, body);
        ::SetEvent(responded);
        const bool over = body.size() > kManifestMaxBytes;
        RunLog::Write("manifest: HTTP %lu, %s%lu bytes", status, over ? "more than " : "",
                      static_cast<unsigned long>(over ? kManifestMaxBytes : body.size()));
        if (status != 200) throw PassFailed();
        fetched.manifest.etag = HeaderText(*http, HTTP_QUERY_ETAG);
        fetched.manifest.lastModified = HeaderText(*http, HTTP_QUERY_LAST_MODIFIED);
    } catch (const CInternetException& e) {
        ::SetEvent(responded);
        RunLog::Write("manifest: request failed (internet error %lu)", e.m_dwError);
        throw PassFailed();
    }
    return fetched;
}

// The kept copy, when it was kept for this manifest's address and reads back
// whole; a damaged one is dropped, so the manifest is fetched whole.
KeptManifest UsableKept(const PassContext& context)
{
    KeptManifest kept;
    const std::string& tempDir = context.request.tempDir;
    const KeptFault fault = LoadKept(tempDir, kept);
    if (fault == KeptFault::Missing) return kept;
    if (fault != KeptFault::None) {
        RunLog::Write("manifest: the kept copy %s; dropped, the manifest is fetched whole",
                      fault == KeptFault::Foreign ? "is not one this updater wrote" : "is damaged or cut short");
        DropKept(tempDir);
        return KeptManifest();
    }
    if (kept.address != KeptAddress(context.request.url) || !kept.HasValidator()) return KeptManifest();
    // A signed copy is checked again before the server is asked about it: one
    // changed on disk since is dropped, so the manifest is fetched whole.
    std::size_t signedLength = 0;
    if (context.signedOnly) {
        const std::string why = CheckManifestSignature(kept.body, signedLength);
        if (!why.empty()) {
            RunLog::Write("manifest: the kept copy fails its signature check (%s); dropped, the manifest is fetched whole",
                          why.c_str());
            DropKept(tempDir);
            return KeptManifest();
        }
        RunLog::Write("manifest: the kept copy's signature verified");
    }
    return kept;
}

// What a manifest read anew is kept as for the next start, with what the
// server will compare; empty when the server sent no validator.
std::string KeptBytes(const PassContext& context, const std::string& url, KeptManifest& manifest)
{
    manifest.address = KeptAddress(url);
    std::string bytes = manifest.HasValidator() ? SerializeKept(manifest) : std::string();
    if (bytes.empty()) DropKept(context.request.tempDir);  // nothing a server could compare
    return bytes;
}

void KeepForNextStart(const PassContext& context, const std::string& bytes)
{
    if (!bytes.empty() && !SaveKept(context.request.tempDir, bytes)) {
        RunLog::Write("manifest: could not be kept for the next start");
        DropKept(context.request.tempDir);
    }
}

// The checks made on the raw bytes, before any XML parser sees them. Returns
// how many bytes the parser reads: a signed manifest without its signature
// comment.
std::size_t CheckRawManifest(const std::string& body, const PassJob& job, bool signatureVerified)
{
    if (body.size() > kManifestMaxBytes) {
        const std::string why = "larger than " + std::to_string(kManifestMaxBytes >> 20) + " MiB";
        Unreadable(why.c_str());
    }
    // An XML document never starts so; a WinINet that did not decode the gzip it was offered would pass this on.
    if (body.size() >= 2 && body[0] == '\x1f' && body[1] == '\x8b') Unreadable("it came compressed and was not decoded");
    std::size_t length = body.size();
    if (job.context.signedOnly && signatureVerified) {
        std::vector<unsigned char> signature;  // the kept copy, checked before it was offered: only its length is needed
        if (SplitSignedManifest(body, length, signature) != SignatureFault::None) Unreadable("it is not signed");
    } else if (job.context.signedOnly) {
        // Not one entry is read from a manifest that this build's key did not sign.
        const std::string why = CheckManifestSignature(body, length);
        if (!why.empty()) Unreadable(why.c_str());
        RunLog::Write("manifest: signature verified");
    }
    // A DTD can expand without bound.
    if (DeclaresDtd(body)) Unreadable("declares a DTD");
    return length;
}

// An older signed manifest must not take players back to an older release.
void CheckSerial(std::uint64_t serial, const PassJob& job, ManifestList& list)
{
    if (job.lastSerialState == LastSerial::Read && serial < job.lastSerial) {
        RunLog::Write("manifest: serial %llu is lower than %llu, the serial of the last finished run",
                      static_cast<unsigned long long>(serial), static_cast<unsigned long long>(job.lastSerial));
        Unreadable("it is older than the last manifest installed");
    }
    list.hasSerial = true;
    list.serial = serial;
    list.serialFileDamaged = job.lastSerialState == LastSerial::Damaged;
}

// Most starts find nothing to update: a file whose size, times and identity
// are unchanged since its digest was taken is not read again.
std::vector<ListedFile> Select(std::vector<ListedFile>& entries, const PassContext& context)
{
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const ListedFile& e : entries) names.push_back(e.name);
    ReverifyBudget budget;
    if (const std::uint64_t bytes = TestHooks::ReverifyBytes()) budget.bytes = bytes;
    CDigestCache cache(context.request.tempDir, names, budget);
    std::vector<ListedFile> changed = SelectChanged(entries, context, cache);
    cache.Commit();
    return changed;
}

// The list: as kept with the manifest when it is the kept copy and was read
// as this pass reads it, otherwise from the document. A list read anew is
// kept with it (keptBytes) once the pass has read it whole.
std::vector<ListedFile> ReadList(Fetched& fetched, const PassJob& job, ManifestList& list, std::string& keptBytes)
{
    KeptManifest& manifest = fetched.manifest;
    const std::size_t length = CheckRawManifest(manifest.body, job, fetched.fromKept);
    const ReadAs readAs = ReadAsNow(job.context);
    if (!fetched.fromKept || !(manifest.content.readAs == readAs)) {
        manifest.content = ReadManifestXml(manifest.body, length, readAs);
        keptBytes = KeptBytes(job.context, job.context.request.url, manifest);
    }
    manifest.body = std::string();  // no longer needed
    if (job.context.signedOnly) CheckSerial(manifest.content.serial, job, list);
    return SafeEntries(std::move(manifest.content.entries), job.context);
}

ManifestList ReadManifest(const PassJob& job)
{
    ManifestList list;
    try {
        KeptManifest kept = UsableKept(job.context);
        Fetched fetched = Download(job.context.request.url, kept, job.responded.get());
        if (job.state.load() == PassJob::kGivenUp) throw PassFailed();  // nobody waits for the result any more
        std::string keptBytes;
        std::vector<ListedFile> entries = ReadList(fetched, job, list, keptBytes);
        DropDuplicates(entries, job.context);
        list.files = Select(entries, job.context);
        list.complete = true;
        KeepForNextStart(job.context, keptBytes);
    } catch (const PassFailed&) {
        // A pass that did not read the whole list queues nothing: no mixed updates.
        list = ManifestList();
        RunLog::Write("manifest: the pass stopped before the end of the list; nothing is queued");
    }
    return list;
}

std::shared_ptr<PassJob> NewJob(const ManifestRequest& request)
{
    auto job = std::make_shared<PassJob>();
    job->context.request = request;
    job->context.temp = PlaceTempFolder(request.installDir.c_str(), request.tempDir.c_str());
    job->context.sideName = SideFileName(request.ownName);
    job->context.signedOnly = HasBuiltInPublicKey();
    job->lastSerialState = ReadLastSerial(request.tempDir, job->lastSerial);
    return job;
}

void RunJob(const std::shared_ptr<PassJob>& job)
{
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    job->result = ReadManifest(*job);
    // Nothing of the manifest stays in the user's cache (each run has a new address).
    ::DeleteUrlCacheEntryA(job->context.request.url.c_str());
    ::CoUninitialize();
    ::SetEvent(job->responded.get());
    ::SetEvent(job->done.get());
    int running = PassJob::kRunning;
    if (!job->state.compare_exchange_strong(running, PassJob::kEnded)) --s_abandonedRunning;
}
} // namespace

bool AbandonedManifestPassRunning() { return s_abandonedRunning.load() > 0; }

ManifestList RunManifestPass(const ManifestRequest& request, DWORD timeoutMs)
{
    ::DeleteUrlCacheEntryA(request.url.c_str());
    RunLog::Write("manifest: GET %s", request.url.c_str());
    std::shared_ptr<PassJob> job = NewJob(request);
    if (!job->done || !job->responded) return ManifestList();
    std::thread([job] { RunJob(job); }).detach();
    // Only the network is given a limit; reading the list and digesting the
    // installed files take as long as they take.
    if (::WaitForSingleObject(job->responded.get(), timeoutMs) != WAIT_OBJECT_0) {
        // Left to end on its own, touching no installed file.
        int running = PassJob::kRunning;
        if (job->state.compare_exchange_strong(running, PassJob::kGivenUp)) ++s_abandonedRunning;
        RunLog::Write("manifest: no complete answer within %lu ms; nothing queued", timeoutMs);
        return ManifestList();
    }
    ::WaitForSingleObject(job->done.get(), INFINITE);
    return job->result;
}
