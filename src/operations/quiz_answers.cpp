#include "core/reply_reader.h"
#include "core/signature.h"
#include "core/transport.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunQuizAnswers(const CallArguments& arguments) {
    const std::string reply = SendPostRequestTo(BuildOperationBody(arguments, true), u"/submit_quiz_answers.php");
    if (reply.empty()) return "ERROR";
    if (ExtractReplyField(reply, "status") != "success") return MessageOrError(reply);

    const std::string readiness = ExtractReplyField(reply, "readiness_final");
    const std::string percent = ExtractReplyField(reply, "allowed_volume_percent");
    const std::string timestamp = ExtractReplyField(reply, "timestamp");
    const std::string signature = ExtractReplyField(reply, "signature");
    const std::string verdict = "success|" + readiness + "|" + percent;
    if (!VerifyReplySignature(verdict + "|" + timestamp, signature)) return "SIGNATURE_INVALID";
    return verdict;
}

}  // namespace halvane
