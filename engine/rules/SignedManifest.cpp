#include "rules/SignedManifest.h"
#include <cstring>
#include "rules/Decimal.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kCommentStart[] = "<!-- signature: ecdsa-p256-sha256 ";
const char kCommentEnd[] = " -->";

int Sextet(char c)
{
    const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
    return p ? static_cast<int>(p - kAlphabet) : -1;
}

// SubjectPublicKeyInfo of an uncompressed P-256 point: this prefix, then 04 X Y.
const unsigned char kP256SpkiPrefix[] = { 0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d,
                                          0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01,
                                          0x07, 0x03, 0x42, 0x00, 0x04 };
} // namespace

std::string Base64Encode(const unsigned char* data, std::size_t length)
{
    std::string out;
    for (std::size_t i = 0; i < length; i += 3) {
        const unsigned v = (data[i] << 16) | ((i + 1 < length ? data[i + 1] : 0) << 8) | (i + 2 < length ? data[i + 2] : 0);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < length ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < length ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool Base64Decode(const std::string& text, std::vector<unsigned char>& out)
{
    out.clear();
    if (text.size() % 4 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int a = Sextet(text[i]), b = Sextet(text[i + 1]);
        const bool pad2 = last && text[i + 2] == '=' && text[i + 3] == '=';
        const bool pad1 = last && !pad2 && text[i + 3] == '=';
        const int c = pad2 ? 0 : Sextet(text[i + 2]);
        const int d = (pad1 || pad2) ? 0 : Sextet(text[i + 3]);
        if (a < 0 || b < 0 || c < 0 || d < 0) return false;
        const unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
        out.push_back(static_cast<unsigned char>(v >> 16));
        if (!pad2) out.push_back(static_cast<unsigned char>(v >> 8));
        if (!pad1 && !pad2) out.push_back(static_cast<unsigned char>(v));
    }
    return true;
}

std::string SignatureComment(const unsigned char signature[kP256SignatureBytes])
{
    return std::string(kCommentStart) + Base64Encode(signature, kP256SignatureBytes) + kCommentEnd + "\n";
}

SignatureFault SplitSignedManifest(const std::string& manifest, std::size_t& signedLength,
                                   std::vector<unsigned char>& signature)
{
    signedLength = 0;
    signature.clear();
    // Only one line end may follow the comment.
    std::size_t end = manifest.size();
    if (end >= 2 && manifest.compare(end - 2, 2, "\r\n") == 0) end -= 2;
    else if (end >= 1 && manifest[end - 1] == '\n') end -= 1;
    const std::size_t start = manifest.rfind(kCommentStart);
    if (start == std::string::npos) return SignatureFault::Missing;
    const std::size_t close = manifest.find(kCommentEnd, start);
    if (close == std::string::npos) return SignatureFault::Malformed;
    if (close + std::strlen(kCommentEnd) != end) return SignatureFault::NotLast;
    const std::size_t b64 = start + std::strlen(kCommentStart);
    if (!Base64Decode(manifest.substr(b64, close - b64), signature) || signature.size() != kP256SignatureBytes) {
        signature.clear();
        return SignatureFault::Malformed;
    }
    signedLength = start;
    return SignatureFault::None;
}

const char* DescribeSignatureFault(SignatureFault fault)
{
    switch (fault) {
    case SignatureFault::None: return "signed";
    case SignatureFault::Missing: return "it is not signed";
    case SignatureFault::Malformed: return "its signature comment is malformed";
    case SignatureFault::NotLast: return "something follows its signature comment";
    }
    return "its signature cannot be read";
}

bool P256PublicKeyFromPem(const std::string& pem, unsigned char xy[kP256PublicKeyBytes])
{
    static const char kBegin[] = "-----BEGIN PUBLIC KEY-----", kEnd[] = "-----END PUBLIC KEY-----";
    const std::size_t begin = pem.find(kBegin);
    const std::size_t end = pem.find(kEnd);
    if (begin == std::string::npos || end == std::string::npos || end < begin) return false;
    std::string body;
    for (std::size_t i = begin + std::strlen(kBegin); i < end; ++i)
        if (pem[i] != '\r' && pem[i] != '\n' && pem[i] != ' ' && pem[i] != '\t') body += pem[i];
    std::vector<unsigned char> der;
    if (!Base64Decode(body, der) || der.size() != sizeof(kP256SpkiPrefix) + kP256PublicKeyBytes) return false;
    if (std::memcmp(der.data(), kP256SpkiPrefix, sizeof(kP256SpkiPrefix)) != 0) return false;
    std::memcpy(xy, der.data() + sizeof(kP256SpkiPrefix), kP256PublicKeyBytes);
    return true;
}

bool ParseSerial(const std::string& text, std::uint64_t& value)
{
    return text.size() <= 19 && ParseDecimal(text.data(), text.size(), 0x7FFFFFFFFFFFFFFFull, value);
}
