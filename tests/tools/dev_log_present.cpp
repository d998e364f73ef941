// Preloaded by the CLI tests on POSIX: reports the syslog socket /dev/log as present, so that
// the module writes its trace lines to syslog on a machine without one. Every other path
// reaches the C library's access.
#include <dlfcn.h>

#include <cstring>

extern "C" __attribute__((visibility("default"))) int access(const char* path, int mode) noexcept {
    if (path != nullptr && std::strcmp(path, "/dev/log") == 0) return 0;
    using Access = int (*)(const char*, int);
    static const auto real = reinterpret_cast<Access>(dlsym(RTLD_NEXT, "access"));
    return real(path, mode);
}
