// What the WinHTTP deadline keeper's calls cost, each timed alone in a loop: making and
// closing a thread-pool timer (once per request), arming and disarming it with the wait for
// callbacks (once per blocking step), and setting an open request's timeouts (on a step
// whose budget is short of them, and on each look).
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <initializer_list>

namespace {

void CALLBACK Never(PTP_CALLBACK_INSTANCE, void*, PTP_TIMER) {}

template <typename Op>
void Time(const char* name, int count, Op op) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) op(i);
    QueryPerformanceCounter(&end);
    const double us =
        1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("%-52s %9.2f us\n", name, us / count);
}

}  // namespace

int main() {
    constexpr int kCount = 20000;
    std::printf("keeper steps, %d-bit, %d each (time per operation)\n", static_cast<int>(8 * sizeof(void*)), kCount);
    Time("CreateThreadpoolTimer + CloseThreadpoolTimer", kCount,
         [](int) { CloseThreadpoolTimer(CreateThreadpoolTimer(Never, nullptr, nullptr)); });
    PTP_TIMER timer = CreateThreadpoolTimer(Never, nullptr, nullptr);
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-250LL * 10000);  // 250 ms from now, never reached
    FILETIME when{due.LowPart, due.HighPart};
    Time("SetThreadpoolTimer arm + disarm + WaitForCallbacks", kCount, [&](int) {
        SetThreadpoolTimer(timer, &when, 0, 0);
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
    });
    CloseThreadpoolTimer(timer);
    HINTERNET session = WinHttpOpen(L"Halvane/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = session ? WinHttpConnect(session, L"localhost", 443, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"POST", L"/", nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                   : nullptr;
    if (request == nullptr) return 1;
    Time("WinHttpSetTimeouts on an open request", kCount,
         [&](int i) { WinHttpSetTimeouts(request, 15000 - i % 2, 15000, 15000, 20000 - i % 2); });
    for (HINTERNET handle : {request, connection, session}) WinHttpCloseHandle(handle);
    return 0;
}
