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
// Marks a connection as requested and starts the thread for port; null (with
// the system's error kept for the caller to log) when it cannot start.
HANDLE StartConnectionThread(MidiPort *port);

// Output writer
DWORD OutputWrite(const BYTE *data, int count, MidiPort *port);

// Receive loop
void MidiThread(DWORD_PTR port);
DWORD midiInPutBuffer(RecvBuffer *buffer, MidiPort *port);
void CALLBACK InOvl(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD flags);
// Carries out one command of an input port's thread, on that thread, with
// mmDrvCritSec held; *closing is set when a Close may end the thread.
DWORD RunPortCommand(MidiPort *port, DWORD command, DWORD_PTR argument, BOOL *closing);
