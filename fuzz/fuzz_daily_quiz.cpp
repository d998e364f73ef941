// GetDailyQuiz and GetDailyQuizV2 over arbitrary replies (see export_harness.h): the result
// is the whole genuinely signed reply, the refusal's message, "SIGNATURE_INVALID" or
// "ERROR".
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

std::string Expect(const std::string& reply) {
    if (fz::Field(reply, "status") != "success") return fz::MessageOrError(reply);
    const bool genuine = fz::Genuine("success|" + fz::Field(reply, "timestamp"), fz::Field(reply, "signature"));
    return genuine ? reply : "SIGNATURE_INVALID";
}

const fz::ExportFamily kFamily{
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        GetDailyQuiz(a.key, a.account, result, length);
    },
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        GetDailyQuizV2(a.key, a.account, a.brokerTime, result, length);
    },
    false, u"/get_daily_quiz.php", Expect};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fz::RunExportCase(data, size, kFamily);
    return 0;
}
