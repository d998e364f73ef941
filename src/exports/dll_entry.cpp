// The DLL's entry point: nothing beyond the runtime's own start-up and shut-down.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
