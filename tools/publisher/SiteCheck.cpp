#include "SiteCheck.h"
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>
#include "Crypto.h"
#include "FileCheck.h"
#include "HttpClient.h"
#include "Naming.h"
#include "rules/PathRules.h"
#include "Progress.h"
#include "Publisher.h"
#include "rules/SignedManifest.h"
#include "rules/SiteRules.h"

namespace fs = std::filesystem;

namespace {

struct DocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;
struct XmlCharDeleter {
    void operator()(xmlChar* p) const { xmlFree(p); }
};
using XmlText = std::unique_ptr<xmlChar, XmlCharDeleter>;


// Every problem is one line: what, where, what was expected, what was served.
class Report {
public:
    Report(std::ostream& out, ProgressBar& bar) : m_out(out), m_bar(bar) {}
    void Problem(const std::string& file, const std::string& url, const std::string& expected,
                 const std::string& served)
    {
        m_bar.Clear();
        m_out << "PROBLEM  " << file << "  " << url << "  expected " << expected << "; served " << served << "\n"
              << std::flush;
        ++m_count;
    }
    int Count() const { return m_count; }

private:
    std::ostream& m_out;
    ProgressBar& m_bar;
    int m_count = 0;
};

// How problems with the manifest itself name it.
const char kManifestLabel[] = "update.xml";
// Connections --check keeps to the site, as the updater does.
const std::size_t kCheckConnections = 8;


std::optional<std::string> Attribute(xmlNode* node, const char* name)
{
    XmlText value(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)));
    if (!value) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

bool IsElement(xmlNode* n, const char* name)
{
    return n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The size as the updater reads it: a whole number that fits 32 bits.
bool ParseSize(const std::string& text, std::uint32_t& size)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::uint64_t v = std::stoull(text);
    if (v > 0xFFFFFFFFull) return false;
    size = static_cast<std::uint32_t>(v);
    return true;
}

// Why the updater passes over this entry (decision: it never writes outside
// its folders); empty when it takes it.
std::string SkipReason(const Entry& e)
{
    const auto name = ToCodePage936(e.filename);
    if (!name) return "the name has a character with no exact form in code page 936";
    const auto url = ToCodePage936(e.fileload);
    if (!url) return "the URL has a character with no exact form in code page 936";
    if (name->size() > kMaxNameBytes) return "the name is longer than 31 bytes in code page 936";
    if (url->size() > kMaxUrlBytes) return "the URL is longer than 255 bytes";
    const NameFault fault = CheckRelativeName(name->c_str(), &IsLeadByte936);
    if (fault != NameFault::None) return std::string("unsafe name: ") + DescribeNameFault(fault);
    return std::string();
}


class SiteChecker {
public:
    SiteChecker(const CheckOptions& options, HttpClient& http, const VerifyingKey* key, std::ostream& out)
        : m_options(options), m_http(http), m_key(key), m_out(out), m_bar(out, options.progressBar),
          m_report(out, m_bar)
    {
    }

    int Run()
    {
        std::mt19937 random(std::random_device{}());
        // The updater's address: the site with its scheme, "/update/update.xml?=" and a number.
        m_manifestUrl = ManifestBaseUrlFor(m_options.baseUrl) + "update.xml?=" +
                        std::to_string(std::uniform_int_distribution<int>(0, 32767)(random));
        std::vector<Entry> entries;
        if (ReadManifest(entries)) {
            std::uint64_t total = 0;
            for (const Entry& e : entries) total += e.size;
            m_out << "Checking " << entries.size() << " files (" << HumanSize(total) << ") listed by " << m_manifestUrl
                  << "\n" << std::flush;
            CheckFiles(entries, total);
            m_bar.Clear();
            SayRanges();
            if (!m_options.release.empty()) CompareWithRelease(entries);
            m_out << "Checked " << entries.size() << " files (" << HumanSize(total) << ")";
            if (m_chunkIndexes) m_out << " and " << m_chunkIndexes << " chunk indexes";
            m_out << " of " << SiteUrlWithScheme(m_options.baseUrl);
            if (!m_options.release.empty()) m_out << " against the release " << m_options.release.u8string();
        } else {
            m_out << "The updater would read no file list from " << SiteUrlWithScheme(m_options.baseUrl);
        }
        if (m_report.Count() == 0) {
            m_out << ": all good\n";
            return kSiteGood;
        }
        m_out << ": " << m_report.Count() << " problem(s)\n";
        return kSiteProblems;
    }

private:
    // The manifest as the updater reads it; false when it would read no list.
    bool ReadManifest(std::vector<Entry>& entries)
    {
        std::string body, signedState;
        if (!FetchManifest(body) || !CheckSignature(body, signedState)) return false;
        DocPtr doc;
        xmlNode* root = ParseManifest(body, doc);
        if (!root || !CheckSerial(root, body.size(), signedState)) return false;
        return ReadEntries(root, entries);
    }

    // The manifest's bytes, at most what the updater reads.
    bool FetchManifest(std::string& body)
    {
        bool tooLarge = false;
        const HttpResponse r = m_http.Get(m_manifestUrl, [&](const char* data, std::size_t n) {
            if (body.size() + n > kManifestMaxBytes) {
                tooLarge = true;
                return false;
            }
            body.append(data, n);
            return true;
        });
        if (tooLarge) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "at most " + std::to_string(kManifestMaxBytes >> 20) + " MiB",
                             "more (the updater does not read it)");
            return false;
        }
        if (!r.transferred) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "the manifest", "no complete answer (" + r.error + ")");
            return false;
        }
        if (r.status != 200) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "HTTP 200", "HTTP " + std::to_string(r.status));
            return false;
        }
        return true;
    }

    // With a key, the signature must verify (body is then cut to the signed
    // text); without one, the state is only told.
    bool CheckSignature(std::string& body, std::string& signedState)
    {
        signedState = "not signed";
        std::size_t signedLength = 0;
        std::vector<unsigned char> signature;
        const SignatureFault fault = SplitSignedManifest(body, signedLength, signature);
        if (!m_key) {
            if (fault == SignatureFault::None) signedState = "signed (not checked: give --key)";
            return true;
        }
        const std::string expected = "a manifest signed with " + m_options.publicKey.u8string();
        if (fault != SignatureFault::None) {
            m_report.Problem(kManifestLabel, m_manifestUrl, expected, std::string("one where ") + DescribeSignatureFault(fault));
            return false;
        }
        if (!m_key->Verifies(body.substr(0, signedLength), signature.data())) {
            m_report.Problem(kManifestLabel, m_manifestUrl, expected, "one signed by another key or altered after signing");
            return false;
        }
        body.resize(signedLength);
        signedState = "signature verified";
        return true;
    }

    // The <manifest> element of a document without a DTD; null when there is none.
    xmlNode* ParseManifest(const std::string& body, DocPtr& doc)
    {
        if (DeclaresDtd(body)) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "no DTD", "a manifest that declares one (the updater does not read it)");
            return nullptr;
        }
        doc.reset(xmlReadMemory(body.data(), static_cast<int>(body.size()), "update.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
        xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
        if (!root) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "a well-formed XML document", "something else");
            return nullptr;
        }
        if (!IsElement(root, "manifest")) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "a <manifest> element",
                             "<" + std::string(reinterpret_cast<const char*>(root->name)) + ">");
            return nullptr;
        }
        return root;
    }

    // A signing updater reads no manifest whose serial is not a number; any
    // updater of ours can be told a lowest serial.
    bool CheckSerial(xmlNode* root, std::size_t bytes, const std::string& signedState)
    {
        std::uint64_t serial = 0;
        const auto serialText = Attribute(root, "serial");
        if (serialText && !ParseSerial(*serialText, serial) && m_key) {
            m_report.Problem(kManifestLabel, m_manifestUrl, "a serial that is a number", "\"" + *serialText + "\"");
            return false;
        }
        m_out << "Manifest " << m_manifestUrl << ": " << bytes << " bytes, serial "
              << (serialText ? *serialText : std::string("(none)")) << ", " << signedState << "\n";
        if (m_options.minSerial && serial < *m_options.minSerial)
            m_report.Problem(kManifestLabel, m_manifestUrl, "serial " + std::to_string(*m_options.minSerial) + " or higher",
                             "serial " + std::to_string(serial) + " (an older manifest)");
        return true;
    }

    bool ReadEntries(xmlNode* root, std::vector<Entry>& entries)
    {
        int index = 0;
        std::map<std::string, std::string> names;  // folded name -> first name
        for (xmlNode* list = root->children; list; list = list->next) {
            if (!IsElement(list, "filelist")) continue;
            for (xmlNode* node = list->children; node; node = node->next) {
                if (!IsElement(node, "file")) continue;
                Entry e;
                e.index = ++index;
                const std::string label = "entry " + std::to_string(index);
                const char* required[] = { "filename", "filesize", "fileversion", "md5", "fileload" };
                std::string* fields[] = { &e.filename, &e.filesize, &e.fileversion, &e.md5, &e.fileload };
                for (std::size_t k = 0; k < 5; ++k) {
                    const auto value = Attribute(node, required[k]);
                    if (!value) {
                        // The updater stops reading the list at such an entry.
                        m_report.Problem(e.filename.empty() ? label : e.filename, m_manifestUrl,
                                         std::string("a ") + required[k] + " attribute",
                                         "none (the updater reads no entry after this one)");
                        return true;
                    }
                    *fields[k] = *value;
                }
                if (!ParseSize(e.filesize, e.size)) {
                    m_report.Problem(e.filename, m_manifestUrl, "a filesize from 0 to 4294967295",
                                     "\"" + e.filesize + "\" (the updater reads no entry after this one)");
                    return true;
                }
                e.sha256 = Attribute(node, "sha256");
                e.chunks = Attribute(node, "chunks");
                e.chunksSha256 = Attribute(node, "chunkssha256");
                e.chunksHead = Attribute(node, "chunkshead");
                if (m_key && !e.sha256) {
                    m_report.Problem(e.filename, m_manifestUrl, "a sha256 attribute in a signed manifest",
                                     "none (the updater reads nothing of this manifest)");
                    entries.clear();
                    return false;
                }
                const std::string skip = SkipReason(e);
                if (!skip.empty()) {
                    m_report.Problem(e.filename, e.fileload, "an entry the updater takes",
                                     "one it skips (" + skip + ")");
                    continue;
                }
                const auto [it, fresh] = names.emplace(OneFileKey(e.filename), e.filename);
                if (!fresh)
                    m_report.Problem(e.filename, m_manifestUrl, "one entry per file",
                                     "another for \"" + it->second + "\" (Windows takes them for one file; the updater keeps the last)");
                entries.push_back(std::move(e));
            }
        }
        return true;
    }

    // The listed files on a pool of connections (each its own client, reused
    // from file to file), so that a distant site costs its bytes more than
    // its round trips. Problems are told in the manifest's order, as each
    // file and those before it are done.
    void CheckFiles(const std::vector<Entry>& entries, std::uint64_t total)
    {
        Pool pool(entries, total);
        pool.results.resize(entries.size());
        // The manifest's client is the first; a client that cannot be made only narrows the pool.
        std::vector<HttpClient*> clients{ &m_http };
        std::vector<std::unique_ptr<HttpClient>> more;
        std::string error;
        while (clients.size() < std::min<std::size_t>(kCheckConnections, entries.size())) {
            auto client = HttpClient::Create(m_options.caFile, error);
            if (!client) break;
            clients.push_back(client.get());
            more.push_back(std::move(client));
        }
        std::vector<std::thread> workers;
        for (HttpClient* http : clients) workers.emplace_back([this, &pool, http] { CheckOnPool(pool, *http); });
        for (std::thread& worker : workers) worker.join();
    }

    void SayRanges()
    {
        if (m_rangesAsked == 0) return;
        m_out << "Single ranges: ";
        if (m_rangesAnswered == m_rangesAsked)
            m_out << "the server answers them (" << m_rangesAsked << " of " << m_rangesAsked
                  << " asked): patches fetch what changed\n";
        else if (!m_rangeIgnoredAt.empty())
            m_out << "the server ignores them (HTTP 200 and the whole file for " << m_rangeIgnoredAt
                  << "): the updater fetches changed files whole\n";
        else
            m_out << m_rangesAnswered << " of " << m_rangesAsked << " answered as asked (the others are above)\n";
    }

    void CompareWithRelease(const std::vector<Entry>& entries)
    {
        PublishOptions scan;
        scan.release = m_options.release;
        scan.baseUrl = m_options.baseUrl;
        scan.quiet = true;
        std::ostringstream ignored;
        m_out << "Reading the release " << m_options.release.u8string() << "\n" << std::flush;
        const ScanResult release = ScanRelease(scan, ignored);
        for (const Refusal& r : release.refusals)
            m_report.Problem(r.file, m_options.release.u8string(), "a file the publisher takes", r.reason);
        std::map<std::string, const Entry*> listed;
        for (const Entry& e : entries) listed[e.filename] = &e;
        for (const ReleaseFile& f : release.files) {
            const auto it = listed.find(f.manifestName);
            if (it == listed.end()) {
                m_report.Problem(f.manifestName, m_manifestUrl, "an entry (the file is in the release)", "none");
                continue;
            }
            const Entry& e = *it->second;
            listed.erase(it);
            std::string expected, served;
            if (e.size != f.size) {
                expected = std::to_string(f.size) + " bytes";
                served = std::to_string(e.size) + " bytes";
            } else if (!EqualHex(e.md5, f.md5)) {
                expected = "MD5 " + f.md5;
                served = "MD5 " + e.md5;
            } else if (e.sha256 && !EqualHex(*e.sha256, f.sha256)) {
                expected = "SHA-256 " + f.sha256;
                served = "SHA-256 " + *e.sha256;
            }
            if (!expected.empty())
                m_report.Problem(f.manifestName, m_manifestUrl, expected + " (the release's)",
                                 served + " (the manifest's entry: another release)");
        }
        for (const auto& [name, e] : listed)
            m_report.Problem(name, m_manifestUrl, "no entry (the release has no such file)", "an entry");
    }

    // The files being checked on the pool, and what the workers share.
    struct Pool {
        Pool(const std::vector<Entry>& files, std::uint64_t bytes) : entries(files), total(bytes) {}
        const std::vector<Entry>& entries;
        std::uint64_t total;
        std::atomic<std::size_t> next{ 0 };
        std::mutex lock;  // what follows, the bar and the report
        std::vector<std::optional<FileCheckResult>> results;  // done, not yet told
        std::size_t told = 0;
        std::uint64_t bytes = 0;
    };

    void CheckOnPool(Pool& pool, HttpClient& http)
    {
        for (std::size_t i; (i = pool.next++) < pool.entries.size();) {
            auto onBytes = [&](std::uint64_t n) {
                std::lock_guard<std::mutex> hold(pool.lock);
                pool.bytes += n;
                ShowProgress(pool);
            };
            FileCheckResult result = CheckListedFile(http, pool.entries[i], onBytes);
            std::lock_guard<std::mutex> hold(pool.lock);
            pool.results[i] = std::move(result);
            while (pool.told < pool.entries.size() && pool.results[pool.told]) {
                std::optional<FileCheckResult> done;
                done.swap(pool.results[pool.told]);
                Finished(pool, std::move(*done));
            }
            ShowProgress(pool);
        }
    }

    // Tells the next file's problems and counts what it asked.
    void Finished(Pool& pool, FileCheckResult result)
    {
        for (const FoundProblem& p : result.problems) m_report.Problem(p.file, p.url, p.expected, p.served);
        if (result.hadChunkIndex) ++m_chunkIndexes;
        m_rangesAsked += result.rangesAsked;
        m_rangesAnswered += result.rangesAnswered;
        if (m_rangeIgnoredAt.empty()) m_rangeIgnoredAt = result.rangeIgnoredAt;
        ++pool.told;
    }

    // Files done and bytes received; the name is the earliest file not done.
    void ShowProgress(const Pool& pool)
    {
        const std::size_t count = pool.entries.size();
        m_bar.Show(pool.bytes, pool.total,
                   std::to_string(pool.told) + "/" + std::to_string(count) + " files  " + HumanSize(pool.bytes) +
                       " of " + HumanSize(pool.total) +
                       (pool.told < count ? "  " + pool.entries[pool.told].filename : std::string()));
    }

    const CheckOptions& m_options;
    HttpClient& m_http;
    const VerifyingKey* m_key;
    std::ostream& m_out;
    ProgressBar m_bar;
    Report m_report;
    std::string m_manifestUrl;
    int m_chunkIndexes = 0;
    int m_rangesAsked = 0, m_rangesAnswered = 0;
    std::string m_rangeIgnoredAt;  // the first URL whose range was answered with the whole file
};

} // namespace

int CheckSite(const CheckOptions& options, std::ostream& out, std::ostream& err)
{
    if (options.baseUrl.empty() || options.baseUrl.find_first_of(" \t\r\n\"<>") != std::string::npos) {
        err << "updater-publish: BASE_URL must be a URL without spaces or quotes (got \"" << options.baseUrl << "\")\n";
        return kCheckUsage;
    }
    std::error_code ec;
    if (!options.caFile.empty() && !fs::is_regular_file(options.caFile, ec)) {
        err << "updater-publish: --cacert " << options.caFile.u8string() << ": no such file\n";
        return kCheckUsage;
    }
    if (!options.release.empty() && !fs::is_directory(options.release, ec)) {
        err << "updater-publish: RELEASE_DIR " << options.release.u8string() << " is not a folder\n";
        return kCheckUsage;
    }
    std::unique_ptr<VerifyingKey> key;
    if (!options.publicKey.empty()) {
        std::string why;
        if (!(key = VerifyingKey::Load(options.publicKey, why))) {
            err << "updater-publish: --key " << options.publicKey.u8string() << ": " << why << "\n";
            return kCheckUsage;
        }
    }
    std::string why;
    const auto http = HttpClient::Create(options.caFile, why);
    if (!http) {
        err << "updater-publish: " << why << "\n";
        return kCheckUsage;
    }
    return SiteChecker(options, *http, key.get(), out).Run();
}
