// The transport algorithm against scripted platform steps: every failure row, the close
// order, the trace lines and the proxy choice.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/transport.h"
#include "fake_platform.h"

namespace halvane {
namespace {

using fake::Step;
using Lines = std::vector<std::string>;
using Takes = std::map<std::string, int64_t>;  // how long each step takes, in ms

const Lines kSuccessTrace = {
    "SendPostRequestTo: before OpenHttpSession\n",        "SendPostRequestTo: after OpenHttpSession\n",
    "SendPostRequestTo: before WinHttpConnect\n",         "SendPostRequestTo: after WinHttpConnect\n",
    "SendPostRequestTo: before WinHttpOpenRequest\n",     "SendPostRequestTo: after WinHttpOpenRequest\n",
    "SendPostRequestTo: before WinHttpSendRequest\n",     "SendPostRequestTo: after WinHttpSendRequest\n",
    "SendPostRequestTo: before WinHttpReceiveResponse\n", "SendPostRequestTo: after WinHttpReceiveResponse\n",
};

Lines First(std::size_t count) {
    return Lines(kSuccessTrace.begin(), kSuccessTrace.begin() + static_cast<std::ptrdiff_t>(count));
}
// The trace line of a failing platform step, with its last error.
std::string FailureLine(const std::string& step, int code = 12029) {
    return "SendPostRequestTo: " + step + " FAILED, GetLastError = " + std::to_string(code) + "\n";
}
// The success trace's first `count` lines, then `step`'s failure line.
Lines FailedAfter(std::size_t count, const std::string& step) {
    Lines lines = First(count);
    lines.push_back(FailureLine(step));
    return lines;
}
const Lines kAllClosed = {"request", "connection", "session"};
// The limits a send and a receive are handed when they have the whole of their phase.
const std::string kWholeSend = "SendRequest 15000/15000/15000/20000 in 45000";
const std::string kWholeReceive = "ReceiveResponse 15000/15000/15000/20000 in 20000";

class Transport : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    std::string Post(std::string_view body = "key=k") { return SendPostRequestTo(body, u"/get_today_status.php"); }
    // One exchange with the platform scripted afresh: each table row holds its own script.
    std::string PostWith(const fake::HttpScript& script) {
        fake::Reset().http = script;
        return Post();
    }
};

TEST_F(Transport, FailureTable) {
    const struct {
        const char* what;
        Step failAt;
        Lines trace;
        Lines closed;
        std::string result;
    } rows[] = {
        {"no session", Step::OpenSession, First(2), {}, "NETWORK_ERROR"},
        {"no connection", Step::Connect, FailedAfter(4, "WinHttpConnect"), {"session"}, "NETWORK_ERROR"},
        {"no request", Step::OpenRequest, FailedAfter(6, "WinHttpOpenRequest"), Lines{"connection", "session"},
         "NETWORK_ERROR"},
        {"send fails", Step::SendRequest, FailedAfter(8, "WinHttpSendRequest"), kAllClosed, "NETWORK_ERROR"},
        {"receive fails", Step::ReceiveResponse, FailedAfter(10, "WinHttpReceiveResponse"), kAllClosed, "SERVER_ERROR"},
        {"status query fails", Step::QueryStatusCode, First(10), kAllClosed, "SERVER_ERROR"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(PostWith({.failAt = row.failAt, .errorCode = 12029}), row.result);
        EXPECT_EQ(fake::state().record.trace, row.trace);
        EXPECT_EQ(fake::state().record.closed, row.closed);
        EXPECT_EQ(fake::state().record.open, 0);
    }
}

TEST_F(Transport, ErrorCodeIsTakenBeforeTheTraceLineCanChangeIt) {
    for (Step step : {Step::Connect, Step::OpenRequest, Step::SendRequest, Step::ReceiveResponse}) {
        PostWith({.failAt = step, .errorCode = 12175, .traceChangesLastError = true});
        EXPECT_NE(fake::state().record.trace.back().find("FAILED, GetLastError = 12175\n"), std::string::npos)
            << fake::state().record.trace.back();
    }
}

TEST_F(Transport, ReadLoopTable) {
    const struct {
        const char* what;
        fake::HttpScript http;
        std::string result;
    } rows[] = {
        {"one chunk", {.chunks = {"{\"status\":\"success\"}"}}, "{\"status\":\"success\"}"},
        {"chunks appended in order", {.chunks = {"ab", "cd", "e"}}, "abcde"},
        {"NUL bytes kept", {.chunks = {std::string("a\0b", 3), std::string("\0", 1)}}, std::string("a\0b\0", 4)},
        {"empty body", {}, "EMPTY_RESPONSE"},
        {"first availability query fails", {.chunks = {"ab"}, .availabilityFailsAt = 0}, "EMPTY_RESPONSE"},
        {"availability fails after a chunk: never a cut body",
         {.chunks = {"ab", "cd"}, .availabilityFailsAt = 1},
         "READ_ERROR"},
        {"first read fails", {.chunks = {"ab"}, .readFailsAt = 0}, "READ_ERROR"},
        {"read fails after a chunk", {.chunks = {"ab", "cd"}, .readFailsAt = 1}, "READ_ERROR"},
        {"204", {.status = 204, .chunks = {"body"}}, "HTTP_204"},
        {"201", {.status = 201, .chunks = {"body"}}, "HTTP_201"},
        {"404", {.status = 404}, "HTTP_404"},
        {"500 with a message", {.status = 500, .chunks = {"{\"message\":\"down\"}"}}, "HTTP_500"},
        {"large code", {.status = 4294967295u}, "HTTP_4294967295"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(PostWith(row.http), row.result);
        EXPECT_EQ(fake::state().record.trace, kSuccessTrace);  // the status query and reads trace nothing
        EXPECT_EQ(fake::state().record.closed, kAllClosed);
        if (row.http.status != 200) {
            for (const auto& call : fake::state().record.calls) EXPECT_NE(call, "ReadData");
        }
    }
}

TEST_F(Transport, RequestSettings) {
    fake::ReplyWith("x");
    EXPECT_EQ(Post("a=1&b=2"), "x");
    const auto& record = fake::state().record;
    EXPECT_EQ(record.agent, u"Halvane/1.0");
    EXPECT_EQ(record.verb, u"POST");
    EXPECT_EQ(record.path, u"/get_today_status.php");
    EXPECT_EQ(record.host, kServiceHost);
    EXPECT_EQ(record.port, kServicePort);
    EXPECT_EQ(record.headers, u"Content-Type: application/x-www-form-urlencoded\r\n");
    EXPECT_EQ(record.body, "a=1&b=2");
    EXPECT_EQ(record.timeouts, (std::array<int, 4>{15000, 15000, 15000, 20000}));
    const Lines expected = {"QueryProxySettings", "OpenSession",        "SetTimeouts",     "Connect",
                            "OpenRequest",        "SendRequest",        "ReceiveResponse", "QueryStatusCode",
                            "QueryContentLength", "QueryDataAvailable", "ReadData",        "QueryDataAvailable",
                            "CloseRequest",       "CloseConnection",    "CloseSession"};
    EXPECT_EQ(record.calls, expected);
}

// Every phase is bounded as a whole: resolving, connecting and sending share 45 s, the whole
// reply has 20 s from the moment the request is out, and each blocking step is handed what
// is left. A step that needs longer fails with the platform's timeout code.
TEST_F(Transport, DeadlineTable) {
    const std::string sendTimedOut = FailureLine("WinHttpSendRequest", 12002);
    const struct {
        const char* what;
        Takes takesMs;
        std::string result;
        std::string lastTrace;  // empty: the success trace, whole
        Lines limits;           // the first ones handed out
        int64_t inSendMs = 0;   // spent reading inside the send
    } rows[] = {
        {"a quick exchange", {}, "abc", "", Lines{kWholeSend, kWholeReceive}},
        {"the send outlasts the three first phases", Takes{{"SendRequest", 45001}}, "NETWORK_ERROR", sendTimedOut,
         Lines{kWholeSend}},
        {"opening the session ate into the send's budget", Takes{{"OpenSession", 40000}, {"SendRequest", 6000}},
         "NETWORK_ERROR", sendTimedOut, Lines{"SendRequest 5000/5000/5000/5000 in 5000"}},
        {"a slow send leaves the receive its whole 20 s", Takes{{"SendRequest", 44000}, {"ReceiveResponse", 19000}},
         "abc", "", Lines{kWholeSend, kWholeReceive, "QueryDataAvailable 1000/1000/1000/1000 in 1000"}},
        {"the head was read inside the send: the receive phase counts from the request's going out",
         Takes{{"SendRequest", 15000}}, "abc", "", Lines{kWholeSend, "ReceiveResponse 8000/8000/8000/8000 in 8000"},
         12000},
        {"the head outlasts the receive phase", Takes{{"ReceiveResponse", 20001}}, "SERVER_ERROR",
         FailureLine("WinHttpReceiveResponse", 12002), Lines{}},
        {"the body outlasts the receive phase, head and body together",
         Takes{{"ReceiveResponse", 12000}, {"QueryDataAvailable", 3000}}, "READ_ERROR", "", Lines{}},
        {"a read outlasts what is left", Takes{{"ReceiveResponse", 19000}, {"ReadData", 1001}}, "READ_ERROR", "", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const fake::HttpScript script{
            .chunks = {"a", "b", "c"}, .takesMs = row.takesMs, .readInsideSendMs = row.inSendMs};
        EXPECT_EQ(PostWith(script), row.result);
        const auto& record = fake::state().record;
        if (row.lastTrace.empty()) {
            EXPECT_EQ(record.trace, kSuccessTrace);
        } else {
            EXPECT_EQ(record.trace.back(), row.lastTrace);
        }
        ASSERT_GE(record.limits.size(), row.limits.size());
        EXPECT_EQ(Lines(record.limits.begin(), record.limits.begin() + static_cast<std::ptrdiff_t>(row.limits.size())),
                  row.limits);
        EXPECT_EQ(record.open, 0);
    }
}

// What a reply may make the module hold, and a body that ends short of its declared length.
TEST_F(Transport, BodyLimitTable) {
    constexpr std::size_t kLimit = std::size_t{4} << 20;
    const std::string mebibyte(std::size_t{1} << 20, 'm'), overOneRead = std::string(150000, 'q') + "end";
    const struct {
        const char* what;
        std::vector<std::string> chunks;
        std::optional<uint64_t> declared;
        std::string result;  // "<whole>": the chunks joined
        bool read;           // whether any byte was read
    } rows[] = {
        {"exactly the limit", {mebibyte, mebibyte, mebibyte, mebibyte}, std::nullopt, "<whole>", true},
        {"one byte over, in chunks", {mebibyte, mebibyte, mebibyte, mebibyte, "x"}, std::nullopt, "READ_ERROR", true},
        {"one chunk larger than the limit", {std::string(kLimit + 1, 'x')}, std::nullopt, "READ_ERROR", true},
        {"declared over the limit: nothing read", {"abc"}, kLimit + 1, "READ_ERROR", false},
        {"declared and whole", {"ab", "c"}, 3, "<whole>", true},
        {"ends short of its declared length", {"ab", "c"}, 4, "READ_ERROR", true},
        {"declared empty", {}, 0, "EMPTY_RESPONSE", true},
        {"a chunk over 64 KiB arrives whole, in pieces", {overOneRead}, std::nullopt, "<whole>", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string whole;
        for (const auto& chunk : row.chunks) whole += chunk;
        const std::string reply = PostWith({.chunks = row.chunks, .contentLength = row.declared});
        EXPECT_TRUE(reply == (row.result == "<whole>" ? whole : row.result))
            << reply.substr(0, 40) << " (" << reply.size() << " bytes)";
        const auto& calls = fake::state().record.calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "QueryDataAvailable") != 0, row.read);
        EXPECT_EQ(fake::state().record.open, 0);
    }
}

TEST_F(Transport, ProxyChoiceTable) {
    const fake::HttpScript allThree{.autoConfigUrl = u"http://pac/", .proxy = u"proxy:3128", .proxyBypass = u"<local>"};
    const struct {
        const char* what;
        fake::HttpScript settings;
        bool named;
        std::u16string usedProxy, usedBypass;
        Lines freed;
    } rows[] = {
        {"query fails: direct, nothing released", {.proxyQueryFails = true, .proxy = u"p:1"}, false, u"", u"", {}},
        {"no settings: direct", {}, false, u"", u"", {}},
        {"auto-config URL only: direct", {.autoConfigUrl = u"http://pac/"}, false, u"", u"", Lines{"autoConfigUrl"}},
        {"proxy without bypass", {.proxy = u"proxy:3128"}, true, u"proxy:3128", u"", Lines{"proxy"}},
        {"proxy with bypass, all released in order", allThree, true, u"proxy:3128", u"<local>",
         Lines{"autoConfigUrl", "proxy", "proxyBypass"}},
        {"bypass only: direct", {.proxyBypass = u"<local>"}, false, u"", u"", Lines{"proxyBypass"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fake::HttpScript http = row.settings;
        http.chunks = {"x"};
        EXPECT_EQ(PostWith(http), "x");
        const auto& record = fake::state().record;
        EXPECT_EQ(record.namedProxy, row.named);
        EXPECT_EQ(record.proxy, row.usedProxy);
        EXPECT_EQ(record.bypass, row.usedBypass);
        EXPECT_EQ(record.freed, row.freed);
        // The strings are released after the session is opened.
        if (!row.freed.empty()) {
            EXPECT_EQ(record.calls.at(1), "OpenSession");
        }
    }
}

TEST_F(Transport, ProxyStringsAreReleasedEvenWhenTheSessionFails) {
    EXPECT_EQ(PostWith({.proxy = u"proxy:3128", .failAt = Step::OpenSession}), "NETWORK_ERROR");
    EXPECT_EQ(fake::state().record.freed, Lines{"proxy"});
}

}  // namespace
}  // namespace halvane
