// The HTTPS steps on WinHTTP, synchronous, nothing configured beyond TLS and the timeouts.
// Redirects are not followed: each hop would restart the exchange, and no redirect can make
// a reply genuine.
//
// The trust floor (trust_floor.cpp) is judged before the body, which carries the user key,
// leaves: WinHttpSendRequest is given no optional data and the body's length as the total,
// so it makes the connection, the TLS handshake and WinHTTP's own certificate validation,
// sends the head (Content-Length announced) and returns; the server's certificate context
// (WINHTTP_OPTION_SERVER_CERT_CONTEXT) can then be read and its chain judged, and only a
// server that meets the floor is sent the body (WinHttpWriteData). One below it has the
// head alone; the request is closed and the send fails as a failed certificate check does.
//
// WinHTTP's timeouts bound each socket wait, not a step: a peer that trickles one byte at a
// time restarts them for ever, and nothing cancels a blocked synchronous call (closing the
// handle from another thread does not end it). What WinHTTP does offer: the timeouts that
// WinHttpSetTimeouts gives a live request apply to every socket wait that begins after it,
// while a wait already begun keeps the timeout it began with. So each request has a deadline
// keeper, made with it and closed with it:
// - On the caller's thread, at the start of every blocking step, the request's timeouts are
//   made no longer than the time the step has left (left as they are while they are within
//   kSlackMs of it: most steps set nothing).
// - A thread-pool timer, armed at the request's first step to look in every kLookMs until
//   the request closes. A look finds nothing to do between steps, and an exchange that ends
//   within kLookMs (an ordinary one) is never looked at: the call makes one timer, arms and
//   disarms it once, and no thread is made for it. A look that falls inside a step does not
//   touch the request itself: it queues an APC to the step's thread, which runs it the next
//   time that thread waits alertably, and lowers the timeouts there to what is left (1 ms
//   once it is spent). WinHTTP's socket waits are alertable under Wine (Winsock's blocking
//   calls wait so), so a step blocked in one runs the look at once; one still running when
//   the look is asked for runs it in its next wait. A wait therefore begins with a timeout
//   at most two looks old, and ends at most 2 * kLookMs + kSlackMs after the step's
//   deadline: each phase ends within half a second of its time, however the peer trickles
//   or falls silent. What stays unbounded is input that keeps flowing inside one socket
//   wait's timeout (a head that streams without end): WinHTTP reads it into the same call,
//   and no timeout expires while bytes keep coming.
// - During the send, WinHTTP tells on the caller's thread when the connection is being made
//   (it then has the connect timeout as a whole, the TLS handshake included where WinHTTP
//   tells the connection stands only after it, as Wine does), when it stands (the request
//   then has the send timeout) and when the request went out (the reply, which some WinHTTP
//   implementations begin to read inside the send, then has the receive timeout as a
//   whole); the timeouts are set there at once.
// - The request's timeouts are set on the step's own thread only, never while another
//   thread is inside WinHTTP for it: WinHTTP holds a request's connection without a lock
//   (Wine does) and releases it inside the step (the body's last read, a failure, a refused
//   handshake), so a change of timeouts from another thread could use a connection that is
//   gone. A look that runs on the step's thread runs inside a socket wait, where the
//   connection is in use and cannot be released, or between WinHTTP's calls.
// - No look runs once the step has returned: the step's end clears its mark under the
//   keeper's lock and runs a look still queued to its thread (it then finds nothing to do;
//   an APC the host queued to the thread may run there too, as it may in any of WinHTTP's
//   socket waits); the timer is disarmed, and a look in progress waited for, when the
//   request closes.
// What rests on the platform: that its socket waits are alertable (where they are not, a
// look runs only at the step's end, and each wait keeps the timeout its step began with)
// and that a change of timeouts applies to the waits that begin after it. Nothing reaches
// a blocked socket wait itself (CancelSynchronousIo finds no I/O to cancel on a thread
// blocked in recv under Wine).
#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "platform/win32/trust_floor.h"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace halvane::platform {

namespace {
const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// A session and a connection are WinHTTP's own handles under another name.
template <typename Handle>
HINTERNET Native(Handle* handle) {
    return reinterpret_cast<HINTERNET>(handle);
}
template <typename Handle>
Handle* Seam(HINTERNET handle) {
    return reinterpret_cast<Handle*>(handle);
}

// Keeps one request's timeouts no longer than what its current step has left (see above).
// The request's timeouts are only ever set on the step's own thread.
class DeadlineKeeper {
public:
    DeadlineKeeper() = default;
    DeadlineKeeper(const DeadlineKeeper&) = delete;
    DeadlineKeeper& operator=(const DeadlineKeeper&) = delete;
    // Called once no step runs: no look is queued, and none queues another.
    ~DeadlineKeeper() {
        if (timer_ != nullptr) {
            SetThreadpoolTimer(timer_, nullptr, 0, 0);
            WaitForThreadpoolTimerCallbacks(timer_, TRUE);
            CloseThreadpoolTimer(timer_);
        }
    }

    bool Open(HINTERNET request) {
        request_ = request;
        timer_ = CreateThreadpoolTimer(Look, this, nullptr);
        return timer_ != nullptr;
    }

    // A blocking step starts under `limits`, on the caller's thread. The timer, armed at the
    // request's first step, looks in every kLookMs until the request closes; between steps
    // and on steps that end in time it finds nothing to do.
    void Begin(const StepLimits& limits) {
        limits_ = limits;
        budgetEnd_ = MonotonicMs() + limits.budgetMs;
        deadline_ = budgetEnd_;
        sentAt_ = 0;
        Apply(limits.budgetMs, false);
        AcquireSRWLockExclusive(&lock_);
        stepThread_ = GetCurrentThreadId();
        stepRunning_ = true;
        ReleaseSRWLockExclusive(&lock_);
        if (!armed_) {
            ULARGE_INTEGER due;
            due.QuadPart = static_cast<ULONGLONG>(-kLookMs * 10000);  // relative, in 100 ns
            FILETIME when{due.LowPart, due.HighPart};
            SetThreadpoolTimer(timer_, &when, static_cast<DWORD>(kLookMs), 0);
            armed_ = true;
        }
    }
    // The step returned: a look still queued to its thread runs here, and finds the step
    // ended; none is queued after.
    void End() {
        AcquireSRWLockExclusive(&lock_);
        stepRunning_ = false;
        bool queued = lookQueued_;
        ReleaseSRWLockExclusive(&lock_);
        while (queued) {
            SleepEx(0, TRUE);
            AcquireSRWLockExclusive(&lock_);
            queued = lookQueued_;
            ReleaseSRWLockExclusive(&lock_);
        }
    }

    // The connection is being made: it has the connect timeout, the TLS handshake included
    // where WinHTTP tells the connection stands only once the handshake is done (Wine does).
    void Connecting() { MoveDeadline(std::min(MonotonicMs() + limits_.connectMs, budgetEnd_)); }
    // The connection stands: what is left of the handshake and the request have the send
    // timeout.
    void Connected() { MoveDeadline(std::min(MonotonicMs() + limits_.sendMs, budgetEnd_)); }
    // The request went out: the reply has the receive timeout from now on, its own time, as
    // the steps after the send have.
    void RequestSent() {
        sentAt_ = MonotonicMs();
        MoveDeadline(sentAt_ + limits_.receiveMs);
    }
    // When the request went out, if that happened inside the step (0: not seen).
    int64_t SentAt() const { return sentAt_; }

private:
    static constexpr int64_t kLookMs = 200, kSlackMs = 50;

    // Told on the caller's thread, inside the send.
    void MoveDeadline(int64_t deadline) {
        deadline_ = deadline;
        Apply(deadline - MonotonicMs(), false);
    }
    // On the timer's thread: asks the step's thread to look, unless a look is already asked
    // for. It runs there the next time that thread waits alertably, as WinHTTP's socket waits
    // do under Wine.
    static void CALLBACK Look(PTP_CALLBACK_INSTANCE, void* self, PTP_TIMER) {
        auto* keeper = static_cast<DeadlineKeeper*>(self);
        AcquireSRWLockExclusive(&keeper->lock_);
        if (keeper->stepRunning_ && !keeper->lookQueued_ && keeper->OpenStepThread() &&
            QueueUserAPC(LookHere, keeper->thread_.get(), reinterpret_cast<ULONG_PTR>(keeper))) {
            keeper->lookQueued_ = true;
        }
        ReleaseSRWLockExclusive(&keeper->lock_);
    }
    // The step's thread, under lock_.
    bool OpenStepThread() {
        if (thread_ && threadId_ == stepThread_) return true;
        thread_.reset(OpenThread(THREAD_SET_CONTEXT, FALSE, stepThread_));
        threadId_ = stepThread_;
        return static_cast<bool>(thread_);
    }
    // On the step's thread: lowers the timeouts to what is left (1 ms once it is spent).
    static void CALLBACK LookHere(ULONG_PTR self) {
        auto* keeper = reinterpret_cast<DeadlineKeeper*>(self);
        AcquireSRWLockExclusive(&keeper->lock_);
        keeper->lookQueued_ = false;
        const bool running = keeper->stepRunning_;
        ReleaseSRWLockExclusive(&keeper->lock_);
        if (!running) return;
        const int64_t left = keeper->deadline_ - MonotonicMs();
        keeper->Apply(left, left > 0);
    }
    // Each timeout the smaller of its own and what is left, never 0 ("no timeout"); set
    // unless the request's are already no longer and at most kSlackMs longer (`always`: set).
    void Apply(int64_t leftMs, bool always) {
        auto bound = [leftMs](int timeoutMs) {
            return static_cast<int>(leftMs < timeoutMs ? (leftMs > 0 ? leftMs : 1) : timeoutMs);
        };
        const int wanted[] = {bound(limits_.resolveMs), bound(limits_.connectMs), bound(limits_.sendMs),
                              bound(limits_.receiveMs)};
        bool current = !always;
        for (int i = 0; i < 4; ++i)
            current = current && applied_[i] >= wanted[i] && applied_[i] - wanted[i] <= kSlackMs;
        if (current) return;
        // Failed, the request keeps its timeouts, each still no longer than the phase's own.
        if (WinHttpSetTimeouts(request_, wanted[0], wanted[1], wanted[2], wanted[3])) {
            for (int i = 0; i < 4; ++i) applied_[i] = wanted[i];
        }
    }

    HINTERNET request_ = nullptr;
    PTP_TIMER timer_ = nullptr;
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool stepRunning_ = false;                  // under lock_
    bool lookQueued_ = false;                   // under lock_
    DWORD stepThread_ = 0;                      // under lock_
    UniqueHandle<HANDLE, CloseHandle> thread_;  // the timer's only, as threadId_
    DWORD threadId_ = 0;
    bool armed_ = false;                 // from here on, the step's thread only
    int applied_[4] = {-1, -1, -1, -1};  // the request's timeouts (-1: not known)
    StepLimits limits_;
    int64_t budgetEnd_ = 0;
    int64_t deadline_ = 0;  // the current phase's end
    int64_t sentAt_ = 0;
};

}  // namespace

// The request as the core holds it: WinHTTP's request and its deadline keeper.
struct HttpRequest {
    HINTERNET handle = nullptr;
    DeadlineKeeper keeper;
};

namespace {

HINTERNET Native(HttpRequest* request) { return request->handle; }

// Runs one blocking WinHTTP call under the request's keeper, and keeps the call's last error.
template <typename Call>
bool Guarded(HttpRequest* request, const StepLimits& limits, Call call) {
    // The step ends however it returns (memory running out throws std::bad_alloc).
    struct StepEnd {
        DeadlineKeeper& keeper;
        ~StepEnd() { keeper.End(); }
    };
    request->keeper.Begin(limits);
    BOOL ok = FALSE;
    DWORD error = 0;
    {
        StepEnd end{request->keeper};
        ok = call();
        error = GetLastError();
    }
    SetLastError(error);
    return ok != FALSE;
}

bool SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// Told by WinHTTP, on the calling thread, when the connection is being made, when it stands
// and when the request has gone out.
constexpr DWORD kToldSteps = WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER |
                             WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER | WINHTTP_CALLBACK_STATUS_REQUEST_SENT;
void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
    if (context == 0) return;
    auto* keeper = reinterpret_cast<DeadlineKeeper*>(context);
    if (status == WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER) keeper->Connecting();
    if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER) keeper->Connected();
    if (status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT) keeper->RequestSent();
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
    auto* request = new HttpRequest;  // std::bad_alloc: memory ran out, as for the reply
    request->handle = WinHttpOpenRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    // The keeper is told when the connection stands and when the request went out; a request
    // whose time cannot be kept is not used.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request->keeper);
    if (request->handle != nullptr && request->keeper.Open(request->handle) &&
        WinHttpSetOption(request->handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
        WinHttpSetStatusCallback(request->handle, OnRequestStatus, kToldSteps, 0) != WINHTTP_INVALID_STATUS_CALLBACK) {
        return request;
    }
    const DWORD error = GetLastError();
    CloseRequest(request);
    SetLastError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

bool SendRequest(HttpRequest* request, const char16_t* headers, const void* body, uint32_t bodySize,
                 const StepLimits& limits, int64_t* receivingSinceMs) {
    // The head goes out alone (the body's length announced), the server is judged against the
    // trust floor, and only then is the body, which carries the user key, written: a server
    // below the floor has the head and never the body.
    const bool sent = Guarded(request, limits, [&] {
        HINTERNET handle = Native(request);
        if (!WinHttpSendRequest(handle, Wide(headers), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, bodySize,
                                0)) {
            return FALSE;
        }
        if (!MeetsTrustFloor(handle)) {
            SetLastError(ERROR_WINHTTP_SECURE_FAILURE);
            return FALSE;
        }
        DWORD written = 0;
        return bodySize == 0 || (WinHttpWriteData(handle, body, bodySize, &written) && written == bodySize) ? TRUE
                                                                                                            : FALSE;
    });
    // Where the reply's head was read inside the send, its time counts against the receive.
    const int64_t sentAt = request->keeper.SentAt();
    *receivingSinceMs = sentAt != 0 ? sentAt : MonotonicMs();
    return sent;
}

bool ReceiveResponse(HttpRequest* request, const StepLimits& limits) {
    return Guarded(request, limits, [&] { return WinHttpReceiveResponse(Native(request), nullptr); });
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

bool QueryDataAvailable(HttpRequest* request, uint32_t* available, const StepLimits& limits) {
    DWORD count = 0;
    const bool ok = Guarded(request, limits, [&] { return WinHttpQueryDataAvailable(Native(request), &count); });
    *available = count;
    return ok;
}

// Reads what the availability query reported, which is already there: no keeper needed.
bool ReadData(HttpRequest* seamRequest, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits&) {
    HINTERNET request = Native(seamRequest);
    DWORD count = 0;
    BOOL ok = WinHttpReadData(request, buffer, toRead, &count);
    *read = count;
    return ok != FALSE;
}

// The handle first: WinHTTP calls no status callback once it is closed; then the keeper.
void CloseRequest(HttpRequest* request) {
    if (request->handle != nullptr) WinHttpCloseHandle(request->handle);
    delete request;
}
void CloseConnection(HttpConnection* connection) { WinHttpCloseHandle(Native(connection)); }
void CloseSession(HttpSession* session) { WinHttpCloseHandle(Native(session)); }

unsigned long LastError() { return GetLastError(); }

}  // namespace halvane::platform
