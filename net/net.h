// Network transport: the packet, sockets, connection thread, output writer
// and receive loop.
#pragma once

#include "driver/driver.h"

#pragma pack(push, 1)
struct MidiPacket {
    DWORD SenderId;    // little-endian on the wire, as stored
    DWORD Sequence;
    DWORD ShowNumber;
    DWORD Groups;
    BYTE Data[PacketDataMax];
};
#pragma pack(pop)
static_assert(sizeof(MidiPacket) == PacketSizeMax, "packet layout");

// Sockets
void socketRebuild(SOCKET *socket, MidiPort *port);
void socketCleanUp(MidiPort *port);
DWORD sndTranslateStatus();

// TCP connection thread
DWORD WINAPI connectionThread(LPVOID port);

// Output writer
DWORD OutputWrite(const BYTE *data, int count, MidiPort *port);

// Receive loop
void MidiThread(DWORD_PTR port);
DWORD midiInPutBuffer(RecvBuffer *buffer, MidiPort *port);
void CALLBACK InOvl(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD flags);
