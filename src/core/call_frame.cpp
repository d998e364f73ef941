#include "core/call_frame.h"

#include <iterator>

#include "platform/platform.h"

namespace halvane {

bool ConvertWideArgument(const char16_t* text, char* buffer, int size) {
    int written = platform::WideToUtf8(text, buffer, size);
    if (text == nullptr) return true;
    if (written == 0) {
        // The conversion may have filled the buffer without a terminating zero; leave a
        // clean empty text behind so that nothing can read past it.
        buffer[0] = '\0';
        return false;
    }
    buffer[size - 1] = '\0';
    return true;
}

void DeliverResultText(const std::string& text, char16_t* result, int32_t resultLength) {
    if (result == nullptr || resultLength <= 0) return;
    int needed = platform::Utf8ToWide(text.c_str(), nullptr, 0);
    if (needed > 0 && needed <= resultLength) {
        platform::Utf8ToWide(text.c_str(), result, resultLength);
        return;
    }
    static constexpr char16_t kError[] = u"ERROR";
    if (resultLength >= static_cast<int32_t>(std::size(kError))) {
        for (std::size_t i = 0; i < std::size(kError); ++i) result[i] = kError[i];
    } else {
        result[0] = u'\0';
    }
}

}  // namespace halvane
