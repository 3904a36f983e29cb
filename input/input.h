// Input processing of an open input port, over the data-path core: the
// acceptance of a received packet (show and groups, duplicates, joining)
// and the MIDI stream parser that delivers to the port's client.
#pragma once

#include "input/port.h"

// Points the port's core sink at its client (at the open).
void InitInputSink(MidiPort *port);
// One received packet of `length` bytes: accepted or refused, and parsed.
void AcceptReceived(MidiPort *port, const BYTE *packet, DWORD length);
void FreeHeldBlocks(MidiPort *port);

void ParseMidiByte(MidiPort *port, BYTE b);
void PutLongByte(MidiPort *port, BYTE b);
void ReturnPartialLongBuffer(MidiPort *port);
void ReturnAllLongBuffers(MidiPort *port);
