// A scripted stand-in for the platform steps: a fixed clock and nonce, a generator that can
// fail, an HMAC that can fail, and an HTTPS exchange whose every step can be made to fail.
// Everything the core asked of it is recorded for the test to read.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvane::fake {

enum class Step { None, OpenSession, Connect, OpenRequest, SendRequest, ReceiveResponse, QueryStatusCode };

// Every member has its default, so that a test can script one with designated initializers.
struct HttpScript {
    // Proxy settings query.
    bool proxyQueryFails = false;
    const char16_t* autoConfigUrl = nullptr;
    const char16_t* proxy = nullptr;
    const char16_t* proxyBypass = nullptr;

    Step failAt = Step::None;  // this step fails, with `errorCode` as its last error
    unsigned long errorCode = 0;
    uint32_t status = 200;
    std::vector<std::string> chunks{};        // the body, as the platform hands it out
    int readFailsAt = -1;                     // ReadData fails for this chunk index
    int availabilityFailsAt = -1;             // QueryDataAvailable fails when this chunk is next
    std::optional<uint64_t> contentLength{};  // the length the head declares, if any
    bool traceChangesLastError = false;
    // How long each call of a step takes on the monotonic clock, by its name in the record
    // ("SendRequest", ...). A blocking step that needs longer than its budget ends when
    // the budget runs out and fails with 12002, as a platform that honours it does.
    std::map<std::string, int64_t> takesMs{};
    // How much of the send step was already spent reading the reply (as some platforms do).
    int64_t readInsideSendMs = 0;
};

struct Record {
    std::vector<std::string> calls;   // every step by its name in the seam, in order ("Connect", ...)
    std::vector<std::string> trace;   // trace lines
    std::vector<std::string> freed;   // proxy strings released, by name
    std::vector<std::string> closed;  // handles closed, in order ("request", "connection", "session")
    std::u16string agent, proxy, bypass, host, verb, path, headers;
    bool namedProxy = false;
    uint16_t port = 0;
    std::array<int, 4> timeouts{};
    // Each blocking step's limits: "SendRequest 15000/15000/15000/20000 in 45000".
    std::vector<std::string> limits;
    std::string body;
    int requests = 0;
    int open = 0;  // handles open now
};

struct State {
    int64_t now = 1700000000;
    int64_t monotonicMs = 5000;
    bool randomFails = false;
    std::array<uint8_t, 16> nonce{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    bool hmacFails = false;
    HttpScript http;
    Record record;
};

// While positive, the fake itself is running: a test that makes allocations fail leaves the
// fake's own bookkeeping alone (a real platform step does not throw).
extern thread_local int tInsideFake;

// The fake's state; Reset() restores the defaults above.
State& state();
State& Reset();

// Shorthand: a 200 reply whose body comes in one chunk; the same after a Reset().
void ReplyWith(std::string body);
void ResetWithReply(std::string body);

// The bytes as lower-case hex digits, two per byte.
std::string LowerHex(std::string_view bytes);
// HMAC-SHA256 computed independently of the module, as lower-case hex.
std::string ReferenceHmacHex(const std::string& message, const uint8_t* key, std::size_t keySize);
// The configured shared key, decoded from HALVANE_TEST_SIGNING_KEY.
std::array<uint8_t, 32> ConfiguredKey();
// The digest text a genuine service would put into "signature" for `payload`.
std::string Sign(const std::string& payload);
// `reply` with its first `most` placeholders replaced: "{{hmac:P}}" by Sign(P), "{{HMAC:P}}" by the
// same digits in upper case. `payloads`, when given, receives each P.
std::string WithSignatures(std::string reply, std::vector<std::string>* payloads = nullptr,
                           std::size_t most = std::size_t(-1));

// Replies as the service writes them: `{"status":"success",FIELDS,"signature":"SIGNATURE"` and
// then REST; the verdict fields of an answers reply; the fields of a completed day's status.
inline std::string Signed(const std::string& fields, const std::string& signature, const std::string& rest = "}") {
    return R"({"status":"success",)" + fields + R"(,"signature":")" + signature + "\"" + rest;
}
inline std::string Verdict(const std::string& readiness, const std::string& percent, const std::string& timestamp) {
    return R"("readiness_final":")" + readiness + R"(","allowed_volume_percent":)" + percent + R"(,"timestamp":)" +
           timestamp;
}
inline std::string Completed(const std::string& timestamp, const std::string& readiness, const std::string& percent,
                             const std::string& drawdown) {
    return R"("quiz_completed_today":true,"timestamp":")" + timestamp + R"(","readiness_final":")" + readiness +
           R"(","allowed_volume_percent":)" + percent + R"(,"daily_drawdown_hit":)" + drawdown;
}

}  // namespace halvane::fake
