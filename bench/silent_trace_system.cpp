// The clock and randomness of the POSIX backend with a trace channel that drops every line:
// the export benchmarks linked with it show the module's CPU path apart from the cost of
// the system's log channel.
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

namespace halvane::platform {

int64_t CurrentTime() { return static_cast<int64_t>(std::time(nullptr)); }

bool SystemRandom(uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

void SeedFallbackRandom(uint32_t seed) { std::srand(seed); }
int FallbackRandom() { return std::rand(); }

void Trace(const char*) {}

}  // namespace halvane::platform
