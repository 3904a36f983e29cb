// Placeholder: replaced by the real implementation.
#include "net/net.h"

void MidiThread(DWORD_PTR) {}
DWORD midiInPutBuffer(RecvBuffer *, MidiPort *) { return MMSYSERR_ERROR; }
void CALLBACK InOvl(DWORD, DWORD, LPWSAOVERLAPPED, DWORD) {}
