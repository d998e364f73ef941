// ExtractReplyField on arbitrary replies and names.
//
// Input: one selector byte, then the name, then the reply. A selector of 0x80 or more picks
// one of the names the operations read; below 0x80 its low 5 bits give the length of a name
// taken from the input.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "core/reply_reader.h"
#include "fuzz_common.h"

using halvane::ExtractReplyField;

namespace {

constexpr std::string_view kNames[] = {"status",
                                       "message",
                                       "timestamp",
                                       "signature",
                                       "readiness_final",
                                       "allowed_volume_percent",
                                       "daily_drawdown_hit",
                                       "quiz_completed_today",
                                       "quiz"};

void CheckField(std::string_view reply, std::string_view name) {
    const std::string value = ExtractReplyField(reply, name);

    const std::string pattern = "\"" + std::string(name) + "\":";
    const std::size_t first = reply.find(pattern);
    if (first == std::string_view::npos) {
        FUZZ_CHECK(value.empty());
        return;
    }

    // The value sits right after the first pattern and the spaces that follow it.
    std::size_t at = first + pattern.size();
    while (at < reply.size() && reply[at] == ' ') ++at;
    const bool quoted = at < reply.size() && reply[at] == '"';
    if (!value.empty()) {
        FUZZ_CHECK(reply.find(value) != std::string_view::npos);
        if (quoted) {
            FUZZ_CHECK(value.find('"') == std::string::npos);
            FUZZ_CHECK(reply.substr(at + 1, value.size()) == value);
            FUZZ_CHECK(at + 1 + value.size() < reply.size() && reply[at + 1 + value.size()] == '"');
        } else {
            FUZZ_CHECK(value.front() != ' ' && value.front() != '"');
            FUZZ_CHECK(value.find_first_of(",}") == std::string::npos);
            FUZZ_CHECK(reply.substr(at, value.size()) == value);
            FUZZ_CHECK(at + value.size() < reply.size());
            const char end = reply[at + value.size()];
            FUZZ_CHECK(end == ',' || end == '}');
        }
        // A found value is settled by what precedes its end: appending never changes it.
        const std::string longer = std::string(reply) + "\"" + std::string(name) + "\":\"other\",}";
        FUZZ_CHECK(ExtractReplyField(longer, name) == value);
    } else if (quoted) {
        // Empty only when the quotes are adjacent or never closed.
        const std::size_t close = reply.find('"', at + 1);
        FUZZ_CHECK(close == std::string_view::npos || close == at + 1);
    } else if (at < reply.size()) {
        const std::size_t end = reply.find_first_of(",}", at);
        FUZZ_CHECK(end == std::string_view::npos || end == at);
    }

    // Everything before the first pattern is irrelevant as long as it holds no pattern.
    FUZZ_CHECK(ExtractReplyField(reply.substr(first), name) == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string_view name;
    if (selector >= 0x80) {
        name = kNames[(selector - 0x80) % std::size(kNames)];
    } else {
        const std::size_t length = std::min<std::size_t>(selector & 0x1F, rest.size());
        name = rest.substr(0, length);
        rest.remove_prefix(length);
    }
    CheckField(rest, name);
    // The same reply read for every field an operation reads, as the operations do.
    for (std::string_view known : kNames) CheckField(rest, known);
    return 0;
}
