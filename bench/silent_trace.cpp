// A trace channel that drops every line: the export benchmarks linked with it show the
// module's CPU path apart from the cost of the system's log channel.
#include "platform/platform.h"

namespace halvane::platform {

void Trace(const char*) {}

}  // namespace halvane::platform
