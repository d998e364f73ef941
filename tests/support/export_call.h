// Calling the seven exports from tests by name, with UTF-16 arguments and a guarded result
// buffer, and reading the result back as UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "halvane.h"

namespace halvane::test {

enum class Export {
    GetDailyQuiz,
    GetDailyQuizV2,
    SubmitQuizAnswers,
    SubmitQuizAnswersV2,
    GetTodayStatus,
    GetTodayStatusV2,
    MarkTradingDay
};

const char* Name(Export which);
bool HasAnswers(Export which);
bool HasBrokerTime(Export which);
// The service path each export posts to.
std::u16string PathOf(Export which);

inline constexpr Export kAllExports[] = {Export::GetDailyQuiz,        Export::GetDailyQuizV2, Export::SubmitQuizAnswers,
                                         Export::SubmitQuizAnswersV2, Export::GetTodayStatus, Export::GetTodayStatusV2,
                                         Export::MarkTradingDay};

struct Call {
    Export which = Export::GetDailyQuiz;
    const char16_t* key = u"K";
    const char16_t* account = u"12345";
    const char16_t* answers = u"";
    int64_t brokerTime = 0;
};

// Canary value of every code unit the export must not write.
inline constexpr char16_t kCanary = 0xBEEF;

struct Outcome {
    std::u16string units;      // the buffer's first `length` code units after the call
    bool guardIntact = true;   // nothing written at or past `length`
    std::string text() const;  // up to the first zero, as UTF-8
};

// Calls the export into the caller's buffer. Allocates nothing itself, so that a test that
// counts or fails allocations sees only the export's own.
void CallExport(const Call& call, char16_t* result, int32_t length);

// A result buffer of `length` code units followed by a guard region, all preset to kCanary.
// Made before a call whose allocations are counted; outcome() allocates.
class GuardedBuffer {
public:
    explicit GuardedBuffer(int32_t length);
    char16_t* result() { return units_.data(); }
    int32_t length() const { return length_; }
    Outcome outcome() const;

private:
    int32_t length_;
    std::vector<char16_t> units_;
};

// Runs the call with a guarded buffer of `length` units. A null buffer is passed when
// `nullBuffer` is set.
Outcome Invoke(const Call& call, int32_t length = 4096, bool nullBuffer = false);

// Convenience: the result text of a call with a large buffer.
std::string Result(const Call& call);

// The first `length` units of a buffer the export delivered `text` into: the text and its zero
// when they fit, else "ERROR" (length 6 or more) or the empty text, canaries after them.
std::u16string Delivered(const std::string& text, int32_t length);

// Form encoding as the service reads it back: unreserved bytes as they are, all others %XX.
std::string FormEncoded(std::string_view utf8);

std::string ToUtf8(const std::u16string& text);
std::u16string ToUtf16(const std::string& text);  // valid UTF-8 only

}  // namespace halvane::test
