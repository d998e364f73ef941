// What a careless caller can hand the exports: null pointers anywhere, text that is not
// valid UTF-16, arguments at and past their buffers' limits, and every small result length,
// each with a guard region after the caller's buffer. Built twice: on the scripted platform
// (HALVANE_BAD_INPUT_REAL unset) and on the built module against the scripted service, whose
// "default" case gives the same refusal as the scripted platform here.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "export_call.h"

#ifdef HALVANE_BAD_INPUT_REAL
#include "service_record.h"
#else
#include "fake_platform.h"
#endif

namespace halvane {
namespace {

using test::Export;
using test::kCanary;

const std::string kRefusal = R"({"status":"error","message":"refused"})";

// The request body the last call sent, if it sent one.
class Wire {
public:
    void Prepare() {
#ifdef HALVANE_BAD_INPUT_REAL
        seen_ = test::ReadServiceRecord().size();
#else
        fake::ResetWithReply(kRefusal);
#endif
    }
    std::optional<std::string> Sent() const {
#ifdef HALVANE_BAD_INPUT_REAL
        const auto requests = test::ReadServiceRecord();
        if (requests.size() <= seen_) return std::nullopt;
        return requests.back().body;
#else
        if (fake::state().record.requests == 0) return std::nullopt;
        return fake::state().record.body;
#endif
    }

private:
    std::size_t seen_ = 0;
};

// The result of a call that reached the service and got the refusal.
std::string RefusedResult(Export which) { return which == Export::MarkTradingDay ? "error" : "refused"; }

// The value of `field` in a form body, still percent-encoded.
std::string FormField(const std::string& body, const std::string& field) {
    const std::string start = field + "=";
    std::size_t at = body.rfind(start, 0) == 0 ? 0 : body.find("&" + start);
    if (at == std::string::npos) return "<absent>";
    at += at == 0 ? start.size() : start.size() + 1;
    return body.substr(at, body.find('&', at) - at);
}

class BadInput : public ::testing::Test {
protected:
    // Runs the call; checks the guard, what went out and the result (none into a null buffer).
    void Check(const test::Call& call, const char* field, const std::optional<std::string>& sentValue,
               int32_t length = 256, const std::string& label = "", bool nullBuffer = false) {
        SCOPED_TRACE(std::string(test::Name(call.which)) + " " + label);
        wire_.Prepare();
        const test::Outcome outcome = test::Invoke(call, length, nullBuffer);
        EXPECT_TRUE(outcome.guardIntact);
        const std::optional<std::string> body = wire_.Sent();
        const std::u16string untouched(length > 0 ? static_cast<std::size_t>(length) : 0, kCanary);
        if (!sentValue) {
            EXPECT_FALSE(body.has_value()) << "sent: " << *body;
            EXPECT_EQ(outcome.units, nullBuffer ? untouched : test::Delivered("ERROR", length));
            return;
        }
        ASSERT_TRUE(body.has_value()) << "nothing was sent";
        EXPECT_EQ(FormField(*body, field), *sentValue);
        EXPECT_EQ(outcome.units, nullBuffer ? untouched : test::Delivered(RefusedResult(call.which), length));
    }

    Wire wire_;
};

TEST_F(BadInput, NullArgumentsAreEmptyTexts) {
    for (Export which : test::kAllExports) {
        Check({which, nullptr, u"1", u"1=a"}, "key", "", 256, "null key");
        Check({which, u"k", nullptr, u"1=a"}, "account", "", 256, "null account");
        Check({which, nullptr, nullptr, nullptr}, "account", "", 256, "all null");
        if (test::HasAnswers(which)) Check({which, u"k", u"1", nullptr}, "answers", "", 256, "null answers");
    }
}

TEST_F(BadInput, NullResultBufferWritesNothingWhateverTheLength) {
    for (Export which : test::kAllExports) {
        for (int32_t length : {-1, 0, 1, 2, 5, 6, 7, 8, 4096}) {
            // The call still runs.
            Check({which, u"k"}, "key", "k", length, "null buffer, length " + std::to_string(length), true);
        }
    }
}

TEST_F(BadInput, EveryShortResultLength) {
    for (Export which : test::kAllExports) {
        for (int32_t length = -1; length <= 8; ++length) {
            Check({which, u"k"}, "key", "k", length, "length " + std::to_string(length));
        }
    }
}

TEST_F(BadInput, UnpairedSurrogatesAreSentAsReplacementCharacters) {
    const std::string fffd = "%EF%BF%BD";
    const std::u16string high(1, u'\xD83D'), low(1, u'\xDE00');
    const struct {
        std::u16string text;
        std::string sent;
    } cases[] = {
        {high + u"ab", fffd + "ab"},                              // lone high at the start
        {u"ab" + high, "ab" + fffd},                              // lone high at the end
        {low + u"ab", fffd + "ab"},                               // lone low at the start
        {u"ab" + low, "ab" + fffd},                               // lone low at the end
        {u"a" + low + high + u"b", "a" + fffd + fffd + "b"},      // a pair the wrong way round
        {u"a" + high + high + low, "a" + fffd + "%F0%9F%98%80"},  // a high before a proper pair
        {high + low, "%F0%9F%98%80"},                             // a proper pair, for contrast
    };
    for (const auto& c : cases) {
        Check({Export::GetTodayStatus, c.text.c_str(), u"1"}, "key", c.sent, 256, "key " + c.sent);
        Check({Export::SubmitQuizAnswersV2, u"k", c.text.c_str(), c.text.c_str(), 3}, "answers", c.sent, 256,
              "answers " + c.sent);
    }
}

TEST_F(BadInput, ArgumentsAtAndPastTheirBufferLimits) {
    // key and account take 255 bytes of UTF-8, answers 2047; one more byte and nothing is sent.
    const struct {
        std::u16string text;
        bool fits;
    } keyCases[] = {
        {std::u16string(255, u'k'), true},
        {std::u16string(256, u'k'), false},
        {std::u16string(253, u'k') + u"\u00e9", true},   // two-byte character ends at 255
        {std::u16string(254, u'k') + u"\u00e9", false},  // and straddles the limit
        {std::u16string(252, u'k') + u"\u20ac", true},
        {std::u16string(253, u'k') + u"\u20ac", false},
        {std::u16string(251, u'k') + u"\U0001F600", true},
        {std::u16string(252, u'k') + u"\U0001F600", false},
        {std::u16string(252, u'k') + u"\xD83D", true},  // a lone surrogate takes three bytes
        {std::u16string(253, u'k') + u"\xD83D", false},
        {std::u16string(85, u'\u20ac'), true},
        {std::u16string(86, u'\u20ac'), false},
    };
    for (const auto& c : keyCases) {
        const std::string label = std::to_string(c.text.size()) + " units, " + (c.fits ? "fits" : "too long");
        const auto sent = c.fits ? std::optional(test::FormEncoded(test::ToUtf8(c.text))) : std::nullopt;
        for (Export which : {Export::GetDailyQuiz, Export::MarkTradingDay}) {
            Check({which, c.text.c_str(), u"1"}, "key", sent, 16, "key " + label);
        }
        Check({Export::GetTodayStatusV2, u"k", c.text.c_str(), u"", 1}, "account", sent, 16, "account " + label);
    }

    const std::u16string answers2047(2047, u'a');
    const std::u16string answers2048(2048, u'a');
    const std::u16string straddle = std::u16string(2046, u'a') + u"\u00e9";
    const std::u16string inside = std::u16string(2045, u'a') + u"\u00e9";
    Check({Export::SubmitQuizAnswers, u"k", u"1", answers2047.c_str()}, "answers", std::string(2047, 'a'), 16, "2047");
    Check({Export::SubmitQuizAnswers, u"k", u"1", answers2048.c_str()}, "answers", std::nullopt, 16, "2048");
    Check({Export::SubmitQuizAnswersV2, u"k", u"1", inside.c_str(), 9}, "answers", std::string(2045, 'a') + "%C3%A9",
          16, "2045 + 2-byte");
    Check({Export::SubmitQuizAnswersV2, u"k", u"1", straddle.c_str(), 9}, "answers", std::nullopt, 16, "2046 + 2-byte");
    // A key that fits beside answers that do not: still nothing.
    Check({Export::SubmitQuizAnswersV2, u"k", u"1", answers2048.c_str(), 9}, "answers", std::nullopt, 8,
          "2048, short buffer");
}

}  // namespace
}  // namespace halvane
