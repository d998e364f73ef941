#include "fake_platform.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace halvane::fake {

thread_local int tInsideFake = 0;

namespace {
State gState;

// Marks the fake as running while it lives; records the step `call` by its name first, if given.
struct InsideFake {
    explicit InsideFake(const char* call = nullptr) {
        ++tInsideFake;
        if (call != nullptr) gState.record.calls.emplace_back(call);
    }
    ~InsideFake() { --tInsideFake; }
    InsideFake(const InsideFake&) = delete;
    InsideFake& operator=(const InsideFake&) = delete;
};
thread_local unsigned long tLastError = 0;

bool Failing(Step step) {
    if (gState.http.failAt != step) return false;
    tLastError = gState.http.errorCode;
    return true;
}

char16_t* Copy(const char16_t* text) {
    if (text == nullptr) return nullptr;
    std::size_t length = std::char_traits<char16_t>::length(text) + 1;
    auto* copy = new char16_t[length];
    std::memcpy(copy, text, length * sizeof(char16_t));
    return copy;
}

std::u16string Text(const char16_t* text) { return text != nullptr ? std::u16string(text) : std::u16string(); }

std::size_t gNextChunk = 0, gChunkOffset = 0;

// Lets the time a scripted step takes pass on the monotonic clock.
int64_t Takes(const char* name) {
    const auto takes = gState.http.takesMs.find(name);
    return takes != gState.http.takesMs.end() ? takes->second : 0;
}

// A blocking step: records its limits, lets its time pass, and fails when it outlasts them.
bool Blocking(const char* name, const platform::StepLimits& limits) {
    auto& record = gState.record;
    record.calls.emplace_back(name);
    record.limits.push_back(std::string(name) + " " + std::to_string(limits.resolveMs) + "/" +
                            std::to_string(limits.connectMs) + "/" + std::to_string(limits.sendMs) + "/" +
                            std::to_string(limits.receiveMs) + " in " + std::to_string(limits.budgetMs));
    const int64_t needed = Takes(name);
    if (needed > static_cast<int64_t>(limits.budgetMs)) {
        gState.monotonicMs += limits.budgetMs;
        tLastError = 12002;
        return false;
    }
    gState.monotonicMs += needed;
    return true;
}

// Closes one of the exchange's handles: the step `call` closes the `handle`.
void Close(const char* call, const char* handle) {
    InsideFake inside(call);
    gState.record.closed.emplace_back(handle);
    --gState.record.open;
}
}  // namespace

State& state() { return gState; }

State& Reset() {
    gState = State{};
    gNextChunk = 0;
    gChunkOffset = 0;
    tLastError = 0;
    return gState;
}

void ReplyWith(std::string body) {
    gState.http.status = 200;
    gState.http.chunks = {std::move(body)};
}

void ResetWithReply(std::string body) {
    Reset();
    ReplyWith(std::move(body));
}

}  // namespace halvane::fake

namespace halvane::platform {

// Distinct handles, one of each; a step handed another than the one it expects fails.
struct HttpSession {};
struct HttpConnection {};
struct HttpRequest {};

namespace {
HttpSession gSession;
HttpConnection gConnection;
HttpRequest gRequest;
}  // namespace

using fake::gState;

int64_t CurrentTime() { return gState.now; }
int64_t MonotonicMs() { return gState.monotonicMs; }

bool SystemRandom(uint8_t* out, std::size_t size) {
    fake::InsideFake inside;
    if (gState.randomFails) return false;
    for (std::size_t i = 0; i < size; ++i) out[i] = gState.nonce[i % gState.nonce.size()];
    return true;
}

void Trace(const char* line) {
    fake::InsideFake inside;
    gState.record.trace.emplace_back(line);
    // Some debugger channels change the thread's last error while they write.
    if (gState.http.traceChangesLastError) fake::tLastError = 0xDEAD;
}

bool HmacSha256(const uint8_t* key, std::size_t keySize, const uint8_t* message, std::size_t messageSize,
                uint8_t digest[32]) {
    if (gState.hmacFails) return false;
    std::string hex =
        fake::ReferenceHmacHex(std::string(reinterpret_cast<const char*>(message), messageSize), key, keySize);
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<uint8_t>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
    return true;
}

bool QueryProxySettings(ProxySettings* settings) {
    fake::InsideFake inside("QueryProxySettings");
    if (gState.http.proxyQueryFails) return false;
    settings->autoConfigUrl = fake::Copy(gState.http.autoConfigUrl);
    settings->proxy = fake::Copy(gState.http.proxy);
    settings->proxyBypass = fake::Copy(gState.http.proxyBypass);
    return true;
}

void FreeProxyString(char16_t* text) {
    fake::InsideFake inside;
    const auto& http = gState.http;
    const std::u16string value(text);
    const char* name = http.autoConfigUrl && value == http.autoConfigUrl ? "autoConfigUrl"
                       : http.proxy && value == http.proxy               ? "proxy"
                                                                         : "proxyBypass";
    gState.record.freed.emplace_back(name);
    gState.record.calls.emplace_back(std::string("FreeProxyString:") + name);
    delete[] text;
}

HttpSession* OpenSession(const char16_t* agent, const char16_t* proxy, const char16_t* bypass) {
    fake::InsideFake inside("OpenSession");
    auto& record = gState.record;
    record.agent = fake::Text(agent);
    record.namedProxy = proxy != nullptr;
    record.proxy = fake::Text(proxy);
    record.bypass = fake::Text(bypass);
    gState.monotonicMs += fake::Takes("OpenSession");
    if (fake::Failing(fake::Step::OpenSession)) return nullptr;
    ++record.open;
    return &gSession;
}

void SetTimeouts(HttpSession*, int resolveMs, int connectMs, int sendMs, int receiveMs) {
    fake::InsideFake inside("SetTimeouts");
    gState.record.timeouts = {resolveMs, connectMs, sendMs, receiveMs};
}

HttpConnection* Connect(HttpSession* session, const char16_t* host, uint16_t port) {
    fake::InsideFake inside("Connect");
    auto& record = gState.record;
    record.host = fake::Text(host);
    record.port = port;
    if (session != &gSession || fake::Failing(fake::Step::Connect)) return nullptr;
    ++record.open;
    return &gConnection;
}

HttpRequest* OpenRequest(HttpConnection* connection, const char16_t* verb, const char16_t* path) {
    fake::InsideFake inside("OpenRequest");
    auto& record = gState.record;
    record.verb = fake::Text(verb);
    record.path = fake::Text(path);
    if (connection != &gConnection || fake::Failing(fake::Step::OpenRequest)) return nullptr;
    ++record.open;
    return &gRequest;
}

bool SendRequest(HttpRequest*, const char16_t* headers, const void* body, uint32_t bodySize, const StepLimits& limits,
                 int64_t* receivingSinceMs) {
    fake::InsideFake inside;
    auto& record = gState.record;
    record.headers = fake::Text(headers);
    record.body.assign(static_cast<const char*>(body), bodySize);
    ++record.requests;
    const bool sent = fake::Blocking("SendRequest", limits) && !fake::Failing(fake::Step::SendRequest);
    *receivingSinceMs = gState.monotonicMs - gState.http.readInsideSendMs;
    return sent;
}

bool ReceiveResponse(HttpRequest*, const StepLimits& limits) {
    fake::InsideFake inside;
    return fake::Blocking("ReceiveResponse", limits) && !fake::Failing(fake::Step::ReceiveResponse);
}

bool QueryStatusCode(HttpRequest*, uint32_t* statusCode) {
    fake::InsideFake inside("QueryStatusCode");
    if (fake::Failing(fake::Step::QueryStatusCode)) return false;
    *statusCode = gState.http.status;
    return true;
}

bool QueryContentLength(HttpRequest*, uint64_t* length) {
    fake::InsideFake inside("QueryContentLength");
    if (!gState.http.contentLength) return false;
    *length = *gState.http.contentLength;
    return true;
}

bool QueryDataAvailable(HttpRequest*, uint32_t* available, const StepLimits& limits) {
    fake::InsideFake inside;
    if (!fake::Blocking("QueryDataAvailable", limits)) return false;
    const auto& http = gState.http;
    if (static_cast<int>(fake::gNextChunk) == http.availabilityFailsAt) return false;
    *available = fake::gNextChunk < http.chunks.size()
                     ? static_cast<uint32_t>(http.chunks[fake::gNextChunk].size() - fake::gChunkOffset)
                     : 0;
    return true;
}

bool ReadData(HttpRequest*, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits& limits) {
    fake::InsideFake inside;
    if (!fake::Blocking("ReadData", limits)) return false;
    const auto& http = gState.http;
    if (static_cast<int>(fake::gNextChunk) == http.readFailsAt) return false;
    const std::string& chunk = http.chunks.at(fake::gNextChunk);
    const std::size_t left = chunk.size() - fake::gChunkOffset;
    const std::size_t count = left < toRead ? left : toRead;
    std::memcpy(buffer, chunk.data() + fake::gChunkOffset, count);
    fake::gChunkOffset += count;
    if (fake::gChunkOffset == chunk.size()) {
        ++fake::gNextChunk;
        fake::gChunkOffset = 0;
    }
    *read = static_cast<uint32_t>(count);
    return true;
}

void CloseRequest(HttpRequest*) { fake::Close("CloseRequest", "request"); }
void CloseConnection(HttpConnection*) { fake::Close("CloseConnection", "connection"); }
void CloseSession(HttpSession*) { fake::Close("CloseSession", "session"); }

unsigned long LastError() { return fake::tLastError; }

}  // namespace halvane::platform
