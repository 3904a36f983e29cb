// The library entry point: only process attach and detach arrive, since
// thread notifications are switched off at attach.
#include "driver/driver.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        return DriverProcessAttach(module);
    DriverProcessDetach();
    return TRUE;
}
