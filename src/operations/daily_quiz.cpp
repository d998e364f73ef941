#include <utility>

#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunDailyQuiz(const CallArguments& arguments) {
    SuccessReply reply = PostExpectingSuccess(arguments, false, u"/get_daily_quiz.php");
    if (!reply.success) return reply.text;
    // The signature covers only "success|" and the reply's timestamp, not the quiz itself.
    if (!SignedWithTimestamp(reply.text, "success")) return "SIGNATURE_INVALID";
    return std::move(reply.text);
}

}  // namespace halvane
