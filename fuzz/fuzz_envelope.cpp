// The request envelope: UrlEncode, BuildRequestBody, DecimalText and BytesToHex.
//
// Input: the whole input is URL-encoded and hex-encoded, its first 8 bytes are a decimal
// value, and it is also read as up to 6 fields: a name selector byte, a value length byte,
// then the value bytes.
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/envelope.h"
#include "export_call.h"
#include "fuzz_common.h"

using halvane::fuzzing::InputReader;
using halvane::test::IsUnreservedByte;

namespace {

int HexValue(char c, bool upperOnly) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (!upperOnly && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Percent-decoding that accepts only unreserved bytes and %XX with upper-case digits.
std::optional<std::string> StrictDecode(std::string_view encoded) {
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(encoded[i]);
        if (IsUnreservedByte(c)) {
            out += static_cast<char>(c);
            continue;
        }
        if (c != '%' || i + 2 >= encoded.size()) return std::nullopt;
        const int high = HexValue(encoded[i + 1], true);
        const int low = HexValue(encoded[i + 2], true);
        if (high < 0 || low < 0) return std::nullopt;
        const unsigned char decoded = static_cast<unsigned char>(high << 4 | low);
        // A byte that could have passed as it is must not be encoded.
        if (IsUnreservedByte(decoded)) return std::nullopt;
        out += static_cast<char>(decoded);
        i += 2;
    }
    return out;
}

void CheckUrlEncode(std::string_view text) {
    const std::string encoded = halvane::UrlEncode(text);
    std::size_t reserved = 0;
    for (unsigned char c : text) reserved += IsUnreservedByte(c) ? 0 : 1;
    FUZZ_CHECK(encoded.size() == text.size() + 2 * reserved);
    const std::optional<std::string> decoded = StrictDecode(encoded);
    FUZZ_CHECK(decoded.has_value());
    FUZZ_CHECK(*decoded == text);
}

void CheckHex(std::string_view bytes) {
    const std::string hex = halvane::BytesToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    FUZZ_CHECK(hex.size() == 2 * bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexValue(hex[2 * i], false);
        const int low = HexValue(hex[2 * i + 1], false);
        FUZZ_CHECK(high >= 0 && low >= 0);
        FUZZ_CHECK(hex[2 * i] < 'A' || hex[2 * i] > 'F');
        FUZZ_CHECK(hex[2 * i + 1] < 'A' || hex[2 * i + 1] > 'F');
        FUZZ_CHECK(static_cast<unsigned char>(high << 4 | low) == static_cast<unsigned char>(bytes[i]));
    }
}

constexpr std::string_view kFieldNames[] = {"key", "account", "answers", "nonce", "timestamp", "broker_time", "x", ""};

void CheckBody(InputReader& input) {
    std::vector<std::string> values;
    std::vector<halvane::RequestField> fields;
    const std::size_t count = input.Byte() % 7;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = kFieldNames[input.Byte() % std::size(kFieldNames)];
        const std::size_t length = input.Byte();
        std::string value;
        for (std::size_t k = 0; k < length && input.left() > 0; ++k) value += static_cast<char>(input.Byte());
        values.push_back(std::move(value));
        fields.push_back({name, values.back()});
    }

    const std::string body =
        halvane::BuildRequestBody(std::span<const halvane::RequestField>(fields.data(), fields.size()));
    if (fields.empty()) {
        FUZZ_CHECK(body.empty());
        return;
    }
    // The names carry neither '&' nor '=', and the encoded values cannot: splitting on '&'
    // gives the fields back, in the order given.
    std::size_t start = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::size_t end = body.find('&', start);
        FUZZ_CHECK((end == std::string::npos) == (i + 1 == fields.size()));
        if (end == std::string::npos) end = body.size();
        const std::string_view part(body.data() + start, end - start);
        const std::size_t equals = part.find('=');
        FUZZ_CHECK(equals != std::string_view::npos);
        FUZZ_CHECK(part.substr(0, equals) == fields[i].name);
        const std::optional<std::string> value = StrictDecode(part.substr(equals + 1));
        FUZZ_CHECK(value.has_value());
        FUZZ_CHECK(*value == fields[i].value);
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckUrlEncode(text);
    CheckHex(text);

    InputReader input(data, size);
    const int64_t number = static_cast<int64_t>(input.U64());
    FUZZ_CHECK(halvane::DecimalText(number) == std::to_string(number));

    InputReader fieldsInput(data, size);
    CheckBody(fieldsInput);
    return 0;
}
