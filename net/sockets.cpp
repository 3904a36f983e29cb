// Placeholder: replaced by the real implementation.
#include "net/net.h"

void socketRebuild(SOCKET *, MidiPort *) {}
void socketCleanUp(MidiPort *) {}
DWORD sndTranslateStatus() { return MMSYSERR_ERROR; }
