// What the operations share: the envelope of a call, the exchange with its refusal branch,
// and the signature check over a payload and the reply's timestamp.
#pragma once

#include <string>
#include <string_view>

#include "core/call_frame.h"

namespace halvane {

// The body of one call: key, account, answers (when `withAnswers`), nonce, timestamp and,
// when the call has one, the broker time last.
std::string BuildOperationBody(const CallArguments& arguments, bool withAnswers);

// One exchange that expects a reply reporting success. `text` is that reply when `success`;
// otherwise it is already the call's result: "ERROR" when nothing came, else the reply's
// "message" when not empty, else "ERROR".
struct SuccessReply {
    bool success = false;
    std::string text;
};
SuccessReply PostExpectingSuccess(const CallArguments& arguments, bool withAnswers, const char16_t* path);

// Whether the reply's "signature" signs `payload` + "|" + the reply's "timestamp".
bool SignedWithTimestamp(std::string_view reply, const std::string& payload);

}  // namespace halvane
