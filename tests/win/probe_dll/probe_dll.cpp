// A DLL that is not Wine's: copied under the name of one of Wine's builtin
// DLLs next to a test program, it is what "native" loads.
#include <windows.h>

extern "C" __declspec(dllexport) int qv_probe_native(void) { return 42; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
