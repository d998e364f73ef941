// Makes the Nth allocation from now (counting from 0) throw std::bad_alloc, in programs
// that link failing_allocator.cpp. Allocations made by the scripted platform are not counted.
#pragma once

namespace halvane::test {

// n < 0 disarms.
void FailAllocationAfter(long n);
// True once the armed failure has been thrown.
bool AllocationFailed();

// Runs `call` with the Nth allocation from now failing; true when that failure was thrown.
template <class Call>
bool FailingAllocation(long n, Call&& call) {
    FailAllocationAfter(n);
    call();
    const bool failed = AllocationFailed();
    FailAllocationAfter(-1);
    return failed;
}

}  // namespace halvane::test
