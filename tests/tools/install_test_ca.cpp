// Adds DER certificates to the current user's Root store of the Wine prefix the tests run
// in, so that WinHTTP trusts the throwaway test CAs (certificate checks stay on); with
// --check, only reads the store back and names every certificate it lacks.
//
// Only a certificate the store lacks is added (CERT_STORE_ADD_NEW), after a look of our own:
// Wine 8's add keeps a reference to a matching certificate it finds (with
// CERT_STORE_ADD_REPLACE_EXISTING or CERT_STORE_ADD_USE_EXISTING alike), so the store is
// never really closed and what else was added in that session never reaches the registry,
// though every add reported success (seen with WINEDEBUG=+crypt: the collection's last
// release leaves a reference and no registry write follows). A prefix that held the test CA
// from an earlier set-up lost every root added beside it.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<unsigned char> ReadFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Adds (or with `check`, looks for) the certificate in `path`; false, said, when it fails.
bool Handle(HCERTSTORE store, const char* path, bool check) {
    const std::vector<unsigned char> der = ReadFile(path);
    PCCERT_CONTEXT cert =
        der.empty() ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (cert == nullptr) {
        std::fprintf(stderr, "install_test_ca: cannot read a certificate from %s\n", path);
        return false;
    }
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
    bool ok = found != nullptr;
    if (found != nullptr) CertFreeCertificateContext(found);
    if (check) {
        if (!ok) std::fprintf(stderr, "install_test_ca: %s is MISSING from CurrentUser\\Root\n", path);
    } else {
        ok = ok || CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_NEW, nullptr) != FALSE;
        if (ok) {
            std::printf("install_test_ca: %s is in CurrentUser\\Root\n", path);
        } else {
            std::fprintf(stderr, "install_test_ca: cannot add %s (%lu)\n", path, GetLastError());
        }
    }
    CertFreeCertificateContext(cert);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool check = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    const int first = check ? 2 : 1;
    if (argc <= first) {
        std::fprintf(stderr, "usage: install_test_ca [--check] CA.der...\n");
        return 2;
    }
    const DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER | (check ? CERT_STORE_READONLY_FLAG : 0);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "install_test_ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    bool ok = true;
    for (int i = first; i < argc; ++i) ok = Handle(store, argv[i], check) && ok;
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}
