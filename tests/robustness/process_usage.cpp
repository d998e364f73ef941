#include "process_usage.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdlib>
#include <vector>
#else
#include <dirent.h>
#include <malloc.h>

#include <fstream>
#include <string>
#endif

namespace halvane::test {

#ifdef _WIN32

namespace {

// One row of NtQuerySystemInformation's SystemHandleInformation (class 16).
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry entries[1];
};
using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

// Wine answers GetProcessHandleCount with 0; the system handle table is right on both.
long CountFromSystemTable() {
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    long count = 0;
    const ULONG self = GetCurrentProcessId();
    for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].ownerPid == self ? 1 : 0;
    return count;
}

}  // namespace

MemoryUsage CurrentMemoryUsage() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return {};
    MemoryUsage usage{counters.WorkingSetSize, counters.PeakWorkingSetSize};
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) usage.inUse += entry.cbData;
        }
        HeapUnlock(heap);
    }
    return usage;
}

bool ResetPeakMemory() { return false; }

int WineMajorVersion() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto version =
        ntdll == nullptr
            ? nullptr
            : reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    return version == nullptr ? 0 : std::max(1, std::atoi(version()));  // "8.0", "10.0"
}

long OpenHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return static_cast<long>(count);
    return CountFromSystemTable();
}

#else

MemoryUsage CurrentMemoryUsage() {
    MemoryUsage usage;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        // "VmRSS:     1234 kB"
        const auto kib = [&line] { return static_cast<std::size_t>(std::stoul(line.substr(6))) * 1024; };
        if (line.rfind("VmRSS:", 0) == 0) usage.resident = kib();
        if (line.rfind("VmHWM:", 0) == 0) usage.peak = kib();
    }
    const struct mallinfo2 heap = mallinfo2();
    usage.inUse = heap.uordblks + heap.hblkhd;
    return usage;
}

bool ResetPeakMemory() {
    // "5" resets the peak resident size (VmHWM) to the current one.
    std::ofstream refs("/proc/self/clear_refs");
    refs << "5";
    refs.close();
    return refs.good();
}

long OpenHandleCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    long count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count - 3;  // ".", ".." and the directory being read
}

int WineMajorVersion() { return 0; }

#endif

}  // namespace halvane::test
