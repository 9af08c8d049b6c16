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
#include "afxfile.h"

namespace {
// MinGW's import libraries lack some of these.
const IID kIID_IXMLHTTPRequest = { 0xED8C108D, 0x4349, 0x11D2, { 0x91, 0xA4, 0x00, 0xC0, 0x4F, 0x79, 0x69, 0xE8 } };
const IID kIID_IXMLDOMDocument = { 0x2933BF81, 0x7B36, 0x11D2, { 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60 } };
const IID kIID_IXMLDOMElement = { 0x2933BF86, 0x7B36, 0x11D2, { 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60 } };

// Owns one reference to a COM interface.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { if (m_p) m_p->Release(); }
    T** operator&() { return &m_p; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    void** as_void() { return reinterpret_cast<void**>(&m_p); }
private:
    T* m_p = nullptr;
};

class Bstr {
public:
    explicit Bstr(const wchar_t* s) : m_b(::SysAllocString(s)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { ::SysFreeString(m_b); }
    operator BSTR() const { return m_b; }
private:
    BSTR m_b;
};

struct Variant : VARIANT {
    Variant() { ::VariantInit(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { ::VariantClear(this); }
};

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
    BOOL usedDefault = FALSE;
    int n = ::WideCharToMultiByte(CP_ACP, 0, s ? s : L"", -1, nullptr, 0, nullptr, &usedDefault);
    std::string a(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) ::WideCharToMultiByte(CP_ACP, 0, s ? s : L"", -1, &a[0], n, nullptr, &usedDefault);
    a.resize(std::strlen(a.c_str()));
    exact = !usedDefault;
    return a;
}

// Reads an attribute as text; an absent attribute ends the pass.
std::string TextAttribute(IXMLDOMElement* element, const wchar_t* name, bool& exact)
{
    Variant v;
    Bstr attr(name);
    Check(element->getAttribute(attr, &v));
    if (v.vt != VT_BSTR) throw PassFailed();
    return Narrow(v.bstrVal, exact);
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
    UINT32 size;
};

// What one pass found: the files to queue, in manifest order, and whether the
// whole list was read.
struct PassResult {
    std::vector<Selected> files;
    bool complete = false;
};



// The pass runs on a thread of its own, so that a server that stops answering
// cannot hold the start-up past the time limit; a pass that is given up on
// keeps its own copy of everything it uses.
struct PassJob {
    std::string url;
    std::string exeDir;
    PassResult result;
    std::atomic<bool> abandoned{ false };
    HANDLE responded = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);  // the request has ended
    HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);       // the whole pass has ended
    ~PassJob()
    {
        if (responded) ::CloseHandle(responded);
        if (done) ::CloseHandle(done);
    }
};

PassResult ReadManifest(const std::string& url, const std::string& exeDir, HANDLE responded,
                        const std::atomic<bool>& abandoned)
{
    PassResult pass;
    try {
        CLSID clsid;
        Check(::CLSIDFromProgID(Widen("Msxml2.XMLHTTP.3.0").c_str(), &clsid));
        ComPtr<IXMLHTTPRequest> request;
        Check(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER |
                                 CLSCTX_REMOTE_SERVER, kIID_IXMLHTTPRequest, request.as_void()));
        Variant async, absent1, absent2, absent3;
        async.vt = VT_BOOL;
        async.boolVal = VARIANT_FALSE;
        for (Variant* v : { &absent1, &absent2, &absent3 }) {
            v->vt = VT_ERROR;
            v->scode = DISP_E_PARAMNOTFOUND;
        }
        Bstr method(L"GET");
        Bstr target(Widen(url.c_str()).c_str());
        Check(request->open(method, target, async, absent1, absent2));
        const HRESULT sent = request->send(absent3);
        ::SetEvent(responded);
        Check(sent);
        if (abandoned) throw PassFailed();  // nobody waits for the result any more
        long status = 0;
        Check(request->get_status(&status));
        if (status != 200) throw PassFailed();

        ComPtr<IDispatch> response;
        Check(request->get_responseXML(&response));
        if (!response.get()) throw PassFailed();
        ComPtr<IXMLDOMDocument> document;
        Check(response->QueryInterface(kIID_IXMLDOMDocument, document.as_void()));
        ComPtr<IXMLDOMNodeList> files;
        Bstr path(L"/manifest/filelist/file");
        Check(document->selectNodes(path, &files));
        if (!files.get()) throw PassFailed();
        long length = 0;
        Check(files->get_length(&length));

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

            // Entries that do not fit a task or could write outside our
            // folders are passed over; the rest of the list still counts.
            if (!nameExact || !urlExact || name.size() >= sizeof(DownloadTask::szName) ||
                load.size() >= sizeof(DownloadTask::szUrl) || !IsSafeRelativeName(name.c_str(), &IsLead))
                continue;

            const CString local = CString(exeDir) + name.c_str();
            bool selected = !::PathFileExistsA(local);
            if (!selected) {
                try {
                    selected = CMd5Digest::HashFilePath(local) != md5.c_str();
                } catch (const CFileException&) {
                    throw PassFailed();
                }
            }
            if (selected) pass.files.push_back({ name, load, size });
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
    auto job = std::make_shared<PassJob>();
    job->url = url;
    job->exeDir = exeDir.str();
    if (!job->done || !job->responded) return FALSE;
    std::thread([job] {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        job->result = ReadManifest(job->url, job->exeDir, job->responded, job->abandoned);
        ::CoUninitialize();
        ::SetEvent(job->responded);
        ::SetEvent(job->done);
    }).detach();
    // Only the network is given a limit; reading the list and digesting the
    // installed files take as long as they take.
    if (::WaitForSingleObject(job->responded, timeoutMs) != WAIT_OBJECT_0) {
        job->abandoned = true;  // left to end on its own, touching no installed file
        return FALSE;
    }
    ::WaitForSingleObject(job->done, INFINITE);

    // Files found before a failing element stay queued, with their sizes.
    for (const Selected& file : job->result.files) {
        totalSize += file.size;
        manager.AddTask(file.name.c_str(), file.url.c_str(), nullptr);
    }
    return job->result.complete && !job->result.files.empty() ? TRUE : FALSE;
}
