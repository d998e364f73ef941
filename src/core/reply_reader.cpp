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

bool IsWholeObject(std::string_view reply) {
    constexpr std::string_view kWhitespace = " \t\r\n";
    const std::size_t start = reply.find_first_not_of(kWhitespace);
    if (start == std::string_view::npos || reply[start] != '{') return false;
    std::string open;  // the brackets not yet closed, innermost last
    for (std::size_t i = start; i < reply.size(); ++i) {
        const char c = reply[i];
        if (c == '"') {
            // To the closing quote; a backslash takes the byte after it along.
            for (++i; i < reply.size() && reply[i] != '"'; ++i) {
                if (reply[i] == '\\') ++i;
            }
            if (i >= reply.size()) return false;
        } else if (c == '{' || c == '[') {
            open.push_back(c);
        } else if (c == '}' || c == ']') {
            if (open.empty() || open.back() != (c == '}' ? '{' : '[')) return false;
            open.pop_back();
            if (open.empty()) return reply.find_first_not_of(kWhitespace, i + 1) == std::string_view::npos;
        }
    }
    return false;
}

}  // namespace halvane
