// The reply field reader, case by case on the exact bytes of the wire.
#include <gtest/gtest.h>

#include "core/reply_reader.h"

namespace halvane {
namespace {

TEST(ExtractReplyField, Table) {
    const struct {
        std::string reply, name, value;
    } cases[] = {
        {R"({"status":"success","allowed_volume_percent":50})", "status", "success"},
        {R"({"status":"success","allowed_volume_percent":50})", "allowed_volume_percent", "50"},
        {R"({"status": "success"})", "status", "success"},
        {R"({"status" : "success"})", "status", ""},
        {"{\"status\":\t\"success\"}", "status", "\t\"success\""},
        {R"({"allowed_volume_percent":50 })", "allowed_volume_percent", "50 "},
        {R"({"daily_drawdown_hit":false})", "daily_drawdown_hit", "false"},
        {R"({"daily_drawdown_hit":false)", "daily_drawdown_hit", ""},
        {R"({"message":null})", "message", "null"},
        {R"({"message":[1,2]})", "message", "[1"},
        {R"({"message":{"status":"not_completed"},"status":"success"})", "status", "not_completed"},
        {R"({"message":{"status":"not_completed"},"status":"success"})", "message", R"({"status":"not_completed")"},
        {R"({"message":"ERROR, not_completed}"})", "message", "ERROR, not_completed}"},
        {R"({"message":""})", "message", ""},
        {R"({"message":"ERROR)", "message", ""},
        {"NETWORK_ERROR", "status", ""},
        {"HTTP_500", "message", ""},
        {R"({"message":"a\"b"})", "message", "a\\"},
        {R"({"message":"line\nnext \u00e9"})", "message", R"(line\nnext \u00e9)"},
        {R"({"quiz_status":"x"})", "status", ""},
        {R"({"Status":"success"})", "status", ""},
        {R"({"status":,"status":"success"})", "status", ""},
        {R"({"status":)", "status", ""},
        {R"({"status":   )", "status", ""},
        {"", "status", ""},
        {R"({"":"empty name"})", "", "empty name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractReplyField(c.reply, c.name), c.value) << c.reply << " / " << c.name;
    }
}

TEST(ExtractReplyField, ReplyWithEmbeddedZeroBytesIsSearchedWhole) {
    const std::string reply("\0\0{\"status\":\"ok\"}", 17);
    EXPECT_EQ(ExtractReplyField(reply, "status"), "ok");
    const std::string quoted("{\"status\":\"a\0b\"}", 16);
    EXPECT_EQ(ExtractReplyField(quoted, "status"), std::string("a\0b", 3));
}

}  // namespace
}  // namespace halvane
