// The trust floor on WinHTTP: what the server proved itself with, judged after WinHTTP has
// validated its certificate and before the request's body (which carries the user key) is
// written. Every certificate of the chain below its trust anchor must be signed with SHA-256
// or stronger and carry an RSA key of at least 2048 bits or an elliptic-curve key of at least
// 224; the anchor's own self-signature is not judged. A TLS 1.2 key exchange must be
// ephemeral (ECDHE, or finite-field DHE of at least 2048 bits): it is judged where the
// platform tells it (WINHTTP_OPTION_SECURITY_INFO); where it does not, a trace line says so.
//
// The chain judged is the one WinHTTP validated where WinHTTP hands it out
// (WINHTTP_OPTION_SERVER_CERT_CHAIN_CONTEXT). Otherwise it is built again from what the
// machine already holds, never from the network, since this runs inside the sending step and
// no timeout of ours bounds a fetch there. Microsoft documents, for CertGetCertificateChain:
// CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL "Uses only cached URLs in building a certificate chain.
// The Internet and intranet are not searched for URL-based objects" (missing intermediates
// named by a certificate's Authority Information Access are not fetched), and
// CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE "inhibits the auto update of third-party roots from
// the Windows Update Web Server"; for CERT_CHAIN_PARA, RequestedUsage is the "kind of matching
// necessary to find issuer certificates" (here server authentication, as WinHTTP asks); and
// for CERT_TRUST_STATUS, CERT_TRUST_NO_ERROR is "No error found for this certificate or
// chain", while CERT_TRUST_IS_PARTIAL_CHAIN means "The certificate chain is not complete". A
// chain whose trust status is anything but CERT_TRUST_NO_ERROR is refused: its last
// certificate would not be an anchor.
//
// Building the chain once more costs about 0.9 ms a call under Wine (a sixth of a loopback
// exchange), so the certificates of the last server that met the floor, byte for byte as it
// sent them, are kept: the same certificates pass again without their chain being built (the
// chain engine would build the same chain from them). Any other server is judged in full, and
// what falls short is never kept. The key exchange is judged on every connection.
#include "platform/win32/trust_floor.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/unique_handle.h"

#ifndef WINHTTP_OPTION_SECURITY_INFO
#define WINHTTP_OPTION_SECURITY_INFO 151
#endif
#ifndef WINHTTP_OPTION_SERVER_CERT_CHAIN_CONTEXT
#define WINHTTP_OPTION_SERVER_CERT_CHAIN_CONTEXT 147
#endif

namespace halvane::platform {
namespace {

// What WINHTTP_OPTION_SECURITY_INFO fills in (not in every SDK's headers).
struct SecurityInfo {
    struct {
        DWORD protocol;
        ALG_ID cipher;
        DWORD cipherStrength;
        ALG_ID hash;
        DWORD hashStrength;
        ALG_ID exchange;
        DWORD exchangeStrength;
    } connection;
    unsigned char cipherInfo[1024];  // SecPkgContext_CipherInfo, not read
};

void FreeContext(PCCERT_CONTEXT context) { CertFreeCertificateContext(context); }
void FreeChain(PCCERT_CHAIN_CONTEXT chain) { CertFreeCertificateChain(chain); }

// Signature algorithms with SHA-256 or stronger, and names for the common weak ones.
constexpr const char* kStrongSignatures[] = {
    "1.2.840.113549.1.1.11", "1.2.840.113549.1.1.12", "1.2.840.113549.1.1.13",  // RSA with SHA-256/384/512
    "1.2.840.10045.4.3.2",   "1.2.840.10045.4.3.3",   "1.2.840.10045.4.3.4",    // ECDSA with SHA-256/384/512
    "1.3.101.112",           "1.3.101.113",                                     // Ed25519, Ed448
};
struct Named {
    const char* oid;
    const char* name;
};
constexpr Named kWeakSignatures[] = {
    {"1.2.840.113549.1.1.5", "SHA-1"}, {"1.2.840.10045.4.1", "SHA-1"},  {"1.2.840.10040.4.3", "SHA-1"},
    {"1.2.840.113549.1.1.4", "MD5"},   {"1.2.840.113549.1.1.2", "MD2"}, {"1.2.840.113549.1.1.14", "SHA-224"},
};
constexpr const char* kRsaPss = "1.2.840.113549.1.1.10";
constexpr const char* kRsaKey = "1.2.840.113549.1.1.1";
constexpr const char* kEcKey = "1.2.840.10045.2.1";
constexpr const char* kEdwardsKeys[] = {"1.3.101.112", "1.3.101.113"};

bool Is(const char* oid, const char* wanted) { return oid != nullptr && std::strcmp(oid, wanted) == 0; }

std::string Which(DWORD index) { return index == 0 ? "server certificate" : "CA certificate " + std::to_string(index); }

void Refuse(const std::string& what) {
    const std::string line = "SendPostRequestTo: below the trust floor: " + what + "\n";
    Trace(line.c_str());
}

// An RSA-PSS signature names its hash in its parameters.
bool StrongPss(const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
    CRYPT_RSA_SSA_PSS_PARAMETERS* parameters = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_SSA_PSS_PARAMETERS, algorithm.Parameters.pbData,
                             algorithm.Parameters.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &parameters, &size)) {
        return false;
    }
    const char* hash = parameters->HashAlgorithm.pszObjId;
    const bool strong = Is(hash, szOID_NIST_sha256) || Is(hash, szOID_NIST_sha384) || Is(hash, szOID_NIST_sha512);
    LocalFree(parameters);
    return strong;
}

bool SignatureMeetsFloor(const CERT_INFO& info, DWORD index) {
    const char* oid = info.SignatureAlgorithm.pszObjId;
    for (const char* strong : kStrongSignatures) {
        if (Is(oid, strong)) return true;
    }
    if (Is(oid, kRsaPss) && StrongPss(info.SignatureAlgorithm)) return true;
    const char* name = oid != nullptr ? oid : "none";
    for (const Named& weak : kWeakSignatures) {
        if (Is(oid, weak.oid)) name = weak.name;
    }
    Refuse(Which(index) + " signature: " + name + ", below SHA-256");
    return false;
}

bool KeyMeetsFloor(const CERT_INFO& info, DWORD index) {
    const CERT_PUBLIC_KEY_INFO& key = info.SubjectPublicKeyInfo;
    const char* oid = key.Algorithm.pszObjId;
    for (const char* edwards : kEdwardsKeys) {
        if (Is(oid, edwards)) return true;
    }
    if (Is(oid, kRsaKey)) {
        const DWORD bits = CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&key));
        if (bits >= 2048) return true;
        Refuse(Which(index) + " key: RSA " + std::to_string(bits) + " bits, below 2048");
        return false;
    }
    if (Is(oid, kEcKey)) {
        // The point, uncompressed (04 x y) or compressed (02/03 x): the field size in bits.
        const CRYPT_BIT_BLOB& point = key.PublicKey;
        DWORD bits = 0;
        if (point.cbData > 1 && point.pbData[0] == 4) bits = (point.cbData - 1) / 2 * 8;
        if (point.cbData > 1 && (point.pbData[0] == 2 || point.pbData[0] == 3)) bits = (point.cbData - 1) * 8;
        if (bits >= 224) return true;
        Refuse(Which(index) + " key: EC " + std::to_string(bits) + " bits, below 224");
        return false;
    }
    Refuse(Which(index) + " key: algorithm " + (oid != nullptr ? oid : "none") + ", not RSA or EC");
    return false;
}

// The key exchange, where WinHTTP tells it; true (and a trace line) where it does not.
bool ExchangeMeetsFloor(HINTERNET request) {
    SecurityInfo security{};
    DWORD size = sizeof security;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SECURITY_INFO, &security, &size)) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "SendPostRequestTo: the TLS key exchange cannot be read (WINHTTP_OPTION_SECURITY_INFO FAILED, "
                      "GetLastError = %lu): not judged\n",
                      GetLastError());
        Trace(line);
        return true;
    }
    constexpr DWORD kTls12 = 0x800;  // SP_PROT_TLS1_2_CLIENT: TLS 1.3 key exchanges are all ephemeral
    const ALG_ID exchange = security.connection.exchange;
    const DWORD bits = security.connection.exchangeStrength;
    if (security.connection.protocol == kTls12 && exchange != CALG_DH_EPHEM && exchange != CALG_ECDH_EPHEM) {
        Refuse(std::string("TLS key exchange: ") +
               (exchange == CALG_RSA_KEYX ? "RSA" : "algorithm " + std::to_string(exchange)) + ", no forward secrecy");
        return false;
    }
    if (exchange == CALG_DH_EPHEM && bits < 2048) {
        Refuse("TLS key exchange: DHE " + std::to_string(bits) + " bits, below 2048");
        return false;
    }
    if (exchange == CALG_ECDH_EPHEM && bits != 0 && bits < 224) {
        Refuse("TLS key exchange: ECDHE " + std::to_string(bits) + " bits, below 224");
        return false;
    }
    return true;
}

// The certificates a server sent, encoded, in the order of its certificate store
// (std::bad_alloc: memory ran out).
using Sent = std::vector<std::string>;
void SentBy(PCCERT_CONTEXT server, Sent* sent) {
    PCCERT_CONTEXT c = nullptr;
    try {
        while ((c = CertEnumCertificatesInStore(server->hCertStore, c)) != nullptr)
            sent->emplace_back(reinterpret_cast<const char*>(c->pbCertEncoded), c->cbCertEncoded);
    } catch (const std::bad_alloc&) {
        CertFreeCertificateContext(c);  // the enumeration's reference; memory ran out, as for the reply
        throw;
    }
}

// The certificates of the last server that met the floor.
class LastPassed {
public:
    bool Holds(const Sent& sent) {
        AcquireSRWLockShared(&lock_);
        const bool same = !sent.empty() && sent == kept_;
        ReleaseSRWLockShared(&lock_);
        return same;
    }
    void Keep(Sent&& sent) {
        AcquireSRWLockExclusive(&lock_);
        kept_.swap(sent);
        ReleaseSRWLockExclusive(&lock_);
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    Sent kept_;
};
LastPassed gLastPassed;

// The chain WinHTTP validated, where it hands it out; else the same built offline, for server
// authentication; null when neither can be had.
PCCERT_CHAIN_CONTEXT ValidatedChain(HINTERNET request, PCCERT_CONTEXT server) {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    DWORD size = sizeof chain;
    if (WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) && chain != nullptr) {
        return chain;
    }
    char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuthentication};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    constexpr DWORD kOffline = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
    if (!CertGetCertificateChain(nullptr, server, nullptr, server->hCertStore, &parameters, kOffline, nullptr,
                                 &chain)) {
        return nullptr;
    }
    return chain;
}

bool ChainMeetsFloor(HINTERNET request, PCCERT_CONTEXT raw) {
    PCCERT_CHAIN_CONTEXT rawChain = ValidatedChain(request, raw);
    UniqueHandle<PCCERT_CHAIN_CONTEXT, FreeChain> chain(rawChain);
    if (rawChain == nullptr || rawChain->cChain == 0 || rawChain->rgpChain[0]->cElement == 0) {
        Refuse("the server certificate's chain cannot be built");
        return false;
    }
    if (const DWORD status = rawChain->TrustStatus.dwErrorStatus; status != CERT_TRUST_NO_ERROR) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lx", status);
        Refuse(std::string("the server certificate's chain is not trusted without the network (trust status ") + hex +
               ((status & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 ? ": incomplete)" : ")"));
        return false;
    }
    const CERT_SIMPLE_CHAIN& simple = *rawChain->rgpChain[0];
    // The last element is the trust anchor: its key is judged, its self-signature is not.
    for (DWORD i = 0; i < simple.cElement; ++i) {
        const CERT_INFO& info = *simple.rgpElement[i]->pCertContext->pCertInfo;
        const bool anchor = i + 1 == simple.cElement;
        if (!KeyMeetsFloor(info, i) || (!anchor && !SignatureMeetsFloor(info, i))) return false;
    }
    return true;
}

}  // namespace

bool MeetsTrustFloor(HINTERNET request) {
    PCCERT_CONTEXT raw = nullptr;
    DWORD size = sizeof raw;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || raw == nullptr) {
        // A status without a certificate is the proxy's answer to the tunnel, not the server's.
        DWORD status = 0;
        size = sizeof status;
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
            status != 0) {
            Trace(("SendPostRequestTo: the proxy refused the tunnel: HTTP " + std::to_string(status) + "\n").c_str());
        } else {
            Refuse("the server certificate cannot be read");
        }
        return false;
    }
    UniqueHandle<PCCERT_CONTEXT, FreeContext> certificate(raw);
    Sent sent;
    SentBy(raw, &sent);
    if (!gLastPassed.Holds(sent)) {
        if (!ChainMeetsFloor(request, raw)) return false;
        if (!sent.empty()) gLastPassed.Keep(std::move(sent));
    }
    return ExchangeMeetsFloor(request);
}

}  // namespace halvane::platform
