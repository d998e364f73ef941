// Bare exchanges on WinHTTP: a session, connection and request per exchange (so a fresh TLS
// connection), synchronous, with the module's agent, secure flag, header, body and timeouts,
// the status query and the read loop. Certificates are checked against the user's stores as
// for the module. Each exchange also makes the steps every module call must make: the
// user's proxy settings query (its strings freed with GlobalFree) and the module's ten trace
// lines through OutputDebugStringA, so the ratio is module / (bare + mandated steps). What
// the module adds beyond those (the response timeout option, TLS and redirect options, the
// deadline keeper, its own work) is what the comparison measures.
#include <windows.h>
#include <winhttp.h>

#include <cstdlib>

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

}  // namespace

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
