// Memory running out at each allocation of a call on the real platform stack (libcurl
// natively, WinHTTP under Wine) against the scripted service (tests/data/e2e_cases.json).
// Each call must return normally with "ERROR"; memcheck (linux) and LeakSanitizer
// (linux-asan) check that an interrupted exchange leaves nothing behind.
#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <string>

#include "export_call.h"
#include "failing_allocator.h"

// The failing allocator spares the scripted platform's own bookkeeping; there is none here.
namespace halvane::fake {
thread_local int tInsideFake = 0;
}

namespace halvane {
namespace {

using test::Export;

// A signed quiz carries the service's clock: two good replies differ in time and signature.
std::string WithoutClock(const std::string& text) {
    static const std::regex clock(R"re("timestamp":[0-9]+,"signature":"[0-9a-f]+")re");
    return std::regex_replace(text, clock, "<clock>");
}

TEST(AllocationFailureModule, EveryAllocationOfAnExchange) {
    const struct {
        Export which;
        const char16_t* key;  // the scripted case
    } cases[] = {
        {Export::GetDailyQuiz, u"signed-quiz"},       {Export::SubmitQuizAnswers, u"signed-answers"},
        {Export::GetTodayStatusV2, u"signed-status"}, {Export::MarkTradingDay, u"mark"},
        {Export::GetDailyQuiz, u"chunked"},           {Export::GetDailyQuiz, u"http500"},
        {Export::MarkTradingDay, u"midbody"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(test::Name(c.which)) + " " + test::ToUtf8(c.key));
        const test::Call call{c.which, c.key, u"1", u"1", 5};
        const test::AllocationRun clean = test::CallFailingAllocation(call, -1, 1024);
        const auto last =
            test::EveryAllocationFailing([&](long n) { return test::CallFailingAllocation(call, n, 1024); });
        EXPECT_EQ(WithoutClock(last.text), WithoutClock(clean.text));
        EXPECT_GT(last.failedRuns, 0);
        std::cout << "[ exchange ] " << test::Name(c.which) << " " << test::ToUtf8(c.key) << ": " << last.failedRuns
                  << " allocations, result \"" << clean.text.substr(0, 30) << "\"\n";
    }
}

}  // namespace
}  // namespace halvane
