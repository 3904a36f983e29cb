// The TCP transport: one connection per loaded driver, from an output port
// (the client) to an input port (the server) on port 12555, made in the
// background by the connection thread so that neither an application's
// thread nor an input port's thread blocks in connect or accept, and made
// again when it is lost.
//
// The connection state is driver-wide (input/port.h). The thread takes no
// lock: the writer waits for it while holding mmDrvCritSec. Its connect and
// accept wait in slices of 100 ms and look at connectenabled between them,
// so that a port's close ends the thread within a slice and then waits for
// it before the port's record is freed; a close never pulls a socket from
// under a blocked call.
#include "net/net.h"
#include "diag/log.h"

namespace {

constexpr int OpenConnectWaits = 20;      // 20 x 1 s for an output port's open
constexpr int ReconnectWaits = 40;        // 40 x 100 ms for the writer
constexpr DWORD ReconnectWaitMs = 100;
constexpr DWORD RetryMs = 100;            // after a failed attempt
constexpr long SliceMs = 100;             // of a connect or accept
constexpr int ConnectSlices = 210;        // a peer that never answers: 21 s
constexpr DWORD StopWaitMs = 5000;        // a close waiting for the thread
constexpr DWORD SendTimeoutMs = 4000;     // a send that a peer keeps waiting

// A send that timed out may have written part of its packet, and leaves
// the socket in no known state: the connection is rebuilt, as a lost one.
bool IsConnectionLost(int error)
{
    return error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAEDISCON ||
           error == WSAENOTCONN || error == WSAETIMEDOUT;
}

// --- Sockets -----------------------------------------------------------------

// A peer that accepts and then stops reading fills the connection; a
// blocking send would then wait for ever, holding mmDrvCritSec. A send
// gives up after SendTimeoutMs instead.
bool SetSendTimeout(MidiPort *port)
{
    DWORD timeout = SendTimeoutMs;
    bool set = setsockopt(port->WorkSocket, SOL_SOCKET, SO_SNDTIMEO,
                          reinterpret_cast<const char *>(&timeout), sizeof timeout) == 0;
    return CheckStep(port, set, 1, "Tessmar: TCP setsockopt() send time-out %d");
}

// The client does not connect here: the connection thread does. An
// unresolvable address keeps the socket, so that the thread's attempts fail
// and are retried rather than the open failing.
bool BuildClient(MidiPort *port)
{
    LOG(2, "TCP Client (output)");
    if (!CreateWorkSocket(port, SOCK_STREAM, IPPROTO_TCP, "Tessmar: drvutil: Client TCP socket()")
        || !SetWorkOption(port, SOL_SOCKET, SO_KEEPALIVE, 2, "Tessmar: UDP setsockopt() keepalive")
        || !SetWorkOption(port, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY failed!")
        || !SetSendTimeout(port))
        return false;
    u_long address = ResolveTcpAddress();
    if (address == INADDR_NONE) {
        LOG(2, "Failed TCP address read.");
        return true;
    }
    SetPeerAddress(port, NetworkPort, address);
    return true;
}

// The server listens on every local address; the configured address is
// resolved only so that a bad one is reported the same way as for clients
// (the socket then stays unbound and every accept fails).
bool BuildServer(MidiPort *port)
{
    LOG(2, "TCP server (input)");
    if (!CreateWorkSocket(port, SOCK_STREAM, IPPROTO_TCP, "Server TCP socket()")
        || !SetWorkOption(port, SOL_SOCKET, SO_REUSEADDR, 2, "Server TCP setsocketopt()")
        || !SetWorkOption(port, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY failed!"))
        return false;
    if (ResolveTcpAddress() == INADDR_NONE) {
        LOG(2, "Failed TCP address read.");
        return true;
    }
    if (!BindWorkSocket(port, NetworkPort, "Server TCP bind() %d")
        || !CheckStep(port, listen(port->WorkSocket, 1) == 0, 2,
                      "Tessmar: drvutil: Server TCP listen()"))
        return false;
    Sleep(20);
    return true;
}

bool BuildSocket(MidiPort *port)
{
    return port->DeviceType == MidiOutDevice ? BuildClient(port) : BuildServer(port);
}

// --- Open --------------------------------------------------------------------

// An input port's accepting thread starts when the port starts receiving;
// an output port's open waits a bounded time for its connection and goes on
// either way.
DWORD PrepareOpen(MidiPort *port)
{
    connected = 0;
    connectenabled = 1;
    connport = port;
    connbuffer = nullptr;
    if (port->DeviceType == MidiInDevice) {
        recued = 0;
        return MMSYSERR_NOERROR;
    }
    LOG(2, "Create connection thread. %d %d", port->DeviceType, 4);
    if (!StartConnectionThread(port)) {
        LOG(2, "Connection thread create failed %ld", GetLastError());
        return MMSYSERR_ERROR;
    }
    for (int i = 0; i < OpenConnectWaits; ++i) {
        if (connected || !connectenabled) break;
        Sleep(1000);
    }
    return MMSYSERR_NOERROR;
}

DWORD NoOpen(MidiPort *) { return MMSYSERR_NOERROR; }

// --- Writing -------------------------------------------------------------------

// Records a failed send; a connection-lost error marks the connection for
// rebuilding.
void NoteSendFailure()
{
    int error = WSAGetLastError();
    LOG(2, "OutputWrite %d", error);
    if (IsConnectionLost(error)) {
        connected = 0;
        teardown = 1;
    }
    WSASetLastError(error);
}

// A lost connection's socket is closed and built anew after a short pause,
// as it always was. The pause is here, not in socketRebuild, because the
// open of every port builds its socket holding mmDrvCritSec: a pause there
// made each call of the process wait behind each open.
void RebuildAfterLoss(MidiPort *port)
{
    socketCleanUp(port);
    Sleep(SocketBuildPauseMs);
    socketRebuild(&port->Socket, port);
}

// Not connected: start a connection thread unless one is already at work,
// then wait a bounded time for it (holding mmDrvCritSec, which the thread
// never takes). False when no connection came up; the result says why.
bool AwaitConnection(MidiPort *port, DWORD *result)
{
    LOG(2, "Not connected!!");
    if (!recued) {
        if (teardown) {
            LOG(2, "Tear down old values...");
            RebuildAfterLoss(port);
        }
        LOG(2, "Create connection thread.");
        connport = port;
        connbuffer = nullptr;
        if (!StartConnectionThread(port)) {
            LOG(2, "Out: Connection thread create failed %ld", WSAGetLastError());
            *result = MMSYSERR_ERROR;
            return false;
        }
    }
    for (int i = 0; i < ReconnectWaits; ++i) {
        if (connected || !connectenabled) break;
        Sleep(ReconnectWaitMs);
    }
    if (!connected) {
        LOG(1, "Trying to send to an unconnected socket are we?");
        *result = MMSYSERR_ERROR;
        return false;
    }
    return true;
}

// On the connection when it is up; when it is not (or the send finds it
// lost), (re)connect within a bounded wait and send the packet again, with
// the same Sequence.
DWORD Send(MidiPort *port, const char *packet, int length)
{
    int piece = length - static_cast<int>(PacketHeaderSize);
    if (connected) {
        if (piece > 20) LOG(2, "OutputWrite length %d", piece);
        int result = send(port->Socket, packet, length, 0);
        // A short write is not completed: the rest of the packet is lost.
        if (result != length) LOG(2, "OutputWrite length error %d %d", piece, result);
        if (result == SOCKET_ERROR) NoteSendFailure();
        if (connected) return result == SOCKET_ERROR ? FailedSend(port) : MMSYSERR_NOERROR;
    }
    DWORD result;
    if (!AwaitConnection(port, &result)) return result;
    if (send(port->Socket, packet, length, 0) == SOCKET_ERROR) {
        NoteSendFailure();
        return FailedSend(port);
    }
    return MMSYSERR_NOERROR;
}

// --- Reading -------------------------------------------------------------------

// Posts the receive on the connection; without one, rebuilds the listening
// socket if the last connection was lost and has the connection thread
// accept a client and then post the receive (MidiConnect). The buffer is
// queued meanwhile, as for a pending receive.
int PostReceive(MidiPort *port, RecvBuffer *buffer, bool *posted)
{
    LOG(2, "TCP receive queueing");
    *posted = false;
    int result = 0;
    if (connected) {
        result = WSARecv(port->Socket, &port->RecvWsaBuf, 1, &buffer->BytesReceived,
                         &buffer->RecvFlags, &buffer->Overlapped, InOvl);
        int error = result ? WSAGetLastError() : 0;
        LOG(2, "For jollies: wsaerror = %d", error);
        if (result != 0 &&
            (error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAEDISCON)) {
            connected = 0;
            teardown = 1;
        }
        *posted = result == 0 || error == WSA_IO_PENDING;
        WSASetLastError(error);
    }
    if (connected) return result;
    if (teardown) {
        RebuildAfterLoss(port);
    }
    connbuffer = buffer;
    connport = port;
    if (!StartConnectionThread(port)) {
        LOG(1, "Connection thread create failed %ld", GetLastError());
        return PostFailed;
    }
    LOG(1, "Connection thread recued!");
    WSASetLastError(WSA_IO_PENDING);
    return SOCKET_ERROR;
}

void NoStartWork(MidiPort *) {}

// Completions wait while a new connection is being made: the next command
// or completion after it handles them.
bool WhileConnecting() { return recued && !connected; }

// --- The connection thread -------------------------------------------------------

bool Readiness(SOCKET s, bool write, long ms, int *error)
{
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval wait = {0, ms * 1000};
    int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &wait);
    *error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (n > 0 && FD_ISSET(s, &failed)) {
        int soError = 0;
        int size = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soError), &size);
        *error = soError ? soError : WSAECONNREFUSED;
    }
    return n > 0 && !*error;
}

void SetBlocking(SOCKET s, bool blocking)
{
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

// One connect attempt, waited for in slices while attempts are allowed.
// The socket is left blocking for the writer's sends.
bool ConnectOnce(MidiPort *port)
{
    SOCKET s = port->Socket;
    SetBlocking(s, false);
    int error = 0;
    bool done = connect(s, reinterpret_cast<const sockaddr *>(&port->PeerAddress),
                        sizeof port->PeerAddress) == 0;
    if (!done) {
        error = WSAGetLastError();
        for (int i = 0; error == WSAEWOULDBLOCK && i < ConnectSlices && connectenabled; ++i) {
            if (Readiness(s, true, SliceMs, &error)) {
                done = true;
                break;
            }
            if (error == 0) error = WSAEWOULDBLOCK;
        }
        if (error == WSAEWOULDBLOCK) error = WSAETIMEDOUT;
    }
    SetBlocking(s, true);
    WSASetLastError(done ? 0 : error);
    return done;
}

void LogPeer(const WCHAR *format, const sockaddr_in &peer)
{
    if (DebugLevel < 2) return;
    WCHAR dotted[16];
    const BYTE *a = reinterpret_cast<const BYTE *>(&peer.sin_addr.s_addr);
    FormatTextWF(dotted, 16, L"%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    LogPrintW(format, dotted, ntohs(peer.sin_port));
}

void ClientLoop(MidiPort *port)
{
    while (!connected) {
        if (!connectenabled) return;
        LOG(2, "Tessmar connectThread: Client connect attempt %x",
            static_cast<unsigned>(port->PeerAddress.sin_addr.s_addr));
        if (ConnectOnce(port)) {
            connected = 1;
            recued = 0;
            LogPeer(L"Tessmar connection thread: connected to %s, port %d", port->PeerAddress);
            return;
        }
        LOG(2, "Tessmar connectThread: connect() failed: %d", WSAGetLastError());
        Sleep(RetryMs);
    }
}

// Waits in slices for a client while attempts are allowed. INVALID_SOCKET
// with the error when the accept fails (a socket that is not listening
// fails at once) or WSAEINTR when attempts were stopped.
SOCKET AcceptOnce(MidiPort *port, sockaddr_in *from)
{
    SetBlocking(port->Socket, false);
    SOCKET accepted = INVALID_SOCKET;
    int error = WSAEINTR;
    while (connectenabled) {
        int size = sizeof *from;
        accepted = accept(port->Socket, reinterpret_cast<sockaddr *>(from), &size);
        error = accepted == INVALID_SOCKET ? WSAGetLastError() : 0;
        if (error != WSAEWOULDBLOCK) break;
        Readiness(port->Socket, false, SliceMs, &error);
        error = WSAEINTR;
    }
    if (accepted != INVALID_SOCKET) SetBlocking(accepted, true);
    else WSASetLastError(error);
    return accepted;
}

// Only one client is ever accepted per listening socket: the listener is
// closed once the connection is up.
void ServerLoop(MidiPort *port)
{
    while (!connected) {
        if (!connectenabled) return;
        sockaddr_in from = {};
        port->AcceptSocket = AcceptOnce(port, &from);
        if (port->AcceptSocket == INVALID_SOCKET) {
            int error = WSAGetLastError();
            if (error == WSAENOTCONN) {
                LOG(2, "connectionThread: Already connected!");
                connected = 1;
                recued = 0;
                return;
            }
            if (!connectenabled) return;
            LOG(2, "connectThread: accept() error %d, recycling", error);
            Sleep(RetryMs);
            continue;
        }
        closesocket(port->Socket);
        port->Socket = port->AcceptSocket;
        port->AcceptSocket = INVALID_SOCKET;
        if (port->pUnit) port->pUnit->OpenHandle = port->Socket;
        connected = 1;
        recued = 0;
        LogPeer(L"connectionThread: accept() from %s, port %d", from);
        threadcall(CmdMidiConnect, 0, port);
        return;
    }
}

// The port whose record a started connection thread uses until it ends;
// set by its starter, cleared by the thread. Starting and stopping happen
// under mmDrvCritSec.
MidiPort *volatile servedPort;

}  // namespace

const Transport TcpTransport = {BuildSocket, PrepareOpen, Send, PostReceive, NoStartWork,
                                false, true, WhileConnecting};
const Transport TcpWithoutOpenTransport = {BuildSocket, NoOpen, Send, PostReceive, NoStartWork,
                                           false, true, WhileConnecting};

DWORD WINAPI connectionThread(LPVOID argument)
{
    MidiPort *port = static_cast<MidiPort *>(argument);
    // One body at a time: a thread started while another is at work ends.
    if (InterlockedIncrement(&connthreads) > 1) {
        InterlockedDecrement(&connthreads);
        return 1;
    }
    LOG(2, "Start connectionThread connected is %d %d", connected, port->DeviceType);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    if (port->DeviceType == MidiOutDevice) ClientLoop(port);
    else if (port->DeviceType == MidiInDevice) ServerLoop(port);
    else LOG(2, "Connection thread invalid device!!!");
    recued = 0;
    LOG(1, "connectionThread ending %d", connected);
    // The handle in connthread is closed by whoever starts the next thread
    // or closes a port, once; the thread itself leaves it alone.
    InterlockedCompareExchangePointer(reinterpret_cast<void *volatile *>(&servedPort), nullptr,
                                      port);
    InterlockedDecrement(&connthreads);
    return 1;
}

bool StartConnectionThread(MidiPort *port)
{
    EnterCriticalSection(&mmDrvCritSec);
    recued = 1;
    // A thread at work takes the request over (its body reads the flags);
    // a second one would end at once.
    bool started = connthreads > 0;
    if (!started) {
        if (connthread) CloseHandle(connthread);
        servedPort = port;
        connthread = CreateThread(nullptr, 0, connectionThread, port, 0, nullptr);
        started = connthread != nullptr;
        if (!started) servedPort = nullptr;
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return started;
}

// The handle is closed here, once. A thread that works for another port is
// not waited for: it never touches this record, and it ends by itself now
// that attempts are off (it may need this lock on the way, to have an input
// port's thread post a receive). One that has finished its work (no port
// any more) is waited for, so that no connection thread outlives a close.
bool StopConnectionThread(MidiPort *port)
{
    EnterCriticalSection(&mmDrvCritSec);
    connectenabled = 0;
    bool released = true;
    if (connthread) {
        if (servedPort == port || servedPort == nullptr) {
            released = WaitForSingleObject(connthread, StopWaitMs) == WAIT_OBJECT_0;
            if (!released) LOG(1, "connection thread still holds port %d", port->DeviceId);
        }
        CloseHandle(connthread);
        connthread = nullptr;
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return released;
}

// After an accept the connection thread has the port's thread post the
// receive that was queued when the thread was started.
void MidiConnect()
{
    MidiPort *port = connport;
    RecvBuffer *buffer = connbuffer;
    if (!port || !buffer) return;
    unsigned portWord = (unsigned)(DWORD_PTR)port;
    unsigned bufferWord = (unsigned)(DWORD_PTR)buffer;
    unsigned eventWord = (unsigned)(DWORD_PTR)&port->AuxEvent1;
    LOG(2, "recue: MidiConnect Msg 0x%lx 0x%lx 0x%lx 0x%lx", portWord, bufferWord, bufferWord,
        eventWord);
    PrepareReceive(port, buffer);
    LOG(2, "recue: recue read 0x%lx 0x%lx 0x%lx 0x%lx 0x%lx", portWord, bufferWord, bufferWord,
        eventWord, (unsigned)port->Socket);
    int result = WSARecv(port->Socket, &port->RecvWsaBuf, 1, &buffer->BytesReceived,
                         &buffer->RecvFlags, &buffer->Overlapped, InOvl);
    int error = result ? WSAGetLastError() : 0;
    LOG(2, "recue:  Result %d by %d", result, error);
    if (result != 0 && error != WSA_IO_PENDING) return;
    port->pIn->Posted = 1;
    const WCHAR *show = port->pUnit ? CommList[port->pUnit->CommUnit % ShowTableSize] : L"";
    LOGW(2, L"recue: Read to show '%s'  0x%lx 0x%lx 0x%lx 0x%lx", show, portWord, bufferWord,
         bufferWord, eventWord);
    if (result != 0) LOG(2, "recue: request recued %d", recued);
}
