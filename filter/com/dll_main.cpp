// Entry point of Vantrel.dll; the library needs nothing done at load or unload.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
