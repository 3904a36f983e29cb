// Placeholder: replaced by the real implementation.
#include "net/net.h"

DWORD OutputWrite(const BYTE *, int, MidiPort *) { return MMSYSERR_ERROR; }
