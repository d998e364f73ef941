// The test process's own resource use: open handles (file descriptors natively) and memory.
#pragma once

#include <cstddef>

namespace halvane::test {

struct MemoryUsage {
    std::size_t resident = 0;  // bytes in memory now (working set)
    std::size_t peak = 0;      // the most there ever was
    // Bytes allocated and not yet freed from the process's heaps (Windows: every heap's busy
    // blocks; natively: malloc's). Unlike `resident`, neither the most a busy moment held nor
    // the stacks of threads a pool keeps count here, only what is still owned.
    std::size_t inUse = 0;
};

MemoryUsage CurrentMemoryUsage();

// Starts the peak afresh from the resident size now. False where the platform keeps the
// process's peak for its whole life (Windows): the peak then includes everything before.
bool ResetPeakMemory();

// Handles (Windows) or file descriptors the process holds open; -1 when unknown.
long OpenHandleCount();

// Wine's major version when this Windows program runs under Wine, else 0.
int WineMajorVersion();

}  // namespace halvane::test
