#include "operations/operation_request.h"

#include <array>
#include <utility>

#include "core/envelope.h"
#include "core/reply_reader.h"
#include "core/signature.h"
#include "core/transport.h"

namespace halvane {

std::string BuildOperationBody(const CallArguments& arguments, bool withAnswers) {
    // The values are made in this order: timestamp, broker time, nonce.
    const std::string timestamp = TimestampText();
    const std::string brokerTime = arguments.brokerTime ? DecimalText(*arguments.brokerTime) : std::string();
    const std::string nonce = MakeNonce();

    std::array<RequestField, 6> fields;
    std::size_t count = 0;
    fields[count++] = {"key", arguments.key};
    fields[count++] = {"account", arguments.account};
    if (withAnswers) fields[count++] = {"answers", arguments.answers};
    fields[count++] = {"nonce", nonce};
    fields[count++] = {"timestamp", timestamp};
    if (arguments.brokerTime) fields[count++] = {"broker_time", brokerTime};
    return BuildRequestBody(std::span<const RequestField>(fields.data(), count));
}

SuccessReply PostExpectingSuccess(const CallArguments& arguments, bool withAnswers, const char16_t* path) {
    std::string reply = SendPostRequestTo(BuildOperationBody(arguments, withAnswers), path);
    if (reply.empty()) return {false, "ERROR"};
    if (ExtractReplyField(reply, "status") == "success") return {true, std::move(reply)};
    std::string message = ExtractReplyField(reply, "message");
    return {false, message.empty() ? std::string("ERROR") : std::move(message)};
}

bool SignedWithTimestamp(std::string_view reply, const std::string& payload) {
    return VerifyReplySignature(payload + "|" + ExtractReplyField(reply, "timestamp"),
                                ExtractReplyField(reply, "signature"));
}

}  // namespace halvane
