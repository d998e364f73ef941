// Another debug-output viewer, for the tests: holds the system's debug-output buffer and
// its two events, prints "listening", collects every line written until its standard input
// closes, then prints them.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

int main() {
    HANDLE objects[3] = {CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"),
                         CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"),
                         CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER")};
    const auto* view = static_cast<const char*>(
        objects[2] != nullptr ? MapViewOfFile(objects[2], FILE_MAP_READ, 0, 0, 4096) : nullptr);
    if (objects[0] == nullptr || objects[1] == nullptr || view == nullptr) {
        std::fprintf(stderr, "debug_listener: cannot hold the debug-output buffer (%lu)\n", GetLastError());
        return 1;
    }
    std::atomic<bool> done{false};
    std::thread input([&done] {
        while (std::getchar() != EOF) {
        }
        done = true;
    });
    std::string seen;
    SetEvent(objects[0]);
    std::printf("listening\n");
    std::fflush(stdout);
    while (!done) {
        if (WaitForSingleObject(objects[1], 50) != WAIT_OBJECT_0) continue;
        seen += view + sizeof(DWORD);
        SetEvent(objects[0]);
    }
    input.join();
    std::fputs(seen.c_str(), stdout);
    return 0;
}
