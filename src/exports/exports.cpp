// The module's seven exports. Each runs the same frame: convert the arguments, preset
// "ERROR", run the operation under one catch-all, deliver the result text exactly once.
#include <optional>
#include <string>

#include "core/call_frame.h"
#include "halvane.h"
#include "operations/operations.h"

namespace halvane {
namespace {

static_assert(sizeof(HalvaneChar) == sizeof(char16_t), "the wide type must be UTF-16");

using Operation = std::string (*)(const CallArguments&);

const char16_t* Utf16(const HalvaneChar* text) { return reinterpret_cast<const char16_t*>(text); }

void RunExport(Operation operation, const HalvaneChar* key, const HalvaneChar* account, const HalvaneChar* answers,
               bool hasAnswers, std::optional<int64_t> brokerTime, HalvaneChar* result, int32_t resultLength) noexcept {
    ArgumentBuffer<kArgumentBufferSize> keyBuffer;
    ArgumentBuffer<kArgumentBufferSize> accountBuffer;
    ArgumentBuffer<kAnswersBufferSize> answersBuffer;
    bool fits = keyBuffer.Convert(Utf16(key));
    fits = accountBuffer.Convert(Utf16(account)) && fits;
    if (hasAnswers) fits = answersBuffer.Convert(Utf16(answers)) && fits;

    std::string text = "ERROR";
    // An argument that does not fit its buffer is never sent cut short: nothing is posted.
    if (fits) {
        try {
            text = operation(CallArguments{keyBuffer.text(), accountBuffer.text(), answersBuffer.text(), brokerTime});
        } catch (...) {
            text = "ERROR";
        }
    }
    DeliverResultText(text, reinterpret_cast<char16_t*>(result), resultLength);
}

}  // namespace
}  // namespace halvane

using halvane::RunExport;

extern "C" {

HALVANE_API void HALVANE_CALL GetDailyQuiz(const HalvaneChar* key, const HalvaneChar* account, HalvaneChar* result,
                                           int32_t resultLength) {
    RunExport(halvane::RunDailyQuiz, key, account, nullptr, false, std::nullopt, result, resultLength);
}

HALVANE_API void HALVANE_CALL GetDailyQuizV2(const HalvaneChar* key, const HalvaneChar* account, int64_t brokerTime,
                                             HalvaneChar* result, int32_t resultLength) {
    RunExport(halvane::RunDailyQuiz, key, account, nullptr, false, brokerTime, result, resultLength);
}

HALVANE_API void HALVANE_CALL SubmitQuizAnswers(const HalvaneChar* key, const HalvaneChar* account,
                                                const HalvaneChar* answers, HalvaneChar* result, int32_t resultLength) {
    RunExport(halvane::RunQuizAnswers, key, account, answers, true, std::nullopt, result, resultLength);
}

HALVANE_API void HALVANE_CALL SubmitQuizAnswersV2(const HalvaneChar* key, const HalvaneChar* account,
                                                  const HalvaneChar* answers, int64_t brokerTime, HalvaneChar* result,
                                                  int32_t resultLength) {
    RunExport(halvane::RunQuizAnswers, key, account, answers, true, brokerTime, result, resultLength);
}

HALVANE_API void HALVANE_CALL GetTodayStatus(const HalvaneChar* key, const HalvaneChar* account, HalvaneChar* result,
                                             int32_t resultLength) {
    RunExport(halvane::RunTodayStatus, key, account, nullptr, false, std::nullopt, result, resultLength);
}

HALVANE_API void HALVANE_CALL GetTodayStatusV2(const HalvaneChar* key, const HalvaneChar* account, int64_t brokerTime,
                                               HalvaneChar* result, int32_t resultLength) {
    RunExport(halvane::RunTodayStatus, key, account, nullptr, false, brokerTime, result, resultLength);
}

HALVANE_API void HALVANE_CALL MarkTradingDay(const HalvaneChar* key, const HalvaneChar* account, HalvaneChar* result,
                                             int32_t resultLength) {
    RunExport(halvane::RunTradingDay, key, account, nullptr, false, std::nullopt, result, resultLength);
}

}  // extern "C"
