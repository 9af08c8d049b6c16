#include "manifest/Signature.h"
#include <windows.h>
#include <bcrypt.h>
#include <cstring>
#include <vector>
#include "Sha256Digest.h"
#include "rules/SignedManifest.h"
#include "UpdaterPublicKey.h"  // generated: kUpdaterPublicKeyPem, "" without a key

bool HasBuiltInPublicKey() { return kUpdaterPublicKeyPem[0] != '\0'; }

std::string CheckManifestSignature(const std::string& manifest, std::size_t& signedLength)
{
    std::vector<unsigned char> signature;
    const SignatureFault fault = SplitSignedManifest(manifest, signedLength, signature);
    if (fault != SignatureFault::None) return DescribeSignatureFault(fault);

    unsigned char xy[kP256PublicKeyBytes];
    if (!P256PublicKeyFromPem(kUpdaterPublicKeyPem, xy)) return "the built-in public key cannot be read";
    CSha256Digest sha;
    sha.Update(reinterpret_cast<const BYTE*>(manifest.data()), static_cast<UINT>(signedLength));
    BYTE digest[32];
    if (!sha.Final(digest)) return "SHA-256 is not available";

    // BCRYPT_ECCKEY_BLOB: magic, key length, then X and Y.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + kP256PublicKeyBytes);
    BCRYPT_ECCKEY_BLOB header{ BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32 };
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), xy, kP256PublicKeyBytes);

    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    std::string result = "it is signed by another key or was altered after signing";
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return "ECDSA P-256 is not available";
    if (BCRYPT_SUCCESS(::BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                             static_cast<ULONG>(blob.size()), 0))) {
        if (BCRYPT_SUCCESS(::BCryptVerifySignature(key, nullptr, digest, sizeof(digest), signature.data(),
                                                   static_cast<ULONG>(signature.size()), 0)))
            result.clear();
        ::BCryptDestroyKey(key);
    } else {
        result = "the built-in public key is not accepted by the system";
    }
    ::BCryptCloseAlgorithmProvider(alg, 0);
    return result;
}
