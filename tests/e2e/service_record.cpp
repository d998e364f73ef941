#include "service_record.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace halvane::test {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

const std::string* ReceivedRequest::Header(const std::string& name) const {
    const auto same = [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); };
    for (const auto& [key, value] : headers) {
        if (std::equal(key.begin(), key.end(), name.begin(), name.end(), same)) return &value;
    }
    return nullptr;
}

std::vector<ReceivedRequest> ReadServiceRecord() {
    std::vector<ReceivedRequest> requests;
    const char* path = std::getenv("HALVANE_TEST_RECORD");
    if (path == nullptr) return requests;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        // A line still being written when the record is read is not a request yet.
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_object()) continue;
        ReceivedRequest request;
        request.path = entry.value("path", "");
        request.method = entry.value("method", "");
        request.body = FromHex(entry.value("body_hex", ""));
        request.mode = entry.value("mode", "");
        request.seconds = entry.value("seconds", 0.0);
        for (const auto& header : entry.value("headers", nlohmann::json::array())) {
            request.headers.emplace_back(header.at(0).get<std::string>(), header.at(1).get<std::string>());
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

ReceivedRequest LastRequestStartingWith(const std::string& prefix) {
    const auto requests = ReadServiceRecord();
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
        if (it->body.rfind(prefix, 0) == 0) return *it;
    }
    throw std::runtime_error("the service received no request whose body starts with " + prefix);
}

}  // namespace halvane::test
