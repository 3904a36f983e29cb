// Placeholder until the output driver messages are written.
#include "driver/driver.h"

extern "C" DWORD APIENTRY modMessage(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    return MMSYSERR_NOTSUPPORTED;
}
