// One HTTPS POST to the service: the reply body, or an upper-case error token.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace halvane {

// The service settings, fixed at build time.
extern const char16_t kServiceHost[];
extern const uint16_t kServicePort;

inline constexpr char16_t kUserAgent[] = u"Halvane/1.0";
inline constexpr int kResolveTimeoutMs = 15000;
inline constexpr int kConnectTimeoutMs = 15000;
inline constexpr int kSendTimeoutMs = 15000;
inline constexpr int kReceiveTimeoutMs = 20000;
// The most one call may take: every phase's timeout, one after the other. Resolving,
// connecting and sending the request share the first three; receiving the whole reply,
// head and body together, has the last from the moment the request is out.
inline constexpr int kCallBudgetMs = kResolveTimeoutMs + kConnectTimeoutMs + kSendTimeoutMs + kReceiveTimeoutMs;

// Opens a session through the current user's proxy, or a direct one. Null on failure.
platform::HttpSession* OpenHttpSession();

// Posts `body` to `path` on the service. Returns the reply body of a 200 response, or
// "NETWORK_ERROR", "SERVER_ERROR", "HTTP_<code>", "READ_ERROR" or "EMPTY_RESPONSE".
// Never returns an empty text, never a body cut short or over platform::kReplyBodyLimit,
// and never takes longer than kCallBudgetMs.
std::string SendPostRequestTo(std::string_view body, const char16_t* path);

}  // namespace halvane
