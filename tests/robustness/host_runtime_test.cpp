// A host that loaded the toolchain's shared libgcc before the module (as any MinGW-built
// plugin with a shared runtime does) still gets "ERROR" and a normal return from a call that
// fails inside with a C++ exception: the reply (hostile_peer.py's many_chunks, 4 MiB) needs
// an allocation that the address space, filled but for holes of 2 MiB, cannot give.
#include <gtest/gtest.h>
#include <windows.h>

#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "halvane.h"
#include "service_record.h"

namespace {

// The folder this program was started from, with its separator.
std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Every free range of the address space reserved, but for kHoles holes of kHole bytes
// (room for the heap to grow and for the TLS stack, none for a 4 MiB reply), while it lives.
class AddressSpaceFilled {
public:
    static constexpr SIZE_T kHole = 2 << 20, kFence = 64 << 10;
    static constexpr int kHoles = 24;

    AddressSpaceFilled() {
        reserved_.reserve(1 << 16);
        // Each hole is fenced off from the next, so that released holes never merge.
        char* area = static_cast<char*>(Reserve(nullptr, kHoles * (kHole + kFence)));
        if (area == nullptr) return;
        VirtualFree(area, 0, MEM_RELEASE);
        std::vector<void*> holes;
        for (int i = 0; i < kHoles; ++i) {
            holes.push_back(Reserve(area + i * (kHole + kFence), kHole));
            reserved_.push_back(Reserve(area + i * (kHole + kFence) + kHole, kFence));
        }
        for (SIZE_T size = SIZE_T{1} << (sizeof(void*) == 8 ? 46 : 30); size >= kFence; size /= 2) {
            while (void* range = Reserve(nullptr, size)) reserved_.push_back(range);
        }
        for (void* hole : holes) VirtualFree(hole, 0, MEM_RELEASE);
    }
    ~AddressSpaceFilled() {
        for (void* range : reserved_) VirtualFree(range, 0, MEM_RELEASE);
    }

private:
    static void* Reserve(void* at, SIZE_T size) { return VirtualAlloc(at, size, MEM_RESERVE, PAGE_NOACCESS); }
    std::vector<void*> reserved_;
};

std::string Status(decltype(&GetTodayStatus) call) {
    wchar_t result[256] = L"";
    call(L"host", L"1", result, 256);
    return std::string(result, result + wcslen(result));
}

TEST(HostRuntime, ExceptionInsideACallAfterTheSharedLibgcc) {
    const std::wstring folder = ProgramFolder();
    // Its imports are found beside it.
    ASSERT_NE(LoadLibraryExW((folder + L"shared-runtime\\" HALVANE_SHARED_LIBGCC).c_str(), nullptr,
                             LOAD_WITH_ALTERED_SEARCH_PATH),
              nullptr);
    const HMODULE module = LoadLibraryW((folder + L"halvane.dll").c_str());
    ASSERT_NE(module, nullptr);
    const auto status =
        reinterpret_cast<decltype(&GetTodayStatus)>(reinterpret_cast<void*>(GetProcAddress(module, "GetTodayStatus")));
    ASSERT_NE(status, nullptr);

    // The reply is whole and verifies, before the address space is filled and after. A thread
    // ends first: under Wine the C library loads what a thread's end needs then, not later.
    std::thread([] {}).join();
    EXPECT_EQ(Status(status), "not_completed");
    // 64-bit Wine keeps a byte per reserved page: filling 128 TiB would take it 32 GiB.
    if (sizeof(void*) == 8 && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "the 64-bit address space cannot be filled under Wine";
    }
    std::string starved;
    {
        AddressSpaceFilled filled;
        starved = Status(status);
    }
    EXPECT_EQ(starved, "ERROR");
    EXPECT_EQ(Status(status), "not_completed");
    // Each request went out whole: the starved call failed on its reply, not before.
    const auto record = halvane::test::ReadServiceRecord();
    ASSERT_EQ(record.size(), 3u);
    for (const auto& request : record) EXPECT_FALSE(request.body.empty());
    std::cout << "[ outcome  ] starved call: \"" << starved << "\", " << record.size() << " requests at the peer\n";
}

}  // namespace
