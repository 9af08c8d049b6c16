#include "Crypto.h"
#include <cstring>

#ifdef _WIN32

#include "Sha256Digest.h"

struct Sha256::State {
    CSha256Digest digest;
};
struct SigningKey::State {};

Sha256::Sha256() : m_state(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
void Sha256::Update(const void* data, std::size_t length)
{
    // CNG takes at most 4 GiB - 1 per call; the publisher's blocks are far smaller.
    m_state->digest.Update(static_cast<const BYTE*>(data), static_cast<UINT>(length));
}
bool Sha256::Final(unsigned char out[32]) { return m_state->digest.Final(out); }
std::string Sha256::FinalHex() { return m_state->digest.FinalHex(); }

SigningKey::SigningKey(std::unique_ptr<State> state) : m_state(std::move(state)) {}
SigningKey::~SigningKey() = default;

std::unique_ptr<SigningKey> SigningKey::Load(const std::filesystem::path&, std::string& error)
{
    error = "this Windows build of updater-publish cannot sign (it has no OpenSSL); sign with the Linux build";
    return nullptr;
}

bool SigningKey::Sign(const std::string&, unsigned char*, std::string& error) const
{
    error = "signing needs the Linux build";
    return false;
}

struct VerifyingKey::State {};
VerifyingKey::VerifyingKey(std::unique_ptr<State> state) : m_state(std::move(state)) {}
VerifyingKey::~VerifyingKey() = default;

std::unique_ptr<VerifyingKey> VerifyingKey::Load(const std::filesystem::path&, std::string& error)
{
    error = "checking signatures needs the Linux build of updater-publish";
    return nullptr;
}

bool VerifyingKey::Verifies(const std::string&, const unsigned char*) const { return false; }

#else

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include "SiteFiles.h"

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
void FreeOpenssl(unsigned char* p) { OPENSSL_free(p); }
using OpensslBytes = std::unique_ptr<unsigned char, Deleter<unsigned char, FreeOpenssl>>;
void FreeBio(BIO* b) { BIO_free(b); }
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, FreeBio>>;

// OpenSSL's own words for the last failure, or the fallback.
std::string LastError(const char* fallback)
{
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? std::string(fallback) + " (" + reason + ")" : fallback;
}

// Never prompts: the publisher runs in scripts.
int NoPassphrase(char*, int, int, void*) { return -1; }

} // namespace

struct Sha256::State {
    MdCtxPtr ctx{ EVP_MD_CTX_new() };
    bool ok = false;
};

Sha256::Sha256() : m_state(std::make_unique<State>())
{
    m_state->ok = m_state->ctx && EVP_DigestInit_ex(m_state->ctx.get(), EVP_sha256(), nullptr) == 1;
}
Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length)
{
    if (m_state->ok && EVP_DigestUpdate(m_state->ctx.get(), data, length) != 1) m_state->ok = false;
}

bool Sha256::Final(unsigned char out[32])
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const bool ok = m_state->ok && EVP_DigestFinal_ex(m_state->ctx.get(), digest, &n) == 1 && n == 32;
    m_state->ok = false;
    if (ok) std::memcpy(out, digest, 32);
    return ok;
}

std::string Sha256::FinalHex()
{
    unsigned char digest[32];
    if (!Final(digest)) return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < 32; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

struct SigningKey::State {
    PkeyPtr key;
};

SigningKey::SigningKey(std::unique_ptr<State> state) : m_state(std::move(state)) {}
SigningKey::~SigningKey() = default;

std::unique_ptr<SigningKey> SigningKey::Load(const std::filesystem::path& pem, std::string& error)
{
    std::string body;
    if (!ReadWholeFile(pem, body, error)) return nullptr;
    if (body.find("-----BEGIN PUBLIC KEY-----") != std::string::npos) {
        error = "is a public key; signing needs the private key (update-key.pem)";
        return nullptr;
    }
    if (body.find("ENCRYPTED") != std::string::npos) {
        error = "is protected by a passphrase, which updater-publish cannot ask for";
        return nullptr;
    }
    BioPtr bio(BIO_new_mem_buf(body.data(), static_cast<int>(body.size())));
    PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr) : nullptr);
    if (!key) {
        ERR_clear_error();
        error = "is not a PEM private key";
        return nullptr;
    }
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) {
        const char* type = EVP_PKEY_get0_type_name(key.get());
        error = std::string("is a key of type ") + (type ? type : "other than EC") +
                "; the updater takes ECDSA P-256 (prime256v1) signatures only";
        return nullptr;
    }
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_group_name(key.get(), group, sizeof(group), &length) != 1) group[0] = '\0';
    if (OBJ_sn2nid(group) != NID_X9_62_prime256v1 && EC_curve_nist2nid(group) != NID_X9_62_prime256v1) {
        error = std::string("is an EC key on ") + (group[0] ? group : "an unnamed curve") +
                "; the updater takes P-256 (prime256v1) keys only";
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->key = std::move(key);
    return std::unique_ptr<SigningKey>(new SigningKey(std::move(state)));
}

bool SigningKey::Sign(const std::string& bytes, unsigned char signature[kP256SignatureBytes], std::string& error) const
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_state->key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) != 1) {
        error = LastError("signing failed");
        return false;
    }
    std::string der(length, '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(&der[0]);
    if (EVP_DigestSign(ctx.get(), out, &length, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
        error = LastError("signing failed");
        return false;
    }
    // OpenSSL writes DER; the manifest carries r and s as two fixed 32-byte halves.
    const unsigned char* p = out;
    SigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
    const BIGNUM *r = nullptr, *s = nullptr;
    if (sig) ECDSA_SIG_get0(sig.get(), &r, &s);
    if (!r || !s || BN_bn2binpad(r, signature, 32) != 32 || BN_bn2binpad(s, signature + 32, 32) != 32) {
        error = "the signature is not a P-256 signature";
        return false;
    }
    return true;
}

struct VerifyingKey::State {
    PkeyPtr key;
};

VerifyingKey::VerifyingKey(std::unique_ptr<State> state) : m_state(std::move(state)) {}
VerifyingKey::~VerifyingKey() = default;

std::unique_ptr<VerifyingKey> VerifyingKey::Load(const std::filesystem::path& pem, std::string& error)
{
    std::string text;
    if (!ReadWholeFile(pem, text, error)) return nullptr;
    // Read with the updater's own parser, so a key it would not take is refused here too.
    unsigned char point[1 + kP256PublicKeyBytes] = { 0x04 };
    if (!P256PublicKeyFromPem(text, point + 1)) {
        error = "is not a P-256 public key in PEM (as \"openssl ec -pubout\" writes it)";
        return nullptr;
    }
    char group[] = "prime256v1";
    OSSL_PARAM params[] = { OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                            OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point)),
                            OSSL_PARAM_construct_end() };
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        error = LastError("is not a point on P-256");
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->key.reset(raw);
    return std::unique_ptr<VerifyingKey>(new VerifyingKey(std::move(state)));
}

bool VerifyingKey::Verifies(const std::string& bytes, const unsigned char signature[kP256SignatureBytes]) const
{
    // The manifest carries r||s; OpenSSL checks DER.
    SigPtr sig(ECDSA_SIG_new());
    BnPtr r(BN_bin2bn(signature, 32, nullptr)), s(BN_bin2bn(signature + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return false;
    r.release();  // owned by sig now
    s.release();
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    OpensslBytes derOwned(der);
    MdCtxPtr md(EVP_MD_CTX_new());
    const bool ok = derLength > 0 && md &&
                    EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, m_state->key.get()) == 1 &&
                    EVP_DigestVerify(md.get(), der, static_cast<size_t>(derLength),
                                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
    ERR_clear_error();
    return ok;
}

#endif
