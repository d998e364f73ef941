#include "core/reply_reader.h"

namespace halvane {

std::string ExtractReplyField(std::string_view reply, std::string_view name) {
    std::string pattern;
    pattern.reserve(name.size() + 3);
    pattern.push_back('"');
    pattern.append(name);
    pattern.append("\":");

    // Only the first occurrence counts, nested or not.
    std::size_t at = reply.find(pattern);
    if (at == std::string_view::npos) return {};
    at += pattern.size();
    while (at < reply.size() && reply[at] == ' ') ++at;  // spaces only, not tabs or line ends
    if (at >= reply.size()) return {};

    if (reply[at] == '"') {
        std::size_t close = reply.find('"', at + 1);
        if (close == std::string_view::npos) return {};
        return std::string(reply.substr(at + 1, close - at - 1));
    }
    std::size_t end = reply.find_first_of(",}", at);
    if (end == std::string_view::npos) return {};
    return std::string(reply.substr(at, end - at));
}

}  // namespace halvane
