#include "core/transport.h"

#include <cstdio>
#include <memory>

#include "platform/unique_handle.h"

namespace halvane {

namespace {

using platform::HttpHandle;
using UniqueHttpHandle = platform::UniqueHandle<HttpHandle, platform::CloseHttpHandle>;

constexpr char16_t kContentTypeHeader[] = u"Content-Type: application/x-www-form-urlencoded\r\n";

void Trace(const char* line) { platform::Trace(line); }

void TraceFailure(const char* step, unsigned long code) {
    char line[128];
    std::snprintf(line, sizeof line, "SendPostRequestTo: %s FAILED, GetLastError = %lu\n", step, code);
    platform::Trace(line);
}

// Releases the proxy strings in the order the settings record lists them for release.
class ProxySettingsOwner {
public:
    ProxySettingsOwner() { queried_ = platform::QueryProxySettings(&settings_); }
    ~ProxySettingsOwner() { reset(); }
    ProxySettingsOwner(const ProxySettingsOwner&) = delete;
    ProxySettingsOwner& operator=(const ProxySettingsOwner&) = delete;

    bool hasProxy() const { return queried_ && settings_.proxy != nullptr; }
    const platform::ProxySettings& get() const { return settings_; }
    void reset() {
        if (!queried_) return;
        queried_ = false;
        for (char16_t* text : {settings_.autoConfigUrl, settings_.proxy, settings_.proxyBypass}) {
            if (text != nullptr) platform::FreeProxyString(text);
        }
        settings_ = {};
    }

private:
    platform::ProxySettings settings_{};
    bool queried_ = false;
};

}  // namespace

HttpHandle OpenHttpSession() {
    ProxySettingsOwner settings;
    HttpHandle session = settings.hasProxy()
                             ? platform::OpenSession(kUserAgent, settings.get().proxy, settings.get().proxyBypass)
                             : platform::OpenSession(kUserAgent, nullptr, nullptr);
    settings.reset();  // after the session is opened, whatever came of it
    return session;
}

std::string SendPostRequestTo(std::string_view body, const char16_t* path) {
    std::string reply;

    // Declared in opening order, so they close in reverse: request, connection, session.
    Trace("SendPostRequestTo: before OpenHttpSession\n");
    UniqueHttpHandle session(OpenHttpSession());
    Trace("SendPostRequestTo: after OpenHttpSession\n");
    if (!session) return "NETWORK_ERROR";

    platform::SetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                          kReceiveTimeoutMs);

    // Each failing step's error code is taken as soon as the step returns: writing a trace
    // line may change the thread's last error.
    Trace("SendPostRequestTo: before WinHttpConnect\n");
    UniqueHttpHandle connection(platform::Connect(session.get(), kServiceHost, kServicePort));
    unsigned long error = connection ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpConnect\n");
    if (!connection) {
        TraceFailure("WinHttpConnect", error);
        return "NETWORK_ERROR";
    }

    Trace("SendPostRequestTo: before WinHttpOpenRequest\n");
    UniqueHttpHandle request(platform::OpenRequest(connection.get(), u"POST", path));
    error = request ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpOpenRequest\n");
    if (!request) {
        TraceFailure("WinHttpOpenRequest", error);
        return "NETWORK_ERROR";
    }

    Trace("SendPostRequestTo: before WinHttpSendRequest\n");
    bool sent = platform::SendRequest(request.get(), kContentTypeHeader, body.data(),
                                      static_cast<uint32_t>(body.size()));
    error = sent ? 0 : platform::LastError();
    Trace("SendPostRequestTo: after WinHttpSendRequest\n");
    if (!sent) {
        TraceFailure("WinHttpSendRequest", error);
        return "NETWORK_ERROR";
    }

    Trace("SendPostRequestTo: before WinHttpReceiveResponse\n");
    bool received = platform::ReceiveResponse(request.get());
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

    uint32_t available = 0;
    bool more = platform::QueryDataAvailable(request.get(), &available);
    while (more && available != 0) {
        // Each chunk gets its own zeroed buffer, released before the next query.
        auto chunk = std::make_unique<char[]>(std::size_t{available} + 1);
        uint32_t read = 0;
        if (!platform::ReadData(request.get(), chunk.get(), available, &read)) {
            reply = "READ_ERROR";  // the bytes gathered so far are dropped
            break;
        }
        // The platform's count, not a text end: NUL bytes stay. Never more than was asked for.
        reply.append(chunk.get(), read < available ? read : available);
        chunk.reset();
        available = 0;
        more = platform::QueryDataAvailable(request.get(), &available);
    }
    if (reply.empty()) reply = "EMPTY_RESPONSE";
    return reply;
}

}  // namespace halvane
