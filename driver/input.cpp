// Placeholder until the input driver messages are written.
#include "driver/driver.h"

extern "C" DWORD APIENTRY midMessage(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}
