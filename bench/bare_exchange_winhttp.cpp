// Bare exchanges on WinHTTP: a session, connection and request per exchange (so a fresh TLS
// connection), synchronous, with the module's agent, secure flag, header, body and timeouts,
// the status query and the read loop. Certificates are checked against the user's stores as
// for the module. Each exchange also makes the steps every module call must make: the
// user's proxy settings query (its strings freed with GlobalFree) and the module's ten trace
// lines through OutputDebugStringA, so the ratio is module / (bare + mandated steps). What
// the module adds beyond those (the response timeout option, TLS and redirect options, the
// asynchronous steps, the trust floor, its own work) is what the comparison measures.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bare_exchange.h"

namespace bare {

const char kName[] = "bare+mandated WinHTTP POST", kRatio[] = "module/(bare+mandated)", kTarget[] = "1.05";

namespace {

std::wstring host;
std::wstring path;
INTERNET_PORT port = 0;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }  // ASCII only

// Closes in reverse order of opening: request, connection, session.
struct Handles {
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
    ~Handles() {
        for (HINTERNET handle : {request, connection, session}) {
            if (handle != nullptr) WinHttpCloseHandle(handle);
        }
    }
};

void Trace(const char* step) {
    char line[80] = "SendPostRequestTo: ";
    lstrcatA(line, step);
    lstrcatA(line, "\n");
    OutputDebugStringA(line);
}

// The user's proxy settings, as the module reads them before opening its session.
void QueryProxy() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof config);
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return;
    for (LPWSTR text : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass}) {
        if (text != nullptr) GlobalFree(text);
    }
}

// The trace lines of the calls being measured, stamped as they are raised.
struct Stamp {
    LARGE_INTEGER at;
    std::string line;
};
DWORD measuring = 0;  // the measuring thread
std::vector<Stamp> stamps;
std::map<std::string, std::pair<double, long>> totals[2];  // ms and count per step and kind
std::vector<std::string> order;                            // the steps, as first seen

void StampNow(std::string line) {
    Stamp stamp{{}, std::move(line)};
    QueryPerformanceCounter(&stamp.at);
    stamps.push_back(std::move(stamp));
}

LONG CALLBACK OnTraceLine(EXCEPTION_POINTERS* e) {
    constexpr DWORD kDebugPrint = 0x40010006;  // DBG_PRINTEXCEPTION_C
    const EXCEPTION_RECORD& record = *e->ExceptionRecord;
    if (record.ExceptionCode == kDebugPrint && record.NumberParameters >= 2 && GetCurrentThreadId() == measuring) {
        std::string line(reinterpret_cast<const char*>(record.ExceptionInformation[1]),
                         static_cast<std::size_t>(record.ExceptionInformation[0]));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\0')) line.pop_back();
        StampNow(line.substr(0, line.find(" (")));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void StepsBegin() {
    if (measuring == 0) {
        measuring = GetCurrentThreadId();
        AddVectoredExceptionHandler(1, OnTraceLine);
    }
    stamps.clear();
    StampNow("(start)");
}

void StepsEnd(int kind) {
    StampNow("(end)");
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        const std::string step = stamps[i - 1].line + " -> " + stamps[i].line;
        if (totals[0].count(step) == 0 && totals[1].count(step) == 0) order.push_back(step);
        auto& total = totals[kind][step];
        total.first += static_cast<double>(stamps[i].at.QuadPart - stamps[i - 1].at.QuadPart) * 1e3 /
                       static_cast<double>(frequency.QuadPart);
        ++total.second;
    }
}

void StepsPrint() {
    std::printf("per-step times, from each trace line to the next (ms, mean over the calls that made both)\n");
    std::printf("%9s %9s  %s\n", "module", "bare", "step");
    auto mean = [](const std::map<std::string, std::pair<double, long>>& kind, const std::string& step) {
        const auto found = kind.find(step);
        return found == kind.end() ? 0.0 : found->second.first / static_cast<double>(found->second.second);
    };
    for (const std::string& step : order) {
        std::printf("%9.3f %9.3f  %s\n", mean(totals[0], step), mean(totals[1], step), step.c_str());
    }
}

bool Setup(const Target& target) {
    host = Widen(target.host);
    path = Widen(target.path);
    char* end = nullptr;
    const unsigned long value = std::strtoul(target.port.c_str(), &end, 10);
    port = static_cast<INTERNET_PORT>(value);
    return end != target.port.c_str() && *end == '\0' && value >= 1 && value <= 65535;
}

void Teardown() {}

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

bool Exchange(const std::string& body) {
    Handles h;
    Trace("before OpenHttpSession");
    QueryProxy();
    h.session =
        WinHttpOpen(L"Halvane/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    Trace("after OpenHttpSession");
    if (h.session == nullptr) return false;
    WinHttpSetTimeouts(h.session, 15000, 15000, 15000, 20000);
    Trace("before WinHttpConnect");
    h.connection = WinHttpConnect(h.session, host.c_str(), port, 0);
    Trace("after WinHttpConnect");
    if (h.connection == nullptr) return false;
    Trace("before WinHttpOpenRequest");
    h.request = WinHttpOpenRequest(h.connection, L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    Trace("after WinHttpOpenRequest");
    if (h.request == nullptr) return false;
    const auto size = static_cast<DWORD>(body.size());
    Trace("before WinHttpSendRequest");
    const BOOL sent = WinHttpSendRequest(h.request, L"Content-Type: application/x-www-form-urlencoded\r\n",
                                         static_cast<DWORD>(-1), const_cast<char*>(body.data()), size, size, 0);
    Trace("after WinHttpSendRequest");
    if (!sent) return false;
    Trace("before WinHttpReceiveResponse");
    const BOOL received = WinHttpReceiveResponse(h.request, nullptr);
    Trace("after WinHttpReceiveResponse");
    if (!received) return false;
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!WinHttpQueryHeaders(h.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        return false;
    }
    std::string reply;
    char buffer[8192];
    DWORD available = 0;
    while (WinHttpQueryDataAvailable(h.request, &available) && available != 0) {
        DWORD read = 0;
        const DWORD want = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!WinHttpReadData(h.request, buffer, want, &read)) return false;
        reply.append(buffer, read);
    }
    return !reply.empty();
}

}  // namespace bare
