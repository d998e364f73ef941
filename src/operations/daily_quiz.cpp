#include <utility>

#include "core/reply_reader.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunDailyQuiz(const CallArguments& arguments) {
    SuccessReply reply = PostExpectingSuccess(arguments, false, u"/get_daily_quiz.php");
    if (!reply.success) return reply.text;
    // Passed on whole, so it must be whole: a reply cut short (which some platforms cannot
    // tell from a complete one) or followed by anything is a broken reply.
    if (!IsWholeObject(reply.text)) return "ERROR";
    // The signature covers only "success|" and the reply's timestamp, not the quiz itself.
    if (!SignedWithTimestamp(reply.text, "success")) return "SIGNATURE_INVALID";
    return std::move(reply.text);
}

}  // namespace halvane
