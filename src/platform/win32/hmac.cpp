// HMAC-SHA256 through CNG: the SHA-256 provider in HMAC mode, handles released on every path.
#include <windows.h>
#include <bcrypt.h>

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace halvane::platform {

namespace {

void CloseProvider(BCRYPT_ALG_HANDLE provider) { BCryptCloseAlgorithmProvider(provider, 0); }
void DestroyHash(BCRYPT_HASH_HANDLE hash) { BCryptDestroyHash(hash); }

using UniqueProvider = UniqueHandle<BCRYPT_ALG_HANDLE, CloseProvider>;
using UniqueHash = UniqueHandle<BCRYPT_HASH_HANDLE, DestroyHash>;

}  // namespace

bool HmacSha256(const uint8_t* key, std::size_t keySize, const uint8_t* message, std::size_t messageSize,
                uint8_t digest[32]) {
    // Declared provider first, so the hash object is destroyed before the provider closes.
    UniqueProvider provider;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG) !=
        0) {
        return false;
    }
    UniqueHash hash;
    if (BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, const_cast<PUCHAR>(key), static_cast<ULONG>(keySize),
                         0) != 0) {
        return false;
    }
    if (BCryptHashData(hash.get(), const_cast<PUCHAR>(message), static_cast<ULONG>(messageSize), 0) != 0) {
        return false;
    }
    return BCryptFinishHash(hash.get(), digest, 32, 0) == 0;
}

}  // namespace halvane::platform
