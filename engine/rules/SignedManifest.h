// The signed manifest's format, in one place for the updater (which verifies)
// and the publisher (which signs). Platform-free.
//
// A signed manifest ends with one comment, optionally followed by one line end:
//   <!-- signature: ecdsa-p256-sha256 BASE64 -->
// BASE64 (standard alphabet, padded) holds r||s, 32 bytes each, big-endian: an
// ECDSA P-256 signature over the SHA-256 of every byte before that "<!--".
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const std::size_t kP256SignatureBytes = 64;
const std::size_t kP256PublicKeyBytes = 64;  // X then Y, big-endian

std::string Base64Encode(const unsigned char* data, std::size_t length);
// Strict: standard alphabet, padding required, nothing else (no white space).
bool Base64Decode(const std::string& text, std::vector<unsigned char>& out);

// The comment that ends a manifest signed with this signature (with a line end).
std::string SignatureComment(const unsigned char signature[kP256SignatureBytes]);

enum class SignatureFault { None, Missing, Malformed, NotLast };
// Finds the signature comment: signedLength receives the number of bytes it
// covers (everything before its "<!--").
SignatureFault SplitSignedManifest(const std::string& manifest, std::size_t& signedLength,
                                   std::vector<unsigned char>& signature);
const char* DescribeSignatureFault(SignatureFault fault);

// The point of a P-256 public key from its PEM text (SubjectPublicKeyInfo, as
// "openssl ec -pubout" writes it). False for any other key.
bool P256PublicKeyFromPem(const std::string& pem, unsigned char xy[kP256PublicKeyBytes]);

// The manifest's "serial": an unsigned decimal of at most 2^63-1.
bool ParseSerial(const std::string& text, std::uint64_t& value);
