// What the operations share: the envelope of a call and the refusal branch of a reply.
#pragma once

#include <string>
#include <string_view>

#include "core/call_frame.h"

namespace halvane {

// The body of one call: key, account, answers (when `withAnswers`), nonce, timestamp and,
// when the call has one, the broker time last.
std::string BuildOperationBody(const CallArguments& arguments, bool withAnswers);

// A reply that does not report success: its "message" when not empty, else "ERROR".
std::string MessageOrError(std::string_view reply);

}  // namespace halvane
