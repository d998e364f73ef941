#pragma once

#include <string>

namespace halvane::platform {

// libcurl's CURLOPT_SSL_CTX_FUNCTION (OpenSSL): holds the connection to the module's trust
// floor, OpenSSL's security level 2, whatever the host's policy says (a stricter one stays),
// and notes what a server fell short by.
int HoldTrustFloor(void* curl, void* sslContext, void* user) noexcept;

// What the last exchange on this thread's server fell short of the floor by, or "" (and
// forgets it).
std::string TakeTrustShortfall();

}  // namespace halvane::platform
