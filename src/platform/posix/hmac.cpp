// HMAC-SHA256 through OpenSSL's libcrypto.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/platform.h"

namespace halvane::platform {

bool HmacSha256(const uint8_t* key, std::size_t keySize, const uint8_t* message, std::size_t messageSize,
                uint8_t digest[32]) {
    unsigned int length = 0;
    // HMAC() never reads past keySize; an empty message may come with a null pointer.
    static const uint8_t kEmpty = 0;
    if (HMAC(EVP_sha256(), key, static_cast<int>(keySize), messageSize ? message : &kEmpty, messageSize, digest,
             &length) == nullptr) {
        return false;
    }
    return length == 32;
}

}  // namespace halvane::platform
