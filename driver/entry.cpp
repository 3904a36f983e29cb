// Placeholder until the driver entry is written.
#include "driver/driver.h"

BOOL DriverProcessAttach(HINSTANCE module)
{
    DriverModule = module;
    return TRUE;
}

void DriverProcessDetach() {}

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                       LPARAM param1, LPARAM param2)
{
    return DefDriverProc(driverId, driver, message, param1, param2);
}
