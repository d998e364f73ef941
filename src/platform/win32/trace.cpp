// The debugger channel on Windows.
#include <windows.h>

#include "platform/platform.h"

namespace halvane::platform {

void Trace(const char* line) { OutputDebugStringA(line); }

}  // namespace halvane::platform
