#include "Publisher.h"
#include <algorithm>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <system_error>
#include "rules/LevelledIndex.h"
#include "Crypto.h"
#include "Md5Digest.h"
#include "Naming.h"
#include "rules/PathRules.h"
#include "PeVersion.h"
#include "Progress.h"
#include "rules/SignedManifest.h"
#include "SiteFiles.h"

namespace fs = std::filesystem;

namespace {

const char kTempSuffix[] = ".updater-publish.tmp";
// The updater's temporary folder unless its settings name another.
const char kDefaultTempFolder[] = "Update";
constexpr std::uint64_t kProgressStepFrom = 32ull << 20;  // files this big report percentages
constexpr std::size_t kBlock = 1 << 16;

std::string Utf8(const fs::path& p) { return p.u8string(); }

// True when inner is root or lies below it (both absolute and normalised).
bool IsWithin(const fs::path& inner, const fs::path& root)
{
    auto r = root.begin(), i = inner.begin();
    for (; r != root.end(); ++r, ++i) {
        if (r->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *r) return false;
    }
    return true;
}

class FileSource : public ByteSource {
public:
    explicit FileSource(const fs::path& p, std::uint64_t size) : m_in(p, std::ios::binary), m_size(size) {}
    std::uint64_t Size() const override { return m_size; }
    bool Read(std::uint64_t offset, void* out, std::size_t n) const override
    {
        if (!m_in || offset > m_size || n > m_size - offset) return false;
        m_in.clear();
        m_in.seekg(static_cast<std::streamoff>(offset));
        m_in.read(static_cast<char*>(out), static_cast<std::streamsize>(n));
        return static_cast<std::size_t>(m_in.gcount()) == n;
    }
private:
    mutable std::ifstream m_in;
    std::uint64_t m_size;
};

// Both digests a manifest entry carries, fed from the same reads, and the
// chunks and groups of the chunk index when one is made.
struct Digests {
    CMd5Digest md5;
    Sha256 sha256;
    std::unique_ptr<CIndexCutter> chunks;
    void Update(const char* data, std::size_t n)
    {
        md5.Update(reinterpret_cast<const BYTE*>(data), static_cast<UINT>(n));
        sha256.Update(data, n);
        if (chunks) chunks->Update(reinterpret_cast<const unsigned char*>(data), n);
    }
    // True when both match the entry's (filled in by the scan).
    bool Match(const ReleaseFile& f) { return md5.Final().str() == f.md5 && sha256.FinalHex() == f.sha256; }
};

// Streams a file through the digests (and optionally a copy), reporting
// progress for big files: a bar on a terminal, else a line every 10 %.
// Returns an error text, empty on success.
std::string Stream(const fs::path& from, std::uint64_t expected, Digests& digests, std::ostream* copy,
                   const std::string& label, std::ostream& progress, bool quiet, bool terminal)
{
    ProgressBar bar(progress, terminal && !quiet && expected >= kProgressStepFrom);
    std::ifstream in(from, std::ios::binary);
    if (!in) return std::string("cannot be opened for reading: ") + std::strerror(errno);
    std::vector<char> buf(kBlock);
    std::uint64_t done = 0;
    int shown = 0;
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        digests.Update(buf.data(), got);
        if (copy && !copy->write(buf.data(), static_cast<std::streamsize>(got))) return "could not be written to the site";
        done += got;
        if (bar.Enabled()) {
            bar.Show(done, expected, label + "  " + HumanSize(done) + " of " + HumanSize(expected));
        } else if (!quiet && expected >= kProgressStepFrom) {
            const int pct = static_cast<int>(done * 100 / expected);
            if (pct / 10 > shown / 10 && pct < 100) {
                shown = pct;
                progress << "        " << label << " " << pct << "%" << std::endl;
            }
        }
    }
    if (in.bad()) return "a read failed";
    if (done != expected) return "changed size while it was being read";
    return std::string();
}

struct Walker {
    const fs::path& root;
    std::vector<std::pair<fs::path, std::string>>& found;  // path, relative UTF-8
    std::vector<Refusal>& refusals;

    void Walk(const fs::path& dir, const std::string& prefix)
    {
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        fs::directory_iterator it(dir, ec), end;
        if (ec) {
            refusals.push_back({ prefix.empty() ? Utf8(dir) : prefix, "folder cannot be read: " + ec.message() });
            return;
        }
        for (; it != end; it.increment(ec)) {
            if (ec) break;
            entries.push_back(*it);
        }
        if (ec) refusals.push_back({ prefix.empty() ? Utf8(dir) : prefix, "folder cannot be read: " + ec.message() });
        std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
            return Utf8(a.path().filename()) < Utf8(b.path().filename());
        });
        for (const auto& e : entries) {
            const std::string rel = prefix + Utf8(e.path().filename());
            const fs::file_status st = e.symlink_status(ec);
            if (fs::is_symlink(st)) {
                // Links to files inside the release are published as those files.
                const fs::path target = fs::canonical(e.path(), ec);
                if (ec) { refusals.push_back({ rel, "symbolic link whose target does not exist" }); continue; }
                if (!IsWithin(target, root)) {
                    refusals.push_back({ rel, "symbolic link leaving the release folder (to " + Utf8(target) + ")" });
                    continue;
                }
                if (fs::is_directory(target)) {
                    refusals.push_back({ rel, "symbolic link to a folder; only links to files are followed" });
                    continue;
                }
                if (!fs::is_regular_file(target)) { refusals.push_back({ rel, "symbolic link to something that is not a file" }); continue; }
                found.emplace_back(e.path(), rel);
            } else if (fs::is_directory(st)) {
                Walk(e.path(), rel + "/");
            } else if (fs::is_regular_file(st)) {
                found.emplace_back(e.path(), rel);
            } else {
                refusals.push_back({ rel, "not a regular file (device, pipe or socket)" });
            }
        }
    }
};

// One element of a name against another, as Windows compares them.
bool SameElementAsWindows(const char* a, std::size_t an, const char* b, std::size_t bn)
{
    return FoldCaseAsWindows(std::string(a, an)) == FoldCaseAsWindows(std::string(b, bn));
}

// Name and URL checks; an empty result means the updater takes the entry.
std::string CheckName(const std::string& rel, const std::string& baseUrl, ReleaseFile& file)
{
    if (rel.find('\\') != std::string::npos)
        return "name contains '\\', which the updater reads as a folder separator";
    file.manifestName = rel;
    std::replace(file.manifestName.begin(), file.manifestName.end(), '/', '\\');
    const auto ansi = ToCodePage936(file.manifestName);
    if (!ansi) return "name has characters that code page 936 (the updater's) cannot write, or is not valid UTF-8";
    // Judged element by element first, so the reason can name the element.
    std::string element;
    std::istringstream parts(rel);
    while (std::getline(parts, element, '/')) {
        const NameFault fault = CheckRelativeName(ToCodePage936(element).value_or("").c_str(), &IsLeadByte936);
        if (fault == NameFault::None) continue;
        std::string why = std::string("name ") + DescribeNameFault(fault);
        if (fault == NameFault::DotsOnlyElement || fault == NameFault::TrailingDotOrSpace || fault == NameFault::DeviceName)
            why += ": \"" + element + "\"";
        return why;
    }
    const NameFault fault = CheckRelativeName(ansi->c_str(), &IsLeadByte936);
    if (fault != NameFault::None) return std::string("name ") + DescribeNameFault(fault);
    // UTF-8 has no lead bytes that could hide a separator.
    if (IsWithinFolder(rel.c_str(), kDefaultTempFolder, nullptr, &SameElementAsWindows))
        return std::string("name is or lies inside \"") + kDefaultTempFolder +
               "\", the updater's temporary folder (its journal, kept copies and downloads are there)";
    if (rel.size() >= sizeof(kTempSuffix) - 1 && rel.compare(rel.size() - (sizeof(kTempSuffix) - 1), std::string::npos, kTempSuffix) == 0)
        return std::string("names ending in \"") + kTempSuffix + "\" are the publisher's own staging copies";
    if (ansi->size() > kMaxNameBytes)
        return "name is " + std::to_string(ansi->size()) + " bytes in code page 936; the updater takes at most " +
               std::to_string(kMaxNameBytes);
    file.url = baseUrl + "/files/" + PercentEncodePath(rel);
    if (file.url.size() > kMaxUrlBytes)
        return "download URL is " + std::to_string(file.url.size()) + " bytes; the updater takes at most " +
               std::to_string(kMaxUrlBytes);
    return std::string();
}

void DropIndex(ReleaseFile& file, const std::string& why)
{
    file.index.clear();
    file.indexUrl.clear();
    file.indexSha256.clear();
    file.indexHeadBytes = 0;
    file.noIndex = why;
}

// The levelled index of a file as cut; the manifest's digest covers its head.
std::string MakeIndex(CIndexCutter& cut, const std::string& url, ReleaseFile& file)
{
    cut.Finish();
    file.index = EncodeLevelledIndex(cut, file.size);
    file.indexHeadBytes = kIndexHeaderBytes + cut.Groups().size() * kTopEntryBytes;
    Sha256 headDigest;
    headDigest.Update(file.index.data(), static_cast<std::size_t>(file.indexHeadBytes));
    file.indexSha256 = headDigest.FinalHex();
    if (file.indexSha256.empty()) return "the SHA-256 of its chunk index could not be computed";
    file.indexUrl = url;
    if (file.indexUrl.size() > kMaxUrlBytes)
        DropIndex(file, "its index URL would be " + std::to_string(file.indexUrl.size()) +
                            " bytes; the updater takes at most " + std::to_string(kMaxUrlBytes));
    return std::string();
}

std::string CheckContent(const fs::path& path, const std::string& rel, const std::string& base, ReleaseFile& file,
                         std::ostream& progress, bool quiet, bool terminal)
{
    std::error_code ec;
    file.size = fs::file_size(path, ec);
    if (ec) return "cannot be read: " + ec.message();
    if (file.size > kMaxFileSize)
        return "is " + std::to_string(file.size) + " bytes; the updater's sizes stop at 4294967295 (4 GiB - 1)";
    // The file's start as the updater's first block would hold it.
    unsigned char head[kMinFirstBlockBytes] = {};
    const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(file.size, sizeof(head)));
    {
        std::ifstream in(path, std::ios::binary);
        if (!in || !in.read(reinterpret_cast<char*>(head), static_cast<std::streamsize>(got)))
            return std::string("cannot be read: ") + std::strerror(errno);
    }
    if (LooksLikeErrorPage(head, got)) {
        if (got < kMinFirstBlockBytes)
            return "is only " + std::to_string(file.size) + " bytes; the updater rejects downloads under " +
                   std::to_string(kMinFirstBlockBytes) + " bytes as error pages";
        return "starts with \"<html>\" or \"<!DOCTYPE HTML PUBLIC\"; the updater takes such a download for a web "
               "server's error page";
    }

    Digests digests;
    if (file.size >= kIndexFromBytes) digests.chunks = std::make_unique<CIndexCutter>();
    const std::string err = Stream(path, file.size, digests, nullptr, rel, progress, quiet, terminal);
    if (!err.empty()) return err;
    file.md5 = digests.md5.Final().str();
    file.sha256 = digests.sha256.FinalHex();
    if (file.sha256.empty()) return "its SHA-256 could not be computed";
    if (digests.chunks) {
        const std::string why = MakeIndex(*digests.chunks, base + "/chunks/" + PercentEncodePath(rel) + ".idx", file);
        if (!why.empty()) return why;
    }
    FileSource src(path, file.size);
    file.version = ReadPeFileVersion(src).value_or("0.0.0.0");
    return std::string();
}

// Removes files under dir that are not in keep (relative UTF-8 names), then
// folders left empty. Returns how many files went; each is reported as
// shownAs + its name + why.
int RemoveStale(const fs::path& dir, const std::set<std::string>& keep, const std::string& shownAs, const char* why,
                std::ostream& out, bool quiet)
{
    int removed = 0;
    std::error_code ec;
    std::vector<fs::path> dirs;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::file_status st = it->symlink_status(ec);
        if (fs::is_directory(st)) { dirs.push_back(it->path()); continue; }
        const std::string rel = it->path().lexically_relative(dir).generic_u8string();
        if (keep.count(rel)) continue;
        if (fs::remove(it->path(), ec)) {
            ++removed;
            if (!quiet) out << "  removed    " << shownAs << rel << " (" << why << ")" << std::endl;
        }
    }
    std::sort(dirs.rbegin(), dirs.rend());  // deepest first
    for (const auto& d : dirs)
        if (fs::is_empty(d, ec)) fs::remove(d, ec);
    return removed;
}

// The release folder resolved; nothing, with the refusal recorded, when it
// is missing, not a folder or overlaps the site.
std::optional<fs::path> ReleaseRoot(const PublishOptions& options, std::vector<Refusal>& refusals)
{
    std::error_code ec;
    const std::string releaseName = Utf8(options.release);
    if (!fs::exists(options.release, ec)) {
        refusals.push_back({ releaseName, "release folder does not exist" });
        return std::nullopt;
    }
    if (!fs::is_directory(options.release, ec)) {
        refusals.push_back({ releaseName, "release path is not a folder" });
        return std::nullopt;
    }
    const fs::path root = fs::canonical(options.release, ec);
    if (ec) {
        refusals.push_back({ releaseName, "release folder cannot be resolved: " + ec.message() });
        return std::nullopt;
    }
    if (!options.site.empty()) {
        const fs::path site = fs::weakly_canonical(fs::absolute(options.site), ec);
        if (!ec && (IsWithin(site, root) || IsWithin(root, site))) {
            refusals.push_back({ Utf8(options.site), "the site folder and the release folder overlap" });
            return std::nullopt;
        }
    }
    return root;
}

// Fills the entry of one release file; the reason when the updater could not
// take it. folded holds the names seen so far, one key per file for Windows.
std::string ScanFile(const PublishOptions& options, const std::string& base, std::map<std::string, std::string>& folded,
                     ReleaseFile& file, std::ostream& progress)
{
    const std::string& rel = file.relative;
    std::string why = CheckName(rel, base, file);
    if (why.empty()) {
        const auto [it, fresh] = folded.emplace(OneFileKey(rel), rel);
        if (!fresh)
            why = "same file as \"" + it->second + "\" for Windows (letter case is ignored as Windows ignores it, "
                  "and the updater puts a top-level X.exe as X.EX_)";
    }
    if (why.empty()) why = FolderCaseClash(rel, folded);
    if (why.empty()) why = CheckContent(file.source, rel, base, file, progress, options.quiet, options.progressBar);
    return why;
}

// An index is a file: no other index can lie under its name.
void DropNestedIndexes(std::vector<ReleaseFile>& files)
{
    std::set<std::string> indexNames;
    for (const auto& f : files)
        if (!f.index.empty()) indexNames.insert(f.relative + ".idx");
    for (auto& f : files) {
        const std::string folder = f.relative + ".idx/";
        const auto below = indexNames.lower_bound(folder);
        if (!f.index.empty() && below != indexNames.end() && below->compare(0, folder.size(), folder) == 0)
            DropIndex(f, "chunks/" + f.relative + ".idx is also the folder of the index of " +
                             below->substr(0, below->size() - 4));
    }
}

} // namespace

ScanResult ScanRelease(const PublishOptions& options, std::ostream& progress)
{
    ScanResult result;
    const std::optional<fs::path> root = ReleaseRoot(options, result.refusals);
    if (!root) return result;
    std::vector<std::pair<fs::path, std::string>> found;
    Walker{ *root, found, result.refusals }.Walk(*root, "");
    if (found.empty() && result.refusals.empty()) {
        result.refusals.push_back({ Utf8(options.release), "release folder holds no files" });
        return result;
    }
    const std::string base = NormalizeBaseUrl(options.baseUrl);
    std::map<std::string, std::string> folded;  // collision key -> first name
    for (std::size_t index = 0; index < found.size(); ++index) {
        ReleaseFile file;
        file.source = found[index].first;
        file.relative = found[index].second;
        const std::string why = ScanFile(options, base, folded, file, progress);
        if (!why.empty()) {
            result.refusals.push_back({ file.relative, why });
            continue;
        }
        if (!options.quiet)
            progress << "  [" << index + 1 << "/" << found.size() << "] " << file.relative << "  "
                     << HumanSize(file.size) << "  " << file.md5 << "  " << file.version << std::endl;
        result.files.push_back(std::move(file));
    }
    DropNestedIndexes(result.files);
    return result;
}

std::string ManifestXml(const std::vector<ReleaseFile>& files, std::uint64_t serial)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest serial=\"" + std::to_string(serial) +
                      "\">\n  <filelist>\n";
    for (const auto& f : files) {
        xml += "    <file filename=\"" + XmlAttribute(f.manifestName) + "\" filesize=\"" + std::to_string(f.size) +
               "\" fileversion=\"" + XmlAttribute(f.version) + "\" md5=\"" + f.md5 + "\" sha256=\"" + f.sha256 +
               "\" fileload=\"" + XmlAttribute(f.url) + "\"";
        if (!f.indexUrl.empty())
            xml += " chunks=\"" + XmlAttribute(f.indexUrl) + "\" chunkssha256=\"" + f.indexSha256 + "\" chunkshead=\"" +
                   std::to_string(f.indexHeadBytes) + "\"";
        xml += "/>\n";
    }
    xml += "  </filelist>\n</manifest>\n";
    return xml;
}

namespace {

bool SameContent(const fs::path& p, const ReleaseFile& f)
{
    std::error_code ec;
    if (!fs::is_regular_file(p, ec) || fs::file_size(p, ec) != f.size || ec) return false;
    std::ostringstream sink;
    Digests digests;
    return Stream(p, f.size, digests, nullptr, "", sink, true, false).empty() && digests.Match(f);
}

// A folder of the site where a file must go, or a file where a folder must go.
std::string SiteConflict(const fs::path& dir, const std::string& relative)
{
    std::error_code ec;
    fs::path at = dir;
    const fs::path rel = fs::u8path(relative);
    for (auto it = rel.begin(); it != rel.end(); ++it) {
        at /= *it;
        const bool last = std::next(it) == rel.end();
        const fs::file_status st = fs::symlink_status(at, ec);
        if (!fs::exists(st)) return std::string();
        if (last ? fs::is_directory(st) : !fs::is_directory(st))
            return Utf8(at) + " is in the way (" + (last ? "a folder where the file goes" : "not a folder") + ")";
    }
    return std::string();
}

// True when the file at p holds exactly these bytes.
bool Holds(const fs::path& p, const std::vector<unsigned char>& bytes)
{
    std::error_code ec;
    if (!fs::is_regular_file(p, ec) || fs::file_size(p, ec) != bytes.size() || ec) return false;
    std::string have, why;
    return ReadWholeFile(p, have, why) && have.size() == bytes.size() &&
           std::equal(have.begin(), have.end(), bytes.begin(), [](char a, unsigned char b) {
               return static_cast<unsigned char>(a) == b;
           });
}

// The signing key, checked before anything else happens; null with the
// reason written to err when it cannot be used.
std::unique_ptr<SigningKey> LoadKey(const PublishOptions& options, std::ostream& err)
{
    std::string why;
    std::error_code ec;
    const fs::path key = fs::weakly_canonical(fs::absolute(options.signKey), ec);
    const fs::path release = fs::weakly_canonical(fs::absolute(options.release), ec);
    const fs::path site = fs::weakly_canonical(fs::absolute(options.site), ec);
    // The private key must never be served: a copy in either folder would be.
    if (IsWithin(key, release)) why = "is inside the release folder, so it would be published with the files";
    else if (IsWithin(key, site)) why = "is inside the site folder, which the web server serves";
    std::unique_ptr<SigningKey> loaded;
    if (why.empty()) loaded = SigningKey::Load(options.signKey, why);
    if (!loaded)
        err << "updater-publish: signing key " << Utf8(options.signKey) << ": " << why << "; nothing was written\n";
    return loaded;
}

// BASE_URL must be usable as the start of every URL; a final '/' only warns.
bool CheckBaseUrl(const std::string& baseUrl, std::ostream& err)
{
    if (baseUrl.empty() || baseUrl.find_first_of(" \t\r\n\"<>") != std::string::npos) {
        err << "updater-publish: BASE_URL must be a URL without spaces or quotes (got \"" << baseUrl << "\")\n";
        return false;
    }
    if (baseUrl.back() == '/') {
        std::string trimmed = baseUrl;
        while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
        err << "warning: BASE_URL ends in '/'. The file URLs leave it out, but the updater appends \"/update/\" to its\n"
            << "  site value as written: with site=" << baseUrl << " it requests\n"
            << "  " << ManifestBaseUrlFor(baseUrl) << "update.xml, and many static web servers do not merge\n"
            << "  the doubled slash. Use site=" << trimmed << " in updater.INI (and as BASE_URL).\n";
    }
    return true;
}

// The manifest's serial: the one given, else the time now. A signing updater
// refuses a serial lower than the one it last installed, so a site's serial
// only grows. Nothing (the reason written to err) when it would not.
std::optional<std::uint64_t> ChooseSerial(const PublishOptions& options, std::ostream& err)
{
    const std::optional<std::uint64_t> current = SiteSerial(options.site);
    std::uint64_t serial = options.serial ? *options.serial : static_cast<std::uint64_t>(std::time(nullptr));
    if (!current || serial > *current) return serial;
    if (options.serial && !options.forceSerial) {
        err << "updater-publish: --serial " << serial << " is not greater than " << *current
            << ", the serial of the manifest the site serves now; players who installed that one would refuse it\n"
            << "  (--force-serial publishes it anyway); nothing was written\n";
        return std::nullopt;
    }
    if (options.serial) return serial;
    if (*current >= static_cast<std::uint64_t>(INT64_MAX)) {
        err << "updater-publish: the site's serial is already the largest there is; give --serial with "
               "--force-serial; nothing was written\n";
        return std::nullopt;
    }
    return *current + 1;  // published twice within a second, or a serial from the future
}

// Writes a scanned release into the site. Every new file, index and the
// manifest are staged beside their final names, so the old site stays whole
// until all are in; the manifest moves last, so the updater never sees
// entries whose files are not there yet. Each step reports its failure to err.
class SiteWriter {
public:
    SiteWriter(const PublishOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options), m_out(out), m_err(err), m_files(options.site / "files"),
          m_chunks(options.site / "chunks"), m_manifest(options.site / "update" / "update.xml"), m_staged(kTempSuffix)
    {
    }

    // A file's place taken by a folder (or a folder's by a file) stops the
    // publish; an index only saves bytes, so one that cannot be placed is left out.
    bool CheckPlaces(std::vector<ReleaseFile>& files)
    {
        for (auto& f : files) {
            const std::string conflict = SiteConflict(m_files, f.relative);
            if (!conflict.empty()) {
                m_err << "updater-publish: cannot place " << f.relative << ": " << conflict << "; nothing was written\n";
                return false;
            }
            const std::string indexConflict = f.index.empty() ? std::string() : SiteConflict(m_chunks, f.relative + ".idx");
            if (!indexConflict.empty()) DropIndex(f, indexConflict);
        }
        return true;
    }

    // Copies the files that are new or changed, checking each copy's digests.
    bool StageFiles(const std::vector<ReleaseFile>& files)
    {
        std::error_code ec;
        for (const auto& f : files) {
            const fs::path dest = m_files / fs::u8path(f.relative);
            const bool existed = fs::exists(dest, ec);
            if (existed && SameContent(dest, f)) {
                ++m_unchanged;
                continue;
            }
            fs::create_directories(dest.parent_path(), ec);
            if (ec) {
                m_err << "updater-publish: cannot create " << Utf8(dest.parent_path()) << ": " << ec.message() << "\n";
                return false;
            }
            const std::string why = Copy(f, m_staged.Stage(dest, f.relative));
            if (!why.empty()) {
                m_err << "updater-publish: " << f.relative << ": " << why << "; the site was left as it was\n";
                return false;
            }
            existed ? ++m_changed : ++m_added;
        }
        return true;
    }

    // Indexes not already in place with these bytes.
    bool StageIndexes(const std::vector<ReleaseFile>& files)
    {
        std::error_code ec;
        for (const auto& f : files) {
            if (!f.noIndex.empty()) m_out << "note: no chunk index for " << f.relative << ": " << f.noIndex << "\n";
            if (f.index.empty()) continue;
            ++m_indexes;
            m_indexBytes += f.index.size();
            const std::string name = f.relative + ".idx";
            const fs::path dest = m_chunks / fs::u8path(name);
            const std::string size = HumanSize(f.index.size());
            if (Holds(dest, f.index)) {
                ++m_indexesUnchanged;
                if (!m_options.quiet) m_out << "  index      " << name << " (" << size << ") unchanged" << std::endl;
                continue;
            }
            fs::create_directories(dest.parent_path(), ec);
            const fs::path temp = m_staged.Stage(dest, Utf8(dest));
            if (!WriteWholeFile(temp, f.index.data(), f.index.size())) {
                m_err << "updater-publish: cannot write the chunk index " << Utf8(temp) << "; the site was left as it was\n";
                return false;
            }
            if (!m_options.quiet) m_out << "  index      " << name << " (" << size << ") written" << std::endl;
        }
        return true;
    }

    // The manifest of the files, signed when there is a key, and beside it the
    // same bytes gzip-compressed (update.xml.gz, which nginx's gzip_static
    // sends to a client that asks for gzip), staged first so that it is never
    // the older of the two.
    bool StageManifest(const std::vector<ReleaseFile>& files, std::uint64_t serial, const SigningKey* key)
    {
        std::error_code ec;
        fs::create_directories(m_manifest.parent_path(), ec);
        std::string text = ManifestXml(files, serial);
        if (key) {
            unsigned char signature[kP256SignatureBytes];
            std::string why;
            if (!key->Sign(text, signature, why)) {
                m_err << "updater-publish: the manifest could not be signed: " << why << "; the site was left as it was\n";
                return false;
            }
            text += SignatureComment(signature);
        }
        fs::path gz = m_manifest;
        gz += ".gz";
        const std::string compressed = GzipOf(text);
        const fs::path gzTemp = m_staged.Stage(gz, "the compressed manifest");
        const fs::path temp = m_staged.Stage(m_manifest, "the manifest");
        const auto write = [&](const fs::path& to, const std::string& bytes) {
            if (!bytes.empty() && WriteWholeFile(to, bytes.data(), bytes.size())) return true;
            m_err << "updater-publish: cannot write " << Utf8(to) << "; the site was left as it was\n";
            return false;
        };
        return write(gzTemp, compressed) && write(temp, text);
    }

    // Moves everything staged into place, the manifest last, then removes
    // files and indexes that left the release.
    bool Commit(const std::vector<ReleaseFile>& files)
    {
        std::string why;
        if (!m_staged.Commit(why)) {
            m_err << "updater-publish: " << why << "\n";
            return false;
        }
        if (!m_options.quiet) m_out << "  manifest   " << Utf8(m_manifest) << " written" << std::endl;
        std::set<std::string> keep, keepIndexes;
        for (const auto& f : files) {
            keep.insert(f.relative);
            if (!f.index.empty()) keepIndexes.insert(f.relative + ".idx");
        }
        m_removed = RemoveStale(m_files, keep, "", "no longer in the release", m_out, m_options.quiet);
        m_indexesRemoved = RemoveStale(m_chunks, keepIndexes, "chunks/", "no longer needed", m_out, m_options.quiet);
        return true;
    }

    void PrintSummary(const std::vector<ReleaseFile>& files, std::uint64_t serial, bool signedManifest) const
    {
        std::uint64_t total = 0;
        for (const auto& f : files) total += f.size;
        m_out << "Published " << files.size() << " files (" << HumanSize(total) << "): " << m_added << " added, "
              << m_changed << " changed, " << m_unchanged << " unchanged, " << m_removed << " removed\n"
              << "Chunk indexes: " << m_indexes << " (" << HumanSize(m_indexBytes) << " in all): "
              << m_indexes - m_indexesUnchanged << " written, " << m_indexesUnchanged << " unchanged, "
              << m_indexesRemoved << " removed; files under " << (kIndexFromBytes >> 20) << " MiB have none\n"
              << "Manifest: " << Utf8(m_manifest) << " (serial " << serial << ", "
              << (signedManifest ? "signed with " + Utf8(m_options.signKey) : std::string("not signed")) << ")\n"
              << "Manifest URL (the updater with site=" << m_options.baseUrl
              << "): " << ManifestBaseUrlFor(m_options.baseUrl) << "update.xml" << std::endl;
        if (total > kMaxFileSize)
            m_out << "note: the release totals more than 4 GiB; the updater's overall progress bar wraps around\n";
    }

private:
    // The second read of the file (the scan digested it first), into the
    // staged copy; an error text, empty when the copy is whole and the same.
    std::string Copy(const ReleaseFile& f, const fs::path& temp)
    {
        std::ofstream copy(temp, std::ios::binary | std::ios::trunc);
        Digests digests;
        std::string why = copy ? Stream(f.source, f.size, digests, &copy, "copying " + f.relative, m_out,
                                        m_options.quiet, m_options.progressBar)
                               : "the site copy cannot be created";
        copy.close();
        if (why.empty() && !copy) why = "could not be written to the site";
        if (why.empty() && !digests.Match(f)) why = "changed while it was being published";
        return why;
    }

    const PublishOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    const fs::path m_files, m_chunks, m_manifest;
    StagedFiles m_staged;
    int m_unchanged = 0, m_added = 0, m_changed = 0, m_removed = 0, m_indexesRemoved = 0;
    std::size_t m_indexes = 0, m_indexesUnchanged = 0;
    std::uint64_t m_indexBytes = 0;
};

} // namespace

std::optional<std::uint64_t> SiteSerial(const fs::path& site)
{
    std::ifstream in(site / "update" / "update.xml", std::ios::binary);
    if (!in) return std::nullopt;
    std::string head(4096, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    const std::size_t tag = head.find("<manifest");
    const std::size_t end = head.find('>', tag);
    if (tag == std::string::npos || end == std::string::npos) return std::nullopt;
    const std::size_t at = head.find(" serial=\"", tag);
    if (at == std::string::npos || at > end) return std::nullopt;
    const std::size_t from = at + 9, to = head.find('"', from);
    std::uint64_t value = 0;
    if (to == std::string::npos || !ParseSerial(head.substr(from, to - from), value)) return std::nullopt;
    return value;
}

int Publish(const PublishOptions& options, std::ostream& out, std::ostream& err)
{
    if (!CheckBaseUrl(options.baseUrl, err)) return kUsage;
    std::unique_ptr<SigningKey> key;
    if (!options.signKey.empty() && !(key = LoadKey(options, err))) return kUsage;
    const std::optional<std::uint64_t> serial = ChooseSerial(options, err);
    if (!serial) return kUsage;
    if (!options.quiet) out << "Reading " << Utf8(options.release) << std::endl;
    ScanResult scan = ScanRelease(options, out);
    if (!scan.refusals.empty()) {
        for (const auto& r : scan.refusals) err << "refused: " << r.file << ": " << r.reason << "\n";
        err << "updater-publish: " << scan.refusals.size() << " problem(s) in the release; nothing was written to "
            << Utf8(options.site) << "\n";
        return kRefused;
    }
    SiteWriter site(options, out, err);
    if (!site.CheckPlaces(scan.files) || !site.StageFiles(scan.files) || !site.StageIndexes(scan.files) ||
        !site.StageManifest(scan.files, *serial, key.get()) || !site.Commit(scan.files))
        return kSiteWriteFailed;
    site.PrintSummary(scan.files, *serial, key != nullptr);
    return kPublished;
}
