// The HTTPS steps on WinHTTP, synchronous, nothing configured beyond TLS and the timeouts.
#include <windows.h>
#include <winhttp.h>

#include "platform/platform.h"

namespace halvane::platform {

namespace {
const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
}  // namespace

bool QueryProxySettings(ProxySettings* settings) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof config);
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
    settings->autoConfigUrl = reinterpret_cast<char16_t*>(config.lpszAutoConfigUrl);
    settings->proxy = reinterpret_cast<char16_t*>(config.lpszProxy);
    settings->proxyBypass = reinterpret_cast<char16_t*>(config.lpszProxyBypass);
    return true;
}

void FreeProxyString(char16_t* text) { GlobalFree(text); }

HttpHandle OpenSession(const char16_t* agent, const char16_t* proxy, const char16_t* bypass) {
    if (proxy != nullptr) {
        return WinHttpOpen(Wide(agent), WINHTTP_ACCESS_TYPE_NAMED_PROXY, Wide(proxy),
                           bypass != nullptr ? Wide(bypass) : WINHTTP_NO_PROXY_BYPASS, 0);
    }
    return WinHttpOpen(Wide(agent), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

void SetTimeouts(HttpHandle session, int resolveMs, int connectMs, int sendMs, int receiveMs) {
    WinHttpSetTimeouts(session, resolveMs, connectMs, sendMs, receiveMs);
    // Some WinHTTP implementations wait for the response head under a timeout of its own,
    // unbounded unless set: the receive timeout bounds that wait too.
    DWORD responseMs = static_cast<DWORD>(receiveMs);
    WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof responseMs);
}

HttpHandle Connect(HttpHandle session, const char16_t* host, uint16_t port) {
    return WinHttpConnect(session, Wide(host), port, 0);
}

HttpHandle OpenRequest(HttpHandle connection, const char16_t* verb, const char16_t* path) {
    return WinHttpOpenRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
}

bool SendRequest(HttpHandle request, const char16_t* headers, const void* body, uint32_t bodySize) {
    return WinHttpSendRequest(request, Wide(headers), static_cast<DWORD>(-1), const_cast<void*>(body), bodySize,
                              bodySize, 0) != FALSE;
}

bool ReceiveResponse(HttpHandle request) { return WinHttpReceiveResponse(request, nullptr) != FALSE; }

bool QueryStatusCode(HttpHandle request, uint32_t* statusCode) {
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    *statusCode = code;
    return true;
}

bool QueryDataAvailable(HttpHandle request, uint32_t* available) {
    DWORD count = 0;
    BOOL ok = WinHttpQueryDataAvailable(request, &count);
    *available = count;
    return ok != FALSE;
}

bool ReadData(HttpHandle request, void* buffer, uint32_t toRead, uint32_t* read) {
    DWORD count = 0;
    BOOL ok = WinHttpReadData(request, buffer, toRead, &count);
    *read = count;
    return ok != FALSE;
}

void CloseHttpHandle(HttpHandle handle) { WinHttpCloseHandle(handle); }

unsigned long LastError() { return GetLastError(); }

}  // namespace halvane::platform
