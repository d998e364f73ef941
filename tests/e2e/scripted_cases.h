// The end-to-end cases of tests/data/e2e_cases.json, one record each: the reply the scripted
// service gives for the record's name as key, the call, and what must come of it (the
// fields are described in service/README.md, "Test records").
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace halvane::test {

struct ScriptedCase {
    std::string name;
    nlohmann::json record;

    const nlohmann::json& call() const;
    // A field of the call, or `otherwise`.
    std::string Text(const char* field, const std::string& otherwise) const { return call().value(field, otherwise); }
    int64_t Number(const char* field, int64_t otherwise) const { return call().value(field, otherwise); }
    std::string Export() const { return Text("export", ""); }
    std::string Key() const { return Text("key", name); }
    std::string Account() const { return Text("account", "1"); }
};

// The records of HALVANE_TEST_SCRIPT (set by with_service.py) whose call is, or is not, the
// transport's; none when it is not set. A file that cannot be read gives one failing case.
std::vector<ScriptedCase> ScriptedCases(bool transport);

// Checks `result` against the record's expected result, then the request the service recorded.
void ExpectResult(const ScriptedCase& c, const std::string& result);
void ExpectRequest(const ScriptedCase& c);

// GoogleTest's name for a case: its record name in letters, digits and underscores.
std::string CaseName(const ::testing::TestParamInfo<ScriptedCase>& info);
inline void PrintTo(const ScriptedCase& c, std::ostream* os) { *os << c.name; }

}  // namespace halvane::test
