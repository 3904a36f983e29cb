// Placeholder: replaced by the real implementation.
#include "input/input.h"

void ParseMidiByte(MidiPort *, BYTE) {}
void PutLongByte(MidiPort *, BYTE) {}
void ReturnPartialLongBuffer(MidiPort *) {}
void ReturnAllLongBuffers(MidiPort *) {}
