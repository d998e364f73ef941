#include "core/reply_reader.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunTodayStatus(const CallArguments& arguments) {
    const SuccessReply reply = PostExpectingSuccess(arguments, false, u"/get_today_status.php");
    if (!reply.success) return reply.text;

    // Only the exact bare or quoted word false means the quiz is still open.
    if (ExtractReplyField(reply.text, "quiz_completed_today") == "false") {
        return SignedWithTimestamp(reply.text, "no_quiz") ? "not_completed" : "SIGNATURE_INVALID";
    }

    const std::string percent = ExtractReplyField(reply.text, "allowed_volume_percent");
    // The verdict and the drawdown flag are outside the signed payload.
    if (!SignedWithTimestamp(reply.text, "has_quiz|" + percent)) return "SIGNATURE_INVALID";
    return "completed|" + ExtractReplyField(reply.text, "readiness_final") + "|" + percent + "|" +
           ExtractReplyField(reply.text, "daily_drawdown_hit");
}

}  // namespace halvane
