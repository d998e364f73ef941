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

struct Outcome {
    std::string text;
    bool failed = false;
};

Outcome CallOnce(Export which, const char16_t* key, long failAt) {
    test::GuardedBuffer buffer(1024);
    Outcome outcome;
    outcome.failed = test::FailingAllocation(failAt, [&] {
        test::CallExport({which, key, u"1", u"1", 5}, buffer.result(), buffer.length());
    });
    outcome.text = buffer.outcome().text();
    return outcome;
}

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
        const Outcome clean = CallOnce(c.which, c.key, -1);
        long n = 0;
        for (;; ++n) {
            const Outcome run = CallOnce(c.which, c.key, n);
            if (!run.failed) {
                EXPECT_EQ(WithoutClock(run.text), WithoutClock(clean.text));
                break;
            }
            EXPECT_EQ(run.text, "ERROR") << "allocation " << n << " failing";
            ASSERT_LT(n, 2000);
        }
        EXPECT_GT(n, 0);
        std::cout << "[ exchange ] " << test::Name(c.which) << " " << test::ToUtf8(c.key) << ": " << n
                  << " allocations, result \"" << clean.text.substr(0, 30) << "\"\n";
    }
}

}  // namespace
}  // namespace halvane
