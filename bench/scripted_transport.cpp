#include "scripted_transport.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace halvane::bench {

namespace {
std::string gReply;
std::size_t gRead = 0;
std::size_t gRequestSize = 0;
}  // namespace
}  // namespace halvane::bench

namespace halvane::platform {
struct HttpSession {};
struct HttpConnection {};
struct HttpRequest {};
}  // namespace halvane::platform

namespace halvane::bench {
namespace {
platform::HttpSession gSession;
platform::HttpConnection gConnection;
platform::HttpRequest gRequest;
}  // namespace

void SetReply(std::string body) { gReply = std::move(body); }
std::size_t LastRequestSize() { return gRequestSize; }

}  // namespace halvane::bench

namespace halvane::platform {

using namespace halvane::bench;

bool QueryProxySettings(ProxySettings* settings) {
    *settings = {};
    return true;
}
void FreeProxyString(char16_t* text) { delete[] text; }
HttpSession* OpenSession(const char16_t*, const char16_t*, const char16_t*) { return &gSession; }
void SetTimeouts(HttpSession*, int, int, int, int) {}
HttpConnection* Connect(HttpSession*, const char16_t*, uint16_t) { return &gConnection; }
HttpRequest* OpenRequest(HttpConnection*, const char16_t*, const char16_t*) {
    gRead = 0;
    return &gRequest;
}
bool SendRequest(HttpRequest*, const char16_t*, const void*, uint32_t bodySize, const StepLimits&,
                 int64_t* receivingSinceMs) {
    *receivingSinceMs = MonotonicMs();
    gRequestSize = bodySize;
    return true;
}
bool ReceiveResponse(HttpRequest*, const StepLimits&) { return true; }
bool QueryStatusCode(HttpRequest*, uint32_t* statusCode) {
    *statusCode = 200;
    return true;
}
bool QueryContentLength(HttpRequest*, uint64_t* length) {
    *length = gReply.size();
    return true;
}
bool QueryDataAvailable(HttpRequest*, uint32_t* available, const StepLimits&) {
    *available = static_cast<uint32_t>(gReply.size() - gRead);
    return true;
}
bool ReadData(HttpRequest*, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits&) {
    const std::size_t count = std::min<std::size_t>(toRead, gReply.size() - gRead);
    std::memcpy(buffer, gReply.data() + gRead, count);
    gRead += count;
    *read = static_cast<uint32_t>(count);
    return true;
}
void CloseRequest(HttpRequest*) {}
void CloseConnection(HttpConnection*) {}
void CloseSession(HttpSession*) {}
unsigned long LastError() { return 0; }

}  // namespace halvane::platform
