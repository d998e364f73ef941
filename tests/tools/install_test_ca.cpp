// Adds DER certificates to the current user's Root store of the Wine prefix the tests run
// in, so that WinHTTP trusts the throwaway test CAs. Certificate checks stay on.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

bool Install(HCERTSTORE store, const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fprintf(stderr, "install_test_ca: cannot read %s\n", path);
        return false;
    }
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "install_test_ca: cannot add %s (%lu)\n", path, GetLastError());
        return false;
    }
    std::printf("install_test_ca: added %s to CurrentUser\\Root\n", path);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: install_test_ca CA.der...\n");
        return 2;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "install_test_ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    bool added = true;
    for (int i = 1; i < argc; ++i) added = Install(store, argv[i]) && added;
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}
