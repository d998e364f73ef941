#include "failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "fake_platform.h"

namespace {
std::atomic<long> gCountdown{-1};
std::atomic<bool> gFailed{false};

void* Allocate(std::size_t size) {
    if (halvane::fake::tInsideFake == 0 && gCountdown.load() >= 0 && gCountdown.fetch_sub(1) == 0) {
        gFailed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

namespace halvane::test {
void FailAllocationAfter(long n) {
    gFailed = false;
    gCountdown = n;
}
bool AllocationFailed() { return gFailed.load(); }

AllocationRun CallFailingAllocation(const Call& call, long n, int32_t length) {
    GuardedBuffer buffer(length);
    AllocationRun run;
    run.failed = FailingAllocation(n, [&] { CallExport(call, buffer.result(), buffer.length()); });
    const Outcome outcome = buffer.outcome();
    run.text = outcome.text();
    run.guardIntact = outcome.guardIntact;
    return run;
}
}  // namespace halvane::test

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
