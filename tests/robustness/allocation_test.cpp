// Memory running out at every allocation of a call, for each export and each way its reply
// can go, on the scripted platform: the 1st, 2nd, ... allocation fails in turn until the
// call gets through. Each call must return normally with "ERROR", write nothing past the
// buffer and close every handle; LeakSanitizer (linux-asan) and memcheck check that nothing
// is left allocated.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "export_call.h"
#include "failing_allocator.h"
#include "fake_platform.h"

namespace halvane {
namespace {

using test::Export;

bool IsQuiz(Export which) { return which == Export::GetDailyQuiz || which == Export::GetDailyQuizV2; }
bool IsStatus(Export which) { return which == Export::GetTodayStatus || which == Export::GetTodayStatusV2; }

// The genuine success reply for each operation ({{hmac:P}}: the signature of P).
std::string SuccessReply(Export which) {
    if (IsQuiz(which)) return fake::Signed(R"("timestamp":5)", "{{hmac:success|5}}", R"(,"quiz":[]})");
    if (test::HasAnswers(which))
        return fake::Signed(fake::Verdict("ready", "100", "5"), "{{hmac:success|ready|100|5}}");
    if (IsStatus(which)) return fake::Signed(fake::Completed("5", "caution", "50", "true"), "{{hmac:has_quiz|50|5}}");
    return R"({"status":"success"})";
}

std::string NotCompletedReply(Export) {
    return fake::Signed(R"("quiz_completed_today":false,"timestamp":5)", "{{hmac:no_quiz|5}}");
}

// The reply in three chunks.
void InThirds(fake::State& state) {
    const std::string reply = state.http.chunks.at(0);
    const std::size_t third = reply.size() / 3;
    state.http.chunks = {reply.substr(0, third), reply.substr(third, third), reply.substr(2 * third)};
}

// The reply in two chunks, the second of which cannot be read.
void SecondChunkUnreadable(fake::State& state) {
    const std::string reply = state.http.chunks.at(0);
    state.http.chunks = {reply.substr(0, 10), reply.substr(10)};
    state.http.readFailsAt = 1;
}

// One digit of the reply's signature changed.
void SignatureChanged(fake::State& state) {
    std::string& reply = state.http.chunks.at(0);
    const std::size_t at = reply.find("\"signature\":\"");
    if (at != std::string::npos) reply[at + 13] = reply[at + 13] == '0' ? '1' : '0';
}

// One way a call can go, scripted on the fake platform: the reply for the export (none: the exchange fails before
// any), then what else the script changes.
struct ReplyPath {
    const char* name;
    std::string (*reply)(Export);
    void (*change)(fake::State&) = nullptr;
    bool statusOnly = false;  // only the today-status exports have this path
};

const ReplyPath kPaths[] = {
    {"success", SuccessReply},
    {"success in chunks", SuccessReply, InThirds},
    {"not completed", NotCompletedReply, nullptr, true},
    {"refusal", [](Export) -> std::string { return R"({"status":"error","message":"not today"})"; }},
    {"refusal without message", [](Export) -> std::string { return R"({"status":"error"})"; }},
    {"signature failure", SuccessReply, SignatureChanged},
    {"signing step fails", SuccessReply, [](fake::State& state) { state.hmacFails = true; }},
    {"system generator fails", SuccessReply, [](fake::State& state) { state.randomFails = true; }},
    {"connect fails", nullptr, [](fake::State& state) { state.http.failAt = fake::Step::Connect; }},
    {"send fails", nullptr, [](fake::State& state) { state.http.failAt = fake::Step::SendRequest; }},
    {"receive fails", nullptr, [](fake::State& state) { state.http.failAt = fake::Step::ReceiveResponse; }},
    {"HTTP 500", SuccessReply, [](fake::State& state) { state.http.status = 500; }},
    {"read fails", SuccessReply, SecondChunkUnreadable},
    {"empty reply", [](Export) { return std::string(); }},
    {"through a proxy", SuccessReply,
     [](fake::State& state) {
         state.http.proxy = u"proxy.invalid:3128";
         state.http.proxyBypass = u"<local>";
         state.http.autoConfigUrl = u"http://wpad.invalid/wpad.dat";
     }},
};

test::AllocationRun RunOnce(Export which, const ReplyPath& path, long failAt) {
    fake::Reset();
    if (path.reply != nullptr) fake::ReplyWith(fake::WithSignatures(path.reply(which)));
    if (path.change != nullptr) path.change(fake::state());
    const auto run = test::CallFailingAllocation({which, u"K\u00e9y", u"12345", u"1=a&2=b", -7}, failAt, 512);
    EXPECT_EQ(fake::state().record.open, 0) << "handles left open, allocation " << failAt;
    return run;
}

// Fails each allocation of one call in turn, along every path of that export.
void EveryAllocationOfEveryPath(Export which) {
    for (const ReplyPath& path : kPaths) {
        if (path.statusOnly && !IsStatus(which)) continue;
        SCOPED_TRACE(std::string(test::Name(which)) + ", " + path.name);
        const test::AllocationRun clean = RunOnce(which, path, -1);
        ASSERT_FALSE(clean.failed);
        const auto last = test::EveryAllocationFailing([&](long n) { return RunOnce(which, path, n); });
        // Past the call's last allocation: the same result as without any failure.
        EXPECT_EQ(last.text, clean.text);
        // Every path converts, builds a body and reads a reply: it allocates.
        EXPECT_GT(last.failedRuns, 0);
        std::cout << "[ paths    ] " << test::Name(which) << ", " << path.name << ": " << last.failedRuns
                  << " allocations, result \"" << clean.text.substr(0, 40) << "\"\n";
    }
}

TEST(AllocationFailure, GetDailyQuiz) { EveryAllocationOfEveryPath(Export::GetDailyQuiz); }
TEST(AllocationFailure, GetDailyQuizV2) { EveryAllocationOfEveryPath(Export::GetDailyQuizV2); }
TEST(AllocationFailure, SubmitQuizAnswers) { EveryAllocationOfEveryPath(Export::SubmitQuizAnswers); }
TEST(AllocationFailure, SubmitQuizAnswersV2) { EveryAllocationOfEveryPath(Export::SubmitQuizAnswersV2); }
TEST(AllocationFailure, GetTodayStatus) { EveryAllocationOfEveryPath(Export::GetTodayStatus); }
TEST(AllocationFailure, GetTodayStatusV2) { EveryAllocationOfEveryPath(Export::GetTodayStatusV2); }
TEST(AllocationFailure, MarkTradingDay) { EveryAllocationOfEveryPath(Export::MarkTradingDay); }

}  // namespace
}  // namespace halvane
