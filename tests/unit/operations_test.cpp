// Every operation as a table: reply bytes in, result text out, through the public exports
// with the transport scripted. In a reply, {{hmac:P}} stands for the genuine signature of the
// payload P, and {{HMAC:P}} for the same digits in upper case.
#include <gtest/gtest.h>

#include "export_call.h"
#include "fake_platform.h"

namespace halvane {
namespace {

using test::Export;

struct Case {
    const char* what;
    std::string reply;   // the reply body, or a transport token when `failAt` is set
    std::string result;  // expected result text; "=" means the whole (expanded) reply
};

const char* const kTokens[] = {"NETWORK_ERROR", "SERVER_ERROR", "READ_ERROR", "EMPTY_RESPONSE", "HTTP_500"};

using fake::Completed;
using fake::Signed;
using fake::Verdict;

// A day without a quiz yet, and the signature a genuine service gives it.
const std::string kOpenDay = R"("quiz_completed_today":false,"timestamp":"T")";
const std::string kNoQuiz = "{{hmac:no_quiz|T}}";

class Operations : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    void RunTable(std::initializer_list<Export> exports, const std::vector<Case>& cases) {
        for (Export which : exports) {
            for (const Case& c : cases) {
                fake::Reset();
                const std::string reply = fake::WithSignatures(c.reply);
                fake::ReplyWith(reply);
                const std::string expected = c.result == "=" ? reply : c.result;
                EXPECT_EQ(test::Result({which}), expected)
                    << test::Name(which) << ": " << c.what << "\n  reply: " << reply;
                EXPECT_EQ(fake::state().record.requests, 1);
            }
        }
    }

    // A transport failure, as the exports see it, for every token the transport can give.
    void RunTransportFailures(Export which, const std::string& expected) {
        const std::vector<std::string> body{R"({"status":"success","message":"must not be read"})"};
        const fake::HttpScript failures[] = {
            {.failAt = fake::Step::Connect, .chunks = body},
            {.failAt = fake::Step::SendRequest, .chunks = body},
            {.failAt = fake::Step::ReceiveResponse, .chunks = body},
            {.failAt = fake::Step::QueryStatusCode, .chunks = body},
            {.status = 500, .chunks = body},
            {.status = 204, .chunks = body},
            {.chunks = {}},  // an empty body
        };
        for (const auto& script : failures) {
            fake::Reset().http = script;
            EXPECT_EQ(test::Result({which}), expected) << test::Name(which);
        }
        for (const char* token : kTokens) {
            fake::ResetWithReply(token);  // a body equal to a token reads the same
            EXPECT_EQ(test::Result({which}), expected) << token;
        }
    }
};

TEST_F(Operations, DailyQuiz) {
    const std::string at = R"("timestamp":1700000000)", quiz = R"(,"quiz":[1,2,3]})";
    const std::string genuine = "{{hmac:success|1700000000}}";
    RunTable(
        {Export::GetDailyQuiz, Export::GetDailyQuizV2},
        {
            {"signed success passes whole", Signed(at, genuine, quiz), "="},
            {"upper-case digest", Signed(at, "{{HMAC:success|1700000000}}", quiz), "SIGNATURE_INVALID"},
            {"quoted timestamp signs the same payload", Signed(R"("timestamp":"1700000000")", genuine), "="},
            {"quiz content is not signed", Signed(at, genuine, R"(,"quiz":["changed"]})"), "="},
            {"no signature", R"({"status":"success","timestamp":1700000000})", "SIGNATURE_INVALID"},
            {"empty signature", Signed(at, ""), "SIGNATURE_INVALID"},
            {"no timestamp signs success| alone", R"({"status":"success","signature":"{{hmac:success|}}"})", "="},
            {"no timestamp, signature over another payload", R"({"status":"success","signature":")" + genuine + "\"}",
             "SIGNATURE_INVALID"},
            {"signature of another timestamp", Signed(R"("timestamp":1700000001)", genuine), "SIGNATURE_INVALID"},
            {"bad signature with message", Signed(R"("timestamp":1)", "00", R"(,"message":"M"})"), "SIGNATURE_INVALID"},
            {"space inside the signature quotes", Signed(R"("timestamp":1)", " {{hmac:success|1}}"),
             "SIGNATURE_INVALID"},
            {"space after the colon is harmless",
             R"({"status":"success","timestamp":1,"signature": "{{hmac:success|1}}"})", "="},
            {"refusal passes its message", R"({"status":"error","message":"unknown key"})", "unknown key"},
            {"refusal without message", R"({"status":"error"})", "ERROR"},
            {"refusal with empty message", R"({"status":"error","message":""})", "ERROR"},
            {"no status, message", R"({"message":"M"})", "M"},
            {"capital S is not success",
             R"({"status":"Success","timestamp":1,"signature":"{{hmac:success|1}}","message":"M"})", "M"},
            {"capital S without message", R"({"status":"Success","timestamp":1,"signature":"{{hmac:success|1}}"})",
             "ERROR"},
            {"non-ASCII message", "{\"status\":\"error\",\"message\":\"cl\xC3\xA9 inconnue\"}", "cl\xC3\xA9 inconnue"},
            {"not an object", "<html>bad gateway</html>", "ERROR"},
            // Passed on whole only when whole: strings and brackets closed, nothing after.
            {"whitespace around the object", " \r\n" + Signed(at, genuine, quiz + " \t\r\n"), "="},
            {"brackets, quotes and control bytes inside strings",
             Signed(at, genuine, std::string(R"(,"quiz":["}] \"{[", "\\", "\u00e9)") + "\x01\t\"]}"), "="},
            {"cut inside a string", Signed(at, genuine, R"(,"quiz":[{"question":"Wha)"), "ERROR"},
            {"cut after a backslash", Signed(at, genuine, R"(,"quiz":["a\)"), "ERROR"},
            {"cut before the last brace", Signed(at, genuine, R"(,"quiz":[1,2,3])"), "ERROR"},
            {"cut after the signature", Signed(at, genuine, ""), "ERROR"},
            {"brackets crossed", Signed(at, genuine, R"(,"quiz":[1,2,3}])"), "ERROR"},
            {"garbage after the end", Signed(at, genuine, quiz + "x"), "ERROR"},
            {"a second object after the end", Signed(at, genuine, quiz + "{}"), "ERROR"},
        });
    RunTransportFailures(Export::GetDailyQuiz, "ERROR");
}

TEST_F(Operations, QuizAnswers) {
    RunTable(
        {Export::SubmitQuizAnswers, Export::SubmitQuizAnswersV2},
        {
            {"signed verdict", Signed(Verdict("ready", "100", "1700000000"), "{{hmac:success|ready|100|1700000000}}"),
             "success|ready|100"},
            {"signed without the timestamp part", Signed(Verdict("R", "50", "7"), "{{hmac:success|R|50}}"),
             "SIGNATURE_INVALID"},
            {"fields signed in another order", Signed(Verdict("R", "50", "7"), "{{hmac:success|50|R|7}}"),
             "SIGNATURE_INVALID"},
            {"absent readiness", Signed(R"("allowed_volume_percent":50,"timestamp":7)", "{{hmac:success||50|7}}"),
             "success||50"},
            {"bare percentage keeps its trailing space",
             Signed(R"("readiness_final":"R","timestamp":7)", "{{hmac:success|R|50 |7}}",
                    R"(,"allowed_volume_percent":50 })"),
             "success|R|50 "},
            {"vertical bar in readiness passes unescaped", Signed(Verdict("a|b", "1", "7"), "{{hmac:success|a|b|1|7}}"),
             "success|a|b|1"},
            {"arbitrarily old timestamp", Signed(Verdict("R", "1", "0"), "{{hmac:success|R|1|0}}"), "success|R|1"},
            {"percentage changed after signing", Signed(Verdict("R", "100", "7"), "{{hmac:success|R|50|7}}"),
             "SIGNATURE_INVALID"},
            {"readiness changed after signing", Signed(Verdict("ready", "50", "7"), "{{hmac:success|caution|50|7}}"),
             "SIGNATURE_INVALID"},
            {"wrong signature with message", Signed(Verdict("R", "1", "7"), "x", R"(,"message":"M"})"),
             "SIGNATURE_INVALID"},
            {"no signature", R"({"status":"success",)" + Verdict("R", "1", "7") + "}", "SIGNATURE_INVALID"},
            {"capital S", R"({"status":"Success","message":"M"})", "M"},
            {"successful", R"({"status":"successful","message":"M"})", "M"},
            {"status with a space inside", R"({"status":"success ","message":"M"})", "M"},
            {"message with bars and non-ASCII", "{\"status\":\"error\",\"message\":\"a|b \xE2\x82\xAC\"}",
             "a|b \xE2\x82\xAC"},
            {"refusal without message", R"({"status":"error"})", "ERROR"},
        });
    RunTransportFailures(Export::SubmitQuizAnswers, "ERROR");
}

TEST_F(Operations, QuizAnswersSignatureLengthMustMatch) {
    const std::string digest = fake::Sign("success|R|1|7");
    for (const std::string& signature : {digest.substr(0, 63), digest + "0", digest.substr(1) + digest[0]}) {
        fake::ResetWithReply(Signed(Verdict("R", "1", "7"), signature));
        EXPECT_EQ(test::Result({Export::SubmitQuizAnswers}), "SIGNATURE_INVALID") << signature;
    }
}

TEST_F(Operations, TodayStatus) {
    const std::string completedAt = R"("quiz_completed_today":true,"timestamp":"T")";
    RunTable(
        {Export::GetTodayStatus, Export::GetTodayStatusV2},
        {
            {"not completed", Signed(kOpenDay, kNoQuiz), "not_completed"},
            {"not completed, quoted false", Signed(R"("quiz_completed_today":"false","timestamp":"T")", kNoQuiz),
             "not_completed"},
            {"not completed ignores verdict fields",
             Signed(R"("quiz_completed_today":false,"readiness_final":"R","allowed_volume_percent":50,)"
                    R"("daily_drawdown_hit":true,"timestamp":"T")",
                    kNoQuiz),
             "not_completed"},
            {"False counts as completed", Signed(R"("quiz_completed_today":False,"timestamp":"T")", kNoQuiz),
             "SIGNATURE_INVALID"},
            {"FALSE counts as completed",
             Signed(R"("quiz_completed_today":"FALSE","timestamp":"T")", "{{hmac:has_quiz||T}}"), "completed|||"},
            {"false with a trailing space counts as completed",
             Signed(R"("timestamp":"T")", kNoQuiz, R"(,"quiz_completed_today":false })"), "SIGNATURE_INVALID"},
            {"absent flag counts as completed", Signed(R"("timestamp":"T")", "{{hmac:has_quiz||T}}"), "completed|||"},
            {"completed", Signed(Completed("T", "R", "50", "false"), "{{hmac:has_quiz|50|T}}"), "completed|R|50|false"},
            {"readiness and drawdown are not signed",
             Signed(Completed("T", "other", "50", "true"), "{{hmac:has_quiz|50|T}}"), "completed|other|50|true"},
            {"changed percentage", Signed(Completed("T", "R", "60", "false"), "{{hmac:has_quiz|50|T}}"),
             "SIGNATURE_INVALID"},
            {"changed timestamp", Signed(Completed("U", "R", "50", "false"), "{{hmac:has_quiz|50|T}}"),
             "SIGNATURE_INVALID"},
            {"completed without result fields", Signed(completedAt, "{{hmac:has_quiz||T}}"), "completed|||"},
            {"not-completed signature on a completed reply", Signed(completedAt, kNoQuiz), "SIGNATURE_INVALID"},
            {"upper-case digest", Signed(kOpenDay, "{{HMAC:no_quiz|T}}"), "SIGNATURE_INVALID"},
            {"success never passes its message", Signed(kOpenDay, "bad", R"(,"message":"M"})"), "SIGNATURE_INVALID"},
            {"capital S", R"({"status":"Success","message":"M"})", "M"},
            {"refusal that reads like a result", R"({"status":"error","message":"not_completed"})", "not_completed"},
            {"refusal without message", R"({"status":"error"})", "ERROR"},
            {"refusal with empty message", R"({"status":"error","message":""})", "ERROR"},
        });
    RunTransportFailures(Export::GetTodayStatus, "ERROR");
}

TEST_F(Operations, TradingDay) {
    RunTable({Export::MarkTradingDay},
             {
                 {"success", R"({"status":"success"})", "success"},
                 {"message ignored", R"({"status":"success","message":"M"})", "success"},
                 {"status passed without case folding", R"({"status":"Success"})", "Success"},
                 {"refusal gives its status word", R"({"status":"error","message":"M"})", "error"},
                 {"no status", R"({"message":"M"})", ""},
                 {"unsigned: a bad signature changes nothing", R"({"status":"already_marked","signature":"bad"})",
                  "already_marked"},
             });
    RunTransportFailures(Export::MarkTradingDay, "");
}

TEST_F(Operations, FailingHmacProviderMakesEveryReplyInvalid) {
    const struct {
        Export which;
        std::string reply;
    } cases[] = {
        {Export::GetDailyQuiz, Signed(R"("timestamp":1)", "")},
        {Export::GetDailyQuiz, Signed(R"("timestamp":1)", "{{hmac:success|1}}")},
        {Export::SubmitQuizAnswers, Signed(Verdict("R", "1", "7"), "{{hmac:success|R|1|7}}")},
        {Export::GetTodayStatus, Signed(kOpenDay, kNoQuiz)},
    };
    for (const auto& c : cases) {
        fake::Reset();
        fake::state().hmacFails = true;
        fake::ReplyWith(fake::WithSignatures(c.reply));
        EXPECT_EQ(test::Result({c.which}), "SIGNATURE_INVALID") << c.reply;
    }
}

}  // namespace
}  // namespace halvane
