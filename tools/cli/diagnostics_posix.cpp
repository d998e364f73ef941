// --trace on POSIX systems. The stand-in writes its trace lines to syslog at debug priority,
// and only when /dev/log exists. This program defines syslog itself and exports it, so the
// module's calls land here first: each line is copied while a capture runs and then passed
// on to the C library's syslog unchanged, so the module does exactly what it does elsewhere.
#include <curl/curl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "cli/diagnostics.h"

namespace halvane::cli {

namespace {

std::mutex gMutex;
std::vector<std::string>* gLines = nullptr;  // set while a capture runs

void Record(const char* format, va_list args) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gLines == nullptr) return;
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) return;
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(line.data(), line.size(), format, copy);
    va_end(copy);
    line.pop_back();
    try {
        gLines->push_back(std::move(line));
    } catch (...) {
        // Out of memory: the line is lost; it still goes to syslog.
    }
}

class SyslogCapture : public TraceCapture {
public:
    SyslogCapture() {
        std::lock_guard<std::mutex> lock(gMutex);
        gLines = &lines_;
    }
    ~SyslogCapture() override { Detach(); }
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    std::vector<std::string> Stop() override {
        Detach();
        return std::move(lines_);
    }

private:
    void Detach() {
        std::lock_guard<std::mutex> lock(gMutex);
        if (gLines == &lines_) gLines = nullptr;
    }
    std::vector<std::string> lines_;
};

struct CodeName {
    CURLcode code;
    const char* name;
};
#define HALVANE_CURL_CODE(name) \
    { name, #name }
constexpr CodeName kCurlCodes[] = {
    HALVANE_CURL_CODE(CURLE_FAILED_INIT),
    HALVANE_CURL_CODE(CURLE_URL_MALFORMAT),
    HALVANE_CURL_CODE(CURLE_COULDNT_RESOLVE_PROXY),
    HALVANE_CURL_CODE(CURLE_COULDNT_RESOLVE_HOST),
    HALVANE_CURL_CODE(CURLE_COULDNT_CONNECT),
    HALVANE_CURL_CODE(CURLE_WEIRD_SERVER_REPLY),
    HALVANE_CURL_CODE(CURLE_OUT_OF_MEMORY),
    HALVANE_CURL_CODE(CURLE_OPERATION_TIMEDOUT),
    HALVANE_CURL_CODE(CURLE_BAD_FUNCTION_ARGUMENT),
    HALVANE_CURL_CODE(CURLE_SSL_CONNECT_ERROR),
    HALVANE_CURL_CODE(CURLE_GOT_NOTHING),
    HALVANE_CURL_CODE(CURLE_SEND_ERROR),
    HALVANE_CURL_CODE(CURLE_RECV_ERROR),
    HALVANE_CURL_CODE(CURLE_SSL_CERTPROBLEM),
    HALVANE_CURL_CODE(CURLE_PEER_FAILED_VERIFICATION),
    HALVANE_CURL_CODE(CURLE_SSL_CACERT_BADFILE),
    HALVANE_CURL_CODE(CURLE_PROXY),
};
#undef HALVANE_CURL_CODE

}  // namespace

std::unique_ptr<TraceCapture> StartTraceCapture(std::string& note) {
    // The module checks the same thing before each line.
    if (access("/dev/log", W_OK) != 0) {
        note =
            "the trace is not captured: libhalvane.so writes its trace lines to syslog (facility user, "
            "priority debug) only when /dev/log exists, and it does not here";
        return nullptr;
    }
    return std::make_unique<SyslogCapture>();
}

std::string ExplainErrorCode(unsigned long code) {
    // The stand-in's last-error codes are libcurl's.
    std::string text = "libcurl code";
    for (const CodeName& entry : kCurlCodes) {
        if (static_cast<unsigned long>(entry.code) == code) text = entry.name;
    }
    return text + ": " + curl_easy_strerror(static_cast<CURLcode>(code));
}

std::string DescribeProxySettings() {
    // The stand-in's current user settings are the environment libcurl reads.
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* proxy = std::getenv(name);
        if (proxy == nullptr || *proxy == '\0') continue;
        const char* bypass = std::getenv("no_proxy");
        if (bypass == nullptr) bypass = std::getenv("NO_PROXY");
        return std::string("proxy ") + proxy + " (" + name + ")" +
               (bypass != nullptr && *bypass != '\0' ? std::string(", bypass list ") + bypass : ", no bypass list");
    }
    return "direct";
}

}  // namespace halvane::cli

// The interposed syslog entry points (the second one is what fortified builds call), visible
// to the dynamic linker although this program's symbols are hidden by default.
extern "C" __attribute__((visibility("default"))) void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    halvane::cli::Record(format, args);
    vsyslog(priority, format, args);
    va_end(args);
}

extern "C" __attribute__((visibility("default"))) void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    halvane::cli::Record(format, args);
    vsyslog(priority, format, args);
    va_end(args);
}
