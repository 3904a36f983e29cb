// Driver-wide types, tables and locks shared by every subsystem.
//
// The driver is plain functions over plain records: the port table
// `pUnits`, the per-open record `MidiPort`, and a handful of driver-wide
// flags. Everything here is declared once and defined in driver/state.cpp.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>
#include <stddef.h>

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

enum : DWORD {
    MidiInDevice = 3,
    MidiOutDevice = 4,
};

constexpr int UnitTableSize = 128;  // records in pUnits
constexpr int UnitsInUse = 127;     // slots 0..126 are ports; 127 is overflow only
constexpr DWORD DirectionInput = 0x4000;   // Server%d subkey
constexpr DWORD DirectionOutput = 0x8000;  // Client%d subkey

constexpr u_short NetworkPort = 12555;
constexpr int PacketHeaderSize = 16;
constexpr int PacketDataMax = 384;
constexpr int PacketSizeMax = PacketHeaderSize + PacketDataMax;  // 400

constexpr DWORD CALLBACK_DIRECT = 0x00060000;  // driver-private callback type
constexpr DWORD CallbackTypeMask = 0x00070000;

constexpr int MaxSenders = 100;
constexpr int MaxClientBuffers = 101;

// threadcall commands
enum : DWORD {
    CmdAddBuffer = 1,
    CmdSetState = 2,
    CmdClose = 4,
    CmdMidiConnect = 6,
};
// SetState arguments
enum : DWORD {
    StateStop = 1,
    StateStart = 3,
    StateReset = 4,
};

// Private port-table messages of modMessage / midMessage.
enum : UINT {
    MODM_PORTTABLEPROBE = 32,
    MODM_PORTTABLEQUERY = 33,
    MIDM_PORTTABLEPROBE = 64,
    MIDM_PORTTABLEQUERY = 65,
};

// ---------------------------------------------------------------------------
// Configuration record: one configured port
// ---------------------------------------------------------------------------

struct Unit {
    WCHAR *Description;   // on DriverHeap, or null
    DWORD Direction;      // DirectionInput | DirectionOutput (low 16 bits tested)
    SOCKET OpenHandle;    // run-time: socket of the open port, INVALID_SOCKET when closed
    DWORD ShowNumber;     // ComputeShowNumber of the show name
    DWORD Groups;         // bit k = group k + 1
    BYTE CommUnit;        // show number: index into CommList
    BYTE InUse : 1;
    BYTE OpenInput : 1;   // run-time
    BYTE OpenOutput : 1;  // run-time
};

// ---------------------------------------------------------------------------
// Run-time record of one open port
// ---------------------------------------------------------------------------

struct MidiPort;

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

struct SenderSlot {
    DWORD SenderId;
    DWORD LastSequence;
    BYTE *Held;           // held bytes of a long message being joined (DriverHeap)
    DWORD HeldLength;
    DWORD HeldCapacity;   // allocated size of Held (amortised growth)
};

struct InState {
    // receive loop
    DWORD Started;
    BYTE Bad;
    BYTE Posted;          // a receive is outstanding on Buffer
    BYTE Flushing;        // midiFlush is running (a client callback may re-enter)
    RecvBuffer *RecvQueue;
    RecvBuffer Buffer;
    // acceptance and de-duplication
    DWORD CurrentTime;    // ms since MIDM_START of the buffer being handled
    DWORD NextSlot;
    SenderSlot Senders[MaxSenders];
    // parser
    DWORD ShortMessage;
    DWORD LongCount;
    BYTE RunningStatus;
    BYTE InSysex;
    BYTE DataNeeded;
    BYTE DataIndex;
    DWORD MessageTime;
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
    MIDIHDR *ClientBuffers;
    HANDLE Event;
    DWORD Command;
    DWORD_PTR CommandArg;
    HANDLE ThreadHandle;
    HANDLE AuxEvent1;
    HANDLE AuxEvent2;
    DWORD CommandResult;
    DWORD dwFlags;
    InState *pIn;
    DWORD RunningLength;
    WSABUF RecvWsaBuf;
    BYTE HoldsWinsock;           // this port holds one wsacount reference
    DWORD ThreadId;              // id of MidiThread, to run its own requests inline
    InState In;                  // input ports only: output records stop before it
};

constexpr SIZE_T OutputPortSize = offsetof(MidiPort, In);
constexpr SIZE_T InputPortSize = sizeof(MidiPort);

// ---------------------------------------------------------------------------
// Driver-wide state (driver/state.cpp)
// ---------------------------------------------------------------------------

extern HANDLE DriverHeap;
extern HINSTANCE DriverModule;
extern CRITICAL_SECTION LogLock;
extern CRITICAL_SECTION mmDrvCritSec;
extern CRITICAL_SECTION threadCritSec;
extern DWORD opencount;
extern Unit pUnits[UnitTableSize];
extern BYTE SafeForNetworking;

// Transport settings (config store)
extern DWORD TCPClientServer;
extern WCHAR WTCPAddress[128];
extern char TCPAddress[128];

// Driver-wide TCP state
extern volatile BYTE connected;
extern volatile BYTE connectenabled;
extern volatile BYTE recued;
extern volatile BYTE teardown;
extern volatile LONG connthreads;
extern HANDLE connthread;
extern MidiPort *connport;
extern RecvBuffer *connbuffer;
extern LONG wsacount;

// ---------------------------------------------------------------------------
// Driver entry and lifecycle (driver/entry.cpp)
// ---------------------------------------------------------------------------

// Process attach/detach work of the library entry; tests that link the
// static library call these themselves.
BOOL DriverProcessAttach(HINSTANCE module);
void DriverProcessDetach();

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                       LPARAM param1, LPARAM param2);
extern "C" DWORD APIENTRY modMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2);
extern "C" DWORD APIENTRY midMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2);

// Inputs of the decision whether this process may run the driver.
struct SafetyFacts {
    BOOL userNameRead;
    const WCHAR *userName;
    DWORD version;        // GetVersion() value
    BOOL foundExplorer;
    BOOL foundLogonUI;
};
BOOL DecideSafeForNetworking(const SafetyFacts &facts);
BOOL QuerySafeForNetworking();

// ---------------------------------------------------------------------------
// Device numbering and capabilities (driver/devices.cpp)
// ---------------------------------------------------------------------------

DWORD CountDevices(DWORD deviceType);
Unit *IndexToUnit(DWORD deviceId, DWORD deviceType);
DWORD GetDevCaps(DWORD deviceId, DWORD deviceType, void *caps, DWORD size);
DWORD PortTableQuery(DWORD deviceId, DWORD deviceType, void *buffer, DWORD size);

// ---------------------------------------------------------------------------
// Port open and close (driver/ports.cpp), client notification (driver/callback.cpp)
// ---------------------------------------------------------------------------

DWORD midiOpen(DWORD deviceType, DWORD deviceId, DWORD_PTR *instance,
               const MIDIOPENDESC *desc, DWORD flags);
DWORD sndOpenDev(DWORD deviceType, DWORD deviceId, SOCKET *socket, MidiPort *port);
void midiCleanUp(MidiPort *port);

// The directed-broadcast address for UDP output, from the host's address
// (host order), the preferred address P (host order, 0 for none) and the
// interface list. Returns the address in host order.
DWORD ComputeBroadcastAddress(DWORD hostAddress, DWORD preferred,
                              const INTERFACE_INFO *interfaces, int count);

void midiCallBack(MidiPort *port, DWORD message, DWORD_PTR param1, DWORD_PTR param2);

// winmm exports DriverCallback but the platform headers do not declare it.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice,
                                      DWORD dwMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                      DWORD_PTR dwParam2);

// ---------------------------------------------------------------------------
// Output and input driver messages (driver/output.cpp, driver/input.cpp)
// ---------------------------------------------------------------------------

int ShortMessageLength(MidiPort *port, BYTE status);
DWORD threadcall(DWORD command, DWORD_PTR argument, MidiPort *port);
