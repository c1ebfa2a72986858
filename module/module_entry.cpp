// The library's entry points: the exported factory and, on Windows, the DLL
// entry. The device object registry is created empty by static initialisation
// when the library loads and emptied, without deleting anything, when it
// unloads.
#include "lighting/lighting_system.h"
#include "lightvol.h"

extern "C" LIGHTVOL_API ILightingSystem* LIGHTVOL_CDECL create_ILightingSystem() {
    return new LightingSystem();
}

#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
#endif
