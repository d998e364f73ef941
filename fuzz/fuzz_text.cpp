// The POSIX UTF-16/UTF-8 converter (src/platform/posix/text.cpp).
//
// Input: a mode byte (bit 0: 0 converts UTF-16 to UTF-8, 1 the other way), a size byte that
// picks one more output size to try, then the text (UTF-16 little-endian, or bytes). Every
// input and output lives in a heap block of exactly the size given to the converter, so
// that AddressSanitizer reports any access past it.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "platform/platform.h"

namespace fz = halvane::fuzzing;
using halvane::platform::Utf8ToWide;
using halvane::platform::WideToUtf8;

namespace {

template <typename Unit>
std::unique_ptr<Unit[]> ExactCopy(const Unit* text, std::size_t count) {
    auto copy = std::make_unique<Unit[]>(count);
    std::copy(text, text + count, copy.get());
    return copy;
}

// What `convert` (one of the two converters) makes of `text`, terminating zero excluded, checked on the way: measuring
// equals converting, a block one unit short or of another size takes all or nothing, and the output is `wellFormed`.
template <typename In, typename Out>
std::basic_string<Out> CheckConversion(int (*convert)(const In*, Out*, int), const In* text, uint8_t sizeChoice,
                                       bool (*wellFormed)(std::basic_string_view<Out>)) {
    const int needed = convert(text, nullptr, 0);
    FUZZ_CHECK(needed >= 1);
    const auto size = static_cast<std::size_t>(needed);

    auto out = std::make_unique<Out[]>(size);
    FUZZ_CHECK(convert(text, out.get(), needed) == needed);  // measuring equals converting
    const std::basic_string<Out> converted(out.get(), size - 1);
    FUZZ_CHECK(out[size - 1] == Out{0});
    FUZZ_CHECK(converted.find(Out{0}) == std::basic_string<Out>::npos);
    FUZZ_CHECK(wellFormed(converted));

    if (needed > 1) {
        auto small = std::make_unique<Out[]>(size - 1);
        FUZZ_CHECK(convert(text, small.get(), needed - 1) == 0);
    }
    const int other = sizeChoice % (needed + 2);
    if (other > 0) {
        auto block = std::make_unique<Out[]>(static_cast<std::size_t>(other));
        const int written = convert(text, block.get(), other);
        FUZZ_CHECK(written == (other >= needed ? needed : 0));
        if (written != 0) FUZZ_CHECK(std::basic_string_view<Out>(block.get(), size - 1) == converted);
    }
    return converted;
}

std::u16string CheckUtf8ToWide(const char* text, uint8_t sizeChoice) {
    return CheckConversion(&Utf8ToWide, text, sizeChoice, &fz::IsWellFormedUtf16);
}
std::string CheckWideToUtf8(const char16_t* text, uint8_t sizeChoice) {
    return CheckConversion(&WideToUtf8, text, sizeChoice, &fz::IsStrictUtf8);
}

void FromUtf16(std::string_view raw, uint8_t sizeChoice) {
    std::u16string units(raw.size() / 2, u'\0');
    std::memcpy(units.data(), raw.data(), units.size() * 2);
    units.push_back(u'\0');
    const auto text = ExactCopy(units.data(), units.size());

    const std::string bytes = CheckWideToUtf8(text.get(), sizeChoice);
    // Unpaired surrogates become U+FFFD, everything else is kept.
    FUZZ_CHECK(bytes == fz::Utf16ToUtf8(units));

    // Back to UTF-16: the input up to its first zero, with U+FFFD for unpaired surrogates.
    std::u16string sanitized;
    std::u32string codePoints;
    fz::ValidUtf8Prefix(bytes, &codePoints);
    const auto back = ExactCopy(bytes.c_str(), bytes.size() + 1);
    FUZZ_CHECK(CheckUtf8ToWide(back.get(), sizeChoice) == fz::CodePointsToUtf16(codePoints));
    const std::u16string_view original(units.data(), units.find(u'\0'));
    if (fz::IsWellFormedUtf16(original)) FUZZ_CHECK(fz::CodePointsToUtf16(codePoints) == original);
}

void FromUtf8(std::string_view raw, uint8_t sizeChoice) {
    std::string bytes(raw);
    bytes.push_back('\0');
    const auto text = ExactCopy(bytes.data(), bytes.size());
    const std::string_view original(bytes.data(), bytes.find('\0'));

    const std::u16string units = CheckUtf8ToWide(text.get(), sizeChoice);
    // Whole valid sequences ahead of the first invalid one come through unchanged.
    std::u32string codePoints;
    const std::size_t valid = fz::ValidUtf8Prefix(original, &codePoints);
    const std::u16string expectedStart = fz::CodePointsToUtf16(codePoints);
    FUZZ_CHECK(units.compare(0, expectedStart.size(), expectedStart) == 0);
    if (valid == original.size()) {
        FUZZ_CHECK(units == expectedStart);
    } else {
        FUZZ_CHECK(units.size() > expectedStart.size() && units[expectedStart.size()] == 0xFFFD);
    }

    // Once converted, the text goes to UTF-8 and back unchanged.
    std::u16string terminated = units;
    terminated.push_back(u'\0');
    const auto wide = ExactCopy(terminated.data(), terminated.size());
    const std::string again = CheckWideToUtf8(wide.get(), sizeChoice);
    if (valid == original.size()) FUZZ_CHECK(again == original);
    const auto againText = ExactCopy(again.c_str(), again.size() + 1);
    FUZZ_CHECK(CheckUtf8ToWide(againText.get(), sizeChoice) == units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const uint8_t sizeChoice = data[1];
    const std::string_view raw(reinterpret_cast<const char*>(data + 2), size - 2);
    if (mode & 1) {
        FromUtf8(raw, sizeChoice);
    } else {
        FromUtf16(raw, sizeChoice);
    }

    // Refusals never touch the output.
    char16_t unit = 0x1234;
    char byte = 'x';
    FUZZ_CHECK(WideToUtf8(nullptr, &byte, 1) == 0 && byte == 'x');
    FUZZ_CHECK(Utf8ToWide(nullptr, &unit, 1) == 0 && unit == 0x1234);
    FUZZ_CHECK(WideToUtf8(u"a", &byte, -1) == 0 && byte == 'x');
    FUZZ_CHECK(Utf8ToWide("a", &unit, -1) == 0 && unit == 0x1234);
    FUZZ_CHECK(WideToUtf8(u"a", nullptr, 2) == 0 && Utf8ToWide("a", nullptr, 2) == 0);
    return 0;
}
