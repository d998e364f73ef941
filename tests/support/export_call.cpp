#include "export_call.h"

#include "common/utf_text.h"

namespace halvane::test {

namespace {
const HalvaneChar* W(const char16_t* text) { return reinterpret_cast<const HalvaneChar*>(text); }
constexpr std::size_t kGuard = 64;
}  // namespace

const char* Name(Export which) {
    switch (which) {
        case Export::GetDailyQuiz: return "GetDailyQuiz";
        case Export::GetDailyQuizV2: return "GetDailyQuizV2";
        case Export::SubmitQuizAnswers: return "SubmitQuizAnswers";
        case Export::SubmitQuizAnswersV2: return "SubmitQuizAnswersV2";
        case Export::GetTodayStatus: return "GetTodayStatus";
        case Export::GetTodayStatusV2: return "GetTodayStatusV2";
        case Export::MarkTradingDay: return "MarkTradingDay";
    }
    return "?";
}

bool HasAnswers(Export which) { return which == Export::SubmitQuizAnswers || which == Export::SubmitQuizAnswersV2; }

bool HasBrokerTime(Export which) {
    return which == Export::GetDailyQuizV2 || which == Export::SubmitQuizAnswersV2 || which == Export::GetTodayStatusV2;
}

std::u16string PathOf(Export which) {
    switch (which) {
        case Export::GetDailyQuiz:
        case Export::GetDailyQuizV2: return u"/get_daily_quiz.php";
        case Export::SubmitQuizAnswers:
        case Export::SubmitQuizAnswersV2: return u"/submit_quiz_answers.php";
        case Export::GetTodayStatus:
        case Export::GetTodayStatusV2: return u"/get_today_status.php";
        case Export::MarkTradingDay: return u"/mark_trading_day.php";
    }
    return u"";
}

void CallExport(const Call& call, char16_t* buffer, int32_t length) {
    auto* result = reinterpret_cast<HalvaneChar*>(buffer);
    const HalvaneChar* key = W(call.key);
    const HalvaneChar* account = W(call.account);
    const HalvaneChar* answers = W(call.answers);
    switch (call.which) {
        case Export::GetDailyQuiz: GetDailyQuiz(key, account, result, length); break;
        case Export::GetDailyQuizV2: GetDailyQuizV2(key, account, call.brokerTime, result, length); break;
        case Export::SubmitQuizAnswers: SubmitQuizAnswers(key, account, answers, result, length); break;
        case Export::SubmitQuizAnswersV2:
            SubmitQuizAnswersV2(key, account, answers, call.brokerTime, result, length);
            break;
        case Export::GetTodayStatus: GetTodayStatus(key, account, result, length); break;
        case Export::GetTodayStatusV2: GetTodayStatusV2(key, account, call.brokerTime, result, length); break;
        case Export::MarkTradingDay: MarkTradingDay(key, account, result, length); break;
    }
}

GuardedBuffer::GuardedBuffer(int32_t length)
    : length_(length), units_((length > 0 ? static_cast<std::size_t>(length) : 0) + kGuard, kCanary) {}

Outcome GuardedBuffer::outcome() const {
    Outcome outcome;
    const std::size_t used = units_.size() - kGuard;
    outcome.units.assign(units_.begin(), units_.begin() + static_cast<std::ptrdiff_t>(used));
    for (std::size_t i = used; i < units_.size(); ++i)
        outcome.guardIntact = outcome.guardIntact && units_[i] == kCanary;
    return outcome;
}

Outcome Invoke(const Call& call, int32_t length, bool nullBuffer) {
    GuardedBuffer buffer(length);
    CallExport(call, nullBuffer ? nullptr : buffer.result(), length);
    return buffer.outcome();
}

std::string Outcome::text() const {
    std::size_t end = units.find(u'\0');
    return ToUtf8(units.substr(0, end));
}

std::string Result(const Call& call) {
    Outcome outcome = Invoke(call);
    return outcome.text();
}

std::string ToUtf8(const std::u16string& text) { return text::ToUtf8(text); }

std::u16string ToUtf16(const std::string& text) { return text::ToUtf16(text); }

}  // namespace halvane::test
