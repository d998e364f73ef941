// Makes the Nth allocation from now (counting from 0) throw std::bad_alloc, in programs
// that link failing_allocator.cpp. Allocations made by the scripted platform are not counted.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "export_call.h"

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

struct AllocationRun {
    std::string text;
    bool guardIntact = true;
    bool failed = false;  // the armed failure was thrown
    long failedRuns = 0;  // EveryAllocationFailing: the runs before this one, each failed
};

// One call into a guarded buffer of `length` units with its allocation `n` failing (n < 0: none).
// The buffer is made before and read after, so that only the export's own allocations count.
AllocationRun CallFailingAllocation(const Call& call, long n, int32_t length);

// Fails allocation 0, 1, 2, ... in turn, `run(n)` making one run with allocation n failing,
// until a run gets past its last allocation, and returns that run. Every run must keep its
// guard, each that met its failure must give "ERROR", and a run must complete before
// allocation `most` fails.
template <class Run>
AllocationRun EveryAllocationFailing(Run&& run, long most = 2000) {
    for (long n = 0;; ++n) {
        AllocationRun last = run(n);
        EXPECT_TRUE(last.guardIntact) << "allocation " << n;
        last.failedRuns = n;
        if (!last.failed) return last;
        EXPECT_EQ(last.text, "ERROR") << "allocation " << n << " failing";
        if (n == most) {
            ADD_FAILURE() << "the call never completes";
            return last;
        }
    }
}

}  // namespace halvane::test
