// GetDailyQuiz and GetDailyQuizV2 over arbitrary replies (see export_harness.h): the success
// text is the whole reply, vouched for by a signature over "success|<timestamp>".
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

const fz::ExportFamily kFamily{fz::Export::GetDailyQuiz, fz::Export::GetDailyQuizV2,
                               [](const std::u16string& units, const std::string&, const std::string& reply) {
                                   return fz::IsConversionOf(units, reply);
                               },
                               [](const std::string&, const std::string& payload, const std::string& timestamp) {
                                   return payload == "success|" + timestamp;
                               }};

}  // namespace

HALVANE_EXPORT_FUZZ_TARGET(kFamily)
