#include "core/reply_reader.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunQuizAnswers(const CallArguments& arguments) {
    const SuccessReply reply = PostExpectingSuccess(arguments, true, u"/submit_quiz_answers.php");
    if (!reply.success) return reply.text;
    const std::string verdict = "success|" + ExtractReplyField(reply.text, "readiness_final") + "|" +
                                ExtractReplyField(reply.text, "allowed_volume_percent");
    return SignedWithTimestamp(reply.text, verdict) ? verdict : "SIGNATURE_INVALID";
}

}  // namespace halvane
