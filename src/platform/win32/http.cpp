// The HTTPS steps on WinHTTP. Each step stays synchronous for the core, but runs on WinHTTP's
// asynchronous mode: the caller's thread starts the operation and waits, not alertably, for its
// completion with the time its phase has left; at the deadline it closes the request handle and
// the step fails with the timeout code (12002). Redirects are not followed: each hop would
// restart the exchange, and no redirect can make a reply genuine.
//
// What each promise rests on (Microsoft's WinHTTP pages), and what Wine 8.0 and 10.0 showed:
// - A phase ends at its deadline, however the peer trickles or streams. "WinHttpCloseHandle":
//   "An application can terminate an in-progress asynchronous request by closing the HINTERNET
//   request handle"; the close "operates synchronously" even in asynchronous mode. The waiter
//   does not depend on the termination: it stops waiting at the deadline and never touches the
//   request again. Under Wine the close returns at once but does not cancel the operation: it
//   ends when data arrives or the peer stops, with an ordinary completion, which is ignored.
// - Everything WinHTTP may still touch outlives the call. "WinHttpCloseHandle": "Even after a
//   call to WinHttpCloseHandle returns, the application must be prepared to receive callbacks
//   for the closed handle", and a context bound to a handle stays bound until
//   WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, "the last callback notification WinHTTP sends prior
//   to deleting a handle object from memory" (WinHttpSetStatusCallback is not synchronised with
//   callbacks from worker threads). So the request's state, its body and its read buffer are
//   freed by whichever comes last, the call's end or HANDLE_CLOSING; "WinHttpReadData": "Make
//   sure that this buffer remains valid until WinHttpReadData has completed" (under Wine a read
//   that was pending at the close wrote into it afterwards).
// - The phases. "WINHTTP_STATUS_CALLBACK": RESOLVING_NAME, CONNECTING_TO_SERVER,
//   CONNECTED_TO_SERVER, SENDING_REQUEST and REQUEST_SENT tell where the send is; the phase's
//   deadline moves at the first of each within a step (a retried connection or a second address
//   never restarts it), on WinHTTP's thread under the state's lock. WINHTTP_OPTION_CONNECT_RETRIES
//   ("Option Flags": how many times WinHTTP attempts to connect) is set to 1; Wine accepts and
//   ignores it, and the phase's deadline bounds the attempts either way.
// - The trust floor (trust_floor.cpp) is judged at SENDING_REQUEST, which WinHTTP sends once the
//   connection stands (its TLS handshake and its own certificate validation done, as Wine's
//   request.c does in open_connection) and before the request is written; a server below it has
//   the request closed there, as .NET's WinHTTP handler does on a failed validation. Wine writes the head after
//   that notification whatever the callback did, so the body, which carries the user key, is
//   never given to WinHttpSendRequest: it goes with WinHttpWriteData only once the send completed
//   on a server that met the floor. Under Wine a server below the floor gets the head alone.
// - Nothing outlives the call: keep-alive off on each request (WINHTTP_OPTION_DISABLE_FEATURE,
//   WINHTTP_DISABLE_KEEP_ALIVE: "Disables keep-alive semantics for the connection"), so no
//   connection returns to a pool. Under Wine the connection is then closed when the reply ends.
// - The exchange goes on without a trip to the caller's thread. What follows an operation's
//   success without any decision of the caller's is started inside its completion callback
//   ("Asynchronous Completion in WinHTTP": "WinHTTP is not reentrant except during asynchronous
//   completion callback"): the body once the head is out to a server that met the floor, the
//   response once the body is out, and the first look at the body of a 200 response, whose head
//   is read there first ("WINHTTP_STATUS_CALLBACK", HEADERS_AVAILABLE: the response header "is
//   available with WinHttpQueryHeaders"). The caller's thread reads the head from what was kept
//   and is woken only for what its step waits for, or an earlier deadline. Every call on the
//   handle counts itself, and a give-up while one is in progress leaves the close to its end:
//   "HINTERNET Handles in WinHTTP": handles "cannot be closed while an API call using the handle
//   is in progress". Under Wine the started operation joins the worker's queue and runs next on
//   the same thread; a hand-over to the caller and back cost two wake-ups on other cores.
// - No host APC runs inside a call: the caller's thread waits on a condition variable
//   (SleepConditionVariableSRW), which is no alertable wait ("Alertable I/O": a thread enters an
//   alertable state only through SleepEx, WaitForSingleObjectEx, WaitForMultipleObjectsEx,
//   SignalObjectAndWait or MsgWaitForMultipleObjectsEx); no APC is queued and no thread made per
//   call. Under Wine it waits in-process, where an event's wait and wake each cost a trip to its
//   server on every step of the fast path.
// - The module stays loaded while WinHTTP may still call it. A call that closes its request with
//   nothing pending gets HANDLE_CLOSING inside its own WinHttpCloseHandle (where WinHTTP holds no
//   other reference) and frees the state there: no module reference, no thread-pool work. Any
//   other call (an operation still pending after a deadline or a refused floor, or WinHTTP's
//   worker still holding the request) takes a reference on the module (GetModuleHandleExW),
//   dropped a second after HANDLE_CLOSING by a thread-pool timer's callback with
//   FreeLibraryWhenCallbackReturns ("Specifies the DLL that the thread pool will unload when the
//   current callback completes"). WinHTTP itself is pinned for the process's life
//   (GET_MODULE_HANDLE_EX_FLAG_PIN): under Wine its worker thread tears the request, the
//   connection and the session down after HANDLE_CLOSING, and a host's FreeLibrary that took
//   WinHTTP with this module crashed there. What remains: a status callback thread held off the
//   CPU for that whole second between its last step and its return.
// Only real Windows can show how soon its WinHTTP ends a closed pending operation and whether it
// writes nothing at all to a server refused at SENDING_REQUEST.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
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

bool SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    return WinHttpSetOption(handle, option, &value, sizeof value) != FALSE;
}

// How long a module reference outlives the HANDLE_CLOSING after which it is dropped: the status
// callback has long returned by then.
constexpr DWORD kDropDelayMs = 1000;

// On a thread-pool thread: drops the module reference once this callback has returned.
void CALLBACK DropModule(PTP_CALLBACK_INSTANCE instance, void* module, PTP_TIMER timer) {
    CloseThreadpoolTimer(timer);
    FreeLibraryWhenCallbackReturns(instance, static_cast<HMODULE>(module));
}
// Kept loaded for good if the timer cannot be made.
void DropModuleLater(HMODULE module) {
    PTP_TIMER timer = module != nullptr ? CreateThreadpoolTimer(DropModule, module, nullptr) : nullptr;
    if (timer == nullptr) return;
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(kDropDelayMs) * 10000);  // relative, 100 ns
    FILETIME when{due.LowPart, due.HighPart};
    SetThreadpoolTimer(timer, &when, 0, 0);
}
}  // namespace

// One request, shared by the waiting caller and WinHTTP's status callback. The caller frees it
// if HANDLE_CLOSING came before the call returned; else the callback frees it at HANDLE_CLOSING,
// and drops the module reference the caller took.
struct HttpRequest {
    enum class Floor { NotJudged, Met, Refused, OutOfMemory };
    static constexpr LONG kOpen = 0, kClosed = 1, kDetached = 2;
    // The operations, in the order a call makes them; one is in flight at a time.
    enum Op { kSend, kWrite, kReceive, kQuery, kRead, kOps };
    struct Slot {
        bool issued = false, done = false;  // issued: not yet taken by the caller's step
        DWORD error = 0, count = 0;
    };

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;  // what the caller waits for, or an earlier deadline
    HINTERNET handle = nullptr;                         // under lock; whoever takes it closes it, once
    LONG phase = kOpen;        // kClosed: HANDLE_CLOSING first; kDetached: the call returned first
    LONG closer = 0;           // the thread that closes the request at the call's end
    bool closedThere = false;  // HANDLE_CLOSING came on that thread, inside its close
    HMODULE pinned = nullptr;  // written before kDetached
    // Under lock.
    Slot slots[kOps];
    Op pending = kSend;   // the operation in flight
    Op awaited = kOps;    // the one the caller waits for
    int inCall = 0;       // WinHTTP calls on the handle in progress: the last to end closes it after a give-up
    bool gaveUp = false;  // the call stopped using the request: completions are ignored from then on
    Floor floor = Floor::NotJudged;
    StepLimits limits;
    int64_t budgetEnd = 0, deadline = 0, sentAt = 0;
    int64_t sleepUntil = 0;  // the deadline the caller sleeps to, 0 when awake
    bool resolving = false, connecting = false, connected = false;
    uint32_t bodySize = 0;
    // The response head, read where WinHTTP tells it is there.
    bool statusRead = false, lengthRead = false;
    DWORD status = 0;
    wchar_t length[32] = {};
    // What WinHTTP reads from or writes into until HANDLE_CLOSING.
    std::u16string headers;
    std::string body;
    std::vector<char> buffer;

    void Signal() { WakeConditionVariable(&wake); }
    // Under lock: the handle for one more WinHTTP call, or null once the call has given up.
    HINTERNET BeginCall() {
        if (gaveUp || handle == nullptr) return nullptr;
        ++inCall;
        return handle;
    }
    // Under lock: the call stops using the request; the handle to close now, or null while a
    // WinHTTP call on it is in progress (the end of that call closes it).
    HINTERNET GiveUp() {
        gaveUp = true;
        return inCall == 0 ? std::exchange(handle, nullptr) : nullptr;
    }
    // Not under lock: GiveUp, and the close it allows now.
    void StopUsing() {
        AcquireSRWLockExclusive(&lock);
        HINTERNET taken = GiveUp();
        ReleaseSRWLockExclusive(&lock);
        if (taken != nullptr) WinHttpCloseHandle(taken);
    }
    // Ends a WinHTTP call begun with BeginCall; a callback touches nothing of the request after
    // this (the call may have returned, and HANDLE_CLOSING freed it).
    void EndCall() {
        AcquireSRWLockExclusive(&lock);
        --inCall;
        HINTERNET taken = gaveUp && inCall == 0 ? std::exchange(handle, nullptr) : nullptr;
        ReleaseSRWLockExclusive(&lock);
        if (taken != nullptr) WinHttpCloseHandle(taken);
    }
};

namespace {

using Op = HttpRequest::Op;

// ---- WinHTTP's side, on whichever thread it calls from ----

// Starts `op` on the handle; false with WinHTTP's error if it is refused at once.
bool Start(HttpRequest* r, HINTERNET handle, Op op, void* readInto = nullptr, DWORD toRead = 0) {
    switch (op) {
        case HttpRequest::kSend:
            return WinHttpSendRequest(handle, Wide(r->headers.c_str()), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA,
                                      0, r->bodySize, reinterpret_cast<DWORD_PTR>(r)) != FALSE;
        case HttpRequest::kWrite: return WinHttpWriteData(handle, r->body.data(), r->bodySize, nullptr) != FALSE;
        case HttpRequest::kReceive: return WinHttpReceiveResponse(handle, nullptr) != FALSE;
        case HttpRequest::kQuery: return WinHttpQueryDataAvailable(handle, nullptr) != FALSE;
        case HttpRequest::kRead: return WinHttpReadData(handle, readInto, toRead, nullptr) != FALSE;
        default: return false;
    }
}

// Under lock: the operation that follows `op`'s success at once, on WinHTTP's thread, so that
// the exchange goes on without a trip to the caller's thread: the body once the head is out to
// a server that met the trust floor, the response once the body is out, and the first look at
// the body of a 200 response. kOps: none.
Op Next(const HttpRequest* r, Op op, DWORD count) {
    switch (op) {
        case HttpRequest::kSend:
            if (r->floor != HttpRequest::Floor::Met) return HttpRequest::kOps;
            return r->bodySize != 0 ? HttpRequest::kWrite : HttpRequest::kReceive;
        case HttpRequest::kWrite: return count == r->bodySize ? HttpRequest::kReceive : HttpRequest::kOps;
        case HttpRequest::kReceive: return r->statusRead && r->status == 200 ? HttpRequest::kQuery : HttpRequest::kOps;
        default: return HttpRequest::kOps;
    }
}

// The operation in flight has completed: its result is kept for the caller's step, and the
// exchange goes on where Next says. The caller is woken only for what it waits for or when the
// exchange stops here.
void Complete(HttpRequest* r, DWORD error, DWORD count) {
    AcquireSRWLockExclusive(&r->lock);
    if (r->gaveUp) {
        ReleaseSRWLockExclusive(&r->lock);
        return;
    }
    const Op op = r->pending;
    r->slots[op].done = true;
    r->slots[op].error = error;
    r->slots[op].count = count;
    const Op next = error == 0 ? Next(r, op, count) : HttpRequest::kOps;
    HINTERNET handle = nullptr;
    if (next != HttpRequest::kOps && (handle = r->BeginCall()) != nullptr) {
        r->slots[next] = {true, false, 0, 0};
        r->pending = next;
        if (next == HttpRequest::kWrite) {
            // The body's write is a step of its own, with the send's limits from now.
            r->budgetEnd = r->deadline = MonotonicMs() + r->limits.budgetMs;
        }
    }
    const bool wake = handle == nullptr || op == r->awaited;
    ReleaseSRWLockExclusive(&r->lock);
    // Woken once the lock is free: WinHTTP holds the request until this callback returns.
    if (wake) r->Signal();
    if (handle == nullptr) return;
    // "WinHTTP is not reentrant except during asynchronous completion callback": the next
    // operation is started here.
    if (!Start(r, handle, next)) {
        const DWORD refused = GetLastError();
        AcquireSRWLockExclusive(&r->lock);
        if (!r->gaveUp) {
            r->slots[next].done = true;
            r->slots[next].error = refused != 0 ? refused : ERROR_WINHTTP_INTERNAL_ERROR;
        }
        ReleaseSRWLockExclusive(&r->lock);
        r->Signal();
    }
    r->EndCall();
}

// The caller sleeps to its deadline: it is woken only when the deadline comes nearer.
void MoveDeadline(HttpRequest* r, int64_t deadline) {
    r->deadline = deadline;
    if (r->sleepUntil != 0 && deadline < r->sleepUntil) r->Signal();
}

// A phase begins (the first time this step hears of it): its deadline is its own time from now,
// within the step's.
void BeginPhase(HttpRequest* r, bool HttpRequest::*seen, int StepLimits::*timeoutMs) {
    AcquireSRWLockExclusive(&r->lock);
    if (!(r->*seen)) {
        r->*seen = true;
        MoveDeadline(r, std::min(MonotonicMs() + r->limits.*timeoutMs, r->budgetEnd));
    }
    ReleaseSRWLockExclusive(&r->lock);
}

// The handshake is done and nothing of the request is written yet.
void JudgeFloor(HttpRequest* r, HINTERNET request) {
    HttpRequest::Floor floor = HttpRequest::Floor::OutOfMemory;
    try {
        floor = MeetsTrustFloor(request) ? HttpRequest::Floor::Met : HttpRequest::Floor::Refused;
    } catch (const std::bad_alloc&) {
    }
    AcquireSRWLockExclusive(&r->lock);
    r->floor = floor;
    HINTERNET taken = nullptr;
    const bool refused = floor != HttpRequest::Floor::Met && !r->gaveUp;
    if (refused) {
        HttpRequest::Slot& slot = r->slots[r->pending];
        slot.done = true;
        slot.error = floor == HttpRequest::Floor::Refused ? ERROR_WINHTTP_SECURE_FAILURE : ERROR_NOT_ENOUGH_MEMORY;
        taken = r->GiveUp();
    }
    ReleaseSRWLockExclusive(&r->lock);
    if (refused) r->Signal();
    if (taken != nullptr) WinHttpCloseHandle(taken);
}

// The response head is in: its status and declared length are read here, where WinHTTP says
// they can be ("WinHttpQueryHeaders"), before the exchange goes on.
void HeadersIn(HttpRequest* r) {
    AcquireSRWLockExclusive(&r->lock);
    HINTERNET handle = r->BeginCall();
    ReleaseSRWLockExclusive(&r->lock);
    if (handle == nullptr) return;
    DWORD status = 0, size = sizeof status;
    const bool statusRead = WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    // As text: a declared length may not fit the 32-bit number form.
    wchar_t length[32] = {};
    size = sizeof length - sizeof length[0];
    const bool lengthRead = WinHttpQueryHeaders(handle, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                                                length, &size, WINHTTP_NO_HEADER_INDEX);
    AcquireSRWLockExclusive(&r->lock);
    r->statusRead = statusRead;
    r->status = status;
    r->lengthRead = lengthRead;
    std::memcpy(r->length, length, sizeof length);
    ReleaseSRWLockExclusive(&r->lock);
    Complete(r, 0, 0);
    r->EndCall();
}

// The last callback for the request.
void Closed(HttpRequest* r) {
    if (static_cast<DWORD>(InterlockedCompareExchange(&r->closer, 0, 0)) == GetCurrentThreadId()) {
        r->closedThere = true;
    }
    // The call still holds the request and frees it: nothing here touches it after this.
    if (InterlockedCompareExchange(&r->phase, HttpRequest::kClosed, HttpRequest::kOpen) == HttpRequest::kOpen) {
        return;
    }
    // The call returned first: the request is freed here, the module reference dropped later.
    HMODULE pinned = r->pinned;
    delete r;
    DropModuleLater(pinned);
}

void CALLBACK OnRequestStatus(HINTERNET handle, DWORD_PTR context, DWORD status, void* info, DWORD length) {
    if (context == 0) return;
    auto* r = reinterpret_cast<HttpRequest*>(context);
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
            return BeginPhase(r, &HttpRequest::resolving, &StepLimits::resolveMs);
        case WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER:
            return BeginPhase(r, &HttpRequest::connecting, &StepLimits::connectMs);
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
            return BeginPhase(r, &HttpRequest::connected, &StepLimits::sendMs);
        case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST: return JudgeFloor(r, handle);
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
            // The reply has its own time from now, as the steps after the send have.
            AcquireSRWLockExclusive(&r->lock);
            r->sentAt = MonotonicMs();
            MoveDeadline(r, r->sentAt + r->limits.receiveMs);
            ReleaseSRWLockExclusive(&r->lock);
            return;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE: return Complete(r, 0, 0);
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: return HeadersIn(r);
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            return Complete(r, 0, info != nullptr ? *static_cast<DWORD*>(info) : 0);
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: return Complete(r, 0, length);
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
            const DWORD error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
            return Complete(r, error != 0 ? error : ERROR_WINHTTP_INTERNAL_ERROR, 0);
        }
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: return Closed(r);
        default: return;
    }
}

constexpr DWORD kNotified = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                            WINHTTP_CALLBACK_FLAG_RESOLVE_NAME | WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
                            WINHTTP_CALLBACK_FLAG_SEND_REQUEST;

// ---- The caller's side ----

// One step of the caller's: `op` is started here unless the exchange already started it on
// WinHTTP's thread; then the caller waits, until the step's deadline (which WinHTTP's
// notifications may move), for `awaited` to complete or for the exchange to stop short of it.
// At the deadline the request is closed and the step fails with the timeout code. `count` gets
// the completion's number (bytes available, read or written).
bool Step(HttpRequest* r, Op op, Op awaited, const StepLimits& limits, DWORD* count, void* readInto = nullptr,
          DWORD toRead = 0) {
    AcquireSRWLockExclusive(&r->lock);
    r->limits = limits;
    r->budgetEnd = r->deadline = MonotonicMs() + limits.budgetMs;
    r->sentAt = 0;
    r->resolving = r->connecting = r->connected = false;
    r->awaited = awaited;
    HINTERNET handle = nullptr;
    const bool started = r->slots[op].issued;
    if (!started && (handle = r->BeginCall()) != nullptr) {
        r->slots[op] = {true, false, 0, 0};
        r->pending = op;
    }
    ReleaseSRWLockExclusive(&r->lock);
    if (!started) {
        if (handle == nullptr) {
            SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
            return false;
        }
        const bool accepted = Start(r, handle, op, readInto, toRead);
        const DWORD refused = GetLastError();
        if (!accepted) {
            // Refused at once: no completion follows.
            AcquireSRWLockExclusive(&r->lock);
            r->slots[op].issued = false;
            ReleaseSRWLockExclusive(&r->lock);
        }
        r->EndCall();
        if (!accepted) {
            SetLastError(refused);
            return false;
        }
    }
    AcquireSRWLockExclusive(&r->lock);
    for (;;) {
        // What the caller waits for, or the operation where the exchange stopped before it.
        const HttpRequest::Slot* end = nullptr;
        for (int at = op; at <= awaited && end == nullptr; ++at) {
            const HttpRequest::Slot& slot = r->slots[at];
            if (slot.done && (at == awaited || slot.error != 0 || !r->slots[at + 1].issued)) end = &slot;
        }
        if (end != nullptr) {
            const DWORD error = end->error;
            *count = end->count;
            for (int at = op; at <= awaited; ++at) r->slots[at].issued = false;
            const bool outOfMemory = r->floor == HttpRequest::Floor::OutOfMemory;
            ReleaseSRWLockExclusive(&r->lock);
            if (outOfMemory) throw std::bad_alloc();  // as for the reply: the export's catch-all
            SetLastError(error);
            return error == 0;
        }
        if (r->gaveUp) {
            // Stopped on another thread with nothing for this step.
            ReleaseSRWLockExclusive(&r->lock);
            SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
            return false;
        }
        const int64_t left = r->deadline - MonotonicMs();
        if (left <= 0) break;
        // Not alertable: no APC runs here.
        r->sleepUntil = r->deadline;
        SleepConditionVariableSRW(&r->wake, &r->lock, static_cast<DWORD>(left), 0);
        r->sleepUntil = 0;
    }
    HINTERNET taken = r->GiveUp();
    ReleaseSRWLockExclusive(&r->lock);
    if (taken != nullptr) WinHttpCloseHandle(taken);
    SetLastError(ERROR_WINHTTP_TIMEOUT);
    return false;
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
    // WinHTTP's worker threads may still be tearing a request down after its last callback:
    // WinHTTP stays loaded for the process's life, even after the host has unloaded this module.
    static const bool kWinHttpPinned = [] {
        HMODULE winhttp = nullptr;
        return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"winhttp.dll", &winhttp) != FALSE;
    }();
    (void)kWinHttpPinned;
    HINTERNET session =
        proxy != nullptr ? WinHttpOpen(Wide(agent), WINHTTP_ACCESS_TYPE_NAMED_PROXY, Wide(proxy),
                                       bypass != nullptr ? Wide(bypass) : WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)
                         : WinHttpOpen(Wide(agent), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (session == nullptr) return nullptr;
    // TLS 1.2 or later only, TLS 1.3 too where the system knows it, and redirects never
    // followed. A session that cannot be held to that is not used.
    constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, kTls13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    // Which setting WinHTTP refused (a Windows without TLS 1.2 in WinHTTP fails the first), and
    // that no connection is made: the call then gives NETWORK_ERROR.
    const char* refused = nullptr;
    if (!SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12 | kTls13) &&
        !SetDwordOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, kTls12)) {
        refused = "WINHTTP_OPTION_SECURE_PROTOCOLS (TLS 1.2 or later)";
    } else if (!SetDwordOption(session, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
        refused = "WINHTTP_OPTION_REDIRECT_POLICY (never)";
    }
    if (refused == nullptr) return Seam<HttpSession>(session);
    const DWORD error = GetLastError();
    char line[160];
    std::snprintf(line, sizeof line,
                  "SendPostRequestTo: WinHttpSetOption %s FAILED, GetLastError = %lu: no connection made\n", refused,
                  error);
    Trace(line);
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
    HINTERNET handle = WinHttpOpenRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    // Its own connection, closed with it; one connection attempt, which the connect phase bounds
    // whatever WinHTTP does (some implementations accept the option and ignore it). The callback
    // comes last: from then on HANDLE_CLOSING comes for the request.
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(request);
    if (handle != nullptr) SetDwordOption(handle, WINHTTP_OPTION_CONNECT_RETRIES, 1);
    if (handle != nullptr && SetDwordOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_KEEP_ALIVE) &&
        WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
        WinHttpSetStatusCallback(handle, OnRequestStatus, kNotified, 0) != WINHTTP_INVALID_STATUS_CALLBACK) {
        request->handle = handle;
        return request;
    }
    const DWORD error = GetLastError();
    if (handle != nullptr) WinHttpCloseHandle(handle);  // no callback set: none comes
    delete request;
    SetLastError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

bool SendRequest(HttpRequest* request, const char16_t* headers, const void* body, uint32_t bodySize,
                 const StepLimits& limits, int64_t* receivingSinceMs) {
    // Copies that WinHTTP may read until HANDLE_CLOSING (std::bad_alloc: memory ran out).
    request->headers = headers;
    request->body.assign(static_cast<const char*>(body), bodySize);
    request->bodySize = bodySize;
    // The head goes out alone (the body's length announced), judged at SENDING_REQUEST; only a
    // server that met the trust floor is then written the body, which carries the user key,
    // started on WinHTTP's thread as soon as the head is out.
    const Op last = bodySize != 0 ? HttpRequest::kWrite : HttpRequest::kSend;
    DWORD count = 0;
    bool sent = Step(request, HttpRequest::kSend, last, limits, &count);
    DWORD error = sent ? 0 : GetLastError();
    AcquireSRWLockExclusive(&request->lock);
    const bool judged = request->floor != HttpRequest::Floor::NotJudged;
    const bool written = request->slots[HttpRequest::kWrite].done;
    const int64_t sentAt = request->sentAt;
    ReleaseSRWLockExclusive(&request->lock);
    // Where WinHTTP did not tell SENDING_REQUEST, the floor is judged here, before the body.
    if (sent && !judged && !MeetsTrustFloor(request->handle)) {
        request->StopUsing();
        sent = false;
        error = ERROR_WINHTTP_SECURE_FAILURE;
    }
    if (sent && bodySize != 0 && !written) {
        sent = Step(request, HttpRequest::kWrite, HttpRequest::kWrite, limits, &count);
        error = sent ? 0 : GetLastError();
    }
    if (sent && bodySize != 0 && count != bodySize) {
        sent = false;
        error = ERROR_WINHTTP_CONNECTION_ERROR;
    }
    // The receive phase counts from when the request went out, where WinHTTP told it.
    *receivingSinceMs = sentAt != 0 ? sentAt : MonotonicMs();
    SetLastError(error);
    return sent;
}

bool ReceiveResponse(HttpRequest* request, const StepLimits& limits) {
    DWORD count = 0;
    return Step(request, HttpRequest::kReceive, HttpRequest::kReceive, limits, &count);
}

// Read when the head came in (HEADERS_AVAILABLE), before the caller's step returned.
bool QueryStatusCode(HttpRequest* request, uint32_t* statusCode) {
    if (!request->statusRead) {
        SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
        return false;
    }
    *statusCode = request->status;
    return true;
}

bool QueryContentLength(HttpRequest* request, uint64_t* length) {
    if (!request->lengthRead) return false;
    uint64_t value = 0;
    const wchar_t* digit = request->length;
    for (; *digit >= L'0' && *digit <= L'9'; ++digit) {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<uint64_t>(*digit - L'0');
    }
    if (digit == request->length || *digit != L'\0') return false;
    *length = value;
    return true;
}

bool QueryDataAvailable(HttpRequest* request, uint32_t* available, const StepLimits& limits) {
    DWORD count = 0;
    const bool ok = Step(request, HttpRequest::kQuery, HttpRequest::kQuery, limits, &count);
    *available = ok ? count : 0;
    return ok;
}

// Into the request's own buffer, which outlives a read still pending at a deadline, then copied.
bool ReadData(HttpRequest* request, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits& limits) {
    if (request->buffer.size() < toRead) request->buffer.resize(toRead);  // std::bad_alloc, as for the reply
    DWORD count = 0;
    const bool ok =
        Step(request, HttpRequest::kRead, HttpRequest::kRead, limits, &count, request->buffer.data(), toRead);
    *read = ok ? std::min<DWORD>(count, toRead) : 0;
    if (*read != 0) std::memcpy(buffer, request->buffer.data(), *read);
    return ok;
}

// Closed once, whoever closes it. A call whose request is closed with nothing pending gets
// HANDLE_CLOSING inside its own close, and frees the request. Otherwise WinHTTP may still run the
// status callback on another thread: the module stays loaded until a second after it has.
void CloseRequest(HttpRequest* request) {
    InterlockedExchange(&request->closer, static_cast<LONG>(GetCurrentThreadId()));
    request->StopUsing();
    if (InterlockedCompareExchange(&request->phase, 0, 0) == HttpRequest::kClosed && request->closedThere) {
        delete request;
        return;
    }
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<const wchar_t*>(&OnRequestStatus),
                       &module);
    request->pinned = module;
    if (InterlockedCompareExchange(&request->phase, HttpRequest::kDetached, HttpRequest::kOpen) == HttpRequest::kOpen) {
        return;
    }
    // HANDLE_CLOSING came on another thread, whose callback may not have returned yet.
    delete request;
    DropModuleLater(module);
}
void CloseConnection(HttpConnection* connection) { WinHttpCloseHandle(Native(connection)); }
void CloseSession(HttpSession* session) { WinHttpCloseHandle(Native(session)); }

unsigned long LastError() { return GetLastError(); }

}  // namespace halvane::platform
