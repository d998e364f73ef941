// MarkTradingDay over arbitrary replies (see export_harness.h): unsigned, so its result is
// the reply's own status word, the empty text (every transport failure included), or
// "ERROR" for an oversized argument.
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

// Without a V2 form: the V2 flag of the input changes nothing.
const fz::ExportFamily kFamily{fz::Export::MarkTradingDay, std::nullopt};

}  // namespace

HALVANE_EXPORT_FUZZ_TARGET(kFamily)
