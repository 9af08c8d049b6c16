// The manifest pass's thread and its steps in order: fetch, raw-byte checks
// (size, signature, DTD), the document, the list, the selection.
#include "manifest/ManifestPass.h"
#include <objbase.h>
#include <msxml2.h>
#include <wininet.h>
#include <atomic>
#include <memory>
#include <thread>
#include "afxhandle.h"
#include "afxinet.h"
#include "manifest/DigestCache.h"
#include "manifest/PassSteps.h"
#include "manifest/SerialFile.h"
#include "manifest/Signature.h"
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
    bool hasLastSerial = false;
    bool serialUnreadable = false;
    std::uint64_t lastSerial = 0;
    CScopedHandle responded{ ::CreateEventA(nullptr, TRUE, FALSE, nullptr) };  // the request has ended
    CScopedHandle done{ ::CreateEventA(nullptr, TRUE, FALSE, nullptr) };       // the whole pass has ended
};

// The response body, at most one byte past the limit; throws PassFailed when
// the request fails or the status is not 200.
std::string Download(const std::string& url, HANDLE responded)
{
    std::string body;
    try {
        CInternetSession session(nullptr, 1, PRE_CONFIG_INTERNET_ACCESS, nullptr, nullptr, 0);
        auto http = session.OpenURL(url.c_str(), 1,
                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE, nullptr, 0);
        DWORD status = 0;
        http->QueryInfoStatusCode(status);
        char buffer[8192];
        while (body.size() <= kManifestMaxBytes) {
            const UINT n = http->Read(buffer, sizeof(buffer));
            if (n == 0) break;
            body.append(buffer, n);
        }
        ::SetEvent(responded);
        RunLog::Write("manifest: HTTP %lu, %s%lu bytes", status, body.size() > kManifestMaxBytes ? "more than " : "",
                      static_cast<unsigned long>(body.size() > kManifestMaxBytes ? kManifestMaxBytes : body.size()));
        if (status != 200) throw PassFailed();
    } catch (const CInternetException& e) {
        ::SetEvent(responded);
        RunLog::Write("manifest: request failed (internet error %lu)", e.m_dwError);
        throw PassFailed();
    }
    return body;
}

// The checks made on the raw bytes, before any XML parser sees them; a signed
// manifest loses its signature comment.
void CheckRawManifest(std::string& body, const PassJob& job)
{
    if (body.size() > kManifestMaxBytes) Unreadable("larger than 16 MiB");
    if (job.context.signedOnly) {
        if (job.serialUnreadable) {
            const std::string why = "the serial of the last finished run cannot be read; delete " +
                                    SerialPath(job.context.request.tempDir) +
                                    " to accept the site's current signed manifest";
            Unreadable(why.c_str());
        }
        // Not one entry is read from a manifest that this build's key did not sign.
        std::size_t signedLength = 0;
        const std::string why = CheckManifestSignature(body, signedLength);
        if (!why.empty()) Unreadable(why.c_str());
        body.resize(signedLength);
        RunLog::Write("manifest: signature verified");
    }
    // A DTD can expand without bound.
    if (DeclaresDtd(body)) Unreadable("declares a DTD");
}

// An older signed manifest must not take players back to an older release.
void CheckSerial(IXMLDOMDocument* document, const PassJob& job, ManifestList& list)
{
    const std::uint64_t serial = ReadSerialAttribute(document);
    if (job.hasLastSerial && serial < job.lastSerial) {
        RunLog::Write("manifest: serial %llu is lower than %llu, the serial of the last finished run",
                      static_cast<unsigned long long>(serial), static_cast<unsigned long long>(job.lastSerial));
        Unreadable("it is older than the last manifest installed");
    }
    list.hasSerial = true;
    list.serial = serial;
}

// Most starts find nothing to update: a file whose size, times and identity
// are unchanged since its digest was taken is not read again.
std::vector<ListedFile> Select(std::vector<ListedFile>& entries, const PassContext& context)
{
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const ListedFile& e : entries) names.push_back(e.name);
    const std::uint64_t reverify = TestHooks::ReverifyBytes();
    CDigestCache cache(context.request.tempDir, names, reverify ? reverify : kReverifyBytes);
    std::vector<ListedFile> changed = SelectChanged(entries, context, cache);
    cache.Commit();
    return changed;
}

ManifestList ReadManifest(const PassJob& job)
{
    ManifestList list;
    try {
        std::string body = Download(job.context.request.url, job.responded.get());
        if (job.state.load() == PassJob::kGivenUp) throw PassFailed();  // nobody waits for the result any more
        CheckRawManifest(body, job);
        ComPtr<IXMLDOMDocument> document;
        ParseManifestXml(body, document);
        if (job.context.signedOnly) CheckSerial(document.get(), job, list);
        std::vector<ListedFile> entries = ReadEntries(document.get(), job.context);
        DropDuplicates(entries, job.context);
        list.files = Select(entries, job.context);
        list.complete = true;
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
    job->hasLastSerial = ReadLastSerial(request.tempDir, job->lastSerial, job->serialUnreadable);
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
