#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>

#include "module_loader.h"

namespace halvane::cli {

namespace {
class PosixModule : public LoadedModule {
public:
    explicit PosixModule(void* handle) : handle_(handle) {}
    ~PosixModule() override { dlclose(handle_); }
    PosixModule(const PosixModule&) = delete;
    PosixModule& operator=(const PosixModule&) = delete;
    void* Find(const char* name) const override { return dlsym(handle_, name); }
    std::vector<std::string> Describe() const override {
        link_map* map = nullptr;
        const bool named = dlinfo(handle_, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr;
        return {named ? map->l_name : "libhalvane.so", "a shared object: no version resource"};
    }

private:
    void* handle_;
};

// libhalvane.so beside this program.
std::string DefaultPath() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "libhalvane.so";
    std::string dir(self, static_cast<std::size_t>(length));
    return dir.substr(0, dir.rfind('/') + 1) + "libhalvane.so";
}
}  // namespace

std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error) {
    const std::string file = path.empty() ? DefaultPath() : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot load " + file;
        return nullptr;
    }
    return std::make_unique<PosixModule>(handle);
}

std::vector<std::string> CommandLine(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

void WriteOutput(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace halvane::cli
