// The trust floor on OpenSSL: security level 2 (112 bits of security) on every connection.
// Certificates below the trust anchor signed with SHA-1 or MD5, RSA and finite-field keys
// under 2048 bits, elliptic-curve keys under 224 bits and a TLS 1.2 key exchange on a group
// below those sizes then fail the handshake; the anchor's own self-signature is not judged.
// A host policy that lowers the level (CipherString = DEFAULT:@SECLEVEL=0, say) cannot lower
// it for the module; one that raises it stays.
#include "platform/posix/trust_floor.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <utility>

namespace halvane::platform {
namespace {

constexpr int kFloorLevel = 2;
thread_local std::string tShortfall;

std::string KeyOf(X509* certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate);
    if (key == nullptr) return "unreadable";
    const int type = EVP_PKEY_get_base_id(key);
    const char* name = type == EVP_PKEY_RSA ? "RSA" : type == EVP_PKEY_EC ? "EC" : type == EVP_PKEY_DSA ? "DSA" : "key";
    const int floor = type == EVP_PKEY_EC ? 224 : 2048;
    return std::string(name) + " " + std::to_string(EVP_PKEY_get_bits(key)) + " bits, below " + std::to_string(floor);
}

std::string SignatureOf(X509* certificate) {
    int digest = NID_undef;
    if (X509_get_signature_info(certificate, &digest, nullptr, nullptr, nullptr) != 1 || digest == NID_undef) {
        return "unknown";
    }
    return std::string(OBJ_nid2sn(digest)) + ", below SHA-256";
}

int OnVerify(int ok, X509_STORE_CTX* store) {
    if (ok == 1) return ok;
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    const std::string which = depth == 0 ? "server certificate" : "CA certificate " + std::to_string(depth);
    switch (X509_STORE_CTX_get_error(store)) {
        case X509_V_ERR_EE_KEY_TOO_SMALL:
        case X509_V_ERR_CA_KEY_TOO_SMALL:
            if (certificate != nullptr) tShortfall = which + " key: " + KeyOf(certificate);
            break;
        case X509_V_ERR_CA_MD_TOO_WEAK:
            if (certificate != nullptr) tShortfall = which + " signature: " + SignatureOf(certificate);
            break;
        default: break;
    }
    return ok;
}

// OpenSSL's own judgement, with a note when it refuses the server's key-exchange group.
using SecurityCallback = int (*)(const SSL*, const SSL_CTX*, int, int, int, void*, void*);
SecurityCallback DefaultSecurity() {
    static const SecurityCallback callback = [] {
        SSL_CTX* probe = SSL_CTX_new(TLS_client_method());
        const SecurityCallback found = probe != nullptr ? SSL_CTX_get_security_callback(probe) : nullptr;
        SSL_CTX_free(probe);
        return found;
    }();
    return callback;
}
int OnSecurity(const SSL* ssl, const SSL_CTX* context, int op, int bits, int nid, void* other, void* ex) {
    const int allowed = DefaultSecurity()(ssl, context, op, bits, nid, other, ex);
    if (allowed == 0 && (op & ~SSL_SECOP_PEER) == SSL_SECOP_TMP_DH && other != nullptr) {
        tShortfall = "TLS key exchange: DHE " + std::to_string(EVP_PKEY_get_bits(static_cast<EVP_PKEY*>(other))) +
                     " bits, below 2048";
    }
    return allowed;
}

}  // namespace

int HoldTrustFloor(void*, void* sslContext, void*) noexcept {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (SSL_CTX_get_security_level(context) < kFloorLevel) SSL_CTX_set_security_level(context, kFloorLevel);
    if (DefaultSecurity() != nullptr && SSL_CTX_get_security_callback(context) == DefaultSecurity()) {
        SSL_CTX_set_security_callback(context, OnSecurity);
    }
    SSL_CTX_set_verify(context, SSL_CTX_get_verify_mode(context), OnVerify);
    tShortfall.clear();
    return 0;  // CURLE_OK
}

std::string TakeTrustShortfall() { return std::exchange(tShortfall, std::string()); }

}  // namespace halvane::platform
