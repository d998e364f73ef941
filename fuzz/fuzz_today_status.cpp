// GetTodayStatus and GetTodayStatusV2 over arbitrary replies (see export_harness.h):
// "not_completed" is vouched for by a signature over "no_quiz|<timestamp>", and
// "completed|<readiness>|<percent>|<drawdown>" by one over "has_quiz|<percent>|<timestamp>".
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

bool Vouches(const std::string& text, const std::string& payload, const std::string& timestamp) {
    if (text == "not_completed") return payload == "no_quiz|" + timestamp;
    const std::string tail = "|" + timestamp;
    if (!payload.starts_with("has_quiz|") || payload.size() < 9 + tail.size() || !payload.ends_with(tail)) return false;
    const std::string percent = payload.substr(9, payload.size() - 9 - tail.size());
    return text.find("|" + percent + "|") != std::string::npos;
}

const fz::ExportFamily kFamily{fz::Export::GetTodayStatus, fz::Export::GetTodayStatusV2,
                               [](const std::u16string&, const std::string& text, const std::string&) {
                                   return text == "not_completed" || text.starts_with("completed|");
                               },
                               Vouches};

}  // namespace

HALVANE_EXPORT_FUZZ_TARGET(kFamily)
