#include "core/reply_reader.h"
#include "core/signature.h"
#include "core/transport.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunTodayStatus(const CallArguments& arguments) {
    const std::string reply = SendPostRequestTo(BuildOperationBody(arguments, false), u"/get_today_status.php");
    if (reply.empty()) return "ERROR";
    if (ExtractReplyField(reply, "status") != "success") return MessageOrError(reply);

    const std::string completed = ExtractReplyField(reply, "quiz_completed_today");
    const std::string timestamp = ExtractReplyField(reply, "timestamp");
    const std::string signature = ExtractReplyField(reply, "signature");

    // Only the exact bare or quoted word false means the quiz is still open.
    if (completed == "false") {
        return VerifyReplySignature("no_quiz|" + timestamp, signature) ? "not_completed" : "SIGNATURE_INVALID";
    }

    const std::string readiness = ExtractReplyField(reply, "readiness_final");
    const std::string percent = ExtractReplyField(reply, "allowed_volume_percent");
    const std::string drawdown = ExtractReplyField(reply, "daily_drawdown_hit");
    // The verdict and the drawdown flag are outside the signed payload.
    if (!VerifyReplySignature("has_quiz|" + percent + "|" + timestamp, signature)) return "SIGNATURE_INVALID";
    return "completed|" + readiness + "|" + percent + "|" + drawdown;
}

}  // namespace halvane
