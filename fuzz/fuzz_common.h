// What the fuzz targets share: a failure report that libFuzzer records as a crash, and
// small reference routines written apart from the module so that its outputs can be
// judged without trusting it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>

#include "common/utf_text.h"

namespace halvane::fuzzing {

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

// Active in every build type: fuzz builds define NDEBUG.
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::halvane::fuzzing::Fail(__FILE__, __LINE__, #condition))

// Reads the input front to back; missing bytes read as zero.
class InputReader {
public:
    InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint64_t U64() {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(Byte()) << (8 * i);
        return value;
    }
    // Up to `count` UTF-16 code units, little-endian, as far as the input goes.
    std::u16string Units(std::size_t count) {
        std::u16string units;
        while (units.size() < count && size_ - at_ >= 2) units.push_back(static_cast<char16_t>(U16()));
        return units;
    }
    std::string Rest() {
        std::string rest(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
        at_ = size_;
        return rest;
    }
    std::size_t left() const { return size_ - at_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// UTF-8 of UTF-16 `units` up to the first zero unit (or the end), unpaired surrogates as
// U+FFFD.
inline std::string Utf16ToUtf8(std::u16string_view units) { return text::ToUtf8(units.substr(0, units.find(u'\0'))); }

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF. Returns how
// many leading bytes form whole valid sequences; decodes them into `out` when given.
inline std::size_t ValidUtf8Prefix(std::string_view bytes, std::u32string* out = nullptr) {
    // The lead byte's pattern (mask, value), its payload bits and how many bytes follow it.
    static constexpr struct {
        unsigned char mask, value, payload;
        std::size_t extra;
    } kLeads[] = {{0x80, 0x00, 0x7F, 0}, {0xE0, 0xC0, 0x1F, 1}, {0xF0, 0xE0, 0x0F, 2}, {0xF8, 0xF0, 0x07, 3}};
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        const auto* form = std::begin(kLeads);
        while (form != std::end(kLeads) && (lead & form->mask) != form->value) ++form;
        if (form == std::end(kLeads)) return i;
        const std::size_t extra = form->extra;
        char32_t cp = lead & form->payload;
        if (i + extra >= bytes.size()) return i;  // cut short
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        if (out != nullptr) out->push_back(cp);
        i += extra + 1;
    }
    return i;
}

inline bool IsStrictUtf8(std::string_view bytes) { return ValidUtf8Prefix(bytes) == bytes.size(); }

inline std::u16string CodePointsToUtf16(std::u32string_view cps) {
    std::u16string out;
    for (char32_t cp : cps) {
        if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            out += static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

// UTF-16 with every surrogate paired.
inline bool IsWellFormedUtf16(std::u16string_view units) {
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xDC00 && u <= 0xDFFF) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

}  // namespace halvane::fuzzing
