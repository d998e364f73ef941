#include "core/signature.h"

#include "core/envelope.h"
#include "core/key_material.h"
#include "platform/platform.h"

namespace halvane {

namespace {

// Overwrites `size` bytes in a way the compiler may not drop as a dead store.
void Wipe(void* data, std::size_t size) {
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

class ScopedKey {
public:
    ScopedKey() : key_(BuildSignatureKey()) {}
    ~ScopedKey() { Wipe(key_.data(), key_.size()); }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    const SignatureKey& get() const { return key_; }

private:
    SignatureKey key_;
};

}  // namespace

std::string ComputeHmacSha256Hex(std::string_view message, const uint8_t* key, std::size_t keySize) {
    uint8_t digest[32];
    if (!platform::HmacSha256(key, keySize, reinterpret_cast<const uint8_t*>(message.data()), message.size(), digest)) {
        return {};
    }
    return BytesToHex(digest, sizeof digest);
}

SignatureKey BuildSignatureKey() {
    SignatureKey key;
    // The mask is read through a volatile object so that the key is never folded into a
    // constant of the binary.
    const uint8_t mask = kSignatureKeyMask;
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = kSignatureKeyTable[i] ^ mask;
    return key;
}

bool VerifyReplySignature(std::string_view payload, std::string_view signature) {
    std::string digest;
    {
        ScopedKey key;
        digest = ComputeHmacSha256Hex(payload, key.get().data(), key.get().size());
    }
    if (digest.empty() || digest.size() != signature.size()) return false;
    // Every byte is compared, whatever the first difference, so that the time taken does
    // not tell how much of a forged signature was right.
    unsigned char difference = 0;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        difference |= static_cast<unsigned char>(digest[i] ^ signature[i]);
    }
    return difference == 0;
}

}  // namespace halvane
