// The kept manifest's file, in the system code page, lines ending in CR LF:
//   updater kept manifest 1
//   address <URL without its query>
//   etag <ETag as sent, or nothing>
//   last-modified <Last-Modified as sent, or nothing>
//   length <bytes of the body>
//   md5 <MD5 of the body, 32 lowercase hex digits>
//   (an empty line, then the body's bytes, exactly length of them)
#include "manifest/KeptManifest.h"
#include <windows.h>
#include <cstdio>
#include <cstring>
#include "Md5Digest.h"
#include "rules/SiteRules.h"
#include "support/Files.h"

namespace {
const char kHeader[] = "updater kept manifest 1\r\n";
const char kFileName[] = "manifest.kept";
// The header's lines: a URL of at most INTERNET_MAX_URL_LENGTH, validators as long.
const std::size_t kMaxHeaderBytes = 16 * 1024;

std::string Md5Of(const std::string& bytes)
{
    return CMd5Digest::HashBuffer(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())).GetString();
}

bool FitsLine(const std::string& value)
{
    for (char c : value)
        if (c == '\r' || c == '\n') return false;
    return true;
}

// "<key> <value>\r\n" at pos; advances pos past it.
bool ReadField(const std::string& bytes, std::size_t& pos, const char* key, std::string& value)
{
    const std::size_t keyLength = std::strlen(key);
    const std::size_t end = bytes.find("\r\n", pos);
    if (end == std::string::npos || end > kMaxHeaderBytes || bytes.compare(pos, keyLength, key) != 0 ||
        bytes[pos + keyLength] != ' ')
        return false;
    value = bytes.substr(pos + keyLength + 1, end - pos - keyLength - 1);
    pos = end + 2;
    return FitsLine(value);
}

bool ParseLength(const std::string& text, std::size_t& length)
{
    if (text.empty() || text.size() > 10) return false;
    std::size_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    length = n;
    return n <= kManifestMaxBytes;
}

std::string KeptPath(const std::string& tempDir) { return JoinPath(tempDir, kFileName); }
} // namespace

std::string SerializeKept(const KeptManifest& kept)
{
    std::string out = kHeader;
    out += "address " + kept.address + "\r\n";
    out += "etag " + kept.etag + "\r\n";
    out += "last-modified " + kept.lastModified + "\r\n";
    out += "length " + std::to_string(kept.body.size()) + "\r\n";
    out += "md5 " + Md5Of(kept.body) + "\r\n\r\n";
    return out + kept.body;
}

KeptFault ParseKept(std::string bytes, KeptManifest& kept)
{
    kept = KeptManifest();
    if (bytes.compare(0, std::strlen(kHeader), kHeader) != 0)
        return bytes.size() < std::strlen(kHeader) && std::string(kHeader).compare(0, bytes.size(), bytes) == 0
                   ? KeptFault::Damaged  // cut short within its first line
                   : KeptFault::Foreign;
    std::size_t pos = std::strlen(kHeader), length = 0;
    KeptManifest read;
    std::string lengthText, md5;
    if (!ReadField(bytes, pos, "address", read.address) || !ReadField(bytes, pos, "etag", read.etag) ||
        !ReadField(bytes, pos, "last-modified", read.lastModified) || !ReadField(bytes, pos, "length", lengthText) ||
        !ReadField(bytes, pos, "md5", md5) || !ParseLength(lengthText, length) || bytes.compare(pos, 2, "\r\n") != 0 ||
        bytes.size() - (pos + 2) != length)
        return KeptFault::Damaged;
    bytes.erase(0, pos + 2);  // the body, without a second copy of it
    if (Md5Of(bytes) != md5) return KeptFault::Damaged;
    read.body = std::move(bytes);
    kept = std::move(read);
    return KeptFault::None;
}

KeptFault LoadKept(const std::string& tempDir, KeptManifest& kept)
{
    kept = KeptManifest();
    try {
        std::string bytes;
        DWORD error = 0;
        if (!ReadSmallFile(KeptPath(tempDir), kManifestMaxBytes + kMaxHeaderBytes, bytes, error))
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? KeptFault::Missing
                                                                                  : KeptFault::Damaged;
        return ParseKept(std::move(bytes), kept);
    } catch (...) {
        kept = KeptManifest();
        return KeptFault::Damaged;  // out of memory: as if it could not be read
    }
}

bool SaveKept(const std::string& tempDir, const KeptManifest& kept)
{
    if (!FitsLine(kept.address) || !FitsLine(kept.etag) || !FitsLine(kept.lastModified)) return false;
    try {
        return ReplaceFileAtomically(KeptPath(tempDir), SerializeKept(kept));
    } catch (...) {
        return false;
    }
}

void DropKept(const std::string& tempDir) { ::DeleteFileA(KeptPath(tempDir).c_str()); }

std::string KeptAddress(const std::string& url) { return url.substr(0, url.find('?')); }
