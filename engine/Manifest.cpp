#include "Manifest.h"
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>
#include <shlwapi.h>
#include <wininet.h>
#include <cstring>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "DownloadManager.h"
#include "Md5Digest.h"
#include "PathRules.h"
#include "SiteRules.h"
#include "afxcom.h"
#include "afxfile.h"
#include "afxhandle.h"
#include "afxinet.h"
#include "RunLog.h"
#include "Signature.h"
#include "SignedManifest.h"

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

std::wstring Widen(const char* s)
{
    int n = ::MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, s, -1, &w[0], n);
    w.resize(std::wcslen(w.c_str()));
    return w;
}

// ANSI form of a BSTR; exact is false when a character has no form in the code page.
std::string Narrow(BSTR s, bool& exact)
{
    // No best fit: "COM¹" must not become a device name, nor "¦" a pipe.
    BOOL usedDefault = FALSE;
    int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, s ? s : L"", -1, nullptr, 0, nullptr, &usedDefault);
    std::string a(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, s ? s : L"", -1, &a[0], n, nullptr, &usedDefault);
    a.resize(std::strlen(a.c_str()));
    exact = !usedDefault;
    return a;
}

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

bool IsLead(unsigned char c) { return ::IsDBCSLeadByte(c) != FALSE; }

struct Selected {
    std::string name;
    std::string url;
    std::string md5;
    std::string sha256;
    bool hasSha256;
    UINT32 size;
};

// A manifest past this size is not read at all.
const size_t kMaxManifestBytes = 16u * 1024 * 1024;

// What one pass found: the files to queue, in manifest order, and whether the
// whole list was read.
struct PassResult {
    std::vector<Selected> files;
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
    PassResult result;
    std::atomic<bool> abandoned{ false };
    bool hasLastSerial = false;
    unsigned long long lastSerial = 0;
    CScopedHandle responded{ ::CreateEventA(nullptr, TRUE, FALSE, nullptr) };  // the request has ended
    CScopedHandle done{ ::CreateEventA(nullptr, TRUE, FALSE, nullptr) };       // the whole pass has ended
};

// Why the raw bytes of a response cannot be a manifest we read; null when they can.
// Decided before any XML parser sees them: a DTD can expand without bound.
const char* UnreadableReason(const std::string& body)
{
    // "<!DOCTYPE" in any letter case, in single-byte text and in either UTF-16 order.
    static const char kDoctype[] = "<!doctype";
    const size_t n = sizeof(kDoctype) - 1;
    for (size_t step = 1; step <= 2; ++step) {
        for (size_t i = 0; i + (n - 1) * step < body.size(); ++i) {
            size_t k = 0;
            for (; k < n; ++k) {
                if (FoldAsciiCase(body[i + k * step]) != kDoctype[k]) break;
                if (step == 2 && k + 1 < n && body[i + k * step + 1] != '\0') break;
            }
            if (k == n) return "declares a DTD";
        }
    }
    return nullptr;
}

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
        while (body.size() <= kMaxManifestBytes) {
            const UINT n = http->Read(buffer, sizeof(buffer));
            if (n == 0) break;
            body.append(buffer, n);
        }
        ::SetEvent(responded);
        RunLog::Write("manifest: HTTP %lu, %s%lu bytes", status, body.size() > kMaxManifestBytes ? "more than " : "",
                      static_cast<unsigned long>(body.size() > kMaxManifestBytes ? kMaxManifestBytes : body.size()));
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
    Check(::CLSIDFromProgID(Widen("Msxml2.DOMDocument.3.0").c_str(), &clsid));
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

PassResult ReadManifest(const std::string& url, const std::string& exeDir, HANDLE responded,
                        const std::atomic<bool>& abandoned, bool hasLastSerial, unsigned long long lastSerial)
{
    PassResult pass;
    const bool signedOnly = HasBuiltInPublicKey();
    try {
        std::string body = Download(url, responded);
        if (abandoned) throw PassFailed();  // nobody waits for the result any more
        if (body.size() > kMaxManifestBytes) Unreadable(pass, "larger than 16 MiB");
        if (signedOnly) {
            // Not one entry is read from a manifest that this build's key did not sign.
            std::size_t signedLength = 0;
            const std::string why = CheckManifestSignature(body, signedLength);
            if (!why.empty()) Unreadable(pass, why.c_str());
            body.resize(signedLength);
            RunLog::Write("manifest: signature verified");
        }
        if (const char* why = UnreadableReason(body)) Unreadable(pass, why);
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
            if (hasLastSerial && serial < lastSerial) {
                RunLog::Write("manifest: serial %llu is lower than %llu, the serial of the last finished run",
                              static_cast<unsigned long long>(serial), lastSerial);
                Unreadable(pass, "it is older than the last manifest installed");
            }
            pass.hasSerial = true;
            pass.serial = serial;
        }
        ComPtr<IXMLDOMNodeList> files;
        Bstr path(L"/manifest/filelist/file");
        Check(document->selectNodes(path, &files));
        if (!files.get()) throw PassFailed();
        long length = 0;
        Check(files->get_length(&length));
        RunLog::Write("manifest: %ld entries", length);

        for (long i = 0; i < length; ++i) {
            ComPtr<IXMLDOMNode> node;
            Check(files->get_item(i, &node));
            if (!node.get()) throw PassFailed();
            ComPtr<IXMLDOMElement> element;
            Check(node->QueryInterface(kIID_IXMLDOMElement, element.as_void()));

            bool nameExact = true, urlExact = true, other = true;
            const std::string name = TextAttribute(element.get(), L"filename", nameExact);
            const UINT32 size = SizeAttribute(element.get(), L"filesize");
            TextAttribute(element.get(), L"fileversion", other);
            const std::string md5 = TextAttribute(element.get(), L"md5", other);
            const std::string load = TextAttribute(element.get(), L"fileload", urlExact);
            std::string sha256;
            const bool hasSha256 = OptionalTextAttribute(element.get(), L"sha256", sha256, other);
            if (signedOnly && !hasSha256) Unreadable(pass, "an entry has no sha256");

            // Entries that do not fit a task or could write outside our
            // folders are passed over; the rest of the list still counts.
            const char* unsafe = nullptr;
            if (!nameExact) unsafe = "a character has no exact form in the code page";
            else if (!urlExact) unsafe = "the URL has a character with no exact form in the code page";
            else if (name.size() > kMaxNameBytes) unsafe = "the name is longer than 31 bytes";
            else if (load.size() > kMaxUrlBytes) unsafe = "the URL is longer than 255 bytes";
            else {
                const NameFault fault = CheckRelativeName(name.c_str(), &IsLead);
                if (fault != NameFault::None) unsafe = DescribeNameFault(fault);
            }
            if (unsafe) {
                RunLog::Write("entry %ld %s: skipped (unsafe name: %s)", i + 1, name.c_str(), unsafe);
                continue;
            }

            const CString local = CString(exeDir) + name.c_str();
            const DWORD attributes = ::GetFileAttributesA(local);
            bool selected = attributes == INVALID_FILE_ATTRIBUTES;
            if (!selected) {
                // Only regular files are digested; whatever else stands there
                // cannot be read as the file.
                if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
                    RunLog::Write("entry %s: a folder or device stands where the file is", name.c_str());
                    throw PassFailed();
                }
                try {
                    selected = CMd5Digest::HashFilePath(local) != md5.c_str();
                } catch (const CFileException& e) {
                    char text[512] = {};
                    e.GetErrorMessage(text, sizeof(text) - 1);
                    RunLog::Write("entry %s: the installed copy cannot be read: %s", name.c_str(), text);
                    throw PassFailed();
                }
            }
            RunLog::Write("entry %s: %s", name.c_str(), selected ? "queued" : "up to date");
            if (selected) pass.files.push_back({ name, load, md5, sha256, hasSha256, size });
        }
        pass.complete = true;
    } catch (const PassFailed&) {
        pass.complete = false;
    }
    return pass;
}
} // namespace

BOOL FetchManifest(const char* url, const CString& exeDir, CDownloadManager& manager, UINT32& totalSize,
                   DWORD timeoutMs)
{
    ::DeleteUrlCacheEntryA(url);
    RunLog::Write("manifest: GET %s", url);
    auto job = std::make_shared<PassJob>();
    job->url = url;
    job->exeDir = exeDir.str();
    job->hasLastSerial = manager.LastSerial(job->lastSerial);
    if (!job->done || !job->responded) return FALSE;
    std::thread([job] {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        job->result = ReadManifest(job->url, job->exeDir, job->responded.get(), job->abandoned, job->hasLastSerial,
                                   job->lastSerial);
        // Nothing of the manifest stays in the user's cache (each run has a new address).
        ::DeleteUrlCacheEntryA(job->url.c_str());
        ::CoUninitialize();
        ::SetEvent(job->responded.get());
        ::SetEvent(job->done.get());
    }).detach();
    // Only the network is given a limit; reading the list and digesting the
    // installed files take as long as they take.
    if (::WaitForSingleObject(job->responded.get(), timeoutMs) != WAIT_OBJECT_0) {
        job->abandoned = true;  // left to end on its own, touching no installed file
        RunLog::Write("manifest: no complete answer within %lu ms; nothing queued", timeoutMs);
        return FALSE;
    }
    ::WaitForSingleObject(job->done.get(), INFINITE);

    // Files found before a failing element stay queued, with their sizes.
    if (job->result.complete && job->result.hasSerial) manager.SetManifestSerial(job->result.serial);
    for (const Selected& file : job->result.files) {
        totalSize += file.size;
        manager.AddTask(file.name.c_str(), file.url.c_str(), nullptr, file.md5.c_str(),
                        file.hasSha256 ? file.sha256.c_str() : nullptr);
    }
    return job->result.complete && !job->result.files.empty() ? TRUE : FALSE;
}
