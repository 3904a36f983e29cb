// Placeholder: replaced by the real implementation.
#include "driver/driver.h"

DWORD midiOpen(DWORD, DWORD, DWORD_PTR *, const MIDIOPENDESC *, DWORD) { return MMSYSERR_ERROR; }
DWORD sndOpenDev(DWORD, DWORD, SOCKET *, MidiPort *) { return MMSYSERR_ERROR; }
void midiCleanUp(MidiPort *) {}
DWORD ComputeBroadcastAddress(DWORD, DWORD, const INTERFACE_INFO *, int) { return 0; }
