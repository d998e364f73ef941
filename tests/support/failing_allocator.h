// Makes the Nth allocation from now (counting from 0) throw std::bad_alloc, in programs
// that link failing_allocator.cpp. Allocations made by the scripted platform are not counted.
#pragma once

namespace halvane::test {

// n < 0 disarms.
void FailAllocationAfter(long n);
// True once the armed failure has been thrown.
bool AllocationFailed();

}  // namespace halvane::test
