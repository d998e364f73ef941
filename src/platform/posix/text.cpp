// UTF-16/UTF-8 conversions with the rules of the Windows conversions the module relies on:
// U+FFFD for an unpaired surrogate or an invalid UTF-8 sequence, stop after the first zero,
// never write past the given size, and fail (return 0) when the output does not fit.
#include <cstdint>

#include "platform/platform.h"

namespace halvane::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Appends code units through a bounded writer; `size` 0 means measure only.
template <typename Unit>
class BoundedWriter {
public:
    BoundedWriter(Unit* out, int size) : out_(out), size_(size) {}
    bool Put(Unit unit) {
        if (size_ != 0) {
            if (count_ >= size_) return false;
            out_[count_] = unit;
        }
        ++count_;
        return true;
    }
    int count() const { return count_; }

private:
    Unit* out_;
    int size_;
    int count_ = 0;
};

bool PutUtf8(BoundedWriter<char>& writer, char32_t cp) {
    if (cp < 0x80) return writer.Put(static_cast<char>(cp));
    if (cp < 0x800) {
        return writer.Put(static_cast<char>(0xC0 | (cp >> 6))) && writer.Put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    if (cp < 0x10000) {
        return writer.Put(static_cast<char>(0xE0 | (cp >> 12))) &&
               writer.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F))) &&
               writer.Put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return writer.Put(static_cast<char>(0xF0 | (cp >> 18))) &&
           writer.Put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F))) &&
           writer.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F))) &&
           writer.Put(static_cast<char>(0x80 | (cp & 0x3F)));
}

bool PutUtf16(BoundedWriter<char16_t>& writer, char32_t cp) {
    if (cp < 0x10000) return writer.Put(static_cast<char16_t>(cp));
    cp -= 0x10000;
    return writer.Put(static_cast<char16_t>(0xD800 | (cp >> 10))) &&
           writer.Put(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes one UTF-8 sequence at `s` (which is zero-terminated); sets `length` to the bytes
// taken. An invalid sequence takes its longest valid prefix (at least one byte) and gives
// U+FFFD, as a maximal-subpart decoder does.
char32_t DecodeUtf8(const unsigned char* s, int& length) {
    const unsigned char lead = s[0];
    length = 1;
    if (lead < 0x80) return lead;
    int need;
    char32_t cp;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return kReplacement;
    }
    for (int i = 1; i <= need; ++i) {
        const unsigned char c = s[i];
        if (c < low || c > high) return kReplacement;  // a zero byte stops here too
        cp = (cp << 6) | (c & 0x3F);
        low = 0x80;
        high = 0xBF;
        length = i + 1;
    }
    return cp;
}

}  // namespace

int WideToUtf8(const char16_t* text, char* out, int outSize) {
    if (text == nullptr || outSize < 0 || (outSize > 0 && out == nullptr)) return 0;
    BoundedWriter<char> writer(out, outSize);
    for (std::size_t i = 0;; ++i) {
        const char16_t unit = text[i];
        char32_t cp = unit;
        if (IsHigh(unit) && IsLow(text[i + 1])) {
            cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (IsHigh(unit) || IsLow(unit)) {
            cp = kReplacement;
        }
        if (!PutUtf8(writer, cp)) return 0;
        if (unit == 0) return writer.count();
    }
}

int Utf8ToWide(const char* text, char16_t* out, int outLength) {
    if (text == nullptr || outLength < 0 || (outLength > 0 && out == nullptr)) return 0;
    BoundedWriter<char16_t> writer(out, outLength);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0;;) {
        int length = 1;
        const char32_t cp = DecodeUtf8(bytes + i, length);
        if (!PutUtf16(writer, cp)) return 0;
        if (bytes[i] == 0) return writer.count();
        i += static_cast<std::size_t>(length);
    }
}

}  // namespace halvane::platform
