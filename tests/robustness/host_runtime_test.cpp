// A host that loaded the toolchain's shared libgcc before the module (as a MinGW plugin with a
// shared runtime does) still gets "ERROR" and a normal return from a call that fails inside
// with a C++ exception: the reply (hostile_peer.py's many_chunks, 4 MiB) needs an allocation
// that the address space, filled but for 2 MiB holes, cannot give.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "halvane.h"
#include "service_record.h"

namespace {

std::string Status(HMODULE module) {
    const auto call =
        reinterpret_cast<decltype(&GetTodayStatus)>(reinterpret_cast<void*>(GetProcAddress(module, "GetTodayStatus")));
    wchar_t result[256] = L"";
    call(L"host", L"1", result, 256);
    return std::string(result, result + wcslen(result));
}

TEST(HostRuntime, ExceptionInsideACallAfterTheSharedLibgcc) {
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    folder.resize(folder.find_last_of(L'\\') + 1);
    ASSERT_NE(LoadLibraryExW((folder + L"shared-runtime\\" HALVANE_SHARED_LIBGCC).c_str(), nullptr,
                             LOAD_WITH_ALTERED_SEARCH_PATH),  // its imports beside it
              nullptr);
    const HMODULE module = LoadLibraryW((folder + L"halvane.dll").c_str());
    ASSERT_NE(module, nullptr);
    // Under Wine the C library loads what a thread's end needs at the first end, not later.
    std::thread([] {}).join();
    EXPECT_EQ(Status(module), "not_completed");
    if (sizeof(void*) == 8) GTEST_SKIP() << "64-bit Wine keeps a byte per reserved page: 128 TiB would take 32 GiB";

    // Holes fenced off from each other, then everything else reserved, then the holes freed.
    constexpr SIZE_T kHole = 2 << 20, kFence = 64 << 10, kHoles = 24;
    std::vector<void*> reserved, holes;
    reserved.reserve(1 << 16);
    auto* area = static_cast<char*>(VirtualAlloc(nullptr, kHoles * (kHole + kFence), MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(area, nullptr);
    VirtualFree(area, 0, MEM_RELEASE);
    for (SIZE_T i = 0; i < kHoles; ++i) {
        holes.push_back(VirtualAlloc(area + i * (kHole + kFence), kHole, MEM_RESERVE, PAGE_NOACCESS));
        reserved.push_back(VirtualAlloc(area + i * (kHole + kFence) + kHole, kFence, MEM_RESERVE, PAGE_NOACCESS));
    }
    for (SIZE_T size = SIZE_T{1} << 30; size >= kFence; size /= 2) {
        while (void* range = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS)) reserved.push_back(range);
    }
    for (void* hole : holes) VirtualFree(hole, 0, MEM_RELEASE);
    const std::string starved = Status(module);
    for (void* range : reserved) VirtualFree(range, 0, MEM_RELEASE);

    EXPECT_EQ(starved, "ERROR");
    EXPECT_EQ(Status(module), "not_completed");
    // Each request went out whole: the starved call failed on its reply, not before.
    const auto record = halvane::test::ReadServiceRecord();
    ASSERT_EQ(record.size(), 3u);
    for (const auto& request : record) EXPECT_FALSE(request.body.empty());
}

}  // namespace
