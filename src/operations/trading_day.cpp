#include "core/reply_reader.h"
#include "core/transport.h"
#include "operations/operation_request.h"
#include "operations/operations.h"

namespace halvane {

std::string RunTradingDay(const CallArguments& arguments) {
    const std::string reply = SendPostRequestTo(BuildOperationBody(arguments, false), u"/mark_trading_day.php");
    if (reply.empty()) return "ERROR";
    // Unsigned: the status word itself is the result, the empty text when there is none
    // (every transport failure lands there).
    return ExtractReplyField(reply, "status");
}

}  // namespace halvane
