// SHA-256 and manifest signing for the publisher. The one place that differs
// between the builds: OpenSSL's libcrypto on Linux, CNG on Windows (where
// there is no OpenSSL, so no signing).
#pragma once
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include "rules/SignedManifest.h"

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const void* data, std::size_t length);
    // The 32 bytes; false when hashing failed. One message per object.
    bool Final(unsigned char out[32]);
    // Lowercase hex; empty when hashing failed. One message per object.
    std::string FinalHex();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A P-256 private key to sign manifests with.
class SigningKey {
public:
    // The key in a PEM file (SEC1 "EC PRIVATE KEY" or PKCS#8); null with the
    // reason in error when it cannot be read or is not a P-256 private key.
    static std::unique_ptr<SigningKey> Load(const std::filesystem::path& pem, std::string& error);
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // r||s of an ECDSA signature over the SHA-256 of the bytes; false with the
    // reason in error when signing failed.
    bool Sign(const std::string& bytes, unsigned char signature[kP256SignatureBytes], std::string& error) const;

private:
    struct State;
    explicit SigningKey(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// A P-256 public key to check signed manifests with, as the updater does.
class VerifyingKey {
public:
    // The key in a PEM file ("openssl ec -pubout"); null with the reason in
    // error when it cannot be read or is not a P-256 public key.
    static std::unique_ptr<VerifyingKey> Load(const std::filesystem::path& pem, std::string& error);
    ~VerifyingKey();
    VerifyingKey(const VerifyingKey&) = delete;
    VerifyingKey& operator=(const VerifyingKey&) = delete;

    // True when r||s is this key's ECDSA signature over the SHA-256 of the bytes.
    bool Verifies(const std::string& bytes, const unsigned char signature[kP256SignatureBytes]) const;

private:
    struct State;
    explicit VerifyingKey(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
