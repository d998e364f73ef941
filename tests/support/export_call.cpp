#include "export_call.h"

#include <atomic>
#include <cstdlib>
#include <iterator>

#include "common/utf_text.h"

namespace halvane::test {

namespace {
const HalvaneChar* W(const char16_t* text) { return reinterpret_cast<const HalvaneChar*>(text); }
constexpr std::size_t kGuard = 64;

// Each export's name, service path and arguments, in the order of `Export`.
const struct {
    const char* name;
    const char16_t* path;
    bool answers, brokerTime;
} kExportTable[] = {
    {"GetDailyQuiz", u"/get_daily_quiz.php", false, false},
    {"GetDailyQuizV2", u"/get_daily_quiz.php", false, true},
    {"SubmitQuizAnswers", u"/submit_quiz_answers.php", true, false},
    {"SubmitQuizAnswersV2", u"/submit_quiz_answers.php", true, true},
    {"GetTodayStatus", u"/get_today_status.php", false, false},
    {"GetTodayStatusV2", u"/get_today_status.php", false, true},
    {"MarkTradingDay", u"/mark_trading_day.php", false, false},
};
static_assert(std::size(kExportTable) == std::size(kAllExports));
const auto& Row(Export which) { return kExportTable[static_cast<std::size_t>(which)]; }
}  // namespace

const char* Name(Export which) { return Row(which).name; }
bool HasAnswers(Export which) { return Row(which).answers; }
bool HasBrokerTime(Export which) { return Row(which).brokerTime; }
std::u16string PathOf(Export which) { return Row(which).path; }

// Under memcheck a process's first exchange runs the TLS code as it is first translated, which
// on loaded cores can by itself outlast a phase (20 times the 1.2 s it takes on idle ones).
// With HALVANE_TEST_WARM_UP set, an unchecked status call goes first.
namespace {
void WarmUpFirst() {
    static std::atomic<bool> warmed{false};
    if (warmed.exchange(true) || std::getenv("HALVANE_TEST_WARM_UP") == nullptr) return;
    char16_t result[64];
    CallExport({Export::GetTodayStatus, u"warm-up", u"1", u"", 0}, result, 64);
}
}  // namespace

void CallExport(const Call& call, char16_t* buffer, int32_t length) {
    WarmUpFirst();
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

std::u16string Delivered(const std::string& text, int32_t length) {
    if (length <= 0) return u"";
    std::u16string units = ToUtf16(text) + u'\0';
    if (static_cast<int32_t>(units.size()) > length)
        units = length >= 6 ? std::u16string(u"ERROR", 6) : std::u16string(1, u'\0');
    return units + std::u16string(static_cast<std::size_t>(length) - units.size(), kCanary);
}

std::string FormEncoded(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : utf8) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out;
}

std::string ToUtf8(const std::u16string& text) { return text::ToUtf8(text); }

std::u16string ToUtf16(const std::string& text) { return text::ToUtf16(text); }

}  // namespace halvane::test
