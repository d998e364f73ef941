#pragma once

#include <windows.h>
#include <winhttp.h>

namespace halvane::platform {

// Whether the server of a request whose head has gone out (its TLS handshake done and its
// certificate validated by WinHTTP) meets the module's trust floor; when it does not, a trace
// line names what fell short. Throws std::bad_alloc when memory runs out.
bool MeetsTrustFloor(HINTERNET request);

}  // namespace halvane::platform
