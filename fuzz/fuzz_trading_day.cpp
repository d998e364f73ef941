// MarkTradingDay over arbitrary replies (see export_harness.h): the reply's status word, the
// empty text when there is none (every transport failure included), or "ERROR" for an
// oversized argument.
#include "export_harness.h"

namespace fz = halvane::fuzzing;

namespace {

std::string Expect(const std::string& reply) { return fz::Field(reply, "status"); }

// Unsigned and without a V2 form: the V2 flag of the input changes nothing.
const fz::ExportFamily kFamily{
    [](const fz::ExportArguments& a, HalvaneChar* result, int32_t length) {
        MarkTradingDay(a.key, a.account, result, length);
    },
    nullptr, false, u"/mark_trading_day.php", Expect};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fz::RunExportCase(data, size, kFamily);
    return 0;
}
