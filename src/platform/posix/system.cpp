// Clock and randomness on POSIX systems.
#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/platform.h"

namespace halvane::platform {

int64_t CurrentTime() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SystemRandom(uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace halvane::platform
