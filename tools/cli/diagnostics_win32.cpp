// --trace on Windows: the module's OutputDebugStringA lines, read through the system's
// debug-output buffer the way a debug viewer reads them; WinHTTP error texts; the current
// user's proxy settings as WinHTTP hands them to the module.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "cli/diagnostics.h"
#include "common/utf_text.h"
#include "platform/unique_handle.h"

namespace halvane::cli {

namespace {

using Handle = platform::UniqueHandle<HANDLE, CloseHandle>;
using View = platform::UniqueHandle<void*, UnmapViewOfFile>;

// The buffer's layout: the writer's process id, then its NUL-terminated text.
constexpr DWORD kBufferSize = 4096;
// How long the listener waits for a line before it looks whether it should stop.
constexpr DWORD kPollMs = 50;

std::string Narrow(const wchar_t* text) {
    return text != nullptr ? text::ToUtf8(reinterpret_cast<const char16_t*>(text)) : std::string();
}

// Creates a named object that no other listener may already hold. False when it exists.
template <typename Create>
bool CreateOwn(Handle& handle, Create create, std::string& note, const char* name) {
    SetLastError(ERROR_SUCCESS);
    handle.reset(create());
    const DWORD error = GetLastError();
    if (!handle) {
        note = std::string("the trace could not be captured: cannot create ") + name + " (error " +
               std::to_string(error) + ")";
        return false;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        handle.reset();
        note =
            "the trace could not be captured: another program (a debug-output viewer or debugger) "
            "is reading the debug output; the trace lines go to it";
        return false;
    }
    return true;
}

class DebugBufferCapture : public TraceCapture {
public:
    bool Open(std::string& note) {
        if (IsDebuggerPresent()) {
            note = "the trace could not be captured: a debugger is attached and receives the trace lines";
            return false;
        }
        // The writer side opens the buffer first, then the two events, so the buffer is made
        // last, once both events are ours.
        if (!CreateOwn(
                bufferReady_, [] { return CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"); }, note,
                "DBWIN_BUFFER_READY") ||
            !CreateOwn(
                dataReady_, [] { return CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"); }, note,
                "DBWIN_DATA_READY") ||
            !CreateOwn(
                mapping_,
                [] {
                    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                              L"DBWIN_BUFFER");
                },
                note, "DBWIN_BUFFER")) {
            return false;
        }
        view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, kBufferSize));
        if (!view_) {
            note = "the trace could not be captured: cannot map DBWIN_BUFFER (error " + std::to_string(GetLastError()) +
                   ")";
            return false;
        }
        try {
            listener_ = std::thread([this] { Listen(); });
        } catch (const std::exception&) {
            note = "the trace could not be captured: no thread to read the debug output";
            return false;
        }
        return true;
    }

    ~DebugBufferCapture() override {
        if (listener_.joinable()) Stop();
    }

    std::vector<std::string> Stop() override {
        stop_ = true;
        if (listener_.joinable()) listener_.join();
        return std::move(lines_);
    }

private:
    // One line is in the buffer at a time: the writer waits for "buffer ready", writes and
    // signals "data ready". Every line a call wrote was signalled before the call returned,
    // so once a stop is requested at most one line, already signalled, is left to read.
    void Listen() noexcept {
        const DWORD self = GetCurrentProcessId();
        const auto* buffer = static_cast<const char*>(view_.get());
        SetEvent(bufferReady_.get());
        for (;;) {
            const bool stopping = stop_;
            const DWORD waited = WaitForSingleObject(dataReady_.get(), stopping ? 0 : kPollMs);
            if (waited == WAIT_OBJECT_0) {
                DWORD pid = 0;
                std::memcpy(&pid, buffer, sizeof pid);
                if (pid == self) {
                    const char* line = buffer + sizeof pid;
                    try {
                        lines_.emplace_back(line, strnlen(line, kBufferSize - sizeof pid));
                    } catch (...) {
                        // Out of memory: the line is lost, the listener goes on.
                    }
                }
                SetEvent(bufferReady_.get());
            } else if (waited != WAIT_TIMEOUT) {
                return;
            }
            if (stopping) return;
        }
    }

    Handle bufferReady_;
    Handle dataReady_;
    Handle mapping_;
    View view_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> lines_;
    std::thread listener_;
};

struct CodeText {
    unsigned long code;
    const char* name;
    const char* meaning;
};

// Wine's winhttp.dll has no message table, so the common codes carry their own text.
constexpr CodeText kWinHttpCodes[] = {
    {ERROR_WINHTTP_OUT_OF_HANDLES, "ERROR_WINHTTP_OUT_OF_HANDLES", "no more handles could be generated"},
    {ERROR_WINHTTP_TIMEOUT, "ERROR_WINHTTP_TIMEOUT", "the request timed out"},
    {ERROR_WINHTTP_INTERNAL_ERROR, "ERROR_WINHTTP_INTERNAL_ERROR", "an internal error occurred in WinHTTP"},
    {ERROR_WINHTTP_INVALID_URL, "ERROR_WINHTTP_INVALID_URL", "the URL is invalid"},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "ERROR_WINHTTP_UNRECOGNIZED_SCHEME", "the URL scheme is not recognized"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "ERROR_WINHTTP_NAME_NOT_RESOLVED", "the server name could not be resolved"},
    {ERROR_WINHTTP_SHUTDOWN, "ERROR_WINHTTP_SHUTDOWN", "WinHTTP is shutting down"},
    {ERROR_WINHTTP_OPERATION_CANCELLED, "ERROR_WINHTTP_OPERATION_CANCELLED", "the operation was cancelled"},
    {ERROR_WINHTTP_INCORRECT_HANDLE_STATE, "ERROR_WINHTTP_INCORRECT_HANDLE_STATE",
     "the handle is in the wrong state for the operation"},
    {ERROR_WINHTTP_CANNOT_CONNECT, "ERROR_WINHTTP_CANNOT_CONNECT",
     "the connection to the server could not be made (nothing listens there, or a firewall or proxy refused it)"},
    {ERROR_WINHTTP_CONNECTION_ERROR, "ERROR_WINHTTP_CONNECTION_ERROR",
     "the connection with the server was reset or ended"},
    {ERROR_WINHTTP_RESEND_REQUEST, "ERROR_WINHTTP_RESEND_REQUEST", "the request must be sent again"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, "ERROR_WINHTTP_SECURE_CERT_DATE_INVALID",
     "the server's certificate has expired or is not yet valid"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, "ERROR_WINHTTP_SECURE_CERT_CN_INVALID",
     "the server's certificate is for another host name"},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, "ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED",
     "the server asks for a client certificate"},
    {ERROR_WINHTTP_SECURE_INVALID_CA, "ERROR_WINHTTP_SECURE_INVALID_CA",
     "the server's certificate was issued by an authority this computer does not trust"},
    {ERROR_WINHTTP_SECURE_CERT_REV_FAILED, "ERROR_WINHTTP_SECURE_CERT_REV_FAILED",
     "the revocation of the server's certificate could not be checked"},
    {ERROR_WINHTTP_HEADER_NOT_FOUND, "ERROR_WINHTTP_HEADER_NOT_FOUND", "the header was not found"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "ERROR_WINHTTP_INVALID_SERVER_RESPONSE",
     "the server's response could not be parsed (not HTTP, or cut short)"},
    {ERROR_WINHTTP_REDIRECT_FAILED, "ERROR_WINHTTP_REDIRECT_FAILED", "the redirection failed"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "ERROR_WINHTTP_SECURE_CHANNEL_ERROR",
     "the secure channel (TLS) could not be set up"},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, "ERROR_WINHTTP_SECURE_INVALID_CERT", "the server's certificate is invalid"},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, "ERROR_WINHTTP_SECURE_CERT_REVOKED",
     "the server's certificate has been revoked"},
    {ERROR_WINHTTP_SECURE_FAILURE, "ERROR_WINHTTP_SECURE_FAILURE",
     "the server's certificate failed validation, or TLS failed"},
    {ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE, "ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE",
     "the server's certificate is not valid for server authentication"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", "a parameter is invalid"},
};

// The system's own text for a code, from winhttp.dll's message table or the system's.
std::string SystemText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
    DWORD length = 0;
    if (winhttp != nullptr) {
        length = FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, winhttp, code, 0,
                                reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    }
    if (length == 0 && (code < WINHTTP_ERROR_BASE || code > WINHTTP_ERROR_LAST)) {
        length = FormatMessageW(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, reinterpret_cast<wchar_t*>(&text),
                                0, nullptr);
    }
    std::string narrow = length != 0 ? Narrow(text) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!narrow.empty() &&
           (narrow.back() == '\n' || narrow.back() == '\r' || narrow.back() == ' ' || narrow.back() == '.')) {
        narrow.pop_back();
    }
    return narrow;
}

}  // namespace

std::unique_ptr<TraceCapture> StartTraceCapture(std::string& note) {
    auto capture = std::make_unique<DebugBufferCapture>();
    if (!capture->Open(note)) return nullptr;
    return capture;
}

std::string ExplainErrorCode(unsigned long code) {
    const CodeText* known = nullptr;
    for (const CodeText& entry : kWinHttpCodes) {
        if (entry.code == code) known = &entry;
    }
    const std::string system = SystemText(code);
    if (known != nullptr) return std::string(known->name) + ": " + (system.empty() ? known->meaning : system);
    if (!system.empty()) return system;
    return code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST ? "a WinHTTP error without a description"
                                                                    : "an error without a description";
}

std::string DescribeProxySettings() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config;
    ZeroMemory(&config, sizeof config);
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        return "direct (the current user's proxy settings could not be read, error " + std::to_string(GetLastError()) +
               ")";
    }
    std::string text;
    if (config.lpszProxy != nullptr) {
        text = "proxy " + Narrow(config.lpszProxy) +
               (config.lpszProxyBypass != nullptr ? ", bypass list " + Narrow(config.lpszProxyBypass)
                                                  : ", no bypass list");
    } else if (config.lpszAutoConfigUrl != nullptr || config.fAutoDetect) {
        text = "direct (the settings only ask for automatic configuration";
        if (config.lpszAutoConfigUrl != nullptr) text += " from " + Narrow(config.lpszAutoConfigUrl);
        text += ", which the module does not use)";
    } else {
        text = "direct";
    }
    for (wchar_t* owned : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass}) {
        if (owned != nullptr) GlobalFree(owned);
    }
    return text;
}

}  // namespace halvane::cli
