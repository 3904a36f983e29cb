// Placeholder: replaced by the real implementation.
#include "driver/driver.h"

DWORD CountDevices(DWORD) { return 0; }
Unit *IndexToUnit(DWORD, DWORD) { return nullptr; }
DWORD GetDevCaps(DWORD, DWORD, void *, DWORD) { return MMSYSERR_BADDEVICEID; }
DWORD PortTableQuery(DWORD, DWORD, void *, DWORD) { return MMSYSERR_BADDEVICEID; }
