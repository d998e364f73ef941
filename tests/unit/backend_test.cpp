// The real platform backend of this build: HMAC known answers, the key built at run time,
// the text conversions' rules, the system generator and clock.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "core/envelope.h"
#include "core/signature.h"
#include "fake_platform.h"
#include "platform/platform.h"
#include "service_record.h"

namespace halvane {
namespace {

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// RFC 4231, test cases 1 to 7 (case 5, a truncated output, is compared on its prefix).
TEST(ComputeHmacSha256Hex, Rfc4231Vectors) {
    const struct {
        std::string keyHex, dataHex, digest;
    } vectors[] = {
        {Repeat("0b", 20), "4869205468657265", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"4a656665", "7768617420646f2079612077616e7420666f72206e6f7468696e673f",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(40, 'a'), std::string(100, 'd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"0102030405060708090a0b0c0d0e0f10111213141516171819", Repeat("cd", 50),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {Repeat("0c", 20), "546573742057697468205472756e636174696f6e", "a3b6167473100ee06e0c796c2955552b"},
        {std::string(262, 'a'),
         "54657374205573696e67204c6172676572205468616e20426c6f636b2d53697a65204b6579202d2048617368204b6579204669727374",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(262, 'a'),
         "5468697320697320612074657374207573696e672061206c6172676572207468616e20626c6f636b2d73697a65206b657920616e64206"
         "1206c61726765722074"
         "68616e20626c6f636b2d73697a6520646174612e20546865206b6579206e6565647320746f20626520686173686564206265666f72652"
         "06265696e6720757365"
         "642062792074686520484d414320616c676f726974686d2e",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& v : vectors) {
        const std::string key = test::FromHex(v.keyHex);
        const std::string digest =
            ComputeHmacSha256Hex(test::FromHex(v.dataHex), reinterpret_cast<const uint8_t*>(key.data()), key.size());
        EXPECT_EQ(digest.substr(0, v.digest.size()), v.digest);
        EXPECT_EQ(digest.size(), 64u);
        // The test's own HMAC agrees, so the operation tables sign with a trustworthy oracle.
        EXPECT_EQ(
            fake::ReferenceHmacHex(test::FromHex(v.dataHex), reinterpret_cast<const uint8_t*>(key.data()), key.size()),
            digest);
    }
}

TEST(ComputeHmacSha256Hex, EmptyMessageAndKeyWithZeroBytes) {
    uint8_t key[32] = {0, 0, 1, 0};
    key[31] = 7;
    EXPECT_EQ(ComputeHmacSha256Hex("", key, 32), fake::ReferenceHmacHex("", key, 32));
    EXPECT_EQ(ComputeHmacSha256Hex(std::string("a\0b", 3), key, 32),
              fake::ReferenceHmacHex(std::string("a\0b", 3), key, 32));
    // A key that begins with a zero byte is used whole, not as an empty text.
    EXPECT_NE(ComputeHmacSha256Hex("m", key, 32), ComputeHmacSha256Hex("m", key, 0));
}

TEST(BuildSignatureKey, EqualsTheConfiguredKey) {
    const SignatureKey built = BuildSignatureKey();
    const auto configured = fake::ConfiguredKey();
    EXPECT_TRUE(std::equal(built.begin(), built.end(), configured.begin()));
}

TEST(VerifyReplySignature, UsesTheConfiguredKey) {
    EXPECT_TRUE(VerifyReplySignature("success|1700000000", fake::Sign("success|1700000000")));
    EXPECT_FALSE(VerifyReplySignature("success|1700000001", fake::Sign("success|1700000000")));
    EXPECT_FALSE(VerifyReplySignature("success|", ""));
}

TEST(Conversions, WideToUtf8Table) {
    const struct {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"", ""},
        {u"abc", "abc"},
        {u"\u00e9", "\xC3\xA9"},
        {u"\u20ac", "\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},
        {std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD"},
        {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {std::u16string{u'a', char16_t(0xD800), u'b'}, std::string("a\xEF\xBF\xBD") + "b"},
    };
    for (const auto& c : cases) {
        char out[16];
        const int written = platform::WideToUtf8(c.in.c_str(), out, sizeof out);
        EXPECT_EQ(written, static_cast<int>(c.out.size() + 1));
        EXPECT_EQ(std::string(out), c.out);
    }
}

TEST(Conversions, NeverWritesPastTheGivenSize) {
    std::vector<char> out(8, '#');
    EXPECT_EQ(platform::WideToUtf8(u"abcdefgh", out.data(), 4), 0);  // does not fit
    EXPECT_EQ(platform::WideToUtf8(u"abc", out.data(), 4), 4);
    EXPECT_EQ(std::string(out.data(), 8), std::string("abc\0####", 8));
    EXPECT_EQ(platform::WideToUtf8(u"abcdefgh", nullptr, 0), 9);  // measures
    EXPECT_EQ(platform::WideToUtf8(nullptr, out.data(), 8), 0);

    std::vector<char16_t> wide(8, u'#');
    EXPECT_EQ(platform::Utf8ToWide("abcdefgh", wide.data(), 4), 0);
    EXPECT_EQ(wide[4], u'#');
    EXPECT_EQ(platform::Utf8ToWide("abc", wide.data(), 4), 4);
    EXPECT_EQ(std::u16string(wide.data(), 5), std::u16string(u"abc\0#", 5));
    EXPECT_EQ(platform::Utf8ToWide("\xF0\x9F\x98\x80", nullptr, 0), 3);
    EXPECT_EQ(platform::Utf8ToWide("a\0b", nullptr, 0), 2);  // stops at the first zero
}

TEST(SystemRandom, FillsAndVaries) {
    uint8_t a[16] = {}, b[16] = {};
    ASSERT_TRUE(platform::SystemRandom(a, sizeof a));
    ASSERT_TRUE(platform::SystemRandom(b, sizeof b));
    EXPECT_NE(std::string(reinterpret_cast<char*>(a), 16), std::string(reinterpret_cast<char*>(b), 16));
    EXPECT_NE(MakeNonce(), MakeNonce());
}

TEST(CurrentTime, IsTheSystemClock) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(std::abs(platform::CurrentTime() - now), 2);
}

}  // namespace
}  // namespace halvane
