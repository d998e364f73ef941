// halvane-cli: loads the module at run time, calls one export and prints its result text.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "halvane.h"
#include "cli/diagnostics.h"
#include "common/utf_text.h"
#include "module_loader.h"

namespace {

constexpr int kExitRan = 0;
constexpr int kExitUsage = 2;
constexpr int kExitLoad = 3;
constexpr long long kDefaultBuffer = 65536;
constexpr long long kMaxBuffer = 16 * 1024 * 1024;

const char kUsage[] =
    "usage: halvane-cli [--library PATH] [--buffer N] [--trace] COMMAND --key KEY --account ACCOUNT [OPTIONS]\n"
    "       halvane-cli [--library PATH] --version\n"
    "\n"
    "commands:\n"
    "  quiz     fetch today's quiz          (GetDailyQuiz, GetDailyQuizV2 with --broker-time)\n"
    "  submit   submit the quiz answers     (SubmitQuizAnswers, ...V2 with --broker-time)\n"
    "  status   today's status              (GetTodayStatus, GetTodayStatusV2 with --broker-time)\n"
    "  mark     mark today as a trading day (MarkTradingDay)\n"
    "\n"
    "options:\n"
    "  --key KEY           the trader's user key\n"
    "  --account ACCOUNT   the trading account\n"
    "  --answers TEXT      the quiz answers, e.g. 1=a&2=c&3=b (submit only)\n"
    "  --broker-time N     the broker's time, a signed 64-bit number; selects the V2 export\n"
    "  --buffer N          result buffer length in UTF-16 units, 0 to 16777216 (default 65536)\n"
    "  --library PATH      the module to load (default: the one beside this program)\n"
    "  --trace             show on standard error the module, the proxy settings it will see,\n"
    "                      its trace lines and what each failure code means\n"
    "  --version           this program's version and the module's\n"
    "  --help              this text\n"
    "\n"
    "Prints the export's result text as UTF-8. Exit status: 0 the export ran (whatever its\n"
    "result), 2 bad usage, 3 the library or the export could not be loaded.\n";

using Text = std::u16string;
using halvane::text::ToUtf16;

std::optional<long long> ParseInteger(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return std::nullopt;
    return value;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "halvane-cli: %s\n\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    bool trace = false;
    bool version = false;
};

// The trace lines as the module wrote them, each failure followed by what its code means.
void PrintTrace(const std::vector<std::string>& lines) {
    static const char kFailed[] = "FAILED, GetLastError = ";
    for (const std::string& line : lines) {
        std::fputs(line.c_str(), stderr);
        if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
        const std::size_t at = line.find(kFailed);
        if (at == std::string::npos) continue;
        const unsigned long code = std::strtoul(line.c_str() + at + sizeof kFailed - 1, nullptr, 10);
        std::fprintf(stderr, "    %lu is %s\n", code, halvane::cli::ExplainErrorCode(code).c_str());
    }
    if (lines.empty()) std::fputs("halvane-cli: the module wrote no trace lines\n", stderr);
}

using ResultBuffer = std::vector<char16_t>;

const HalvaneChar* W(const Text& text) { return reinterpret_cast<const HalvaneChar*>(text.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = halvane::cli::CommandLine(argc, argv);
    Options options;
    static const char* const kValued[] = {"--key", "--account", "--answers", "--broker-time", "--buffer", "--library"};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return kExitRan;
        }
        bool valued = false;
        for (const char* name : kValued) valued = valued || argument == name;
        if (argument == "--trace" || argument == "--version") {
            bool& flag = argument == "--trace" ? options.trace : options.version;
            if (flag) return UsageError(argument + " given twice");
            flag = true;
        } else if (valued) {
            if (i + 1 >= arguments.size()) return UsageError(argument + " needs a value");
            if (!options.values.emplace(argument, arguments[i + 1]).second)
                return UsageError(argument + " given twice");
            ++i;
        } else if (argument.rfind("--", 0) == 0) {
            return UsageError("unknown option " + argument);
        } else if (options.command.empty()) {
            options.command = argument;
        } else {
            return UsageError("unexpected argument " + argument);
        }
    }
    auto has = [&](const char* name) { return options.values.count(name) != 0; };
    const std::string& command = options.command;
    std::string error;
    if (options.version) {
        if (!command.empty() || options.values.size() != (has("--library") ? 1u : 0u) || options.trace) {
            return UsageError("--version takes only --library");
        }
        halvane::cli::WriteOutput("halvane-cli " HALVANE_VERSION "\n");
        const auto module = halvane::cli::LoadModule(has("--library") ? options.values["--library"] : "", error);
        if (!module) {
            std::fprintf(stderr, "halvane-cli: %s\n", error.c_str());
            return kExitLoad;
        }
        const std::vector<std::string> lines = module->Describe();
        std::string text = "module: " + lines.front() + "\n";
        for (std::size_t i = 1; i < lines.size(); ++i) text += "  " + lines[i] + "\n";
        halvane::cli::WriteOutput(text);
        return kExitRan;
    }
    if (command.empty()) return UsageError("no command given");
    if (command != "quiz" && command != "submit" && command != "status" && command != "mark") {
        return UsageError("unknown command " + command);
    }
    if (!has("--key")) return UsageError("--key is required");
    if (!has("--account")) return UsageError("--account is required");
    if (command == "submit" && !has("--answers")) return UsageError("submit needs --answers");
    if (command != "submit" && has("--answers")) return UsageError("--answers belongs to submit");
    if (command == "mark" && has("--broker-time")) return UsageError("mark has no broker time");

    std::optional<long long> brokerTime;
    if (has("--broker-time")) {
        brokerTime = ParseInteger(options.values["--broker-time"]);
        if (!brokerTime) return UsageError("--broker-time must be a signed 64-bit number");
    }
    long long length = kDefaultBuffer;
    if (has("--buffer")) {
        const auto parsed = ParseInteger(options.values["--buffer"]);
        if (!parsed || *parsed < 0 || *parsed > kMaxBuffer)
            return UsageError("--buffer must be a number from 0 to 16777216");
        length = *parsed;
    }

    const auto module = halvane::cli::LoadModule(has("--library") ? options.values["--library"] : "", error);
    if (!module) {
        std::fprintf(stderr, "halvane-cli: %s\n", error.c_str());
        return kExitLoad;
    }

    const char* name = command == "quiz"     ? (brokerTime ? "GetDailyQuizV2" : "GetDailyQuiz")
                       : command == "submit" ? (brokerTime ? "SubmitQuizAnswersV2" : "SubmitQuizAnswers")
                       : command == "status" ? (brokerTime ? "GetTodayStatusV2" : "GetTodayStatus")
                                             : "MarkTradingDay";
    void* address = module->Find(name);
    if (address == nullptr) {
        std::fprintf(stderr, "halvane-cli: the library has no export %s\n", name);
        return kExitLoad;
    }

    const Text key = ToUtf16(options.values["--key"]);
    const Text account = ToUtf16(options.values["--account"]);
    const Text answers = ToUtf16(options.values["--answers"]);
    // One spare zero after the length the export is told, so the text always ends.
    ResultBuffer buffer(static_cast<std::size_t>(length) + 1, u'\0');
    auto* result = reinterpret_cast<HalvaneChar*>(buffer.data());
    const auto resultLength = static_cast<int32_t>(length);

    std::unique_ptr<halvane::cli::TraceCapture> capture;
    if (options.trace) {
        const std::vector<std::string> about = module->Describe();
        std::fprintf(stderr, "halvane-cli: module %s\n", about.front().c_str());
        for (std::size_t i = 1; i < about.size(); ++i) std::fprintf(stderr, "halvane-cli:   %s\n", about[i].c_str());
        std::fprintf(stderr, "halvane-cli: proxy: %s\n", halvane::cli::DescribeProxySettings().c_str());
        std::string note;
        capture = halvane::cli::StartTraceCapture(note);
        if (!capture) std::fprintf(stderr, "halvane-cli: %s\n", note.c_str());
        std::fprintf(stderr, "halvane-cli: calling %s\n", name);
    }

    // The header's own types, so the calling convention is the module's.
    using Plain = decltype(&GetDailyQuiz);
    using PlainV2 = decltype(&GetDailyQuizV2);
    using Submit = decltype(&SubmitQuizAnswers);
    using SubmitV2 = decltype(&SubmitQuizAnswersV2);
    if (command == "submit") {
        if (brokerTime) {
            reinterpret_cast<SubmitV2>(address)(W(key), W(account), W(answers), *brokerTime, result, resultLength);
        } else {
            reinterpret_cast<Submit>(address)(W(key), W(account), W(answers), result, resultLength);
        }
    } else if (brokerTime) {
        reinterpret_cast<PlainV2>(address)(W(key), W(account), *brokerTime, result, resultLength);
    } else {
        reinterpret_cast<Plain>(address)(W(key), W(account), result, resultLength);
    }
    if (capture) PrintTrace(capture->Stop());
    std::fflush(stderr);
    halvane::cli::WriteOutput(halvane::text::ToUtf8(buffer.data()) + "\n");
    return kExitRan;
}
