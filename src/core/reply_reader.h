// Reads single named values out of a reply text by pattern search.
#pragma once

#include <string>
#include <string_view>

namespace halvane {

// The value of the first `"name":` in `reply`: a quoted value without its quotation marks
// (no escapes), or a bare value up to the next ',' or '}'. Empty when absent or malformed.
std::string ExtractReplyField(std::string_view reply, std::string_view name);

// Whether `reply` is one whole object: whitespace, an object whose strings (escapes
// included) and brackets all close, then whitespace only. A structural check, not a
// validator: what stands inside a string, and the tokens between brackets, are not judged.
// A reply cut anywhere before its last closing brace, or with anything after it, fails.
bool IsWholeObject(std::string_view reply);

}  // namespace halvane
