// The built module (halvane.dll under Wine, libhalvane.so natively) through its exports,
// against the local service: scripted replies, a trader's whole day on the real service,
// refusals, a reply signed with another key, and a service that is not there.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <string>

#include "export_call.h"
#include "scripted_cases.h"
#include "service_record.h"

namespace halvane {
namespace {

using test::Export;

// Answers "a" to every question of a quiz reply ({"number":N,...} entries).
std::u16string AnswerEveryQuestionWithA(const std::string& quiz) {
    std::string answers;
    static const std::regex number(R"re("number":([0-9]+))re");
    for (auto it = std::sregex_iterator(quiz.begin(), quiz.end(), number); it != std::sregex_iterator(); ++it) {
        answers += (answers.empty() ? "" : "&") + (*it)[1].str() + "=a";
    }
    return test::ToUtf16(answers);
}

// Each record of the scripted cases through its export (tests/data/e2e_cases.json).
class ExportsScripted : public testing::TestWithParam<test::ScriptedCase> {};

TEST_P(ExportsScripted, Record) {
    const test::ScriptedCase& c = GetParam();
    const std::u16string key = test::ToUtf16(c.Key()), account = test::ToUtf16(c.Account());
    const std::u16string answers = test::ToUtf16(c.Text("answers", ""));
    const auto which = std::find_if(std::begin(test::kAllExports), std::end(test::kAllExports),
                                    [&](Export e) { return c.Export() == test::Name(e); });
    ASSERT_TRUE(which != std::end(test::kAllExports) || c.record.contains("error")) << c.Export();
    if (which == std::end(test::kAllExports)) return test::ExpectResult(c, "");
    const test::Call call{*which, key.c_str(), account.c_str(), answers.c_str(), c.Number("broker_time", 0)};
    const test::Outcome outcome = test::Invoke(call, static_cast<int32_t>(c.Number("buffer", 4096)));
    EXPECT_TRUE(outcome.guardIntact);
    test::ExpectResult(c, outcome.text());
    test::ExpectRequest(c);
}

INSTANTIATE_TEST_SUITE_P(, ExportsScripted, testing::ValuesIn(test::ScriptedCases(false)), test::CaseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ExportsScripted);

// The real service, with the trader "day-key" / "1001" known to it.
TEST(ExportsTraderDay, WholeDayThroughEveryExport) {
    auto with = [](Export which, const char16_t* answers = u"", int64_t brokerTime = 0) {
        return test::Result({which, u"day-key", u"1001", answers, brokerTime});
    };

    EXPECT_EQ(with(Export::GetTodayStatus), "not_completed");
    EXPECT_EQ(with(Export::GetTodayStatusV2, u"", 1700000000), "not_completed");

    const std::string quiz = with(Export::GetDailyQuiz);
    ASSERT_EQ(quiz.rfind("{\"status\":\"success\"", 0), 0u) << quiz;
    EXPECT_NE(quiz.find("\"quiz\":["), std::string::npos);
    EXPECT_EQ(with(Export::GetDailyQuizV2, u"", 1700000000).rfind("{\"status\":\"success\"", 0), 0u);

    const std::u16string answers = AnswerEveryQuestionWithA(quiz);
    ASSERT_FALSE(answers.empty()) << quiz;
    const std::string verdict = with(Export::SubmitQuizAnswersV2, answers.c_str(), 1700000123);
    EXPECT_TRUE(std::regex_match(verdict, std::regex(R"(success\|(ready\|100|caution\|50|not_ready\|0))"))) << verdict;
    EXPECT_TRUE(std::regex_search(test::LastRequestStartingWith("key=day-key&account=1001&answers=").body,
                                  std::regex("&broker_time=1700000123$")));

    // A second submission is refused; the refusal's message is the result.
    const std::string again = with(Export::SubmitQuizAnswers, answers.c_str());
    EXPECT_NE(again, "ERROR");
    EXPECT_EQ(again.find("success"), std::string::npos) << again;

    const std::string status = with(Export::GetTodayStatus);
    EXPECT_EQ(status, "completed|" + verdict.substr(8) + "|false");
    EXPECT_EQ(with(Export::MarkTradingDay), "success");
    EXPECT_EQ(with(Export::MarkTradingDay), "already_marked");
    EXPECT_EQ(with(Export::GetTodayStatusV2, u"", -5), status);
}

TEST(ExportsTraderDay, RefusalsPassTheServiceMessage) {
    const std::string unknown = test::Result({Export::GetDailyQuiz, u"nobody", u"1"});
    EXPECT_NE(unknown, "ERROR");
    EXPECT_NE(unknown.find("unknown"), std::string::npos) << unknown;
    EXPECT_EQ(test::Result({Export::MarkTradingDay, u"nobody", u"1"}), "error");
}

// The scripted service signs its replies with another key than the module's.
TEST(ExportsForeignKey, SignedRepliesAreRejected) {
    const struct {
        test::Call call;
        std::string result;
    } cases[] = {
        {{Export::GetDailyQuiz, u"signed-quiz"}, "SIGNATURE_INVALID"},
        {{Export::GetDailyQuizV2, u"signed-quiz", u"1", u"", 5}, "SIGNATURE_INVALID"},
        {{Export::SubmitQuizAnswers, u"signed-answers", u"1", u"1=a"}, "SIGNATURE_INVALID"},
        {{Export::GetTodayStatusV2, u"signed-status", u"1", u"", 5}, "SIGNATURE_INVALID"},
        {{Export::MarkTradingDay, u"mark"}, "success"},  // unsigned
    };
    for (const auto& c : cases) EXPECT_EQ(test::Result(c.call), c.result) << test::Name(c.call.which);
}

// Nothing listens on the service port.
TEST(ExportsRefused, TransportFailureResults) {
    for (Export which : test::kAllExports) {
        const test::Outcome outcome = test::Invoke({which}, 32);
        EXPECT_EQ(outcome.text(), which == Export::MarkTradingDay ? "" : "ERROR") << test::Name(which);
        EXPECT_TRUE(outcome.guardIntact);
    }
    // Buffer lengths around "ERROR" on the real conversions.
    for (int32_t length : {6, 5})
        EXPECT_EQ(test::Invoke({Export::GetDailyQuiz}, length).units, test::Delivered("ERROR", length));
    EXPECT_TRUE(test::Invoke({Export::GetDailyQuiz}, -1).guardIntact);
    EXPECT_TRUE(test::Invoke({Export::GetDailyQuiz}, 8, true).guardIntact);
    // An oversized key is never sent: "ERROR" at once.
    const std::u16string key(300, u'k');
    EXPECT_EQ(test::Result({Export::MarkTradingDay, key.c_str()}), "ERROR");
}

}  // namespace
}  // namespace halvane
