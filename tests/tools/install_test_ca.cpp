// Adds a DER certificate to the current user's Root store of the Wine prefix the tests run
// in, so that WinHTTP trusts the throwaway test CA. Certificate checks stay on.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: install_test_ca CA.der\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<unsigned char> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fprintf(stderr, "install_test_ca: cannot read %s\n", argv[1]);
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "install_test_ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "install_test_ca: cannot add the certificate (%lu)\n", error);
        return 1;
    }
    std::printf("install_test_ca: added %s to CurrentUser\\Root\n", argv[1]);
    return 0;
}
