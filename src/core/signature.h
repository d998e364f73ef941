// Reply signatures: lower-case hex HMAC-SHA256 under the key shared with the service.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvane {

using SignatureKey = std::array<uint8_t, 32>;

// The digest text of `message` under `key`, or the empty text when the provider fails.
std::string ComputeHmacSha256Hex(std::string_view message, const uint8_t* key, std::size_t keySize);

// The shared key, built afresh from the stored table and mask.
SignatureKey BuildSignatureKey();

// True only when the digest text of `payload` is not empty and equals `signature` exactly.
bool VerifyReplySignature(std::string_view payload, std::string_view signature);

}  // namespace halvane
