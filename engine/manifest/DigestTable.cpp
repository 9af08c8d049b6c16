// The digest cache's rules and file format (platform-free).
//
// The file, in the system code page, lines ending in CR LF:
//   updater digest cache 1
//   size TAB lastWrite TAB creation TAB volume TAB index TAB takenAt TAB md5 TAB name    (one per entry)
//   md5 <MD5 of every byte before this line>
// Numbers are unsigned decimals; times are FILETIME ticks.
//
// The re-verification cursor beside it, in the same code page:
//   updater reverify cursor 1
//   <the key of the last file read again>
#include "manifest/DigestTable.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include "Md5Digest.h"
#include "rules/Decimal.h"
#include "rules/PathRules.h"

const char kDigestCacheHeader[] = "updater digest cache 1";

namespace {
const char kHeaderPrefix[] = "updater digest cache ";
const char kTrailerPrefix[] = "md5 ";
const char kCursorHeader[] = "updater reverify cursor 1";
const std::size_t kTrailerBytes = 4 + 32 + 2;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsMd5Text(const std::string& s)
{
    return s.size() == 32 && std::all_of(s.begin(), s.end(), IsHex);
}

// Every name the manifest can carry fits a line: no control character.
bool FitsLine(const std::string& name)
{
    return !name.empty() &&
           std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

std::string Md5Text(const char* data, std::size_t size)
{
    return CMd5Digest::HashBuffer(reinterpret_cast<const BYTE*>(data), static_cast<UINT>(size)).GetString();
}

// One entry's line, [at, end) of the file.
bool ParseLine(const char* at, const char* end, DigestEntry& e)
{
    const char* fields[8];
    std::size_t lengths[8];
    for (int i = 0; i < 7; ++i) {
        const char* tab = static_cast<const char*>(std::memchr(at, '\t', static_cast<std::size_t>(end - at)));
        if (!tab) return false;
        fields[i] = at;
        lengths[i] = static_cast<std::size_t>(tab - at);
        at = tab + 1;
    }
    fields[7] = at;  // the name, which holds no tab
    lengths[7] = static_cast<std::size_t>(end - at);
    const std::uint64_t all = ~0ull;
    std::uint64_t volume = 0;
    if (!ParseDecimal(fields[0], lengths[0], all, e.stamp.size) || !ParseDecimal(fields[1], lengths[1], all, e.stamp.lastWrite) ||
        !ParseDecimal(fields[2], lengths[2], all, e.stamp.creation) || !ParseDecimal(fields[3], lengths[3], 0xFFFFFFFFull, volume) ||
        !ParseDecimal(fields[4], lengths[4], all, e.stamp.fileIndex) || !ParseDecimal(fields[5], lengths[5], all, e.takenAt))
        return false;
    e.stamp.volumeSerial = static_cast<std::uint32_t>(volume);
    e.md5.assign(fields[6], lengths[6]);
    e.name.assign(fields[7], lengths[7]);
    return IsMd5Text(e.md5) && FitsLine(e.name);
}
} // namespace

std::string AsciiNameKey(const std::string& name)
{
    std::string key(name);
    for (char& c : key) c = c == '/' ? '\\' : FoldAsciiCase(c);
    return key;
}

const DigestEntry* DigestTable::Find(const std::string& name, const FileStamp& now) const
{
    return FindByKey(m_key(name), now);
}

const DigestEntry* DigestTable::FindByKey(const std::string& key, const FileStamp& now) const
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end()) return nullptr;
    const DigestEntry& e = it->second;
    if (e.stamp != now) return nullptr;
    // Written within the settle time of its digest (or later, by a clock that
    // went back): the same time may hide a second write.
    if (e.stamp.lastWrite > e.takenAt || e.takenAt - e.stamp.lastWrite < kDigestSettleTicks) return nullptr;
    return &e;
}

bool DigestTable::Put(DigestEntry entry)
{
    std::string key = m_key(entry.name);
    return PutByKey(std::move(key), std::move(entry));
}

bool DigestTable::PutByKey(std::string key, DigestEntry entry)
{
    if (!FitsLine(entry.name) || !IsMd5Text(entry.md5)) return false;
    for (char& c : entry.md5) c = FoldAsciiCase(c);
    m_entries[std::move(key)] = std::move(entry);
    return true;
}

std::vector<bool> DigestTable::Reverify(const std::vector<std::string>& listed, const ReverifyBudget& budget,
                                        const std::string& after, std::string& last) const
{
    // Listed names with an entry, in key order (one key listed twice: side by side).
    struct Candidate {
        std::string key;
        std::size_t listed;
        std::uint64_t size;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        std::string key = m_key(listed[i]);
        const auto it = m_entries.find(key);
        if (it != m_entries.end()) candidates.push_back({ std::move(key), i, it->second.stamp.size });
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.key != b.key ? a.key < b.key : a.listed < b.listed; });
    // Round from the first key after the last one read again (after may be last itself).
    const std::size_t n = candidates.size();
    const std::size_t start = static_cast<std::size_t>(
        std::upper_bound(candidates.begin(), candidates.end(), after,
                         [](const std::string& key, const Candidate& c) { return key < c.key; }) -
        candidates.begin());
    std::vector<bool> marks(listed.size(), false);
    last.clear();
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const Candidate& c = candidates[(start + k) % n];
        const bool again = c.key == last;  // the same file, listed once more
        if (!again && files > 0 && (files >= budget.files || bytes >= budget.bytes)) break;
        marks[c.listed] = true;
        if (again) continue;
        ++files;
        bytes += c.size;
        last = c.key;
    }
    return marks;
}

void DigestTable::MoveEntry(const std::string& key, DigestTable& other)
{
    auto node = m_entries.extract(key);
    if (!node.empty()) other.m_entries.insert(std::move(node));
}

std::string SerializeReverifyCursor(const std::string& key)
{
    return std::string(kCursorHeader) + "\r\n" + key + "\r\n";
}

std::string ParseReverifyCursor(const std::string& bytes)
{
    const std::string header = std::string(kCursorHeader) + "\r\n";
    if (bytes.size() < header.size() + 2 || bytes.compare(0, header.size(), header) != 0 ||
        bytes.compare(bytes.size() - 2, 2, "\r\n") != 0)
        return std::string();
    std::string key = bytes.substr(header.size(), bytes.size() - header.size() - 2);
    return FitsLine(key) ? key : std::string();
}

std::string DigestTable::Serialize() const
{
    std::vector<const std::pair<const std::string, DigestEntry>*> sorted;
    sorted.reserve(m_entries.size());
    for (const auto& kv : m_entries) sorted.push_back(&kv);
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    std::string out = std::string(kDigestCacheHeader) + "\r\n";
    for (const auto* kv : sorted) {
        const DigestEntry& e = kv->second;
        char numbers[160];
        std::snprintf(numbers, sizeof(numbers), "%llu\t%llu\t%llu\t%lu\t%llu\t%llu\t",
                      static_cast<unsigned long long>(e.stamp.size), static_cast<unsigned long long>(e.stamp.lastWrite),
                      static_cast<unsigned long long>(e.stamp.creation), static_cast<unsigned long>(e.stamp.volumeSerial),
                      static_cast<unsigned long long>(e.stamp.fileIndex), static_cast<unsigned long long>(e.takenAt));
        out += numbers;
        out += e.md5;
        out += '\t';
        out += e.name;
        out += "\r\n";
    }
    out += kTrailerPrefix + Md5Text(out.data(), out.size()) + "\r\n";
    return out;
}

bool DigestTable::Parse(const std::string& bytes, const char** why)
{
    Clear();
    const auto fail = [&](const char* reason) {
        Clear();
        if (why) *why = reason;
        return false;
    };
    if (bytes.size() > kMaxDigestCacheBytes) return fail("it is larger than 64 MiB");
    const std::string header = std::string(kDigestCacheHeader) + "\r\n";
    if (bytes.compare(0, header.size(), header) != 0)
        return fail(bytes.compare(0, std::strlen(kHeaderPrefix), kHeaderPrefix) == 0 ? "it is of another version"
                                                                                       : "it is not a digest cache");
    if (bytes.size() < header.size() + kTrailerBytes) return fail("it is cut short");
    const std::size_t bodyEnd = bytes.size() - kTrailerBytes;
    if (bytes.compare(bodyEnd, std::strlen(kTrailerPrefix), kTrailerPrefix) != 0 ||
        bytes.compare(bytes.size() - 2, 2, "\r\n") != 0 ||
        bytes.compare(bodyEnd + 4, 32, Md5Text(bytes.data(), bodyEnd)) != 0)
        return fail("it is cut short or damaged (its checksum does not match)");
    for (std::size_t pos = header.size(); pos < bodyEnd;) {
        const std::size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos || end >= bodyEnd) return fail("an entry is malformed");
        DigestEntry e;
        if (!ParseLine(bytes.data() + pos, bytes.data() + end, e)) return fail("an entry is malformed");
        const std::size_t before = m_entries.size();
        Put(std::move(e));
        if (m_entries.size() == before) return fail("a name appears twice");
        pos = end + 2;
    }
    if (why) *why = nullptr;
    return true;
}
