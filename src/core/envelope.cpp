#include "core/envelope.h"

#include <array>
#include <cstdlib>

#include "platform/platform.h"

namespace halvane {

std::string DecimalText(int64_t value) {
    // Work on the unsigned magnitude so that the smallest value needs no special case.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::string text;
    text.reserve(count + 1);
    if (value < 0) text.push_back('-');
    while (count > 0) text.push_back(digits[--count]);
    return text;
}

std::string TimestampText() { return DecimalText(platform::CurrentTime()); }

std::string MakeNonce() {
    std::array<uint8_t, 16> bytes{};
    if (!platform::SystemRandom(bytes.data(), bytes.size())) {
        // The C library's generator stands in, silently: same second, same seed, same nonce.
        std::srand(static_cast<unsigned>(platform::CurrentTime()));
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(std::rand() & 0xFF);
    }
    return BytesToHex(bytes.data(), bytes.size());
}

std::string BytesToHex(const uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(size * 2, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

namespace {
bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}
}  // namespace

std::string UrlEncode(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (IsUnreserved(c)) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(kDigits[c >> 4]);
            encoded.push_back(kDigits[c & 0x0F]);
        }
    }
    return encoded;
}

std::string BuildRequestBody(std::span<const RequestField> fields) {
    std::string body;
    for (const RequestField& field : fields) {
        if (!body.empty()) body.push_back('&');
        body.append(field.name);
        body.push_back('=');
        body.append(UrlEncode(field.value));
    }
    return body;
}

}  // namespace halvane
