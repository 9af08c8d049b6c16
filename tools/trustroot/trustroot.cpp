// Test helper: makes Windows trust (or stop trusting) a certificate authority,
// the way an administrator would, so HTTPS runs can be tested with a throw-away CA.
//   trustroot add FILE     adds the certificate (PEM or DER) to the local
//                          machine's "Root" store;
//   trustroot remove FILE  deletes it from that store again;
//   trustroot has FILE     exit code 0 when the store holds it.
// Exit code 0 when done, 1 when it failed (the reason goes to stderr), 2 for usage.
#include <windows.h>
#include <wincrypt.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: trustroot add|remove|has CERT_FILE\n");
    return 2;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "trustroot: %s (error 0x%08lx)\n", what, static_cast<unsigned long>(::GetLastError()));
    return 1;
}

// The certificate's DER bytes, from a PEM or a DER file; empty when unreadable.
std::vector<BYTE> ReadCertificate(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find("-----BEGIN") == std::string::npos) return std::vector<BYTE>(text.begin(), text.end());
    DWORD size = 0;
    if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr))
        return {};
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr))
        return {};
    der.resize(size);
    return der;
}

struct Store {
    HCERTSTORE h;
    explicit Store(HCERTSTORE store) : h(store) {}
    ~Store() { if (h) ::CertCloseStore(h, 0); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
};

struct Context {
    PCCERT_CONTEXT p;
    explicit Context(PCCERT_CONTEXT cert) : p(cert) {}
    ~Context() { if (p) ::CertFreeCertificateContext(p); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) return Usage();
    const std::string command = argv[1];
    if (command != "add" && command != "remove" && command != "has") return Usage();

    const std::vector<BYTE> der = ReadCertificate(argv[2]);
    if (der.empty()) return Fail("cannot read a certificate from the file");
    Context cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    if (!cert.p) return Fail("the file holds no X.509 certificate");

    // The machine's store: the user's one makes real Windows ask the user first.
    // Its registry part only: Wine drops a deletion made through the whole system store.
    Store root(::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root"));
    if (!root.h) return Fail("cannot open the local machine's Root store");

    Context found(::CertFindCertificateInStore(root.h, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert.p, nullptr));
    if (command == "has") return found.p ? 0 : 1;
    if (command == "add") {
        if (!::CertAddCertificateContextToStore(root.h, cert.p, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            return Fail("cannot add the certificate to the Root store");
        return 0;
    }
    if (!found.p) return 0;  // nothing to remove
    // CertDeleteCertificateFromStore frees the context it is given, even on failure.
    PCCERT_CONTEXT doomed = found.p;
    found.p = nullptr;
    if (!::CertDeleteCertificateFromStore(doomed)) return Fail("cannot remove the certificate from the Root store");
    return 0;
}
