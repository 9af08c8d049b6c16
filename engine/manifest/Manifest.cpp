#include "manifest/Manifest.h"
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>
#include <shlwapi.h>
#include <wininet.h>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "manifest/DigestCache.h"
#include "DownloadManager.h"
#include "install/Install.h"
#include "rules/PathRules.h"
#include "rules/SiteRules.h"
#include "afxcom.h"
#include "afxfile.h"
#include "afxhandle.h"
#include "afxinet.h"
#include "support/RunLog.h"
#include "manifest/Signature.h"
#include "rules/SignedManifest.h"
#include "support/TestHooks.h"
#include "transfer/Verifier.h"
#include "support/WindowsNames.h"

namespace {
// MinGW's import libraries lack some of these.
const IID kIID_IXMLDOMDocument = { 0x2933BF81, 0x7B36, 0x11D2, { 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60 } };
const IID kIID_IXMLDOMElement = { 0x2933BF86, 0x7B36, 0x11D2, { 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60 } };

// Any failure inside the pass.
struct PassFailed {};

void Check(HRESULT hr)
{
    if (FAILED(hr)) throw PassFailed();
}

// ANSI form of a BSTR; exact is false when a character has no form in the code page.
// No best fit: "COM¹" must not become a device name, nor "¦" a pipe.
std::string Narrow(BSTR s, bool& exact) { return NarrowExact(s, ::GetACP(), exact); }

// Reads an attribute that may be absent as text; false when it is absent.
bool OptionalTextAttribute(IXMLDOMElement* element, const wchar_t* name, std::string& value, bool& exact)
{
    Variant v;
    Bstr attr(name);
    Check(element->getAttribute(attr, &v));
    if (v.vt == VT_NULL || v.vt == VT_EMPTY) return false;
    if (v.vt != VT_BSTR) throw PassFailed();
    value = Narrow(v.bstrVal, exact);
    return true;
}

// Reads an attribute as text; an absent attribute ends the pass.
std::string TextAttribute(IXMLDOMElement* element, const wchar_t* name, bool& exact)
{
    std::string value;
    if (!OptionalTextAttribute(element, name, value, exact)) throw PassFailed();
    return value;
}

UINT32 SizeAttribute(IXMLDOMElement* element, const wchar_t* name)
{
    Variant v;
    Bstr attr(name);
    Check(element->getAttribute(attr, &v));
    if (v.vt == VT_NULL || v.vt == VT_EMPTY) throw PassFailed();
    Check(::VariantChangeType(&v, &v, 0, VT_UINT));
    return v.uintVal;
}

// A listed file that the updater may write, as the manifest gives it.
struct Listed {
    long number;  // 1 for the first entry of the manifest
    std::string name;
    std::string url;
    std::string md5;
    std::string sha256;
    bool hasSha256;
    UINT32 size;
    std::string chunksUrl;     // the file's chunk index, when it has one
    std::string chunksSha256;
};

// Passes given up on that have not ended yet (a plain counter: it must
// outlive every static object).
std::atomic<int> s_abandonedRunning{ 0 };

// What one pass found: the files to queue, in manifest order, and whether the
// whole list was read (only then is anything queued).
struct PassResult {
    std::vector<Listed> files;
    bool complete = false;
    bool hasSerial = false;  // a signed manifest's serial, to keep once the run finishes
    unsigned long long serial = 0;
};

// The pass runs on a thread of its own, so that a server that stops answering
// cannot hold the start-up past the time limit; a pass that is given up on
// keeps its own copy of everything it uses.
struct PassJob {
    std::string url;
    std::string exeDir;
    std::string tempDir;
    TempFolderPlace temp;
    std::string ownName;     // the updater's file name
    std::string sideName;    // where its own new executable goes
    PassResult result;
    // Given up on: nobody waits for the result, and no installed file may be read.
    enum : int { kRunning, kGivenUp, kEnded };
    std::atomic<int> state{ kRunning };
    bool hasLastSerial = false;
    bool serialUnreadable = false;
    unsigned long long lastSerial = 0;
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

// The document as msxml reads it from the bytes (it finds the encoding itself).
void Parse(const std::string& body, ComPtr<IXMLDOMDocument>& document)
{
    CLSID clsid;
    Check(::CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &clsid));
    Check(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIID_IXMLDOMDocument, document.as_void()));
    Check(document->put_async(VARIANT_FALSE));
    Check(document->put_validateOnParse(VARIANT_FALSE));
    Check(document->put_resolveExternals(VARIANT_FALSE));
    SAFEARRAY* bytes = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(body.size()));
    if (!bytes) throw PassFailed();
    Variant source;
    source.vt = VT_ARRAY | VT_UI1;
    source.parray = bytes;  // freed with the variant
    void* data = nullptr;
    Check(::SafeArrayAccessData(bytes, &data));
    std::memcpy(data, body.data(), body.size());
    ::SafeArrayUnaccessData(bytes);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    Check(document->load(source, &loaded));
    if (loaded != VARIANT_TRUE) {
        RunLog::Write("manifest unreadable: not a well-formed XML document");
        throw PassFailed();
    }
}

// Unreadable: nothing of the manifest is queued, whatever came before.
[[noreturn]] void Unreadable(PassResult& pass, const char* why)
{
    RunLog::Write("manifest unreadable: %s", why);
    pass.files.clear();
    throw PassFailed();
}

// Why an entry may not be written where it says; null when it may.
const char* UnsafeReason(const PassJob& job, const std::string& name, bool nameExact, const std::string& url,
                         bool urlExact)
{
    if (!nameExact) return "a character has no exact form in the code page";
    if (!urlExact) return "the URL has a character with no exact form in the code page";
    if (name.size() > kMaxNameBytes) return "the name is longer than 31 bytes";
    if (url.size() > kMaxUrlBytes) return "the URL is longer than 255 bytes";
    return UnsafeInstallName(name.c_str(), job.temp);
}

// Every entry of the list; unsafe ones are logged and passed over, and any
// entry that cannot be read ends the pass.
std::vector<Listed> ReadEntries(IXMLDOMNodeList* nodes, const PassJob& job, bool signedOnly, PassResult& pass)
{
    long length = 0;
    Check(nodes->get_length(&length));
    RunLog::Write("manifest: %ld entries", length);
    std::vector<Listed> entries;
    for (long i = 0; i < length; ++i) {
        ComPtr<IXMLDOMNode> node;
        Check(nodes->get_item(i, &node));
        if (!node.get()) throw PassFailed();
        ComPtr<IXMLDOMElement> element;
        Check(node->QueryInterface(kIID_IXMLDOMElement, element.as_void()));

        bool nameExact = true, urlExact = true, other = true;
        Listed entry{};
        entry.number = i + 1;
        entry.name = TextAttribute(element.get(), L"filename", nameExact);
        entry.size = SizeAttribute(element.get(), L"filesize");
        TextAttribute(element.get(), L"fileversion", other);
        entry.md5 = TextAttribute(element.get(), L"md5", other);
        entry.url = TextAttribute(element.get(), L"fileload", urlExact);
        entry.hasSha256 = OptionalTextAttribute(element.get(), L"sha256", entry.sha256, other);
        // A chunk index is an offer, never a need: one that cannot be read is not used.
        bool indexExact = true;
        if (!OptionalTextAttribute(element.get(), L"chunks", entry.chunksUrl, indexExact) ||
            !OptionalTextAttribute(element.get(), L"chunkssha256", entry.chunksSha256, indexExact) || !indexExact)
            entry.chunksUrl.clear();
        if (signedOnly && !entry.hasSha256) Unreadable(pass, "an entry has no sha256");

        // Entries that do not fit a task or could write outside our files are
        // passed over; the rest of the list still counts.
        if (const char* unsafe = UnsafeReason(job, entry.name, nameExact, entry.url, urlExact)) {
            RunLog::Write("entry %ld %s: skipped (unsafe name: %s)", entry.number, entry.name.c_str(), unsafe);
            continue;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// Entries that name one file for Windows are one entry: the last one listed
// wins. The updater's own executable and its side file are one file too,
// since both end up as the side file.
void DropDuplicates(std::vector<Listed>& entries, const PassJob& job)
{
    std::vector<std::wstring> keys;
    keys.reserve(entries.size());
    for (const Listed& e : entries)
        keys.push_back(WidenAnsi(SameWindowsName(e.name.c_str(), job.ownName.c_str()) ? job.sideName.c_str() : e.name.c_str()));
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return CompareWindowsNames(keys[a], keys[b]) < 0; });
    std::vector<bool> dropped(entries.size(), false);
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        const size_t here = order[i], next = order[i + 1];
        if (CompareWindowsNames(keys[here], keys[next]) != 0) continue;
        // Stable: within a group the manifest order holds, so the next one is listed later.
        dropped[here] = true;
        RunLog::Write("entry %ld %s: dropped (the same file as entry %ld %s, listed later)", entries[here].number,
                      entries[here].name.c_str(), entries[next].number, entries[next].name.c_str());
    }
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (dropped[i]) continue;
        if (kept != i) entries[kept] = std::move(entries[i]);
        ++kept;
    }
    entries.resize(kept);
}

// The entries whose installed copy is missing, differs or cannot be read.
std::vector<Listed> SelectChanged(std::vector<Listed>& entries, const PassJob& job, CDigestCache& cache)
{
    std::vector<Listed> queued;
    for (Listed& entry : entries) {
        const std::string local = job.exeDir + entry.name;
        // One look at the file serves both the test below and the cache's stamp.
        WIN32_FILE_ATTRIBUTE_DATA data{};
        const char* state = "queued (missing)";
        if (::GetFileAttributesExA(local.c_str(), GetFileExInfoStandard, &data)) {
            // Whatever else stands there cannot be replaced by a file.
            if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
                RunLog::Write("entry %s: a folder or device stands where the file is", entry.name.c_str());
                throw PassFailed();
            }
            try {
                const CString md5 = cache.Digest(entry.name, local.c_str(), &data);
                state = SameHexDigest(md5, entry.md5.c_str()) ? nullptr : "queued";
            } catch (const CFileException& e) {
                char text[512] = {};
                e.GetErrorMessage(text, sizeof(text) - 1);
                RunLog::Write("entry %s: the installed copy cannot be read: %s", entry.name.c_str(), text);
                state = "queued (unreadable)";
            }
        }
        RunLog::Write("entry %s: %s", entry.name.c_str(), state ? state : "up to date");
        if (state) queued.push_back(std::move(entry));
    }
    return queued;
}

PassResult ReadManifest(const PassJob& job)
{
    PassResult pass;
    const bool signedOnly = HasBuiltInPublicKey();
    try {
        std::string body = Download(job.url, job.responded.get());
        if (job.state.load() == PassJob::kGivenUp) throw PassFailed();  // nobody waits for the result any more
        if (body.size() > kManifestMaxBytes) Unreadable(pass, "larger than 16 MiB");
        if (signedOnly) {
            if (job.serialUnreadable) {
                const std::string why = "the serial of the last finished run cannot be read; delete " + job.tempDir +
                                        "\\manifest.serial to accept the site's current signed manifest";
                Unreadable(pass, why.c_str());
            }
            // Not one entry is read from a manifest that this build's key did not sign.
            std::size_t signedLength = 0;
            const std::string why = CheckManifestSignature(body, signedLength);
            if (!why.empty()) Unreadable(pass, why.c_str());
            body.resize(signedLength);
            RunLog::Write("manifest: signature verified");
        }
        // Decided before any XML parser sees them: a DTD can expand without bound.
        if (DeclaresDtd(body)) Unreadable(pass, "declares a DTD");
        ComPtr<IXMLDOMDocument> document;
        Parse(body, document);
        if (signedOnly) {
            // An older signed manifest must not take players back to an older release.
            ComPtr<IXMLDOMElement> root;
            Check(document->get_documentElement(&root));
            if (!root.get()) throw PassFailed();
            std::string text;
            std::uint64_t serial = 0;
            bool exact = true;  // a character outside the code page is no digit either
            if (OptionalTextAttribute(root.get(), L"serial", text, exact) && !ParseSerial(text, serial))
                Unreadable(pass, "its serial is not a number");
            if (job.hasLastSerial && serial < job.lastSerial) {
                RunLog::Write("manifest: serial %llu is lower than %llu, the serial of the last finished run",
                              static_cast<unsigned long long>(serial), job.lastSerial);
                Unreadable(pass, "it is older than the last manifest installed");
            }
            pass.hasSerial = true;
            pass.serial = serial;
        }
        ComPtr<IXMLDOMNodeList> nodes;
        Bstr path(L"/manifest/filelist/file");
        Check(document->selectNodes(path, &nodes));
        if (!nodes.get()) throw PassFailed();
        std::vector<Listed> entries = ReadEntries(nodes.get(), job, signedOnly, pass);
        DropDuplicates(entries, job);
        // Most starts find nothing to update: a file whose size, times and
        // identity are unchanged since its digest was taken is not read again.
        std::vector<std::string> names;
        names.reserve(entries.size());
        for (const Listed& e : entries) names.push_back(e.name);
        const std::uint64_t reverify = TestHooks::ReverifyBytes();
        CDigestCache cache(job.tempDir, names, reverify ? reverify : kReverifyBytes);
        pass.files = SelectChanged(entries, job, cache);
        pass.complete = true;
        cache.Commit();
    } catch (const PassFailed&) {
        // A pass that did not read the whole list queues nothing: no mixed updates.
        pass.files.clear();
        pass.complete = false;
        RunLog::Write("manifest: the pass stopped before the end of the list; nothing is queued");
    }
    return pass;
}

} // namespace

bool AbandonedManifestPassRunning() { return s_abandonedRunning.load() > 0; }

BOOL FetchManifest(const char* url, const CString& exeDir, CDownloadManager& manager, UINT32& totalSize,
                   DWORD timeoutMs)
{
    ::DeleteUrlCacheEntryA(url);
    RunLog::Write("manifest: GET %s", url);
    auto job = std::make_shared<PassJob>();
    job->url = url;
    job->exeDir = exeDir.str();
    job->tempDir = manager.GetTempDir().str();
    job->temp = PlaceTempFolder(job->exeDir.c_str(), manager.GetTempDir());
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    job->ownName = ::PathFindFileNameA(self);
    job->sideName = SideFileName(job->ownName);
    job->hasLastSerial = manager.LastSerial(job->lastSerial, job->serialUnreadable);
    if (!job->done || !job->responded) return FALSE;
    std::thread([job] {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        job->result = ReadManifest(*job);
        // Nothing of the manifest stays in the user's cache (each run has a new address).
        ::DeleteUrlCacheEntryA(job->url.c_str());
        ::CoUninitialize();
        ::SetEvent(job->responded.get());
        ::SetEvent(job->done.get());
        int running = PassJob::kRunning;
        if (!job->state.compare_exchange_strong(running, PassJob::kEnded)) --s_abandonedRunning;
    }).detach();
    // Only the network is given a limit; reading the list and digesting the
    // installed files take as long as they take.
    if (::WaitForSingleObject(job->responded.get(), timeoutMs) != WAIT_OBJECT_0) {
        // Left to end on its own, touching no installed file.
        int running = PassJob::kRunning;
        if (job->state.compare_exchange_strong(running, PassJob::kGivenUp)) ++s_abandonedRunning;
        RunLog::Write("manifest: no complete answer within %lu ms; nothing queued", timeoutMs);
        return FALSE;
    }
    ::WaitForSingleObject(job->done.get(), INFINITE);

    if (!job->result.complete) return FALSE;
    if (job->result.hasSerial) manager.SetManifestSerial(job->result.serial);
    for (const Listed& file : job->result.files) {
        totalSize += file.size;
        manager.AddTask(file.name.c_str(), file.url.c_str(), nullptr, file.size, file.md5.c_str(),
                        file.hasSha256 ? file.sha256.c_str() : nullptr,
                        file.chunksUrl.empty() ? nullptr : file.chunksUrl.c_str(), file.chunksSha256.c_str());
    }
    return job->result.files.empty() ? FALSE : TRUE;
}
