// The HTTPS steps of the platform, scripted for benchmarks: every request receives the
// reply set here with status 200, and costs nothing but the copy of its body.
#pragma once

#include <cstddef>
#include <string>

namespace halvane::bench {

void SetReply(std::string body);
// Bytes of request body the last exchange sent.
std::size_t LastRequestSize();

}  // namespace halvane::bench
