// The transport on the real platform stack (WinHTTP under Wine, libcurl natively) against
// the local service: its scripted replies, a refused connection and bad certificates.
#include <gtest/gtest.h>

#include <string>

#include "core/transport.h"
#include "scripted_cases.h"
#include "service_record.h"

namespace halvane {
namespace {

std::string Post(const std::string& key) {
    return SendPostRequestTo("key=" + key + "&account=1", u"/get_daily_quiz.php");
}

// Each transport record of the scripted cases (tests/data/e2e_cases.json).
class TransportScripted : public testing::TestWithParam<test::ScriptedCase> {};

TEST_P(TransportScripted, Record) {
    const test::ScriptedCase& c = GetParam();
    const std::string body = c.Text("body", "key=" + c.Key() + "&account=" + c.Account());
    const std::string path = c.Text("path", "/get_daily_quiz.php");
    test::ExpectResult(c, SendPostRequestTo(body, std::u16string(path.begin(), path.end()).c_str()));
    test::ExpectRequest(c);
}

INSTANTIATE_TEST_SUITE_P(, TransportScripted, testing::ValuesIn(test::ScriptedCases(true)), test::CaseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TransportScripted);

// One exchange, for reading its trace lines.
TEST(TransportTrace, OneExchange) { EXPECT_EQ(Post("ok"), R"({"status":"ok","message":"passed through"})"); }

// Nothing listens on the service port.
TEST(TransportRefused, IsANetworkError) { EXPECT_EQ(Post("ok"), "NETWORK_ERROR"); }

// The service presents a certificate that must not be accepted.
TEST(TransportBadCertificate, FailsTheExchange) {
    EXPECT_EQ(Post("ok"), "NETWORK_ERROR");
    EXPECT_TRUE(test::ReadServiceRecord().empty()) << "the request reached a server that failed verification";
}

}  // namespace
}  // namespace halvane
