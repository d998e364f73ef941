// The frame every export runs in: argument conversion, the "ERROR" preset, the catch-all
// and the single delivery of the result text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvane {

inline constexpr int kArgumentBufferSize = 256;
inline constexpr int kAnswersBufferSize = 2048;

// A text argument converted into its own zero-filled buffer.
template <int Size>
class ArgumentBuffer {
public:
    // False when the argument's UTF-8 form does not fit with its terminating zero.
    bool Convert(const char16_t* text);
    std::string_view text() const { return std::string_view(bytes_); }

private:
    char bytes_[Size] = {};
};

// Converts one text argument into `buffer` of `size` bytes (zero-filled beforehand). A
// null text leaves the buffer empty. False when a non-null text does not fit.
bool ConvertWideArgument(const char16_t* text, char* buffer, int size);

// Writes `text` (up to its first zero byte) into the caller's buffer. A text that does not
// fit is never cut: the buffer receives "ERROR" when it has room for it, else the empty
// text. A null buffer or a length of 0 or less writes nothing.
void DeliverResultText(const std::string& text, char16_t* result, int32_t resultLength);

template <int Size>
bool ArgumentBuffer<Size>::Convert(const char16_t* text) {
    return ConvertWideArgument(text, bytes_, Size);
}

// The arguments of one export, converted.
struct CallArguments {
    std::string_view key;
    std::string_view account;
    std::string_view answers;
    std::optional<int64_t> brokerTime;
};

}  // namespace halvane
