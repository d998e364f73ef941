// Every operation as a table: reply bytes in, result text out, through the public exports
// with the transport scripted. In a reply, {{hmac:P}} stands for the genuine signature of the
// payload P, and {{HMAC:P}} for the same digits in upper case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "export_call.h"
#include "fake_platform.h"

namespace halvane {
namespace {

using test::Export;

std::string Expand(std::string reply) {
    for (const char* marker : {"{{hmac:", "{{HMAC:"}) {
        for (std::size_t at; (at = reply.find(marker)) != std::string::npos;) {
            const std::size_t end = reply.find("}}", at);
            const std::size_t from = at + std::char_traits<char>::length(marker);
            std::string digest = fake::Sign(reply.substr(from, end - from));
            if (marker[2] == 'H') {
                std::transform(digest.begin(), digest.end(), digest.begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            }
            reply.replace(at, end + 2 - at, digest);
        }
    }
    return reply;
}

struct Case {
    const char* what;
    std::string reply;   // the reply body, or a transport token when `failAt` is set
    std::string result;  // expected result text; "=" means the whole (expanded) reply
};

const char* const kTokens[] = {"NETWORK_ERROR", "SERVER_ERROR", "READ_ERROR", "EMPTY_RESPONSE", "HTTP_500"};

class Operations : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    void RunTable(std::initializer_list<Export> exports, const std::vector<Case>& cases) {
        for (Export which : exports) {
            for (const Case& c : cases) {
                fake::Reset();
                const std::string reply = Expand(c.reply);
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
        const struct {
            fake::Step step;
            uint32_t status;
            bool emptyBody;
        } failures[] = {
            {fake::Step::Connect, 200, false},
            {fake::Step::SendRequest, 200, false},
            {fake::Step::ReceiveResponse, 200, false},
            {fake::Step::QueryStatusCode, 200, false},
            {fake::Step::None, 500, false},
            {fake::Step::None, 204, false},
            {fake::Step::None, 200, true},
        };
        for (const auto& f : failures) {
            fake::Reset();
            fake::ReplyWith(R"({"status":"success","message":"must not be read"})");
            fake::state().http.failAt = f.step;
            fake::state().http.status = f.status;
            if (f.emptyBody) fake::state().http.chunks.clear();
            EXPECT_EQ(test::Result({which}), expected) << test::Name(which);
        }
        for (const char* token : kTokens) {
            fake::Reset();
            fake::ReplyWith(token);  // a body equal to a token reads the same
            EXPECT_EQ(test::Result({which}), expected) << token;
        }
    }
};

TEST_F(Operations, DailyQuiz) {
    const std::string signedReply =
        R"({"status":"success","timestamp":1700000000,"signature":"{{hmac:success|1700000000}}","quiz":[1,2,3]})";
    RunTable(
        {Export::GetDailyQuiz, Export::GetDailyQuizV2},
        {
            {"signed success passes whole", signedReply, "="},
            {"upper-case digest",
             R"({"status":"success","timestamp":1700000000,"signature":"{{HMAC:success|1700000000}}","quiz":[1,2,3]})",
             "SIGNATURE_INVALID"},
            {"quoted timestamp signs the same payload",
             R"({"status":"success","timestamp":"1700000000","signature":"{{hmac:success|1700000000}}"})", "="},
            {"quiz content is not signed",
             R"({"status":"success","timestamp":1700000000,"signature":"{{hmac:success|1700000000}}","quiz":["changed"]})",
             "="},
            {"no signature", R"({"status":"success","timestamp":1700000000})", "SIGNATURE_INVALID"},
            {"empty signature", R"({"status":"success","timestamp":1700000000,"signature":""})", "SIGNATURE_INVALID"},
            {"no timestamp signs success| alone", R"({"status":"success","signature":"{{hmac:success|}}"})", "="},
            {"no timestamp, signature over another payload",
             R"({"status":"success","signature":"{{hmac:success|1700000000}}"})", "SIGNATURE_INVALID"},
            {"signature of another timestamp",
             R"({"status":"success","timestamp":1700000001,"signature":"{{hmac:success|1700000000}}"})",
             "SIGNATURE_INVALID"},
            {"bad signature with message", R"({"status":"success","timestamp":1,"signature":"00","message":"M"})",
             "SIGNATURE_INVALID"},
            {"space inside the signature quotes",
             R"({"status":"success","timestamp":1,"signature":" {{hmac:success|1}}"})", "SIGNATURE_INVALID"},
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
        });
    RunTransportFailures(Export::GetDailyQuiz, "ERROR");
}

TEST_F(Operations, QuizAnswers) {
    RunTable(
        {Export::SubmitQuizAnswers, Export::SubmitQuizAnswersV2},
        {
            {"signed verdict",
             R"({"status":"success","readiness_final":"ready","allowed_volume_percent":100,"timestamp":1700000000,"signature":"{{hmac:success|ready|100|1700000000}}"})",
             "success|ready|100"},
            {"signed without the timestamp part",
             R"({"status":"success","readiness_final":"R","allowed_volume_percent":50,"timestamp":7,"signature":"{{hmac:success|R|50}}"})",
             "SIGNATURE_INVALID"},
            {"fields signed in another order",
             R"({"status":"success","readiness_final":"R","allowed_volume_percent":50,"timestamp":7,"signature":"{{hmac:success|50|R|7}}"})",
             "SIGNATURE_INVALID"},
            {"absent readiness",
             R"({"status":"success","allowed_volume_percent":50,"timestamp":7,"signature":"{{hmac:success||50|7}}"})",
             "success||50"},
            {"bare percentage keeps its trailing space",
             R"({"status":"success","readiness_final":"R","timestamp":7,"signature":"{{hmac:success|R|50 |7}}","allowed_volume_percent":50 })",
             "success|R|50 "},
            {"vertical bar in readiness passes unescaped",
             R"({"status":"success","readiness_final":"a|b","allowed_volume_percent":1,"timestamp":7,"signature":"{{hmac:success|a|b|1|7}}"})",
             "success|a|b|1"},
            {"arbitrarily old timestamp",
             R"({"status":"success","readiness_final":"R","allowed_volume_percent":1,"timestamp":0,"signature":"{{hmac:success|R|1|0}}"})",
             "success|R|1"},
            {"percentage changed after signing",
             R"({"status":"success","readiness_final":"R","allowed_volume_percent":100,"timestamp":7,"signature":"{{hmac:success|R|50|7}}"})",
             "SIGNATURE_INVALID"},
            {"readiness changed after signing",
             R"({"status":"success","readiness_final":"ready","allowed_volume_percent":50,"timestamp":7,"signature":"{{hmac:success|caution|50|7}}"})",
             "SIGNATURE_INVALID"},
            {"wrong signature with message",
             R"({"status":"success","readiness_final":"R","allowed_volume_percent":1,"timestamp":7,"signature":"x","message":"M"})",
             "SIGNATURE_INVALID"},
            {"no signature", R"({"status":"success","readiness_final":"R","allowed_volume_percent":1,"timestamp":7})",
             "SIGNATURE_INVALID"},
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
        fake::Reset();
        fake::ReplyWith(
            R"({"status":"success","readiness_final":"R","allowed_volume_percent":1,"timestamp":7,"signature":")" +
            signature + "\"}");
        EXPECT_EQ(test::Result({Export::SubmitQuizAnswers}), "SIGNATURE_INVALID") << signature;
    }
}

TEST_F(Operations, TodayStatus) {
    RunTable(
        {Export::GetTodayStatus, Export::GetTodayStatusV2},
        {
            {"not completed",
             R"({"status":"success","quiz_completed_today":false,"timestamp":"T","signature":"{{hmac:no_quiz|T}}"})",
             "not_completed"},
            {"not completed, quoted false",
             R"({"status":"success","quiz_completed_today":"false","timestamp":"T","signature":"{{hmac:no_quiz|T}}"})",
             "not_completed"},
            {"not completed ignores verdict fields",
             R"({"status":"success","quiz_completed_today":false,"readiness_final":"R","allowed_volume_percent":50,"daily_drawdown_hit":true,"timestamp":"T","signature":"{{hmac:no_quiz|T}}"})",
             "not_completed"},
            {"False counts as completed",
             R"({"status":"success","quiz_completed_today":False,"timestamp":"T","signature":"{{hmac:no_quiz|T}}"})",
             "SIGNATURE_INVALID"},
            {"FALSE counts as completed",
             R"({"status":"success","quiz_completed_today":"FALSE","timestamp":"T","signature":"{{hmac:has_quiz||T}}"})",
             "completed|||"},
            {"false with a trailing space counts as completed",
             R"({"status":"success","timestamp":"T","signature":"{{hmac:no_quiz|T}}","quiz_completed_today":false })",
             "SIGNATURE_INVALID"},
            {"absent flag counts as completed",
             R"({"status":"success","timestamp":"T","signature":"{{hmac:has_quiz||T}}"})", "completed|||"},
            {"completed",
             R"({"status":"success","quiz_completed_today":true,"timestamp":"T","readiness_final":"R","allowed_volume_percent":50,"daily_drawdown_hit":false,"signature":"{{hmac:has_quiz|50|T}}"})",
             "completed|R|50|false"},
            {"readiness and drawdown are not signed",
             R"({"status":"success","quiz_completed_today":true,"timestamp":"T","readiness_final":"other","allowed_volume_percent":50,"daily_drawdown_hit":true,"signature":"{{hmac:has_quiz|50|T}}"})",
             "completed|other|50|true"},
            {"changed percentage",
             R"({"status":"success","quiz_completed_today":true,"timestamp":"T","readiness_final":"R","allowed_volume_percent":60,"daily_drawdown_hit":false,"signature":"{{hmac:has_quiz|50|T}}"})",
             "SIGNATURE_INVALID"},
            {"changed timestamp",
             R"({"status":"success","quiz_completed_today":true,"timestamp":"U","readiness_final":"R","allowed_volume_percent":50,"daily_drawdown_hit":false,"signature":"{{hmac:has_quiz|50|T}}"})",
             "SIGNATURE_INVALID"},
            {"completed without result fields",
             R"({"status":"success","quiz_completed_today":true,"timestamp":"T","signature":"{{hmac:has_quiz||T}}"})",
             "completed|||"},
            {"not-completed signature on a completed reply",
             R"({"status":"success","quiz_completed_today":true,"timestamp":"T","signature":"{{hmac:no_quiz|T}}"})",
             "SIGNATURE_INVALID"},
            {"upper-case digest",
             R"({"status":"success","quiz_completed_today":false,"timestamp":"T","signature":"{{HMAC:no_quiz|T}}"})",
             "SIGNATURE_INVALID"},
            {"success never passes its message",
             R"({"status":"success","quiz_completed_today":false,"timestamp":"T","signature":"bad","message":"M"})",
             "SIGNATURE_INVALID"},
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
        {Export::GetDailyQuiz, R"({"status":"success","timestamp":1,"signature":""})"},
        {Export::GetDailyQuiz, R"({"status":"success","timestamp":1,"signature":"{{hmac:success|1}}"})"},
        {Export::SubmitQuizAnswers,
         R"({"status":"success","readiness_final":"R","allowed_volume_percent":1,"timestamp":7,"signature":"{{hmac:success|R|1|7}}"})"},
        {Export::GetTodayStatus,
         R"({"status":"success","quiz_completed_today":false,"timestamp":"T","signature":"{{hmac:no_quiz|T}}"})"},
    };
    for (const auto& c : cases) {
        fake::Reset();
        fake::state().hmacFails = true;
        fake::ReplyWith(Expand(c.reply));
        EXPECT_EQ(test::Result({c.which}), "SIGNATURE_INVALID") << c.reply;
    }
}

}  // namespace
}  // namespace halvane
