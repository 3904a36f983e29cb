// Network transport: sockets, the TCP connection thread, the output writer
// and the receive loop with the input port's thread.
#pragma once

#include "input/input.h"

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

// The input port's thread and its receive loop (net/receive.cpp).
enum : DWORD {  // threadcall commands
    CmdAddBuffer = 1,
    CmdSetState = 2,
    CmdClose = 4,
    CmdMidiConnect = 6,
};
enum : DWORD {  // SetState arguments
    StateStop = 1,
    StateStart = 3,
    StateReset = 4,
};
DWORD StartInputThread(MidiPort *port);
// Ends the port's thread: MIDIERR_STILLPLAYING while client buffers are
// queued or when asked from the thread itself (a client callback).
DWORD StopInputThread(MidiPort *port);
DWORD threadcall(DWORD command, DWORD_PTR argument, MidiPort *port);
DWORD RunPortCommand(MidiPort *port, DWORD command, DWORD_PTR argument, BOOL *closing);
void MidiThread(DWORD_PTR port);
DWORD midiInPutBuffer(RecvBuffer *buffer, MidiPort *port);
void CALLBACK InOvl(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD flags);
void midiFlush(MidiPort *port);
DWORD midiFlushLocked(MidiPort *port, DWORD_PTR unused);
// Closing the socket cancels a receive still posted into the record; true
// once it has landed, so the record may go back to the heap.
bool ReceiveHasEnded(MidiPort *port);
