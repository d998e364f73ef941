// The request envelope: encoding rules as data, and the exact bodies the exports post.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <regex>

#include "core/envelope.h"
#include "fake_platform.h"
#include "export_call.h"

namespace halvane {
namespace {

using test::Export;

class Envelope : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
};

TEST(UrlEncode, Table) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"a b&c=d", "a%20b%26c%3Dd"},
        {"-._~", "-._~"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"},
        {"+", "%2B"},
        {"%", "%25"},
        {"/", "%2F"},
        {"*", "%2A"},
        {"\n", "%0A"},
        {"\xC3\xA9", "%C3%A9"},
        {"", ""},
        {std::string("\0\x7f\x80\xff", 4), "%00%7F%80%FF"},
        {"?#[]@!$'(),;:\"<>\\^`{|}", "%3F%23%5B%5D%40%21%24%27%28%29%2C%3B%3A%22%3C%3E%5C%5E%60%7B%7C%7D"},
    };
    for (const auto& c : cases) EXPECT_EQ(UrlEncode(c.in), c.out) << c.in;
}

TEST(BytesToHex, LowerCaseWithLeadingZeros) {
    const uint8_t bytes[] = {0x00, 0x0F, 0xA0, 0xFF};
    EXPECT_EQ(BytesToHex(bytes, 4), "000fa0ff");
    EXPECT_EQ(BytesToHex(bytes, 0), "");
}

TEST(DecimalText, WholeSignedRange) {
    const struct {
        int64_t value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {-5, "-5"},
        {-3600, "-3600"},
        {1700000000, "1700000000"},
        {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
        {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
    };
    for (const auto& c : cases) EXPECT_EQ(DecimalText(c.value), c.text);
}

TEST_F(Envelope, NonceIsThirtyTwoLowerHexDigits) {
    fake::state().nonce = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01, 0x7f, 0x80,
                           0xff, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    EXPECT_EQ(MakeNonce(), "deadbeef00017f80ff10203040506070");
}

TEST_F(Envelope, FailingGeneratorFallsBackSilentlyAndRepeatsWithinASecond) {
    fake::state().randomFails = true;
    const std::string first = MakeNonce();
    const std::string second = MakeNonce();
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9a-f]{32}"))) << first;
    EXPECT_EQ(first, second);
    fake::state().now += 1;
    EXPECT_NE(MakeNonce(), first);
}

TEST_F(Envelope, FallbackNonceReachesTheBody) {
    fake::state().randomFails = true;
    fake::ReplyWith(R"({"status":"success"})");
    EXPECT_EQ(test::Result({Export::MarkTradingDay}), "success");
    EXPECT_TRUE(std::regex_search(fake::state().record.body, std::regex("&nonce=[0-9a-f]{32}&timestamp=1700000000$")));
}

// The exact bodies of every export, with a fixed clock (1700000000) and nonce bytes 00..0F.
TEST_F(Envelope, ExactBodyOfEveryExport) {
    const std::string tail = "&nonce=000102030405060708090a0b0c0d0e0f&timestamp=1700000000";
    const struct {
        test::Call call;
        std::string body;
    } cases[] = {
        {{Export::GetDailyQuiz, u"", u"12345"}, "key=&account=12345" + tail},
        {{Export::GetDailyQuizV2, u"", u"12345", u"", 1699990000},
         "key=&account=12345" + tail + "&broker_time=1699990000"},
        {{Export::SubmitQuizAnswers, u"k", u"1", u"1=a&2=b"}, "key=k&account=1&answers=1%3Da%262%3Db" + tail},
        {{Export::SubmitQuizAnswersV2, u"k", u"1", u"", -5}, "key=k&account=1&answers=" + tail + "&broker_time=-5"},
        {{Export::GetTodayStatus, u"a b", u"\u00e9"}, "key=a%20b&account=%C3%A9" + tail},
        {{Export::GetTodayStatusV2, u"k", u"1", u"", 0}, "key=k&account=1" + tail + "&broker_time=0"},
        {{Export::GetTodayStatusV2, u"k", u"1", u"", -3600}, "key=k&account=1" + tail + "&broker_time=-3600"},
        {{Export::SubmitQuizAnswersV2, u"k", u"1", u"x", std::numeric_limits<int64_t>::min()},
         "key=k&account=1&answers=x" + tail + "&broker_time=-9223372036854775808"},
        {{Export::MarkTradingDay, nullptr, nullptr}, "key=&account=" + tail},
    };
    for (const auto& c : cases) {
        fake::ResetWithReply("{}");
        test::Result(c.call);
        EXPECT_EQ(fake::state().record.body, c.body) << test::Name(c.call.which);
        EXPECT_EQ(fake::state().record.path, test::PathOf(c.call.which)) << test::Name(c.call.which);
        EXPECT_EQ(fake::state().record.requests, 1);
    }
}

TEST_F(Envelope, LongestArgumentsReachTheBodyWhole) {
    const std::u16string ascii(255, u'k');
    const std::u16string threeByte(85, u'\u20ac');  // 85 x 3 bytes = 255 bytes
    std::string euros;
    for (int i = 0; i < 85; ++i) euros += "%E2%82%AC";
    const std::u16string answers(2047, u'a');

    fake::ReplyWith("{}");
    test::Result({Export::GetDailyQuiz, ascii.c_str()});
    EXPECT_EQ(fake::state().record.body.rfind("key=" + std::string(255, 'k') + "&account=", 0), 0u);

    fake::ResetWithReply("{}");
    test::Result({Export::GetDailyQuiz, threeByte.c_str()});
    EXPECT_EQ(fake::state().record.body.rfind("key=" + euros + "&account=", 0), 0u);

    fake::ResetWithReply("{}");
    test::Result({Export::SubmitQuizAnswers, u"k", u"1", answers.c_str()});
    EXPECT_NE(fake::state().record.body.find("&answers=" + std::string(2047, 'a') + "&nonce="), std::string::npos);
}

TEST_F(Envelope, UnpairedSurrogateIsSentAsReplacementCharacter) {
    const char16_t key[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    fake::ReplyWith("{}");
    test::Result({Export::GetDailyQuiz, key});
    EXPECT_EQ(fake::state().record.body.rfind("key=a%EF%BF%BDb%EF%BF%BD&account=", 0), 0u);
}

}  // namespace
}  // namespace halvane
