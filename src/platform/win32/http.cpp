// The HTTPS steps on WinHTTP, synchronous, nothing configured beyond TLS and the timeouts.
//
// WinHTTP's timeouts bound each socket operation, so a peer that trickles one byte at a time
// restarts them for ever. Each blocking step therefore runs under a watchdog of its own: a
// thread that lives only while the step runs and, once half the step's budget is gone,
// lowers the request's timeouts to what is left, again at each halving, down to 1 ms once it
// is spent, so that the step ends at the peer's next byte or its next wait at the latest. A
// step that ends in time is never touched from the watchdog's thread. It never closes a
// handle. Redirects are not followed: each hop would restart the exchange, and no redirect
// can make a reply genuine.
#include <windows.h>
#include <winhttp.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/unique_handle.h"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace halvane::platform {

namespace {
const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// The seam's handle types are WinHTTP's own handles under another name.
template <typename Handle>
HINTERNET Native(Handle* handle) {
    return reinterpret_cast<HINTERNET>(handle);
}
template <typename Handle>
Handle* Seam(HINTERNET handle) {
    return reinterpret_cast<Handle*>(handle);
}

void CloseWinHandle(HANDLE handle) { CloseHandle(handle); }
using UniqueWinHandle = UniqueHandle<HANDLE, CloseWinHandle>;

class StepWatchdog {
public:
    StepWatchdog(HINTERNET request, const StepLimits& limits)
        : request_(request), limits_(limits), budgetEnd_(MonotonicMs() + limits.budgetMs), deadline_(budgetEnd_) {
        Apply(limits_.budgetMs);
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        moved_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        // Without a thread the step still runs under timeouts no longer than its budget.
        if (stop_ && moved_) {
            thread_.reset(CreateThread(nullptr, 64 * 1024, Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        }
    }
    ~StepWatchdog() {
        if (thread_) {
            SetEvent(stop_.get());
            WaitForSingleObject(thread_.get(), INFINITE);
        }
    }
    StepWatchdog(const StepWatchdog&) = delete;
    StepWatchdog& operator=(const StepWatchdog&) = delete;

    // The connection stands: the TLS handshake and the request have the send timeout from
    // now on, as a whole.
    void Connected() { MoveDeadline(MonotonicMs() + limits_.sendMs); }
    // The request went out inside the step: the send phase is over, and the reply that the
    // step may go on to read has the receive timeout from now on, as a whole.
    void RequestSent() {
        sentAt_ = MonotonicMs();
        MoveDeadline(sentAt_ + limits_.receiveMs);
    }
    // When the request went out, if that happened inside the step (0: not seen).
    int64_t SentAt() const { return sentAt_; }

private:
    void MoveDeadline(int64_t deadline) {
        deadline_.store(deadline < budgetEnd_ ? deadline : budgetEnd_);
        SetEvent(moved_.get());
    }
    // A step that ends in time is never touched from here: the first look comes when half its
    // time is gone, the next when half the rest is, and so on; each lowers the request's
    // timeouts to what is left, so a wait that starts later cannot outlast the deadline.
    static DWORD WINAPI Run(void* self) {
        auto* watchdog = static_cast<StepWatchdog*>(self);
        const HANDLE events[] = {watchdog->stop_.get(), watchdog->moved_.get()};
        for (;;) {
            const int64_t left = watchdog->deadline_.load() - MonotonicMs();
            const int64_t wait = left > 2 * kLastLookMs ? left / 2 : left > 0 ? left : 0;
            const DWORD woke = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(wait));
            if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) return 0;
            if (woke == WAIT_OBJECT_0 + 1) continue;  // the deadline moved: look again
            const int64_t now = watchdog->deadline_.load() - MonotonicMs();
            watchdog->Apply(now > 0 ? now : 0);
            if (now <= 0) {
                // Spent: the timeouts stay at their least until the step ends.
                WaitForSingleObject(watchdog->stop_.get(), INFINITE);
                return 0;
            }
        }
    }
    // Each timeout the smaller of its own and what is left, and never 0 ("no timeout").
    void Apply(int64_t leftMs) {
        auto bound = [leftMs](int timeoutMs) {
            return static_cast<int>(leftMs < timeoutMs ? (leftMs > 0 ? leftMs : 1) : timeoutMs);
        };
        WinHttpSetTimeouts(request_, bound(limits_.resolveMs), bound(limits_.connectMs), bound(limits_.sendMs),
                           bound(limits_.receiveMs));
    }

    static constexpr int64_t kLastLookMs = 250;
    HINTERNET request_;
    StepLimits limits_;
    int64_t budgetEnd_;
    int64_t sentAt_ = 0;  // set on the calling thread only
    std::atomic<int64_t> deadline_;
    UniqueWinHandle stop_;
    UniqueWinHandle moved_;
    UniqueWinHandle thread_;
};

// Runs one blocking WinHTTP call under a watchdog, and keeps the call's last error.
template <typename Call>
bool Guarded(HINTERNET request, const StepLimits& limits, Call call) {
    BOOL ok = FALSE;
    DWORD error = 0;
    {
        StepWatchdog watchdog(request, limits);
        ok = call(watchdog);
        error = GetLastError();
    }
    SetLastError(error);
    return ok != FALSE;
}

bool SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// Told by WinHTTP, on the calling thread, when the connection stands and when the request
// has gone out.
constexpr DWORD kToldSteps = WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER | WINHTTP_CALLBACK_STATUS_REQUEST_SENT;
void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
    if (context == 0) return;
    auto* watchdog = reinterpret_cast<StepWatchdog*>(context);
    if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER) watchdog->Connected();
    if (status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT) watchdog->RequestSent();
}
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

HttpSession* OpenSession(const char16_t* agent, const char16_t* proxy, const char16_t* bypass) {
    HINTERNET session = proxy != nullptr ? WinHttpOpen(Wide(agent), WINHTTP_ACCESS_TYPE_NAMED_PROXY, Wide(proxy),
                                                       bypass != nullptr ? Wide(bypass) : WINHTTP_NO_PROXY_BYPASS, 0)
                                         : WinHttpOpen(Wide(agent), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                                       WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) return nullptr;
    // TLS 1.2 or later only, TLS 1.3 too where the system knows it, and redirects never
    // followed. A session that cannot be held to that is not used.
    constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, kTls13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if ((SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12 | kTls13) ||
         SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12)) &&
        SetDwordOption(session, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
        return Seam<HttpSession>(session);
    }
    const DWORD error = GetLastError();
    WinHttpCloseHandle(session);
    SetLastError(error);
    return nullptr;
}

void SetTimeouts(HttpSession* seamSession, int resolveMs, int connectMs, int sendMs, int receiveMs) {
    HINTERNET session = Native(seamSession);
    WinHttpSetTimeouts(session, resolveMs, connectMs, sendMs, receiveMs);
    // Some WinHTTP implementations wait for the response head under a timeout of its own,
    // unbounded unless set: the receive timeout bounds that wait too.
    SetDwordOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(receiveMs));
}

HttpConnection* Connect(HttpSession* seamSession, const char16_t* host, uint16_t port) {
    HINTERNET session = Native(seamSession);
    return Seam<HttpConnection>(WinHttpConnect(session, Wide(host), port, 0));
}

HttpRequest* OpenRequest(HttpConnection* seamConnection, const char16_t* verb, const char16_t* path) {
    HINTERNET connection = Native(seamConnection);
    return Seam<HttpRequest>(WinHttpOpenRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                                                WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
}

bool SendRequest(HttpRequest* seamRequest, const char16_t* headers, const void* body, uint32_t bodySize,
                 const StepLimits& limits, int64_t* receivingSinceMs) {
    HINTERNET request = Native(seamRequest);
    return Guarded(request, limits, [&](StepWatchdog& watchdog) {
        // The send phase starts once the connection stands. Some WinHTTP implementations
        // read the response head inside the send too: from the moment the request is out,
        // that read has the receive timeout as a whole.
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&watchdog);
        const bool told =
            WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
            WinHttpSetStatusCallback(request, OnRequestStatus, kToldSteps, 0) != WINHTTP_INVALID_STATUS_CALLBACK;
        const BOOL sent = WinHttpSendRequest(request, Wide(headers), static_cast<DWORD>(-1), const_cast<void*>(body),
                                             bodySize, bodySize, 0);
        const DWORD error = GetLastError();
        if (told) {
            WinHttpSetStatusCallback(request, nullptr, 0, 0);
            context = 0;
            WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
        }
        // Where the reply's head was read inside the send, its time counts against the receive.
        *receivingSinceMs = watchdog.SentAt() != 0 ? watchdog.SentAt() : MonotonicMs();
        SetLastError(error);
        return sent;
    });
}

bool ReceiveResponse(HttpRequest* seamRequest, const StepLimits& limits) {
    HINTERNET request = Native(seamRequest);
    return Guarded(request, limits, [&](StepWatchdog&) { return WinHttpReceiveResponse(request, nullptr); });
}

bool QueryStatusCode(HttpRequest* seamRequest, uint32_t* statusCode) {
    HINTERNET request = Native(seamRequest);
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    *statusCode = code;
    return true;
}

bool QueryContentLength(HttpRequest* seamRequest, uint64_t* length) {
    HINTERNET request = Native(seamRequest);
    // As text: a declared length may not fit the 32-bit number form.
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    uint64_t value = 0;
    const wchar_t* digit = text;
    for (; *digit >= L'0' && *digit <= L'9'; ++digit) {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<uint64_t>(*digit - L'0');
    }
    if (digit == text || *digit != L'\0') return false;
    *length = value;
    return true;
}

bool QueryDataAvailable(HttpRequest* seamRequest, uint32_t* available, const StepLimits& limits) {
    HINTERNET request = Native(seamRequest);
    DWORD count = 0;
    const bool ok = Guarded(request, limits, [&](StepWatchdog&) { return WinHttpQueryDataAvailable(request, &count); });
    *available = count;
    return ok;
}

// Reads what the availability query reported, which is already there: no watchdog needed.
bool ReadData(HttpRequest* seamRequest, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits&) {
    HINTERNET request = Native(seamRequest);
    DWORD count = 0;
    BOOL ok = WinHttpReadData(request, buffer, toRead, &count);
    *read = count;
    return ok != FALSE;
}

void CloseRequest(HttpRequest* request) { WinHttpCloseHandle(Native(request)); }
void CloseConnection(HttpConnection* connection) { WinHttpCloseHandle(Native(connection)); }
void CloseSession(HttpSession* session) { WinHttpCloseHandle(Native(session)); }

unsigned long LastError() { return GetLastError(); }

}  // namespace halvane::platform
