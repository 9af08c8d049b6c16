// The kept manifest's file, lines ending in CR LF:
//   updater kept manifest 2
//   address <URL without its query>
//   etag <ETag as sent, or nothing>
//   last-modified <Last-Modified as sent, or nothing>
//   read-as <code page> <1 when the serial was read, else 0> <serial>
//   entries <number of entries>
//   length <bytes of the body>
//   md5 <MD5 of everything after the empty line, 32 lowercase hex digits>
//   (an empty line, then the body's bytes, exactly length of them, then the entries)
// Each entry: "<number> <filesize> <chunk index head length> <flags> " then six texts, each as its length
// in bytes, ':' and its bytes (name, URL, md5, sha256, chunk index URL, its
// sha256), then LF. flags: three digits 0 or 1 (has a sha256, name exact, URL exact).
#include "manifest/KeptManifest.h"
#include <windows.h>
#include <cstring>
#include "Md5Digest.h"
#include "rules/Decimal.h"
#include "rules/SiteRules.h"
#include "support/Files.h"

namespace {
const char kHeader[] = "updater kept manifest 2\r\n";
const char kFileName[] = "manifest.kept";
// The header's lines: a URL of at most INTERNET_MAX_URL_LENGTH, validators as long.
const std::size_t kMaxHeaderBytes = 16 * 1024;
// Entries take fewer bytes than the manifest text they come from.
const std::size_t kMaxKeptBytes = 2 * kManifestMaxBytes + kMaxHeaderBytes;

std::string Md5Of(const char* data, std::size_t size)
{
    return CMd5Digest::HashBuffer(reinterpret_cast<const BYTE*>(data), static_cast<UINT>(size)).GetString();
}

bool FitsLine(const std::string& value) { return value.find_first_of("\r\n") == std::string::npos; }

// "<key> <value>\r\n" at pos; advances pos past it.
bool ReadField(const std::string& bytes, std::size_t& pos, const char* key, std::string& value)
{
    const std::size_t keyLength = std::strlen(key);
    const std::size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos || end > kMaxHeaderBytes || end < pos + keyLength + 1 ||
        bytes.compare(pos, keyLength, key) != 0 || bytes[pos + keyLength] != ' ')
        return false;
    value = bytes.substr(pos + keyLength + 1, end - pos - keyLength - 1);
    pos = end + 2;
    return true;
}

bool ReadNumberField(const std::string& bytes, std::size_t& pos, const char* key, std::uint64_t max, std::uint64_t& value)
{
    std::string text;
    return ReadField(bytes, pos, key, text) && ParseDecimal(text.data(), text.size(), max, value);
}

void AppendText(std::string& out, const std::string& text)
{
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

void AppendEntry(std::string& out, const ManifestEntry& e)
{
    const ListedFile& f = e.file;
    out += std::to_string(f.number) + ' ' + std::to_string(f.size) + ' ' + std::to_string(f.chunksHead) + ' ' +
           (f.hasSha256 ? '1' : '0') +
           (e.nameExact ? '1' : '0') + (e.urlExact ? '1' : '0') + ' ';
    for (const std::string* text : { &f.name, &f.url, &f.md5, &f.sha256, &f.chunksUrl, &f.chunksSha256 })
        AppendText(out, *text);
    out += '\n';
}

// Reads the entries from [at, end): all of them, and nothing after them.
class EntryReader {
public:
    EntryReader(const std::string& bytes, std::size_t at) : m_bytes(bytes), m_at(at) {}
    bool Entry(ManifestEntry& e)
    {
        std::uint64_t number = 0, size = 0;
        ListedFile& f = e.file;
        if (!Number(' ', 0x7FFFFFFF, number) || !Number(' ', 0xFFFFFFFF, size) || !Number(' ', ~0ull, f.chunksHead) ||
            !Flags(e))
            return false;
        f.number = static_cast<long>(number);
        f.size = static_cast<UINT32>(size);
        for (std::string* text : { &f.name, &f.url, &f.md5, &f.sha256, &f.chunksUrl, &f.chunksSha256 })
            if (!Text(*text)) return false;
        return Take('\n');
    }
    bool AtEnd() const { return m_at == m_bytes.size(); }

private:
    bool Take(char c) { return m_at < m_bytes.size() && m_bytes[m_at++] == c; }
    bool Number(char end, std::uint64_t max, std::uint64_t& value)
    {
        const std::size_t stop = m_bytes.find(end, m_at);
        if (stop == std::string::npos || !ParseDecimal(m_bytes.data() + m_at, stop - m_at, max, value)) return false;
        m_at = stop + 1;
        return true;
    }
    bool Flags(ManifestEntry& e)
    {
        if (m_bytes.size() - m_at < 4 || m_bytes[m_at + 3] != ' ') return false;
        bool* flags[] = { &e.file.hasSha256, &e.nameExact, &e.urlExact };
        for (int i = 0; i < 3; ++i) {
            const char c = m_bytes[m_at + static_cast<std::size_t>(i)];
            if (c != '0' && c != '1') return false;
            *flags[i] = c == '1';
        }
        m_at += 4;
        return true;
    }
    bool Text(std::string& text)
    {
        std::uint64_t n = 0;
        if (!Number(':', kManifestMaxBytes, n) || n > m_bytes.size() - m_at) return false;
        text.assign(m_bytes, m_at, static_cast<std::size_t>(n));
        m_at += static_cast<std::size_t>(n);
        return true;
    }
    const std::string& m_bytes;
    std::size_t m_at;
};

std::string KeptPath(const std::string& tempDir) { return JoinPath(tempDir, kFileName); }
} // namespace

std::string SerializeKept(const KeptManifest& kept)
{
    if (!FitsLine(kept.address) || !FitsLine(kept.etag) || !FitsLine(kept.lastModified)) return std::string();
    const ManifestContent& c = kept.content;
    std::string tail = kept.body;
    for (const ManifestEntry& e : c.entries) AppendEntry(tail, e);
    std::string out = kHeader;
    out += "address " + kept.address + "\r\n";
    out += "etag " + kept.etag + "\r\n";
    out += "last-modified " + kept.lastModified + "\r\n";
    out += "read-as " + std::to_string(c.readAs.codePage) + (c.readAs.serialRead ? " 1 " : " 0 ") +
           std::to_string(c.serial) + "\r\n";
    out += "entries " + std::to_string(c.entries.size()) + "\r\n";
    out += "length " + std::to_string(kept.body.size()) + "\r\n";
    out += "md5 " + Md5Of(tail.data(), tail.size()) + "\r\n\r\n";
    return out + tail;
}

namespace {
// The header's fields up to the empty line; pos is then at the body.
bool ParseHeader(const std::string& bytes, std::size_t& pos, KeptManifest& read, std::uint64_t& count,
                 std::uint64_t& length, std::string& md5)
{
    std::string readAs;
    std::uint64_t codePage = 0;
    if (!ReadField(bytes, pos, "address", read.address) || !ReadField(bytes, pos, "etag", read.etag) ||
        !ReadField(bytes, pos, "last-modified", read.lastModified) || !ReadField(bytes, pos, "read-as", readAs) ||
        !ReadNumberField(bytes, pos, "entries", kManifestMaxBytes, count) ||
        !ReadNumberField(bytes, pos, "length", kManifestMaxBytes, length) || !ReadField(bytes, pos, "md5", md5) ||
        bytes.compare(pos, 2, "\r\n") != 0)
        return false;
    pos += 2;
    // "<code page> <0|1> <serial>"
    const std::size_t a = readAs.find(' '), b = a == std::string::npos ? a : readAs.find(' ', a + 1);
    ManifestContent& c = read.content;
    if (b != a + 2 || (readAs[a + 1] != '0' && readAs[a + 1] != '1') ||
        !ParseDecimal(readAs.data(), a, 0xFFFFFFFF, codePage) ||
        !ParseDecimal(readAs.data() + b + 1, readAs.size() - b - 1, ~0ull, c.serial))
        return false;
    c.readAs = { static_cast<unsigned>(codePage), readAs[a + 1] == '1' };
    return true;
}
} // namespace

KeptFault ParseKept(std::string bytes, KeptManifest& kept)
{
    kept = KeptManifest();
    if (bytes.compare(0, std::strlen(kHeader), kHeader) != 0)
        return bytes.size() < std::strlen(kHeader) && std::string(kHeader).compare(0, bytes.size(), bytes) == 0
                   ? KeptFault::Damaged  // cut short within its first line
                   : KeptFault::Foreign;
    std::size_t pos = std::strlen(kHeader);
    KeptManifest read;
    std::uint64_t count = 0, length = 0;
    std::string md5;
    if (!ParseHeader(bytes, pos, read, count, length, md5) || bytes.size() - pos < length ||
        Md5Of(bytes.data() + pos, bytes.size() - pos) != md5)
        return KeptFault::Damaged;
    EntryReader reader(bytes, pos + static_cast<std::size_t>(length));
    read.content.entries.resize(static_cast<std::size_t>(count));
    for (ManifestEntry& e : read.content.entries)
        if (!reader.Entry(e)) return KeptFault::Damaged;
    if (!reader.AtEnd()) return KeptFault::Damaged;
    read.body.assign(bytes, pos, static_cast<std::size_t>(length));
    kept = std::move(read);
    return KeptFault::None;
}

KeptFault LoadKept(const std::string& tempDir, KeptManifest& kept)
{
    kept = KeptManifest();
    try {
        std::string bytes;
        DWORD error = 0;
        if (!ReadSmallFile(KeptPath(tempDir), kMaxKeptBytes, bytes, error))
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? KeptFault::Missing
                                                                                  : KeptFault::Damaged;
        return ParseKept(std::move(bytes), kept);
    } catch (...) {
        kept = KeptManifest();
        return KeptFault::Damaged;  // out of memory: as if it could not be read
    }
}

bool SaveKept(const std::string& tempDir, const std::string& bytes)
{
    try {
        return ReplaceFileAtomically(KeptPath(tempDir), bytes);
    } catch (...) {
        return false;
    }
}

void DropKept(const std::string& tempDir) { ::DeleteFileA(KeptPath(tempDir).c_str()); }

std::string KeptAddress(const std::string& url) { return url.substr(0, url.find('?')); }
