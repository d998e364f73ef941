#include "core/reply_reader.h"
#include "core/signature.h"
#include "core/transport.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunDailyQuiz(const CallArguments& arguments) {
    const std::string reply = SendPostRequestTo(BuildOperationBody(arguments, false), u"/get_daily_quiz.php");
    if (reply.empty()) return "ERROR";
    if (ExtractReplyField(reply, "status") != "success") return MessageOrError(reply);

    // The signature covers only "success|" and the reply's timestamp, not the quiz itself.
    const std::string timestamp = ExtractReplyField(reply, "timestamp");
    const std::string signature = ExtractReplyField(reply, "signature");
    if (!VerifyReplySignature("success|" + timestamp, signature)) return "SIGNATURE_INVALID";
    return reply;
}

}  // namespace halvane
