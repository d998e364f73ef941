// The steps the portable core needs from the operating system. One definition of each
// lives in win32/ (Kernel32, WinHTTP, CNG, the C runtime) and one in posix/ (own UTF-8
// converter, getrandom, libcurl, OpenSSL); the tests link a scripted fake instead.
//
// The contract every definition keeps, the fake included:
// - Failures are values. A step that opens something returns null when it fails, a step
//   that converts returns 0, every other step returns false; the error code of a failed
//   HTTPS step is LastError()'s, read on the same thread before anything else runs there.
// - No step throws, with one exception: std::bad_alloc, from a step that copies its inputs,
//   stores what arrives or holds state of its own (the libcurl stand-in keeps the whole
//   reply, and reports a reply it could not store from SendRequest; WinHTTP's request
//   carries the state its asynchronous steps share). The exported function's catch-all turns it into
//   "ERROR". Closing, releasing and tracing never fail.
// - Nothing a step opens outlives the call that opened it, and no step keeps state between
//   calls; only what an asynchronous platform may still touch after a call stopped waiting for
//   it (WinHTTP's request state and buffers) lives on until the platform's last callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace halvane::platform {

// ---- Text (the exported call frame's two conversions) ----
// Pure conversions: no error code, nothing allocated.

// UTF-16 to UTF-8 of `text` up to and including its terminating zero, into `out` of
// `outSize` bytes. Unpaired surrogates become U+FFFD. Returns the bytes written, zero
// included, or 0 when `text` is null or the result does not fit (then `out` may hold a
// partial text without its zero). `outSize` 0 only measures.
int WideToUtf8(const char16_t* text, char* out, int outSize);

// UTF-8 to UTF-16 of `text` up to and including its first zero byte, into `out` of
// `outLength` code units. Invalid sequences become U+FFFD. Returns the code units written,
// zero included, or 0 on failure (then `out` may hold a partial text). `outLength` 0 only
// measures and returns the code units needed.
int Utf8ToWide(const char* text, char16_t* out, int outLength);

// ---- Clock and randomness (the request envelope, the transport's deadlines) ----
// The clocks cannot fail; the generator says so when it does, and the core then falls back
// to the C library's generator.

// Seconds since 1970-01-01 00:00:00 UTC.
int64_t CurrentTime();
// Milliseconds on a clock that never goes back, from an arbitrary origin: what deadlines
// are measured on.
int64_t MonotonicMs();
// Fills `out` from the system's preferred generator; false when the generator fails.
bool SystemRandom(uint8_t* out, std::size_t size);

// ---- Debugger output channel ----

// Hands one NUL-terminated trace line to the debugger channel.
void Trace(const char* line);

// ---- HMAC-SHA256 ----
// false when any provider step fails; every provider handle is released on every path.

// Writes the 32-byte HMAC-SHA256 of `message` under `key` to `digest`; false when any
// provider step fails.
bool HmacSha256(const uint8_t* key, std::size_t keySize, const uint8_t* message, std::size_t messageSize,
                uint8_t digest[32]);

// ---- HTTPS exchange, one step per call ----
// A session, a connection and a request are distinct types, each defined by its backend and
// closed by its own step; the core owns each in a UniqueHandle. A failed step's error code
// is LastError()'s: the platform's own (WinHTTP's, or the CURLcode natively).

struct HttpSession;
struct HttpConnection;
struct HttpRequest;

// What one reply may make a step hold: a body over kReplyBodyLimit bytes (after any transfer
// decoding), or a head or trailer block over kReplyHeadLimit bytes, is refused.
inline constexpr std::size_t kReplyBodyLimit = std::size_t{4} << 20;
inline constexpr std::size_t kReplyHeadLimit = std::size_t{256} << 10;

// Appends `size` bytes to a reply unless that would take it past kReplyBodyLimit (false:
// nothing appended). It grows by doubling but never past the limit, so that holding a reply
// never costs twice the limit.
inline bool AppendWithinLimit(std::string& reply, const char* bytes, std::size_t size) {
    if (reply.size() + size > kReplyBodyLimit) return false;
    if (reply.capacity() < reply.size() + size) {
        std::size_t wanted = reply.capacity() * 2;
        if (wanted < reply.size() + size) wanted = reply.size() + size;
        if (wanted > kReplyBodyLimit) wanted = kReplyBodyLimit;
        reply.reserve(wanted);
    }
    reply.append(bytes, size);
    return true;
}

// The current user's proxy settings. Each string is owned by the platform until it is
// handed to FreeProxyString; any may be null.
struct ProxySettings {
    char16_t* autoConfigUrl = nullptr;
    char16_t* proxy = nullptr;
    char16_t* proxyBypass = nullptr;
};

bool QueryProxySettings(ProxySettings* settings);
void FreeProxyString(char16_t* text);

// A session through the named proxy (`proxy` non-null, `bypass` possibly null) or a direct
// one (`proxy` null), that speaks TLS 1.2 or later only. Returns null on failure.
HttpSession* OpenSession(const char16_t* agent, const char16_t* proxy, const char16_t* bypass);
void SetTimeouts(HttpSession* session, int resolveMs, int connectMs, int sendMs, int receiveMs);
HttpConnection* Connect(HttpSession* session, const char16_t* host, uint16_t port);
// A TLS request; no version, referrer or accept types. Returns null on failure.
HttpRequest* OpenRequest(HttpConnection* connection, const char16_t* verb, const char16_t* path);

// What a blocking step may take: the platform timeouts it runs under, each no longer than the
// time the call has left, and that time itself (`budgetMs`), which bounds the step as a
// whole however the peer trickles its bytes. A step that runs out of it fails with the
// platform's timeout code.
struct StepLimits {
    int resolveMs = 0, connectMs = 0, sendMs = 0, receiveMs = 0;
    uint32_t budgetMs = 0;
};

// Sends `headers` (NUL-terminated, CRLF-ended lines) and `body` as the whole request body.
// `receivingSinceMs` gets the moment (MonotonicMs) from which the receive phase counts for
// the steps that follow: when the request went out, where part of the reply was already
// read inside this step, else the step's end.
bool SendRequest(HttpRequest* request, const char16_t* headers, const void* body, uint32_t bodySize,
                 const StepLimits& limits, int64_t* receivingSinceMs);
bool ReceiveResponse(HttpRequest* request, const StepLimits& limits);
bool QueryStatusCode(HttpRequest* request, uint32_t* statusCode);
// The body length the response head declares; false when it declares none (chunked, or
// ended by the connection).
bool QueryContentLength(HttpRequest* request, uint64_t* length);
bool QueryDataAvailable(HttpRequest* request, uint32_t* available, const StepLimits& limits);
bool ReadData(HttpRequest* request, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits& limits);
void CloseRequest(HttpRequest* request);
void CloseConnection(HttpConnection* connection);
void CloseSession(HttpSession* session);

// The calling thread's last error code for the step that just failed.
unsigned long LastError();

}  // namespace halvane::platform
