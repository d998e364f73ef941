// halvane-cli: loads the module at run time, calls one export and prints its result text; its
// exit status tells the kind of result. `check` proves the path to the service without a key.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "halvane.h"
#include "cli/diagnostics.h"
#include "common/utf_text.h"
#include "core/reply_reader.h"
#include "module_loader.h"

namespace {

constexpr int kExitVerified = 0;
constexpr int kExitUsage = 2;
constexpr int kExitLoad = 3;
constexpr int kExitRefused = 4;
constexpr int kExitSignature = 5;
constexpr int kExitNoAnswer = 6;
// The terminal include's buffers: the quiz's holds any reply within the module's 4 MiB limit.
constexpr long long kQuizBuffer = 4194305;
constexpr long long kResultBuffer = 1024;
constexpr long long kMaxBuffer = 16 * 1024 * 1024;

const char kUsage[] =
    "usage: halvane-cli [--library PATH] [--buffer N] [--trace] COMMAND --key KEY --account ACCOUNT [OPTIONS]\n"
    "       halvane-cli [--library PATH] check [--account ACCOUNT]\n"
    "       halvane-cli [--library PATH] --version\n"
    "\n"
    "commands:\n"
    "  quiz     fetch today's quiz          (GetDailyQuiz, GetDailyQuizV2 with --broker-time)\n"
    "  submit   submit the quiz answers     (SubmitQuizAnswers, ...V2 with --broker-time)\n"
    "  status   today's status              (GetTodayStatus, GetTodayStatusV2 with --broker-time)\n"
    "  mark     mark today as a trading day (MarkTradingDay)\n"
    "  check    without the trader's key: the module, the service it was built for, the proxy it\n"
    "           will see, the clock in UTC and one call with an empty key under the trace; then\n"
    "           one line on standard output saying what works and what does not\n"
    "\n"
    "options:\n"
    "  --key KEY           the trader's user key\n"
    "  --account ACCOUNT   the trading account\n"
    "  --answers TEXT      the quiz answers, e.g. 1=a&2=c&3=b (submit only)\n"
    "  --broker-time N     the broker's time, a signed 64-bit number; selects the V2 export\n"
    "  --buffer N          result buffer length in UTF-16 units, 0 to 16777216 (default as the\n"
    "                      terminal include: 4194305 for quiz, 1024 for the others)\n"
    "  --library PATH      the module to load (default: the one beside this program)\n"
    "  --trace             show on standard error the module, the proxy settings it will see,\n"
    "                      its trace lines and what each failure code means\n"
    "  --version           this program's version and the module's\n"
    "  --help              this text\n"
    "\n"
    "Prints the export's result text as UTF-8. Exit status:\n"
    "  0  a verified result (quiz, success|..., completed|... or not_completed; mark: success)\n"
    "  4  the service refused: the text is its message (mark: its own status word)\n"
    "  5  SIGNATURE_INVALID: the reply's signature did not verify\n"
    "  6  ERROR or the empty text: no usable answer (see --trace)\n"
    "  2  bad usage;  3  the library or the export could not be loaded\n"
    "check: 0 the service answered, 5 or 6 it did not (the line says why), 3 as above.\n";

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

// The exit status for a result text, read as the terminal include reads it.
int ExitStatusFor(const std::string& command, const std::string& result) {
    if (result.empty() || result == "ERROR") return kExitNoAnswer;
    if (command == "mark") return result == "success" ? kExitVerified : kExitRefused;
    if (result == "SIGNATURE_INVALID") return kExitSignature;
    const auto fields = static_cast<std::size_t>(std::count(result.begin(), result.end(), '|')) + 1;
    bool verified = false;
    if (command == "quiz") {
        verified = halvane::ExtractReplyField(result, "status") == "success" && halvane::IsWholeObject(result);
    } else if (command == "submit") {
        verified = result.rfind("success|", 0) == 0 && fields >= 3;
    } else {
        verified = result == "not_completed" || (result.rfind("completed|", 0) == 0 && fields >= 4);
    }
    return verified ? kExitVerified : kExitRefused;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    char text[40] = "unknown";
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
    return text;
}

// check's one line: what the empty-key call shows of the path to the service.
std::string CheckVerdict(const std::string& service, const std::string& result, int status,
                         const std::vector<std::string>& trace, const std::string& traceNote) {
    if (status == kExitRefused || status == kExitVerified) {
        return "works: " + service + " answered over HTTPS (to an empty key: \"" + result +
               "\"); a trader's key and account are all that is left";
    }
    if (status == kExitSignature) {
        return "does not work: " + service +
               " answered, but its reply's signature did not verify: the module and the service do not share a key";
    }
    static const char kFailed[] = " FAILED, GetLastError = ";
    for (auto line = trace.rbegin(); line != trace.rend(); ++line) {
        const std::size_t at = line->find(kFailed);
        if (at == std::string::npos) continue;
        const std::size_t space = line->rfind(' ', at - 1);
        const std::size_t step = space == std::string::npos ? 0 : space + 1;  // the failing call's name
        const unsigned long code = std::strtoul(line->c_str() + at + sizeof kFailed - 1, nullptr, 10);
        return "does not work: reaching " + service + ", " + line->substr(step, at - step) + " failed with " +
               std::to_string(code) + ", " + halvane::cli::ExplainErrorCode(code) +
               " (the module, the proxy and the clock are above)";
    }
    if (!traceNote.empty()) return "does not work: no usable answer, and its trace could not be captured (see above)";
    return "does not work: the exchange ended without a usable answer (a status other than 200, an empty or "
           "broken reply, or a refusal without a message); the service's log tells which";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments = halvane::cli::CommandLine(argc, argv);
    Options options;
    static const char* const kValued[] = {"--key", "--account", "--answers", "--broker-time", "--buffer", "--library"};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return kExitVerified;
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
        return kExitVerified;
    }
    if (command.empty()) return UsageError("no command given");
    const bool check = command == "check";
    if (command != "quiz" && command != "submit" && command != "status" && command != "mark" && !check) {
        return UsageError("unknown command " + command);
    }
    if (check) {
        for (const char* name : {"--key", "--answers", "--broker-time", "--buffer"}) {
            if (has(name)) return UsageError(std::string("check takes no ") + name + ": it calls with an empty key");
        }
        if (options.trace) return UsageError("check always shows the trace");
        options.trace = true;
        options.values.emplace("--key", "");
        options.values.emplace("--account", "0");
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
    long long length = command == "quiz" ? kQuizBuffer : kResultBuffer;
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

    const char* name = command == "quiz"              ? (brokerTime ? "GetDailyQuizV2" : "GetDailyQuiz")
                       : command == "submit"          ? (brokerTime ? "SubmitQuizAnswersV2" : "SubmitQuizAnswers")
                       : command == "status" || check ? (brokerTime ? "GetTodayStatusV2" : "GetTodayStatus")
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
    std::string traceNote;
    if (options.trace) {
        const std::vector<std::string> about = module->Describe();
        std::fprintf(stderr, "halvane-cli: module %s\n", about.front().c_str());
        for (std::size_t i = 1; i < about.size(); ++i) std::fprintf(stderr, "halvane-cli:   %s\n", about[i].c_str());
        std::fprintf(stderr, "halvane-cli: proxy: %s\n", halvane::cli::DescribeProxySettings().c_str());
        if (check)
            std::fprintf(stderr, "halvane-cli: clock: %s (certificates are checked against it)\n", UtcNow().c_str());
        capture = halvane::cli::StartTraceCapture(traceNote);
        if (!capture) std::fprintf(stderr, "halvane-cli: %s\n", traceNote.c_str());
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
    std::vector<std::string> trace;
    if (capture) {
        trace = capture->Stop();
        PrintTrace(trace);
    }
    const std::string text = halvane::text::ToUtf8(buffer.data());
    const int status = ExitStatusFor(check ? "status" : command, text);
    if (check) {
        std::fprintf(stderr, "halvane-cli: result: %s\n", text.c_str());
        std::fflush(stderr);
        // The service the module was built for, where its version resource names it.
        std::string service = "the module's built-in service";
        static const char kBuiltFor[] = "Comments: Built for the service at ";
        for (const std::string& line : module->Describe()) {
            if (line.rfind(kBuiltFor, 0) == 0) service = "the service at " + line.substr(sizeof kBuiltFor - 1);
        }
        halvane::cli::WriteOutput("check: " + CheckVerdict(service, text, status, trace, traceNote) + "\n");
        return status == kExitRefused ? kExitVerified : status;
    }
    std::fflush(stderr);
    halvane::cli::WriteOutput(text + "\n");
    return status;
}
