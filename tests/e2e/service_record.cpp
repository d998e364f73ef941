#include "service_record.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace halvane::test {

namespace {
std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}
}  // namespace

const std::string* ReceivedRequest::Header(const std::string& name) const {
    for (const auto& header : headers) {
        if (Lower(header.first) == Lower(name)) return &header.second;
    }
    return nullptr;
}

std::vector<ReceivedRequest> ReadServiceRecord() {
    std::vector<ReceivedRequest> requests;
    const char* path = std::getenv("HALVANE_TEST_RECORD");
    if (path == nullptr) return requests;
    std::ifstream file(path);
    static const std::regex pathField(R"re("path":"([^"]*)")re");
    static const std::regex methodField(R"re("method":"([^"]*)")re");
    static const std::regex headersField(R"re("headers":\[(.*?)\],"body_hex")re");
    static const std::regex headerPair(R"re(\["([^"]*)","([^"]*)"\])re");
    static const std::regex bodyField(R"re("body_hex":"([0-9a-f]*)")re");
    static const std::regex modeField(R"re("mode":"([^"]*)")re");
    for (std::string line; std::getline(file, line);) {
        ReceivedRequest request;
        std::smatch m;
        if (std::regex_search(line, m, pathField)) request.path = m[1];
        if (std::regex_search(line, m, methodField)) request.method = m[1];
        if (std::regex_search(line, m, bodyField)) request.body = Unhex(m[1]);
        if (std::regex_search(line, m, modeField)) request.mode = m[1];
        if (std::regex_search(line, m, headersField)) {
            const std::string list = m[1];
            for (auto it = std::sregex_iterator(list.begin(), list.end(), headerPair); it != std::sregex_iterator(); ++it) {
                request.headers.emplace_back((*it)[1], (*it)[2]);
            }
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
