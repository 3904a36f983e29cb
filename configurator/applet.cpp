// Placeholder until the Control Panel applet is written.
#include "configurator/configurator.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM)
{
    return 0;
}
