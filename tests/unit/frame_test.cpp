// The exported call frame: result buffers of every size, arguments that do not fit, text
// that is not clean UTF-8, and memory running out, through the exports.
#include <gtest/gtest.h>

#include "export_call.h"
#include "fake_platform.h"

#include "failing_allocator.h"

namespace halvane {
namespace {

using test::Export;
using test::kCanary;

// A UTF-16 literal with its embedded zeros, without the final terminator.
template <std::size_t N>
std::u16string U(const char16_t (&text)[N]) {
    return std::u16string(text, N - 1);
}
std::u16string Canaries(std::size_t count) { return std::u16string(count, kCanary); }

class Frame : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST_F(Frame, ResultBufferLengths) {
    // MarkTradingDay passes the status word through, so the result text is chosen freely.
    const struct {
        std::string status;
        int32_t length;
        bool nullBuffer;
        std::u16string expected;  // the buffer's first `length` units; kCanary where untouched
    } cases[] = {
        {"ERROR", 6, false, U(u"ERROR\0")},
        {"ERROR", 5, false, U(u"\0") + Canaries(4)},
        {"ERROR", 1, false, U(u"\0")},
        {"ERROR", 0, false, u""},
        {"ERROR", -1, false, u""},
        {"ERROR", 16, true, Canaries(16)},
        {"success", 8, false, U(u"success\0")},
        {"success", 7, false, U(u"ERROR\0") + Canaries(1)},
        {"abcdefghijklmnopqrstuvwxyz", 10, false, U(u"ERROR\0") + Canaries(4)},
        {"", 1, false, U(u"\0")},
        {"\xE2\x82\xAC", 2, false, U(u"\u20ac\0")},
        {"\xF0\x9F\x98\x80", 3, false, U(u"\U0001F600\0")},
        {"\xF0\x9F\x98\x80", 2, false, U(u"\0") + Canaries(1)},
    };
    for (const auto& c : cases) {
        fake::ResetWithReply("{\"status\":\"" + c.status + "\"}");
        const test::Outcome outcome = test::Invoke({Export::MarkTradingDay}, c.length, c.nullBuffer);
        EXPECT_EQ(outcome.units, c.expected) << c.status << " / " << c.length;
        EXPECT_TRUE(outcome.guardIntact) << c.status << " / " << c.length;
    }
}

TEST_F(Frame, LengthZeroKeepsTheBufferAndTheCallStillRuns) {
    fake::ReplyWith(R"({"status":"success"})");
    const test::Outcome outcome = test::Invoke({Export::MarkTradingDay}, 0);
    EXPECT_TRUE(outcome.guardIntact);
    EXPECT_EQ(fake::state().record.requests, 1);
}

TEST_F(Frame, ResultTextIsDeliveredUpToItsFirstZeroByte) {
    fake::ReplyWith(std::string("{\"status\":\"ab\0cd\"}", 18));
    EXPECT_EQ(test::Invoke({Export::MarkTradingDay}, 8).units.substr(0, 3), U(u"ab\0"));
}

TEST_F(Frame, InvalidUtf8BecomesReplacementCharacters) {
    const struct {
        std::string bytes;
        std::u16string expected;
    } cases[] = {
        {std::string("a\xFF") + "b", u"a\uFFFDb"},
        {"\xC3", u"\uFFFD"},
        {"x\xC0\xAFy", u"x\uFFFD\uFFFDy"},
        {"\xE2\x82", u"\uFFFD"},
    };
    for (const auto& c : cases) {
        fake::ResetWithReply("{\"status\":\"" + c.bytes + "\"}");
        const test::Outcome outcome = test::Invoke({Export::MarkTradingDay}, 16);
        EXPECT_EQ(outcome.units.substr(0, outcome.units.find(u'\0')), c.expected);
    }
}

TEST_F(Frame, OversizedArgumentSendsNothingAndGivesError) {
    const std::u16string key256(256, u'k');
    const std::u16string threeByte86(86, u'\u20ac');  // 258 bytes
    const std::u16string answers2048(2048, u'a');
    std::u16string pairs;
    for (int i = 0; i < 64; ++i) pairs += u"\U0001F600";
    const test::Call calls[] = {
        {Export::GetDailyQuiz, key256.c_str()},
        {Export::GetTodayStatusV2, u"k", threeByte86.c_str()},
        {Export::SubmitQuizAnswers, u"k", u"1", answers2048.c_str()},
        {Export::SubmitQuizAnswersV2, pairs.c_str(), u"1", u""},
        {Export::MarkTradingDay, key256.c_str()},
    };
    for (const test::Call& call : calls) {
        fake::ResetWithReply(R"({"status":"success"})");
        const test::Outcome outcome = test::Invoke(call, 64);
        EXPECT_EQ(outcome.text(), "ERROR") << test::Name(call.which);
        EXPECT_EQ(fake::state().record.requests, 0) << test::Name(call.which);
        EXPECT_TRUE(fake::state().record.calls.empty());
    }
}

TEST_F(Frame, AllocationFailureGivesErrorAndReturnsNormally) {
    // Fail the 1st, 2nd, ... allocation of one call of each export until a call completes
    // without reaching the armed failure.
    const std::string signedReply = fake::Signed(R"("timestamp":1)", fake::Sign("success|1"));
    for (Export which : test::kAllExports) {
        SCOPED_TRACE(test::Name(which));
        const auto runWithFailingAllocation = [&](long n) {
            const bool quiz = which == Export::GetDailyQuiz || which == Export::GetDailyQuizV2;
            fake::ResetWithReply(quiz ? signedReply : R"({"status":"error","message":"refused"})");
            const auto run = test::CallFailingAllocation({which, u"K", u"12345", u"K", 1}, n, 4096);
            EXPECT_EQ(fake::state().record.open, 0) << "handles left open";
            return run;
        };
        const auto last = test::EveryAllocationFailing(runWithFailingAllocation, 1000);
        EXPECT_GT(last.failedRuns, 0) << "the call allocates nothing";
        EXPECT_NE(last.text, "ERROR");
    }
}

}  // namespace
}  // namespace halvane
