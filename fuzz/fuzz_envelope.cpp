// The request envelope: UrlEncode, BuildRequestBody, DecimalText and BytesToHex, each against
// the tests' own reference encoders.
//
// Input: the whole input is URL-encoded and hex-encoded, its first 8 bytes are a decimal
// value, and it is also read as up to 6 fields: a name selector byte, a value length byte,
// then the value bytes.
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/envelope.h"
#include "export_call.h"
#include "fake_platform.h"
#include "fuzz_common.h"

using halvane::fuzzing::InputReader;
using halvane::test::FormEncoded;

namespace {

constexpr std::string_view kFieldNames[] = {"key", "account", "answers", "nonce", "timestamp", "broker_time", "x", ""};

// The names carry neither '&' nor '=': the body is each name, '=' and its encoded value, in
// the order given, joined by '&'.
void CheckBody(InputReader& input) {
    std::vector<std::string> values;
    std::vector<halvane::RequestField> fields;
    const std::size_t count = input.Byte() % 7;
    values.reserve(count);
    std::string expected;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = kFieldNames[input.Byte() % std::size(kFieldNames)];
        const std::size_t length = input.Byte();
        std::string value;
        for (std::size_t k = 0; k < length && input.left() > 0; ++k) value += static_cast<char>(input.Byte());
        values.push_back(std::move(value));
        fields.push_back({name, values.back()});
        expected += (i == 0 ? "" : "&") + std::string(name) + "=" + FormEncoded(values.back());
    }
    FUZZ_CHECK(halvane::BuildRequestBody(std::span<const halvane::RequestField>(fields.data(), fields.size())) ==
               expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(halvane::UrlEncode(text) == FormEncoded(text));
    FUZZ_CHECK(halvane::BytesToHex(data, size) == halvane::fake::LowerHex(text));

    InputReader input(data, size);
    const int64_t number = static_cast<int64_t>(input.U64());
    FUZZ_CHECK(halvane::DecimalText(number) == std::to_string(number));

    InputReader fieldsInput(data, size);
    CheckBody(fieldsInput);
    return 0;
}
