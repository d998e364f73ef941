// A host that loads the built module, calls it and unloads it at once, against peers that
// leave WinHTTP work pending after the call returned: a server below the trust floor (its
// request still being written) many times, then one that answers nothing and closes only after
// the call's deadline. Each time the module stays loaded until WinHTTP's last callback, then
// goes, and the process survives; an APC the host queued to its thread before the slow call
// runs only when the host waits alertably, never inside the call.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "halvane.h"

namespace {

using Status = void(HALVANE_CALL*)(const HalvaneChar*, const HalvaneChar*, HalvaneChar*, int32_t);
using Clock = std::chrono::steady_clock;

void SetPeerMode(const char* mode) {
    const char* control = std::getenv("HALVANE_HOSTILE_CONTROL");
    ASSERT_NE(control, nullptr) << "run under hostile_peer.py";
    std::ofstream(control, std::ios::trunc) << mode;
}

bool Loaded() { return GetModuleHandleW(L"halvane.dll") != nullptr; }

// Loads the module, makes one status call, unloads it; the call's result.
std::wstring CallAndUnload() {
    HMODULE module = LoadLibraryW(L"halvane.dll");
    EXPECT_NE(module, nullptr);
    if (module == nullptr) return L"";
    auto status = reinterpret_cast<Status>(reinterpret_cast<void*>(GetProcAddress(module, "GetTodayStatus")));
    wchar_t result[256] = {};
    if (status != nullptr) status(L"unload", L"1", result, 256);
    FreeLibrary(module);
    return result;
}

// Whether the module is gone within `seconds` (WinHTTP's last callback has come).
bool UnloadedWithin(double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Loaded() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !Loaded();
}

bool gApcRan = false;
void CALLBACK HostApc(ULONG_PTR) { gApcRan = true; }

TEST(Unload, AfterCallsThatLeftWorkPending) {
    ASSERT_FALSE(Loaded());
    SetPeerMode("weak_rsa1024_leaf");
    int pinned = 0;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(CallAndUnload(), L"ERROR");
        pinned += Loaded() ? 1 : 0;
        ASSERT_TRUE(UnloadedWithin(10)) << "call " << i << ": the module stayed loaded";
    }
    std::cout << "[ figures  ] refused servers: the module outlived " << pinned << " of 20 calls\n";

    SetPeerMode("late_close");
    ASSERT_TRUE(QueueUserAPC(HostApc, GetCurrentThread(), 0));
    const auto start = Clock::now();
    EXPECT_EQ(CallAndUnload(), L"ERROR");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_FALSE(gApcRan) << "the host's APC ran inside the call";
    // The peer closes 23 s after the request: until then WinHTTP's read is pending.
    EXPECT_TRUE(Loaded()) << "unloaded while WinHTTP's read was pending";
    EXPECT_TRUE(UnloadedWithin(15)) << "the module stayed loaded after WinHTTP's last callback";
    SleepEx(0, TRUE);
    EXPECT_TRUE(gApcRan);
    std::cout << "[ figures  ] timed-out call: " << seconds << " s\n";
}

}  // namespace
