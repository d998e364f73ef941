// The HTTPS steps on libcurl (OpenSSL backend). libcurl runs a whole exchange in one call,
// so the request is performed when it is sent, and the outcome is handed out step by step
// in the way WinHTTP reports it: a failure before the request went out fails the send, a
// failure while waiting for the response head fails the receive, a failure inside the body
// fails a read, and a non-200 body is never downloaded.
//
// Timeouts bound each phase as a whole, however slowly the peer trickles: libcurl's own
// limits hold the whole exchange (CURLOPT_TIMEOUT_MS, every phase's timeout added up) and
// resolving plus connecting (CURLOPT_CONNECTTIMEOUT_MS); the progress callback, run on every
// turn of a transfer loop that also wakes when the current phase ends, ends each phase on
// time: name resolution, connect, sending (TLS handshake included) from the moment the
// connection stands, and receiving the whole reply from the moment the request is out.
// Heads, trailers and bodies are held to the reply limits while they arrive.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/trust_floor.h"
#include "platform/unique_handle.h"

#ifndef HALVANE_CA_BUNDLE
#define HALVANE_CA_BUNDLE ""
#endif

namespace halvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

thread_local unsigned long tLastError = 0;

std::string Narrow(const char16_t* text) {
    if (text == nullptr) return {};
    int size = WideToUtf8(text, nullptr, 0);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideToUtf8(text, out.data(), size);
    out.resize(static_cast<std::size_t>(size) - 1);
    return out;
}

char16_t* WideCopy(const char* text) {
    int length = Utf8ToWide(text, nullptr, 0);
    if (length <= 0) return nullptr;
    auto* copy = new char16_t[static_cast<std::size_t>(length)];
    Utf8ToWide(text, copy, length);
    return copy;
}

}  // namespace

struct HttpSession {
    std::string agent;
    bool namedProxy = false;
    std::string proxy;
    std::string bypass;
    long resolveMs = 0, connectMs = 0, sendMs = 0, receiveMs = 0;
};

struct HttpConnection {
    const HttpSession* session = nullptr;
    std::string host;
    uint16_t port = 0;
};

struct HttpRequest {
    UniqueHandle<CURL*, curl_easy_cleanup> easy;
    UniqueHandle<curl_slist*, curl_slist_free_all> headers;
    long resolveMs = 0, connectMs = 0, sendMs = 0, receiveMs = 0;
    curl_off_t bodySize = 0;

    // What the exchange produced.
    CURLcode result = CURLE_OK;
    bool outOfMemory = false;  // a callback could not store what arrived
    bool timedOut = false;
    bool tooLarge = false;     // the head, the trailers or the body passed its limit
    bool requestSent = false;  // the request head and the whole body went out
    bool headSeen = false;     // a final (non-1xx) response head arrived
    long status = 0;
    std::string body;
    std::size_t readPosition = 0;

    // Phase bookkeeping.
    Clock::time_point started{};
    long sendBudgetMs = 0;  // resolving, connecting and sending together
    bool sentSeen = false;
    Clock::time_point sentAt{};
    std::size_t headBytes = 0, trailerBytes = 0;
};

namespace {

long ElapsedMs(Clock::time_point since, Clock::time_point now) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count());
}

// A phase's end as libcurl times it (CURLINFO_*_TIME_T): microseconds since the transfer
// began, 0 while it has not come.
curl_off_t InfoMicros(CURL* easy, CURLINFO info) {
    curl_off_t micros = 0;
    if (curl_easy_getinfo(easy, info, &micros) != CURLE_OK) return 0;
    return micros;
}

bool Fail(unsigned long code) {
    tLastError = code;
    return false;
}

template <typename Handle>
Handle* Failed(unsigned long code) {
    tLastError = code;
    return nullptr;
}

// Callbacks run inside libcurl's C code: nothing may be thrown through it. They allocate
// nothing but the body, and a body that cannot be stored stops the transfer; the send step
// then reports the memory exhaustion the way the rest of the module does.
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* request = static_cast<HttpRequest*>(user);
    const std::size_t bytes = size * count;
    // 1xx heads count with the final head; what follows the final head is trailers.
    std::size_t& held = request->headSeen ? request->trailerBytes : request->headBytes;
    held += bytes;
    if (held > kReplyHeadLimit) {
        request->tooLarge = true;
        return 0;
    }
    if (request->headSeen) return bytes;
    std::string_view line(data, bytes);
    if (line.rfind("HTTP/", 0) == 0) {
        // "HTTP/1.1 200 OK": the three digits after the first space.
        const std::size_t space = line.find(' ');
        long status = 0;
        for (std::size_t i = space + 1; space != std::string_view::npos && i < line.size() && i <= space + 3; ++i) {
            if (line[i] < '0' || line[i] > '9') break;
            status = status * 10 + (line[i] - '0');
        }
        request->status = status;
    } else if (line == "\r\n" || line == "\n") {
        if (request->status >= 200) {
            request->headSeen = true;
            if (request->status != 200) return 0;  // stop: a non-200 body is not read
            // A body declared over the limit is not read either; the length says why.
            curl_off_t declared = -1;
            curl_easy_getinfo(request->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
            if (declared > static_cast<curl_off_t>(kReplyBodyLimit)) return 0;
        }
    }
    return bytes;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* request = static_cast<HttpRequest*>(user);
    const std::size_t bytes = size * count;
    try {
        if (AppendWithinLimit(request->body, data, bytes)) return bytes;
        request->tooLarge = true;
    } catch (...) {
        request->outOfMemory = true;
    }
    return 0;
}

// The request is out once libcurl is past its pre-transfer point and has sent the whole body.
bool RequestOut(HttpRequest* request, curl_off_t uploaded) {
    return InfoMicros(request->easy.get(), CURLINFO_PRETRANSFER_TIME_T) > 0 && uploaded >= request->bodySize;
}

// Milliseconds left in the phase the exchange is in: 0 or less once it is over.
long MsLeft(HttpRequest* request, Clock::time_point now) {
    if (request->sentSeen) return request->receiveMs - ElapsedMs(request->sentAt, now);
    CURL* easy = request->easy.get();
    const long budgetLeft = request->sendBudgetMs - ElapsedMs(request->started, now);
    const curl_off_t connected = InfoMicros(easy, CURLINFO_CONNECT_TIME_T);
    const curl_off_t resolved = InfoMicros(easy, CURLINFO_NAMELOOKUP_TIME_T);
    const curl_off_t phaseEnd = connected > 0  ? connected + curl_off_t{request->sendMs} * 1000
                                : resolved > 0 ? resolved + curl_off_t{request->connectMs} * 1000
                                               : curl_off_t{request->resolveMs} * 1000;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - request->started).count();
    return std::min(budgetLeft, static_cast<long>((phaseEnd - micros + 999) / 1000));
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) noexcept {
    auto* request = static_cast<HttpRequest*>(user);
    const auto now = Clock::now();
    if (!request->sentSeen && RequestOut(request, ulnow)) {
        request->sentSeen = true;
        request->sentAt = now;
    }
    if (MsLeft(request, now) > 0) return 0;
    request->timedOut = true;
    return 1;
}

// Runs the whole exchange. curl_easy_perform looks in on a silent transfer only once a second,
// so a phase could end up to a second late; this loop also wakes when the phase ends, and the
// progress callback, which runs on every turn, ends it there.
CURLcode Perform(HttpRequest* request) {
    CURL* easy = request->easy.get();
    UniqueHandle<CURLM*, curl_multi_cleanup> multi(curl_multi_init());
    if (!multi) return CURLE_OUT_OF_MEMORY;
    const auto failed = [](CURLMcode code) {
        return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_BAD_FUNCTION_ARGUMENT;
    };
    if (const CURLMcode code = curl_multi_add_handle(multi.get(), easy); code != CURLM_OK) return failed(code);
    CURLcode result = CURLE_OK;
    for (int running = 1;;) {
        CURLMcode code = curl_multi_perform(multi.get(), &running);
        if (code == CURLM_OK && running != 0) {
            const long wait = std::clamp(MsLeft(request, Clock::now()), 1L, 1000L);
            code = curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait), nullptr);
        }
        if (code != CURLM_OK) result = failed(code);
        if (code != CURLM_OK || running == 0) break;
    }
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE) result = message->data.result;
    }
    curl_multi_remove_handle(multi.get(), easy);
    return result;
}

bool CurlReady() {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    return init == CURLE_OK;
}

}  // namespace

bool QueryProxySettings(ProxySettings* settings) {
    // The current user's proxy settings are the environment libcurl itself would read.
    const char* proxy = nullptr;
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            proxy = value;
            break;
        }
    }
    const char* bypass = std::getenv("no_proxy");
    if (bypass == nullptr) bypass = std::getenv("NO_PROXY");
    // Both copies are made before either is handed over, so a failed allocation leaks none.
    using ProxyString = UniqueHandle<char16_t*, FreeProxyString>;
    ProxyString proxyCopy(proxy != nullptr ? WideCopy(proxy) : nullptr);
    ProxyString bypassCopy(bypass != nullptr && *bypass != '\0' ? WideCopy(bypass) : nullptr);
    settings->autoConfigUrl = nullptr;
    settings->proxy = proxyCopy.release();
    settings->proxyBypass = bypassCopy.release();
    return true;
}

void FreeProxyString(char16_t* text) { delete[] text; }

HttpSession* OpenSession(const char16_t* agent, const char16_t* proxy, const char16_t* bypass) {
    if (!CurlReady()) return Failed<HttpSession>(CURLE_FAILED_INIT);
    auto session = std::make_unique<HttpSession>();
    session->agent = Narrow(agent);
    session->namedProxy = proxy != nullptr;
    session->proxy = Narrow(proxy);
    session->bypass = Narrow(bypass);
    return session.release();
}

void SetTimeouts(HttpSession* s, int resolveMs, int connectMs, int sendMs, int receiveMs) {
    s->resolveMs = resolveMs;
    s->connectMs = connectMs;
    s->sendMs = sendMs;
    s->receiveMs = receiveMs;
}

HttpConnection* Connect(HttpSession* session, const char16_t* host, uint16_t port) {
    auto connection = std::make_unique<HttpConnection>();
    connection->session = session;
    connection->host = Narrow(host);
    connection->port = port;
    if (connection->host.empty()) return Failed<HttpConnection>(CURLE_URL_MALFORMAT);
    return connection.release();
}

HttpRequest* OpenRequest(HttpConnection* c, const char16_t* verb, const char16_t* path) {
    const HttpSession& s = *c->session;
    auto request = std::make_unique<HttpRequest>();
    request->easy.reset(curl_easy_init());
    if (!request->easy) return Failed<HttpRequest>(CURLE_FAILED_INIT);
    CURL* easy = request->easy.get();

    const bool literalV6 = c->host.find(':') != std::string::npos;
    const std::string url =
        "https://" + (literalV6 ? "[" + c->host + "]" : c->host) + ":" + std::to_string(c->port) + Narrow(path);
    const std::string method = Narrow(verb);
    CURLcode rc = CURLE_OK;
    auto set = [&rc](CURLcode code) {
        if (rc == CURLE_OK) rc = code;
    };
    set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https"));
    set(curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
    set(curl_easy_setopt(easy, CURLOPT_USERAGENT, s.agent.c_str()));
    if (method != "POST") set(curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str()));
    // Certificate and host name are always verified.
    set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L));
    if (std::strlen(HALVANE_CA_BUNDLE) != 0) set(curl_easy_setopt(easy, CURLOPT_CAINFO, HALVANE_CA_BUNDLE));
    // A named proxy from the settings, or none at all (an empty name also stops libcurl
    // from reading the environment on its own).
    set(curl_easy_setopt(easy, CURLOPT_PROXY, s.namedProxy ? s.proxy.c_str() : ""));
    if (s.namedProxy) set(curl_easy_setopt(easy, CURLOPT_NOPROXY, s.bypass.c_str()));
    // The proxy's answer to the tunnel is never taken for the server's response head.
    set(curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
    set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    // TLS 1.2 or later only, and the module's trust floor whatever the host's policy (a
    // libcurl without OpenSSL cannot hold it, and is not used).
    set(curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    set(curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, HoldTrustFloor));
    set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, s.resolveMs + s.connectMs));
    set(curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, s.resolveMs + s.connectMs + s.sendMs + s.receiveMs));
    request->resolveMs = s.resolveMs;
    request->connectMs = s.connectMs;
    request->sendMs = s.sendMs;
    request->receiveMs = s.receiveMs;
    set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader));
    set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, request.get()));
    set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody));
    set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, request.get()));
    set(curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnProgress));
    set(curl_easy_setopt(easy, CURLOPT_XFERINFODATA, request.get()));
    if (rc != CURLE_OK) return Failed<HttpRequest>(rc);
    return request.release();
}

bool SendRequest(HttpRequest* r, const char16_t* headers, const void* body, uint32_t bodySize, const StepLimits& limits,
                 int64_t* receivingSinceMs) {
    // The whole exchange runs here under its own phase limits: what follows only hands out
    // what arrived.
    struct AtReturn {
        int64_t* since;
        ~AtReturn() { *since = MonotonicMs(); }
    } atReturn{receivingSinceMs};
    CURL* easy = r->easy.get();

    // The caller's header lines, plus empty "Accept:" and "Expect:" so that libcurl adds
    // neither: the server sees what WinHTTP would send.
    r->headers.reset();
    auto append = [r](const std::string& line) {
        curl_slist* grown = curl_slist_append(r->headers.get(), line.c_str());
        if (grown == nullptr) return false;
        r->headers.release();
        r->headers.reset(grown);
        return true;
    };
    const std::string text = Narrow(headers);
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end > start && !append(text.substr(start, end - start))) return Fail(CURLE_OUT_OF_MEMORY);
        start = end + 2;
    }
    if (!append("Accept:") || !append("Expect:")) return Fail(CURLE_OUT_OF_MEMORY);
    r->bodySize = bodySize;
    static const char kEmpty[] = "";
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r->headers.get());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, bodySize != 0 ? static_cast<const char*>(body) : kEmpty);

    r->started = Clock::now();
    r->sendBudgetMs = static_cast<long>(limits.budgetMs);
    r->result = Perform(r);
    const std::string shortfall = TakeTrustShortfall();
    if (r->result != CURLE_OK && !shortfall.empty()) {
        Trace(("SendPostRequestTo: below the trust floor: " + shortfall + "\n").c_str());
    }
    long tunnel = 0;  // the proxy's status for the tunnel, 0 without one
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (r->result != CURLE_OK && tunnel != 0 && (tunnel < 200 || tunnel > 299)) {
        Trace(("SendPostRequestTo: the proxy refused the tunnel: HTTP " + std::to_string(tunnel) + "\n").c_str());
    }
    if (r->outOfMemory) throw std::bad_alloc();
    if (r->tooLarge) std::string().swap(r->body);  // nothing of a reply over the limit is passed on
    curl_off_t uploaded = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    r->requestSent = r->sentSeen || RequestOut(r, uploaded);
    if (r->result == CURLE_OK || r->requestSent || r->headSeen) return true;
    return Fail(r->timedOut ? CURLE_OPERATION_TIMEDOUT : r->result);
}

bool ReceiveResponse(HttpRequest* r, const StepLimits&) {
    if (r->headSeen) return true;
    return Fail(r->timedOut ? CURLE_OPERATION_TIMEDOUT : r->result != CURLE_OK ? r->result : CURLE_GOT_NOTHING);
}

bool QueryStatusCode(HttpRequest* r, uint32_t* statusCode) {
    if (!r->headSeen || r->status <= 0) return Fail(CURLE_BAD_FUNCTION_ARGUMENT);
    *statusCode = static_cast<uint32_t>(r->status);
    return true;
}

bool QueryContentLength(HttpRequest* r, uint64_t* length) {
    curl_off_t declared = -1;
    if (curl_easy_getinfo(r->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) != CURLE_OK || declared < 0) {
        return false;
    }
    *length = static_cast<uint64_t>(declared);
    return true;
}

bool QueryDataAvailable(HttpRequest* r, uint32_t* available, const StepLimits&) {
    constexpr std::size_t kChunk = 64 * 1024;
    const std::size_t left = r->body.size() - r->readPosition;
    if (left != 0) {
        *available = static_cast<uint32_t>(std::min(left, kChunk));
    } else {
        // A transfer that broke inside the body still owes bytes: the next read reports it.
        *available = r->result == CURLE_OK ? 0 : 1;
    }
    return true;
}

bool ReadData(HttpRequest* r, void* buffer, uint32_t toRead, uint32_t* read, const StepLimits&) {
    *read = 0;
    const std::size_t left = r->body.size() - r->readPosition;
    if (left == 0) {
        if (r->result == CURLE_OK) return true;
        return Fail(r->timedOut ? CURLE_OPERATION_TIMEDOUT : r->result);
    }
    const std::size_t count = std::min<std::size_t>(left, toRead);
    std::memcpy(buffer, r->body.data() + r->readPosition, count);
    r->readPosition += count;
    *read = static_cast<uint32_t>(count);
    return true;
}

void CloseRequest(HttpRequest* request) { delete request; }
void CloseConnection(HttpConnection* connection) { delete connection; }
void CloseSession(HttpSession* session) { delete session; }

unsigned long LastError() { return tLastError; }

}  // namespace halvane::platform
