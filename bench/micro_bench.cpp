// The core's per-call pieces on realistic inputs.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "core/envelope.h"
#include "core/reply_reader.h"
#include "core/signature.h"
#include "platform/platform.h"

namespace {

using namespace halvane;

void BM_UrlEncode(benchmark::State& state, std::string_view text) {
    for (auto _ : state) benchmark::DoNotOptimize(UrlEncode(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_UrlEncode, license_key, std::string_view("HLV-7F3A-91C2-E5D8-0B6A"));
BENCHMARK_CAPTURE(BM_UrlEncode, answers, std::string_view("1=a&2=c&3=b&4=d&5=a"));
BENCHMARK_CAPTURE(BM_UrlEncode, cyrillic_key, std::string_view("Ключ лицензии 2024"));

void BM_BuildRequestBody(benchmark::State& state, bool withAnswers) {
    const std::string nonce = "9f86d081884c7d659a2feaa0c55ad015";
    for (auto _ : state) {
        if (withAnswers) {
            benchmark::DoNotOptimize(BuildRequestBody({{"key", "HLV-7F3A-91C2-E5D8-0B6A"},
                                                       {"account", "50012345"},
                                                       {"answers", "1=a&2=c&3=b&4=d&5=a"},
                                                       {"nonce", nonce},
                                                       {"timestamp", "1700000000"},
                                                       {"broker_time", "1700003600"}}));
        } else {
            benchmark::DoNotOptimize(BuildRequestBody({{"key", "HLV-7F3A-91C2-E5D8-0B6A"},
                                                       {"account", "50012345"},
                                                       {"nonce", nonce},
                                                       {"timestamp", "1700000000"}}));
        }
    }
}
BENCHMARK_CAPTURE(BM_BuildRequestBody, status_call, false);
BENCHMARK_CAPTURE(BM_BuildRequestBody, answers_v2_call, true);

// A quiz-like reply of `size` bytes whose "signature" field comes last.
std::string ReplyWithFieldAtEnd(std::size_t size) {
    const std::string tail = R"(],"signature":"e4e06e0b1d0ea3bbd0d9f54cb0f0f7c8f2ddad43a7c95f65b7bcbc7b4c4b2c11"})";
    std::string reply = R"({"status":"success","timestamp":1700000000,"quiz":[)";
    const std::string entry =
        R"({"number":1,"question":"Is the stop set before entry?","options":[{"letter":"a","text":"Yes"},{"letter":"b","text":"No"}]},)";
    while (reply.size() + entry.size() + tail.size() <= size) reply += entry;
    reply.append(size - reply.size() - tail.size(), ' ');
    reply += tail;
    return reply;
}

void BM_ExtractReplyField(benchmark::State& state) {
    const std::string reply = ReplyWithFieldAtEnd(static_cast<std::size_t>(state.range(0)));
    if (ExtractReplyField(reply, "signature").size() != 64) state.SkipWithError("field not found");
    for (auto _ : state) benchmark::DoNotOptimize(ExtractReplyField(reply, "signature"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ExtractReplyField)->RangeMultiplier(4)->Range(1 << 10, 1 << 20)->Complexity(benchmark::oN);

void BM_ExtractReplyField_SmallReply(benchmark::State& state) {
    const std::string reply =
        R"({"status":"success","quiz_completed_today":true,"readiness_final":"ready","allowed_volume_percent":100,"daily_drawdown_hit":false,"timestamp":1700000000,"signature":"e4e06e0b1d0ea3bbd0d9f54cb0f0f7c8f2ddad43a7c95f65b7bcbc7b4c4b2c11"})";
    for (auto _ : state) {
        for (const char* name : {"status", "quiz_completed_today", "readiness_final", "allowed_volume_percent",
                                 "daily_drawdown_hit", "timestamp", "signature"}) {
            benchmark::DoNotOptimize(ExtractReplyField(reply, name));
        }
    }
}
BENCHMARK(BM_ExtractReplyField_SmallReply);

void BM_ComputeHmacSha256Hex(benchmark::State& state) {
    const SignatureKey key = BuildSignatureKey();
    const std::string payload = "has_quiz|100|1700000000";
    for (auto _ : state) benchmark::DoNotOptimize(ComputeHmacSha256Hex(payload, key.data(), key.size()));
}
BENCHMARK(BM_ComputeHmacSha256Hex);

void BM_VerifyReplySignature(benchmark::State& state) {
    const SignatureKey key = BuildSignatureKey();
    const std::string payload = "has_quiz|100|1700000000";
    const std::string signature = ComputeHmacSha256Hex(payload, key.data(), key.size());
    if (!VerifyReplySignature(payload, signature)) state.SkipWithError("signature not accepted");
    for (auto _ : state) benchmark::DoNotOptimize(VerifyReplySignature(payload, signature));
}
BENCHMARK(BM_VerifyReplySignature);

void BM_MakeNonce(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(MakeNonce());
}
BENCHMARK(BM_MakeNonce);

// One trace line to the debugger channel's stand-in (syslog); each call writes a dozen.
void BM_TraceLine(benchmark::State& state) {
    for (auto _ : state) platform::Trace("SendPostRequestTo: before OpenHttpSession\n");
}
BENCHMARK(BM_TraceLine);

}  // namespace
