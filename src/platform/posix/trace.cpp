// The debugger channel on POSIX systems.
#include <syslog.h>
#include <unistd.h>

#include "platform/platform.h"

namespace halvane::platform {

// The debugger channel's stand-in is syslog at debug priority, so the trace never mixes
// with the host program's own output. Without a syslog socket nobody can read the lines,
// and each one would cost a failed connection attempt, so they are not written.
void Trace(const char* line) {
    if (access("/dev/log", W_OK) != 0) return;
    syslog(LOG_USER | LOG_DEBUG, "%s", line);
}

}  // namespace halvane::platform
