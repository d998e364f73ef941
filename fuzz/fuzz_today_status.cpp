// GetTodayStatus and GetTodayStatusV2 over arbitrary replies (see export_harness.h):
// "not_completed" or "completed|<readiness>|<percent>|<drawdown>" when genuinely signed,
// the refusal's message, "SIGNATURE_INVALID" or "ERROR".
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

std::string Expect(const std::string& reply) {
    if (fz::Field(reply, "status") != "success") return fz::MessageOrError(reply);
    const std::string timestamp = fz::Field(reply, "timestamp");
    const std::string signature = fz::Field(reply, "signature");
    if (fz::Field(reply, "quiz_completed_today") == "false") {
        return fz::Genuine("no_quiz|" + timestamp, signature) ? "not_completed" : "SIGNATURE_INVALID";
    }
    const std::string percent = fz::Field(reply, "allowed_volume_percent");
    if (!fz::Genuine("has_quiz|" + percent + "|" + timestamp, signature)) return "SIGNATURE_INVALID";
    return "completed|" + fz::Field(reply, "readiness_final") + "|" + percent + "|" +
           fz::Field(reply, "daily_drawdown_hit");
}

const fz::ExportFamily kFamily{
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        GetTodayStatus(a.key, a.account, result, length);
    },
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        GetTodayStatusV2(a.key, a.account, a.brokerTime, result, length);
    },
    false, u"/get_today_status.php", Expect};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fz::RunExportCase(data, size, kFamily);
    return 0;
}
