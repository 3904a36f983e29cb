// Input processing: packet acceptance, de-duplication, joining, and the
// MIDI stream parser that delivers to the client.
#pragma once

#include "driver/driver.h"

void midiFlush(MidiPort *port);
DWORD midiFlushLocked(MidiPort *port, DWORD_PTR unused);
void FreeHeldBlocks(MidiPort *port);

void ParseMidiByte(MidiPort *port, BYTE b);
void PutLongByte(MidiPort *port, BYTE b);
void ReturnPartialLongBuffer(MidiPort *port);
void ReturnAllLongBuffers(MidiPort *port);
