// Each export's whole CPU path: argument conversion, envelope, nonce, the transport
// algorithm with its trace lines, the reply reading, the signature check and the delivery.
// Only the network is scripted away (scripted_transport.cpp).
#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "core/signature.h"
#include "halvane.h"
#include "scripted_transport.h"

namespace {

using halvane::bench::SetReply;

std::string Sign(const std::string& payload) {
    const halvane::SignatureKey key = halvane::BuildSignatureKey();
    return halvane::ComputeHmacSha256Hex(payload, key.data(), key.size());
}

std::string QuizReply() {
    std::string reply =
        R"({"status":"success","timestamp":1700000000,"signature":")" + Sign("success|1700000000") + R"(","quiz":[)";
    const char* questions[] = {"Is the stop set before entry?", "How much of the account may one trade risk?",
                               "What follows three losses in a row?", "Is the news calendar checked?"};
    for (int i = 0; i < 4; ++i) {
        if (i > 0) reply += ",";
        reply +=
            R"({"number":)" + std::to_string(i + 1) + R"(,"question":")" + questions[i] +
            R"(","options":[{"letter":"a","text":"Yes, always"},{"letter":"b","text":"Only when it looks risky"},{"letter":"c","text":"No"}]})";
    }
    return reply + "]}";
}

const HalvaneChar* W(const char16_t* text) { return reinterpret_cast<const HalvaneChar*>(text); }

const HalvaneChar* const kKey = W(u"HLV-7F3A-91C2-E5D8-0B6A");
const HalvaneChar* const kAccount = W(u"50012345");
const HalvaneChar* const kAnswers = W(u"1=a&2=c&3=b&4=a");

using Call = std::function<void(HalvaneChar* result, int32_t length)>;

std::string Narrow(const std::vector<HalvaneChar>& units) {
    std::string text;
    for (HalvaneChar unit : units) {
        if (unit == 0) break;
        text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return text;
}

void BM_Export(benchmark::State& state, const std::string& reply, const Call& call, const std::string& expected) {
    SetReply(reply);
    std::vector<HalvaneChar> result(4096);
    call(result.data(), static_cast<int32_t>(result.size()));
    if (Narrow(result) != expected) {
        state.SkipWithError(("unexpected result: " + Narrow(result).substr(0, 80)).c_str());
        return;
    }
    for (auto _ : state) {
        call(result.data(), static_cast<int32_t>(result.size()));
        benchmark::DoNotOptimize(result.data());
    }
}

void Register() {
    const std::string quiz = QuizReply();
    const std::string answers =
        R"({"status":"success","readiness_final":"caution","allowed_volume_percent":50,"timestamp":1700000000,"signature":")" +
        Sign("success|caution|50|1700000000") + R"("})";
    const std::string completed =
        R"({"status":"success","quiz_completed_today":true,"readiness_final":"ready","allowed_volume_percent":100,"daily_drawdown_hit":false,"timestamp":1700000000,"signature":")" +
        Sign("has_quiz|100|1700000000") + R"("})";
    const std::string forged =
        R"({"status":"success","quiz_completed_today":true,"readiness_final":"ready","allowed_volume_percent":100,"daily_drawdown_hit":false,"timestamp":1700000000,"signature":")" +
        Sign("has_quiz|50|1700000000") + R"("})";
    const std::string refusal = R"({"status":"error","message":"unknown key"})";
    const std::string marked = R"({"status":"success"})";

    struct Case {
        const char* name;
        std::string reply;
        Call call;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"GetDailyQuiz", quiz, [](HalvaneChar* r, int32_t n) { GetDailyQuiz(kKey, kAccount, r, n); }, quiz},
        {"GetDailyQuizV2", quiz, [](HalvaneChar* r, int32_t n) { GetDailyQuizV2(kKey, kAccount, 1700003600, r, n); },
         quiz},
        {"SubmitQuizAnswers", answers,
         [](HalvaneChar* r, int32_t n) { SubmitQuizAnswers(kKey, kAccount, kAnswers, r, n); }, "success|caution|50"},
        {"SubmitQuizAnswersV2", answers,
         [](HalvaneChar* r, int32_t n) { SubmitQuizAnswersV2(kKey, kAccount, kAnswers, 1700003600, r, n); },
         "success|caution|50"},
        {"GetTodayStatus", completed, [](HalvaneChar* r, int32_t n) { GetTodayStatus(kKey, kAccount, r, n); },
         "completed|ready|100|false"},
        {"GetTodayStatusV2", completed,
         [](HalvaneChar* r, int32_t n) { GetTodayStatusV2(kKey, kAccount, 1700003600, r, n); },
         "completed|ready|100|false"},
        {"GetTodayStatus/forged", forged, [](HalvaneChar* r, int32_t n) { GetTodayStatus(kKey, kAccount, r, n); },
         "SIGNATURE_INVALID"},
        {"GetTodayStatus/refusal", refusal, [](HalvaneChar* r, int32_t n) { GetTodayStatus(kKey, kAccount, r, n); },
         "unknown key"},
        {"MarkTradingDay", marked, [](HalvaneChar* r, int32_t n) { MarkTradingDay(kKey, kAccount, r, n); }, "success"},
    };
    for (const Case& c : cases) {
        benchmark::RegisterBenchmark((std::string("BM_Export/") + c.name).c_str(),
                                     [c](benchmark::State& state) { BM_Export(state, c.reply, c.call, c.expected); });
    }
}

const bool kRegistered = (Register(), true);

}  // namespace
