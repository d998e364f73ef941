#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "cli/version_info_win32.h"
#include "module_loader.h"

namespace halvane::cli {

namespace {
std::wstring Wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string Narrow(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

class Win32Module : public LoadedModule {
public:
    explicit Win32Module(HMODULE module) : module_(module) {}
    ~Win32Module() override { FreeLibrary(module_); }
    Win32Module(const Win32Module&) = delete;
    Win32Module& operator=(const Win32Module&) = delete;
    void* Find(const char* name) const override { return reinterpret_cast<void*>(GetProcAddress(module_, name)); }
    std::vector<std::string> Describe() const override {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(module_, path, MAX_PATH);
        const std::wstring file(path, length < MAX_PATH ? length : 0);
        std::vector<std::string> lines{Narrow(file.c_str())};
        std::string error;
        const auto info = ReadVersionInfo(file, error);
        if (!info) {
            lines.push_back(error);
            return lines;
        }
        for (const auto& [name, value] : info->strings) lines.push_back(name + ": " + value);
        return lines;
    }

private:
    HMODULE module_;
};
}  // namespace

std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error) {
    // The default is halvane.dll from this program's own folder.
    std::wstring file = Wide(path);
    if (file.empty()) {
        wchar_t self[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring dir(self, length);
        file = dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"halvane.dll";
    }
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        error = "cannot load " + Narrow(file.c_str()) + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    return std::make_unique<Win32Module>(module);
}

std::vector<std::string> CommandLine(int, char**) {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

void WriteOutput(const std::string& text) {
    // The result text's bytes exactly: no CR added before line feeds.
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace halvane::cli
