// The exported call frame's conversions: Kernel32's UTF-8 code page, flags 0.
#include <windows.h>

#include "platform/platform.h"

namespace halvane::platform {

int WideToUtf8(const char16_t* text, char* out, int outSize) {
    return WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(text), -1, out, outSize, nullptr, nullptr);
}

int Utf8ToWide(const char* text, char16_t* out, int outLength) {
    return MultiByteToWideChar(CP_UTF8, 0, text, -1, reinterpret_cast<wchar_t*>(out), outLength);
}

}  // namespace halvane::platform
