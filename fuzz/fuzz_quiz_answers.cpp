// SubmitQuizAnswers and SubmitQuizAnswersV2 over arbitrary replies (see export_harness.h):
// the success text "success|<readiness>|<percent>" is vouched for by a signature over
// itself and the timestamp.
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

const fz::ExportFamily kFamily{
    fz::Export::SubmitQuizAnswers, fz::Export::SubmitQuizAnswersV2,
    [](const std::u16string&, const std::string& text, const std::string&) { return text.starts_with("success|"); },
    [](const std::string& text, const std::string& payload, const std::string& timestamp) {
        return payload == text + "|" + timestamp;
    }};

}  // namespace

HALVANE_EXPORT_FUZZ_TARGET(kFamily)
