// The library entry point. Thread notifications cannot be switched off for a
// library with static thread-local storage (the C runtime brings some), so
// they do arrive: only process detach tears the driver down.
#include "driver/driver.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        return DriverProcessAttach(module);
    if (reason == DLL_PROCESS_DETACH)
        DriverProcessDetach();
    return TRUE;
}
