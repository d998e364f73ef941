// The transport on the real platform stack (WinHTTP under Wine, libcurl natively) against
// the local service: its scripted replies, a refused connection and bad certificates.
#include <gtest/gtest.h>

#include <string>

#include "core/transport.h"
#include "service_record.h"

namespace halvane {
namespace {

std::string Post(const std::string& key) { return SendPostRequestTo("key=" + key + "&account=1", u"/get_daily_quiz.php"); }

// Scripted replies (tests/data/transport_cases.json), one per key.
TEST(TransportScripted, RepliesAndTokens) {
    const struct {
        std::string key, result;
    } cases[] = {
        {"ok", R"({"status":"ok","message":"passed through"})"},
        {"http204", "HTTP_204"},
        {"http201", "HTTP_201"},
        {"http500", "HTTP_500"},
        {"http404", "HTTP_404"},
        {"empty200", "EMPTY_RESPONSE"},
        {"nul", std::string("{\"status\"\0:\"ok\"}\0\xff\0", 19)},
        {"chunked", R"({"status":"success","note":"sent in chunks"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(Post(c.key), c.result) << c.key;
}

TEST(TransportScripted, BrokenRepliesNeverPassAsWhole) {
    // Cut inside the body: a failed read gives "READ_ERROR"; an availability query that
    // fails after some bytes gives those bytes. Never the whole body, never more.
    const std::string whole = R"({"status":"success","message":"this reply is cut in the middle of its body"})";
    const std::string cut = Post("midbody");
    EXPECT_TRUE(cut == "READ_ERROR" || (cut.size() < whole.size() && whole.rfind(cut, 0) == 0)) << cut;
    EXPECT_EQ(Post("nohead"), "SERVER_ERROR");
}

TEST(TransportScripted, RequestOnTheWire) {
    const std::string body = "key=wire-check&account=%C3%A9&nonce=00&timestamp=1";
    EXPECT_EQ(SendPostRequestTo(body, u"/submit_quiz_answers.php"), R"({"status":"error","message":"unknown scripted case"})");
    const test::ReceivedRequest request = test::LastRequestStartingWith("key=wire-check");
    EXPECT_EQ(request.path, "/submit_quiz_answers.php");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, body);
    ASSERT_NE(request.Header("User-Agent"), nullptr);
    EXPECT_EQ(*request.Header("User-Agent"), "Halvane/1.0");
    ASSERT_NE(request.Header("Content-Type"), nullptr);
    EXPECT_EQ(*request.Header("Content-Type"), "application/x-www-form-urlencoded");
    ASSERT_NE(request.Header("Content-Length"), nullptr);
    EXPECT_EQ(*request.Header("Content-Length"), std::to_string(body.size()));
    ASSERT_NE(request.Header("Host"), nullptr);
    EXPECT_EQ(request.Header("Accept"), nullptr);
    EXPECT_EQ(request.Header("Expect"), nullptr);
    EXPECT_EQ(request.Header("Transfer-Encoding"), nullptr);
}

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
