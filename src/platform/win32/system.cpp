// Clock and randomness on Windows.
#include <windows.h>
#include <bcrypt.h>

#include <ctime>

#include "platform/platform.h"

namespace halvane::platform {

int64_t CurrentTime() { return static_cast<int64_t>(_time64(nullptr)); }

int64_t MonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }

bool SystemRandom(uint8_t* out, std::size_t size) {
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

}  // namespace halvane::platform
