// Placeholder: replaced by the real implementation.
#include "input/input.h"

void midiFlush(MidiPort *) {}
DWORD midiFlushLocked(MidiPort *, DWORD_PTR) { return 0; }
void FreeHeldBlocks(MidiPort *) {}
