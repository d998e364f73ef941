#include "core/transport.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/unique_handle.h"

namespace halvane {

namespace {

using platform::HttpRequest;
using Session = platform::UniqueHandle<platform::HttpSession*, platform::CloseSession>;
using Connection = platform::UniqueHandle<platform::HttpConnection*, platform::CloseConnection>;
using Request = platform::UniqueHandle<HttpRequest*, platform::CloseRequest>;
using ProxyString = platform::UniqueHandle<char16_t*, platform::FreeProxyString>;

constexpr char16_t kContentTypeHeader[] = u"Content-Type: application/x-www-form-urlencoded\r\n";

void Trace(const char* line) { platform::Trace(line); }

void TraceFailure(const char* step, unsigned long code) {
    char line[128];
    std::snprintf(line, sizeof line, "SendPostRequestTo: %s FAILED, GetLastError = %lu\n", step, code);
    platform::Trace(line);
}

// A phase's end on the monotonic clock, and what its steps may take until then.
class Deadline {
public:
    explicit Deadline(int64_t durationMs, int64_t fromMs = platform::MonotonicMs()) : end_(fromMs + durationMs) {}

    int64_t Left() const {
        const int64_t left = end_ - platform::MonotonicMs();
        return left > 0 ? left : 0;
    }
    bool Passed() const { return Left() == 0; }
    // The phase timeouts, none longer than the time left; at least 1 ms, since 0 means
    // "no timeout" to some platforms.
    platform::StepLimits Limits() const {
        const int64_t left = std::max<int64_t>(Left(), 1);
        auto bound = [left](int timeoutMs) { return static_cast<int>(timeoutMs < left ? timeoutMs : left); };
        return {bound(kResolveTimeoutMs), bound(kConnectTimeoutMs), bound(kSendTimeoutMs), bound(kReceiveTimeoutMs),
                static_cast<uint32_t>(left)};
    }

private:
    int64_t end_;
};

// Reads the body of a 200 response. A body that ends short of its declared length, breaks
// off, passes the size limit or outlasts the receive phase is never passed on as a reply.
std::string ReadBody(HttpRequest* request, const Deadline& receiving) {
    constexpr uint32_t kLargestChunk = 64 * 1024;
    uint64_t declared = 0;
    const bool hasLength = platform::QueryContentLength(request, &declared);
    if (hasLength && declared > platform::kReplyBodyLimit) return "READ_ERROR";

    std::string reply;
    for (;;) {
        if (receiving.Passed()) return "READ_ERROR";
        uint32_t available = 0;
        if (!platform::QueryDataAvailable(request, &available, receiving.Limits())) {
            // Out of time inside the body is a broken reply, not an empty one.
            return reply.empty() && !receiving.Passed() ? "EMPTY_RESPONSE" : "READ_ERROR";
        }
        if (available == 0) break;
        if (available > kLargestChunk) available = kLargestChunk;
        if (receiving.Passed()) return "READ_ERROR";
        // Each chunk gets its own zeroed buffer, released before the next query.
        auto chunk = std::make_unique<char[]>(std::size_t{available} + 1);
        uint32_t read = 0;
        if (!platform::ReadData(request, chunk.get(), available, &read, receiving.Limits())) {
            return "READ_ERROR";  // the bytes gathered so far are dropped
        }
        // The platform's count, not a text end: NUL bytes stay. Never more than was asked for.
        const std::size_t count = read < available ? read : available;
        if (!platform::AppendWithinLimit(reply, chunk.get(), count)) return "READ_ERROR";
    }
    if (hasLength && reply.size() != declared) return "READ_ERROR";  // ended short of its length
    return reply.empty() ? "EMPTY_RESPONSE" : reply;
}

}  // namespace

platform::HttpSession* OpenHttpSession() {
    platform::ProxySettings settings;
    const bool queried = platform::QueryProxySettings(&settings);
    // A failed query hands over nothing to release.
    ProxyString autoConfigUrl(queried ? settings.autoConfigUrl : nullptr);
    ProxyString proxy(queried ? settings.proxy : nullptr);
    ProxyString bypass(queried ? settings.proxyBypass : nullptr);
    platform::HttpSession* session = proxy ? platform::OpenSession(kUserAgent, proxy.get(), bypass.get())
                                           : platform::OpenSession(kUserAgent, nullptr, nullptr);
    // After the session is opened, whatever came of it, in the order the record lists them.
    autoConfigUrl.reset();
    proxy.reset();
    bypass.reset();
    return session;
}

std::string SendPostRequestTo(std::string_view body, const char16_t* path) {
    const Deadline sending(kResolveTimeoutMs + kConnectTimeoutMs + kSendTimeoutMs);

    // Declared in opening order, so they close in reverse: request, connection, session.
    Trace("SendPostRequestTo: before OpenHttpSession\n");
    Session session(OpenHttpSession());
    Trace("SendPostRequestTo: after OpenHttpSession\n");
    if (!session) return "NETWORK_ERROR";

    platform::SetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);

    // Each failing step's error code is taken as soon as the step returns: writing a trace
    // line may change the thread's last error.
    Trace("SendPostRequestTo: before WinHttpConnect\n");
    Connection connection(platform::Connect(session.get(), kServiceHost, kServicePort));
    unsigned long error = connection ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpConnect\n");
    if (!connection) {
        TraceFailure("WinHttpConnect", error);
        return "NETWORK_ERROR";
    }

    Trace("SendPostRequestTo: before WinHttpOpenRequest\n");
    Request request(platform::OpenRequest(connection.get(), u"POST", path));
    error = request ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpOpenRequest\n");
    if (!request) {
        TraceFailure("WinHttpOpenRequest", error);
        return "NETWORK_ERROR";
    }

    Trace("SendPostRequestTo: before WinHttpSendRequest\n");
    int64_t receivingSince = 0;
    bool sent = platform::SendRequest(request.get(), kContentTypeHeader, body.data(),
                                      static_cast<uint32_t>(body.size()), sending.Limits(), &receivingSince);
    error = sent ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpSendRequest\n");
    if (!sent) {
        TraceFailure("WinHttpSendRequest", error);
        return "NETWORK_ERROR";
    }

    const Deadline receiving(kReceiveTimeoutMs, receivingSince);
    Trace("SendPostRequestTo: before WinHttpReceiveResponse\n");
    bool received = platform::ReceiveResponse(request.get(), receiving.Limits());
    error = received ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpReceiveResponse\n");
    if (!received) {
        TraceFailure("WinHttpReceiveResponse", error);
        return "SERVER_ERROR";
    }

    uint32_t status = 0;
    if (!platform::QueryStatusCode(request.get(), &status)) return "SERVER_ERROR";
    // Only 200 is a reply; any other response's body is never read.
    if (status != 200) return "HTTP_" + std::to_string(status);

    return ReadBody(request.get(), receiving);
}

}  // namespace halvane
