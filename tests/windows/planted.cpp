// A harmless DLL that the DLL-search test plants in the current folder.
#include <windows.h>

extern "C" __declspec(dllexport) int planted() { return 42; }
