// The run-time record of an open port (MidiPort, with an input port's
// receive state) and the driver-wide state that the network and input
// layers share. Records only: no routine of the driver is declared here
// beyond the client notification they all use.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <stddef.h>

#include "config/config.h"
#include "core/accept.h"

enum : DWORD {
    MidiInDevice = 3,
    MidiOutDevice = 4,
};

struct MidiPort;
struct Transport;

// The one receive buffer of an input port. Overlapped comes first so the
// completion routine can turn its WSAOVERLAPPED pointer back into the buffer.
struct RecvBuffer {
    WSAOVERLAPPED Overlapped;
    DWORD BytesReceived;
    sockaddr_in From;
    INT FromLength;
    RecvBuffer *Next;
    DWORD Done;            // 0 posted/idle, 1 completed with data, 2 completed empty
    MidiPort *Owner;
    ULONGLONG ArrivalTime; // 100 ns units since StartCounter
    DWORD RecvFlags;       // receive flags: the system may write them at completion
    BYTE Packet[PacketSizeMax];
};

// Receive-side state of an input port. Touched only by the port's own
// thread (MidiThread), on which every completion routine also runs.
struct InState {
    BYTE Bad;             // posting a receive failed: completions are dropped
    BYTE Posted;          // a receive is outstanding on Buffer
    BYTE Flushing;        // midiFlush is running (a client callback may re-enter)
    RecvBuffer *RecvQueue;
    RecvBuffer Buffer;
    AcceptState Accept;   // senders seen lately and their held messages
    ParserState Parser;   // Parser.Started: the client has started input
    CoreSink Sink;        // how the core reaches this port's client
    // Received packets by what acceptance made of them (indexed by
    // Acceptance): the only record of what a port dropped and why, logged
    // at the close and read by the robustness program. Counted by the
    // port's thread; others may read them without a lock (single words).
    volatile DWORD Outcomes[AcceptanceCount];
};

struct MidiPort {
    DWORD DeviceId;
    DWORD DeviceType;
    Unit *pUnit;
    DWORD SenderId;
    DWORD Sequence;
    ULONGLONG StartCounter;
    ULONGLONG CounterFrequency;
    DWORD BroadcastAddress;      // network order
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    HMIDI hMidi;
    sockaddr_in PeerAddress;
    SOCKET AcceptSocket;
    SOCKET WorkSocket;           // socket being built by socketRebuild
    SOCKET Socket;
    MIDIHDR *ClientBuffers;      // changed only on the port's thread
    HANDLE Event;
    // Command block of the port's thread: written by threadcall under
    // threadCritSec, read by the thread after AuxEvent1.
    volatile LONG CommandPending;  // set before AuxEvent1, cleared when taken
    DWORD Command;
    DWORD_PTR CommandArg;
    HANDLE ThreadHandle;
    HANDLE AuxEvent1;            // command waiting
    HANDLE AuxEvent2;            // command done (and: thread started)
    DWORD CommandResult;
    DWORD dwFlags;
    InState *pIn;
    DWORD RunningLength;
    WSABUF RecvWsaBuf;
    const Transport *Transport;  // chosen at the open
    BYTE HoldsWinsock;           // this port holds one wsacount reference
    BYTE ThreadEnded;            // the port's thread has ended: no command can run
    DWORD ThreadId;              // id of MidiThread, to run its own requests inline
    // Client calls inside the driver with this record, and whether the port
    // is closed; both under mmDrvCritSec. A closed record goes back to the
    // heap when the last of those calls leaves (driver/ports.cpp).
    LONG Users;
    BYTE Closed;
    InState In;                  // input ports only: output records stop before it
};

constexpr SIZE_T OutputPortSize = offsetof(MidiPort, In);
constexpr SIZE_T InputPortSize = sizeof(MidiPort);

// Serialises the commands to input ports' threads: one command is in
// flight in the whole driver at a time. Taken only by threadcall, never
// while mmDrvCritSec is held.
extern CRITICAL_SECTION threadCritSec;

// The TCP connection: one per loaded driver, shared by all its ports.
// Plain values without a lock: the writer and the port open poll them
// while the connection thread (which takes no lock) sets them.
extern volatile BYTE connected;       // the connection is up
extern volatile BYTE connectenabled;  // connection attempts are allowed
extern volatile BYTE recued;          // a connection thread was started, not connected yet
extern volatile BYTE teardown;        // the socket must be rebuilt before the next attempt
extern volatile LONG connthreads;     // connection threads inside their body
extern HANDLE connthread;             // the last connection thread started
extern MidiPort *connport;            // the port the connection serves
extern RecvBuffer *connbuffer;        // TCP input: the receive to post after an accept
extern LONG wsacount;                 // Winsock references held by ports

// Client notification: every message to a port's client leaves here
// (defined with the entry points).
void midiCallBack(MidiPort *port, DWORD message, DWORD_PTR param1, DWORD_PTR param2);
