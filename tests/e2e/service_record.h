// The requests the service received, read back from its record file (one JSON line each).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace halvane::test {

struct ReceivedRequest {
    std::string path;
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
    std::string body;
    std::string mode;    // the hostile peer's mode that served it; empty from the service
    double seconds = 0;  // the hostile peer: from the connection's accept to the request's end

    // The first header of that name (case-insensitive), or null.
    const std::string* Header(const std::string& name) const;
};

// The record named by HALVANE_TEST_RECORD; empty when it is not set or cannot be read.
std::vector<ReceivedRequest> ReadServiceRecord();

// The bytes a text of hex digit pairs stands for.
std::string FromHex(const std::string& hex);

// The last request whose body starts with `prefix`; throws when there is none.
ReceivedRequest LastRequestStartingWith(const std::string& prefix);

}  // namespace halvane::test
