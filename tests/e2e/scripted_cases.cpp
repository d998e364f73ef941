#include "scripted_cases.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "service_record.h"

namespace halvane::test {

const nlohmann::json& ScriptedCase::call() const {
    static const nlohmann::json none = nlohmann::json::object();
    const auto it = record.find("call");
    return it != record.end() && it->is_object() ? *it : none;
}

std::vector<ScriptedCase> ScriptedCases(bool transport) {
    std::vector<ScriptedCase> cases;
    const char* path = std::getenv("HALVANE_TEST_SCRIPT");
    if (path == nullptr) return cases;
    try {
        std::ifstream file(path);
        for (const auto& record : nlohmann::json::parse(file)) {
            ScriptedCase c{record.at("name").get<std::string>(), record};
            if (!c.Export().empty() && (c.Export() == "SendPostRequestTo") == transport) cases.push_back(std::move(c));
        }
    } catch (const std::exception& e) {
        cases.assign(1, ScriptedCase{"unreadable", {{"error", std::string(path) + ": " + e.what()}}});
    }
    return cases;
}

void ExpectResult(const ScriptedCase& c, const std::string& result) {
    const nlohmann::json& r = c.record;
    if (r.contains("error")) {
        ADD_FAILURE() << r["error"].get<std::string>();
    } else if (r.contains("result")) {
        EXPECT_EQ(result, r["result"].get<std::string>());
    } else if (r.contains("result_like")) {
        EXPECT_TRUE(std::regex_match(result, std::regex(r["result_like"].get<std::string>()))) << result;
    } else if (r.contains("result_hex")) {
        EXPECT_EQ(result, FromHex(r["result_hex"].get<std::string>()));
    } else if (r.contains("result_cut")) {
        // A failed read gives READ_ERROR; an availability query that fails after some bytes
        // gives those bytes. Never the whole body, never more.
        const std::string whole = r["result_cut"].get<std::string>();
        EXPECT_TRUE(result == "READ_ERROR" || (result.size() < whole.size() && whole.rfind(result, 0) == 0)) << result;
    } else {
        ADD_FAILURE() << "the record names no result";
    }
}

void ExpectRequest(const ScriptedCase& c) {
    const auto expected = c.record.find("request");
    if (expected == c.record.end()) return;
    const ReceivedRequest request = LastRequestStartingWith("key=" + c.Key() + "&");
    EXPECT_EQ(request.path, expected->value("path", ""));
    EXPECT_EQ(request.method, expected->value("method", ""));
    if (expected->contains("body")) {
        EXPECT_EQ(request.body, (*expected)["body"].get<std::string>());
    }
    if (expected->contains("body_like")) {
        EXPECT_TRUE(std::regex_match(request.body, std::regex((*expected)["body_like"].get<std::string>())))
            << request.body;
    }
    if (!expected->contains("headers")) return;
    for (const auto& [name, value] : (*expected)["headers"].items()) {
        const std::string* got = request.Header(name);
        if (value.is_null()) {
            EXPECT_EQ(got, nullptr) << name << ": " << *got;
        } else {
            ASSERT_NE(got, nullptr) << name;
            EXPECT_TRUE(std::regex_match(*got, std::regex(value.get<std::string>()))) << name << ": " << *got;
        }
    }
}

std::string CaseName(const ::testing::TestParamInfo<ScriptedCase>& info) {
    std::string name = info.param.name;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
}

}  // namespace halvane::test
