// The trust floor on OpenSSL: security level 2 (112 bits of security) on every connection.
// Certificates below the trust anchor signed with SHA-1 or MD5, RSA and finite-field keys
// under 2048 bits, elliptic-curve keys under 224 bits and a TLS 1.2 key exchange on a group
// below those sizes then fail the handshake; the anchor's own self-signature is not judged.
// A host policy that lowers the level (CipherString = DEFAULT:@SECLEVEL=0, say) cannot lower
// it for the module; one that raises it stays. A TLS 1.2 key exchange must also be ephemeral
// (ECDHE or DHE: forward secrecy): no other cipher suite is offered or taken, so a server
// that has only RSA key exchange fails the handshake before the request is written.
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
thread_local bool tServerHello = false;  // the current handshake's server hello came

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
// A TLS 1.2 cipher suite without an ephemeral key exchange (TLS 1.3 suites name none).
bool WithoutForwardSecrecy(const SSL_CIPHER* cipher) {
    const int exchange = SSL_CIPHER_get_kx_nid(cipher);
    return exchange != NID_kx_ecdhe && exchange != NID_kx_dhe && exchange != NID_kx_any;
}
int OnSecurity(const SSL* ssl, const SSL_CTX* context, int op, int bits, int nid, void* other, void* ex) {
    const int cipherOp = op & ~SSL_SECOP_PEER;
    if ((cipherOp == SSL_SECOP_CIPHER_SUPPORTED || cipherOp == SSL_SECOP_CIPHER_SHARED ||
         cipherOp == SSL_SECOP_CIPHER_CHECK) &&
        other != nullptr && WithoutForwardSecrecy(static_cast<const SSL_CIPHER*>(other))) {
        return 0;
    }
    const int allowed = DefaultSecurity()(ssl, context, op, bits, nid, other, ex);
    if (allowed == 0 && (op & ~SSL_SECOP_PEER) == SSL_SECOP_TMP_DH && other != nullptr) {
        tShortfall = "TLS key exchange: DHE " + std::to_string(EVP_PKEY_get_bits(static_cast<EVP_PKEY*>(other))) +
                     " bits, below 2048";
    }
    return allowed;
}

// A server that refuses the handshake before its hello has found no cipher suite it shares
// with the client, and the client offers only those with forward secrecy.
void OnMessage(int written, int, int type, const void* bytes, std::size_t size, SSL*, void*) {
    const auto* data = static_cast<const unsigned char*>(bytes);
    if (written != 0 || size < 2) return;
    if (type == SSL3_RT_HANDSHAKE && data[0] == SSL3_MT_SERVER_HELLO) tServerHello = true;
    if (type == SSL3_RT_ALERT && data[1] == SSL_AD_HANDSHAKE_FAILURE && !tServerHello && tShortfall.empty()) {
        tShortfall = "TLS key exchange: the server offers none with forward secrecy (ECDHE or DHE)";
    }
}

}  // namespace

int HoldTrustFloor(void*, void* sslContext, void*) noexcept {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (SSL_CTX_get_security_level(context) < kFloorLevel) SSL_CTX_set_security_level(context, kFloorLevel);
    if (DefaultSecurity() != nullptr && SSL_CTX_get_security_callback(context) == DefaultSecurity()) {
        SSL_CTX_set_security_callback(context, OnSecurity);
    }
    SSL_CTX_set_verify(context, SSL_CTX_get_verify_mode(context), OnVerify);
    SSL_CTX_set_msg_callback(context, OnMessage);
    tShortfall.clear();
    tServerHello = false;
    return 0;  // CURLE_OK
}

std::string TakeTrustShortfall() { return std::exchange(tShortfall, std::string()); }

}  // namespace halvane::platform
