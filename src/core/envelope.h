// The request envelope: the form-encoded body every operation posts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace halvane {

// Decimal text of a signed 64-bit value: no leading zeros, no plus sign.
std::string DecimalText(int64_t value);

// The current time in seconds since 1970 as decimal text.
std::string TimestampText();

// 16 fresh random bytes as 32 lower-case hex characters.
std::string MakeNonce();

// Lower-case hex of `size` bytes, high digit first, no separators.
std::string BytesToHex(const uint8_t* bytes, std::size_t size);

// Percent-encoding that passes only ASCII letters, digits and "-._~".
std::string UrlEncode(std::string_view text);

struct RequestField {
    std::string_view name;
    std::string_view value;  // before encoding
};

// "name=value" pairs joined by "&", every value URL-encoded, in the order given.
std::string BuildRequestBody(std::span<const RequestField> fields);
inline std::string BuildRequestBody(std::initializer_list<RequestField> fields) {
    return BuildRequestBody(std::span<const RequestField>(fields.begin(), fields.size()));
}

}  // namespace halvane
