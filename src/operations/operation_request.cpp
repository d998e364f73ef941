#include "operations/operation_request.h"

#include <array>

#include "core/envelope.h"
#include "core/reply_reader.h"

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

std::string MessageOrError(std::string_view reply) {
    std::string message = ExtractReplyField(reply, "message");
    return message.empty() ? std::string("ERROR") : message;
}

}  // namespace halvane
