// The 32-bit module's unwind tables stay with the unwinder linked into it (32-bit builds
// only, linked with -Wl,--wrap=_imp__GetModuleHandleA@4: ld names the import slot
// __imp__GetModuleHandleA@4 without its leading underscore there).
//
// The DW2 start-up code of a 32-bit MinGW module (crtbegin.o, __gcc_register_frame) asks
// GetModuleHandleA("libgcc_s_dw2-1.dll") and, when a host or another plugin has loaded that
// shared libgcc, calls LoadLibraryA on it and registers the module's tables there instead of
// with the static unwinder the module throws through. A C++ exception inside a call then
// finds no frame and aborts the host (exit code 3) instead of ending as "ERROR". That code
// runs in the module's start-up under the loader lock, where Microsoft's "Dynamic-Link
// Library Best Practices" lists, among the tasks never to perform: "Call LoadLibrary or
// LoadLibraryEx (either directly or indirectly). This can cause a deadlock or a crash."
//
// So every GetModuleHandleA the module makes comes here first: the shared libgcc's name is
// answered "not loaded", whatever the process holds, and every other name is passed through.
// The tables then always go to the module's own unwinder and no LoadLibrary runs at start-up.
#include <windows.h>

namespace {

using GetModuleHandleAFunction = HMODULE(WINAPI*)(LPCSTR);

bool IsSharedLibgcc(LPCSTR name) {
    if (name == nullptr) return false;
    static constexpr char kName[] = "libgcc_s_dw2-1.dll";
    for (int i = 0;; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kName[i]) return false;
        if (c == '\0') return true;
    }
}

}  // namespace

// The import slot itself, and the one every reference in the module reads instead.
extern "C" {
extern const GetModuleHandleAFunction gRealGetModuleHandleA __asm__("___real__imp__GetModuleHandleA@4");
HMODULE WINAPI HalvaneGetModuleHandleA(LPCSTR name) {
    if (!IsSharedLibgcc(name)) return gRealGetModuleHandleA(name);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}
extern const GetModuleHandleAFunction gWrappedGetModuleHandleA __asm__("___wrap__imp__GetModuleHandleA@4");
const GetModuleHandleAFunction gWrappedGetModuleHandleA = HalvaneGetModuleHandleA;
}
