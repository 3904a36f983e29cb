// Network transport: sockets, the TCP connection thread, the output writer
// and the receive loop with the input port's thread.
#pragma once

#include "input/input.h"

// The two transports, UDP broadcast (net/udp.cpp) and one TCP connection
// (net/tcp.cpp): each a table of the routines that differ, chosen once when
// a port opens (TransportFor the driver's TCPClientServer).
struct Transport {
    // Makes port->WorkSocket for the port's direction; false when a call
    // failed (the socket is then abandoned).
    bool (*BuildSocket)(MidiPort *port);
    // After the socket exists, at the open: the UDP broadcast address, or
    // the TCP connection state (and for output the connection itself).
    DWORD (*PrepareOpen)(MidiPort *port);
    // One packet, sent before it returns; a winmm status.
    DWORD (*Send)(MidiPort *port, const char *packet, int length);
    // Posts the port's one receive (or has the connection thread post it);
    // the result and the last Winsock error as WSARecv leaves them (or
    // PostFailed), and whether a receive is now outstanding on the buffer.
    int (*PostReceive)(MidiPort *port, RecvBuffer *buffer, bool *posted);
    // Before the first receive of a start.
    void (*PrepareStart)(MidiPort *port);
    // The packet is handled inside the completion routine (UDP), rather
    // than after the thread's wait has returned.
    bool HandleInCompletion;
    // A receive that completes empty means the peer has gone.
    bool EmptyReceiveIsLoss;
    // Completions wait while a connection is being made.
    bool (*CompletionsWait)();
};
constexpr int PostFailed = -2;  // PostReceive: fails with MMSYSERR_ERROR
extern const Transport UdpTransport;
extern const Transport TcpTransport;
extern const Transport TcpWithoutOpenTransport;
const Transport *TransportFor(DWORD mode);

// Sockets (net/sockets.cpp)
// A socket is built after a pause of this long. The callers take it (an
// open before the driver-wide lock, a lost TCP connection before its
// rebuild); socketRebuild itself does not wait.
constexpr DWORD SocketBuildPauseMs = 20;
void socketRebuild(SOCKET *socket, MidiPort *port);
void socketCleanUp(MidiPort *port);
DWORD sndTranslateStatus();
// Steps of the socket builders; each logs its own failure text, and a step
// after the socket exists abandons the socket when it fails.
bool CreateWorkSocket(MidiPort *port, int type, int protocol, const char *failure);
bool SetWorkOption(MidiPort *port, int level, int option, int logLevel, const char *failure);
bool BindWorkSocket(MidiPort *port, u_short portNumber, const char *failure);
bool CheckStep(MidiPort *port, bool ok, int logLevel, const char *failure);
void SetPeerAddress(MidiPort *port, u_short portNumber, u_long address);
// TCPAddress as a host name first, then as a dotted address; INADDR_NONE
// when neither works.
u_long ResolveTcpAddress();
// A failed socket call ends a send; its Winsock error becomes the result.
DWORD FailedSend(MidiPort *port);

// UDP (net/udp.cpp). The directed-broadcast address for UDP output, from
// the host's address (host order), the preferred address (host order, 0 for
// none) and the interface list. Returns the address in host order.
DWORD ComputeBroadcastAddress(DWORD hostAddress, DWORD preferred,
                              const INTERFACE_INFO *interfaces, int count);
// The address UDP output of this machine is broadcast to (network order),
// worked out with `socket`, any UDP socket; false when the host's own name
// does not resolve.
bool FindBroadcastAddress(SOCKET socket, u_long *broadcast);

// TCP connection thread (net/tcp.cpp)
DWORD WINAPI connectionThread(LPVOID port);
// Marks a connection as requested and has a connection thread work for
// port; false (with the system's error kept for the caller to log) when no
// thread can be started.
bool StartConnectionThread(MidiPort *port);
// Stops connection attempts and, when the thread works for this port,
// waits until it has let go of the port's record; false if it did not.
bool StopConnectionThread(MidiPort *port);
// The command an input port's thread runs after an accept.
void MidiConnect();

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
// Points the port's receive at the buffer's packet, for one receive.
void PrepareReceive(MidiPort *port, RecvBuffer *buffer);
void CALLBACK InOvl(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD flags);
void midiFlush(MidiPort *port);
DWORD midiFlushLocked(MidiPort *port, DWORD_PTR unused);
// Closing the socket cancels a receive still posted into the record; true
// once it has landed, so the record may go back to the heap.
bool ReceiveHasEnded(MidiPort *port);
