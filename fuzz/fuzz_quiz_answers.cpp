// SubmitQuizAnswers and SubmitQuizAnswersV2 over arbitrary replies (see export_harness.h):
// "success|<readiness>|<percent>" when genuinely signed, the refusal's message,
// "SIGNATURE_INVALID" or "ERROR".
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

std::string Expect(const std::string& reply) {
    if (fz::Field(reply, "status") != "success") return fz::MessageOrError(reply);
    const std::string verdict =
        "success|" + fz::Field(reply, "readiness_final") + "|" + fz::Field(reply, "allowed_volume_percent");
    const bool genuine = fz::Genuine(verdict + "|" + fz::Field(reply, "timestamp"), fz::Field(reply, "signature"));
    return genuine ? verdict : "SIGNATURE_INVALID";
}

const fz::ExportFamily kFamily{
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        SubmitQuizAnswers(a.key, a.account, a.answers, result, length);
    },
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        SubmitQuizAnswersV2(a.key, a.account, a.answers, a.brokerTime, result, length);
    },
    true, u"/submit_quiz_answers.php", Expect};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fz::RunExportCase(data, size, kFamily);
    return 0;
}
