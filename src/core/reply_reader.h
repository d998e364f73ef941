// Reads single named values out of a reply text by pattern search.
#pragma once

#include <string>
#include <string_view>

namespace halvane {

// The value of the first `"name":` in `reply`: a quoted value without its quotation marks
// (no escapes), or a bare value up to the next ',' or '}'. Empty when absent or malformed.
std::string ExtractReplyField(std::string_view reply, std::string_view name);

}  // namespace halvane
