// Reading the manifest's XML with msxml3: the document, its serial and its
// list of files.
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>
#include <cstring>
#include "afxcom.h"
#include "manifest/PassSteps.h"
#include "rules/SignedManifest.h"
#include "rules/SiteRules.h"
#include "support/RunLog.h"

namespace {
// MinGW's import libraries lack some of these.
const IID kIID_IXMLDOMDocument = { 0x2933BF81, 0x7B36, 0x11D2, { 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60 } };
const IID kIID_IXMLDOMElement = { 0x2933BF86, 0x7B36, 0x11D2, { 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60 } };

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

// Why an entry may not be written where it says; null when it may.
const char* UnsafeReason(const PassContext& context, const std::string& name, bool nameExact, const std::string& url,
                         bool urlExact)
{
    if (!nameExact) return "a character has no exact form in the code page";
    if (!urlExact) return "the URL has a character with no exact form in the code page";
    if (name.size() > kMaxNameBytes) return "the name is longer than 31 bytes";
    if (url.size() > kMaxUrlBytes) return "the URL is longer than 255 bytes";
    return UnsafeInstallName(name.c_str(), context.temp);
}

// One entry's attributes; the name's and URL's exactness for the safety test.
ListedFile ReadEntry(IXMLDOMElement* element, long number, bool& nameExact, bool& urlExact)
{
    bool otherExact = true;
    ListedFile entry;
    entry.number = number;
    entry.name = TextAttribute(element, L"filename", nameExact);
    entry.size = SizeAttribute(element, L"filesize");
    TextAttribute(element, L"fileversion", otherExact);
    entry.md5 = TextAttribute(element, L"md5", otherExact);
    entry.url = TextAttribute(element, L"fileload", urlExact);
    entry.hasSha256 = OptionalTextAttribute(element, L"sha256", entry.sha256, otherExact);
    // A chunk index is an offer, never a need: one that cannot be read is not used.
    bool indexExact = true;
    if (!OptionalTextAttribute(element, L"chunks", entry.chunksUrl, indexExact) ||
        !OptionalTextAttribute(element, L"chunkssha256", entry.chunksSha256, indexExact) || !indexExact)
        entry.chunksUrl.clear();
    // The head's length only makes the first request exact: one that is not a number is not used.
    std::string head;
    if (!OptionalTextAttribute(element, L"chunkshead", head, indexExact) || !ParseSerial(head, entry.chunksHead))
        entry.chunksHead = 0;
    return entry;
}

ComPtr<IXMLDOMElement> ElementAt(IXMLDOMNodeList* nodes, long i)
{
    ComPtr<IXMLDOMNode> node;
    Check(nodes->get_item(i, &node));
    if (!node.get()) throw PassFailed();
    ComPtr<IXMLDOMElement> element;
    Check(node->QueryInterface(kIID_IXMLDOMElement, element.as_void()));
    return element;
}
} // namespace

void Unreadable(const char* why)
{
    RunLog::Write("manifest unreadable: %s", why);
    throw PassFailed();
}

namespace {
void ParseDocument(const std::string& body, std::size_t length, ComPtr<IXMLDOMDocument>& document)
{
    CLSID clsid;
    Check(::CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &clsid));
    Check(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIID_IXMLDOMDocument, document.as_void()));
    Check(document->put_async(VARIANT_FALSE));
    Check(document->put_validateOnParse(VARIANT_FALSE));
    Check(document->put_resolveExternals(VARIANT_FALSE));
    if (length > body.size()) throw PassFailed();
    SAFEARRAY* bytes = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length));
    if (!bytes) throw PassFailed();
    Variant source;
    source.vt = VT_ARRAY | VT_UI1;
    source.parray = bytes;  // freed with the variant
    void* data = nullptr;
    Check(::SafeArrayAccessData(bytes, &data));
    std::memcpy(data, body.data(), length);
    ::SafeArrayUnaccessData(bytes);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    Check(document->load(source, &loaded));
    if (loaded != VARIANT_TRUE) Unreadable("not a well-formed XML document");
}

std::uint64_t ReadSerialAttribute(IXMLDOMDocument* document)
{
    ComPtr<IXMLDOMElement> root;
    Check(document->get_documentElement(&root));
    if (!root.get()) throw PassFailed();
    std::string text;
    std::uint64_t serial = 0;
    bool exact = true;  // a character outside the code page is no digit either
    if (OptionalTextAttribute(root.get(), L"serial", text, exact) && !ParseSerial(text, serial))
        Unreadable("its serial is not a number");
    return serial;
}

std::vector<ManifestEntry> ReadEntries(IXMLDOMDocument* document)
{
    ComPtr<IXMLDOMNodeList> nodes;
    Bstr path(L"/manifest/filelist/file");
    Check(document->selectNodes(path, &nodes));
    if (!nodes.get()) throw PassFailed();
    long length = 0;
    Check(nodes->get_length(&length));
    std::vector<ManifestEntry> entries(static_cast<std::size_t>(length));
    for (long i = 0; i < length; ++i) {
        ManifestEntry& e = entries[static_cast<std::size_t>(i)];
        e.file = ReadEntry(ElementAt(nodes.get(), i).get(), i + 1, e.nameExact, e.urlExact);
    }
    return entries;
}
} // namespace

ReadAs ReadAsNow(const PassContext& context) { return { ::GetACP(), context.signedOnly }; }

ManifestContent ReadManifestXml(const std::string& body, std::size_t length, const ReadAs& readAs)
{
    ComPtr<IXMLDOMDocument> document;
    ParseDocument(body, length, document);
    ManifestContent content;
    content.readAs = readAs;
    if (readAs.serialRead) content.serial = ReadSerialAttribute(document.get());
    content.entries = ReadEntries(document.get());
    return content;
}

std::vector<ListedFile> SafeEntries(std::vector<ManifestEntry>&& entries, const PassContext& context)
{
    RunLog::Write("manifest: %lu entries", static_cast<unsigned long>(entries.size()));
    std::vector<ListedFile> safe;
    safe.reserve(entries.size());
    for (ManifestEntry& e : entries) {
        ListedFile& entry = e.file;
        if (context.signedOnly && !entry.hasSha256) Unreadable("an entry has no sha256");
        // Entries that do not fit a task or could write outside our files are
        // passed over; the rest of the list still counts.
        if (const char* unsafe = UnsafeReason(context, entry.name, e.nameExact, entry.url, e.urlExact)) {
            RunLog::Write("entry %ld %s: skipped (unsafe name: %s)", entry.number, entry.name.c_str(), unsafe);
            continue;
        }
        safe.push_back(std::move(entry));
    }
    return safe;
}
