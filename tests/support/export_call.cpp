#include "export_call.h"

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

Outcome Invoke(const Call& call, int32_t length, bool nullBuffer) {
    const std::size_t size = (length > 0 ? static_cast<std::size_t>(length) : 0) + kGuard;
    std::vector<char16_t> buffer(size, kCanary);
    HalvaneChar* result = nullBuffer ? nullptr : reinterpret_cast<HalvaneChar*>(buffer.data());
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
    Outcome outcome;
    const std::size_t used = size - kGuard;
    outcome.units.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
    for (std::size_t i = used; i < size; ++i) outcome.guardIntact = outcome.guardIntact && buffer[i] == kCanary;
    return outcome;
}

std::string Outcome::text() const {
    std::size_t end = units.find(u'\0');
    return ToUtf8(units.substr(0, end));
}

std::string Result(const Call& call) {
    Outcome outcome = Invoke(call);
    return outcome.text();
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if (c < 0xE0) { cp = c & 0x1F; extra = 1; }
        else if (c < 0xF0) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        for (int k = 1; k <= extra && i + static_cast<std::size_t>(k) < text.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 | (cp >> 10));
            out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace halvane::test
