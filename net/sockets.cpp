// The socket of each port: built when the port opens (or when a lost TCP
// connection is rebuilt), closed when it closes, with Winsock started by the
// first port that needs it and released by the last one.
#include "net/net.h"
#include "diag/log.h"

namespace {

// Closes a socket that was abandoned part-way through a build. Nothing else
// uses it, so it goes at once rather than waiting for socketCleanUp; the
// Winsock error that made the build fail is kept for sndTranslateStatus.
void AbandonWorkSocket(MidiPort *port)
{
    int error = WSAGetLastError();
    if (port->WorkSocket != INVALID_SOCKET) closesocket(port->WorkSocket);
    port->WorkSocket = INVALID_SOCKET;
    WSASetLastError(error);
}

// Logs a failed call at level 2 (or 1) with the last Winsock error where the
// message has a placeholder, keeping that error for the caller.
void LogFailure(int level, const char *message)
{
    if (DebugLevel < level) return;
    int error = WSAGetLastError();
    LogPrint(message, error);
    WSASetLastError(error);
}

bool SetOption(SOCKET s, int level, int option)
{
    BOOL on = TRUE;
    return setsockopt(s, level, option, reinterpret_cast<const char *>(&on), sizeof on) == 0;
}

// Takes the port's one Winsock reference, starting Winsock for the first.
// A start that fails takes no reference, so the port's clean-up releases
// none: a WSACleanup without its WSAStartup would drop a reference that the
// program holds itself, and at its last one close all the program's sockets.
bool TakeWinsockReference(MidiPort *port)
{
    if (port->HoldsWinsock) return true;
    if (wsacount == 0) {
        WSADATA data;
        int result = WSAStartup(MAKEWORD(2, 2), &data);
        if (result != 0) {
            LOG(2, "WSAStartup() %d", result);
            WSASetLastError(result);
            return false;
        }
    }
    ++wsacount;
    port->HoldsWinsock = 1;
    return true;
}

void DropWinsockReference(MidiPort *port)
{
    if (!port->HoldsWinsock) return;
    port->HoldsWinsock = 0;
    if (--wsacount != 0) return;
    LOG(2, "Performing WSACleanup()");
    WSACleanup();
}

void CloseIfValid(SOCKET &s)
{
    if (s == INVALID_SOCKET) return;
    closesocket(s);
    s = INVALID_SOCKET;
}

}  // namespace

void SetPeerAddress(MidiPort *port, u_short portNumber, u_long address)
{
    ZeroMemory(&port->PeerAddress, sizeof port->PeerAddress);
    port->PeerAddress.sin_family = AF_INET;
    port->PeerAddress.sin_port = htons(portNumber);
    port->PeerAddress.sin_addr.s_addr = address;
}

u_long ResolveTcpAddress()
{
    if (hostent *host = gethostbyname(TCPAddress)) {
        if (host->h_addrtype == AF_INET && host->h_addr_list && host->h_addr_list[0]) {
            u_long address;
            CopyMemory(&address, host->h_addr_list[0], sizeof address);
            return address;
        }
    }
    return inet_addr(TCPAddress);
}

bool CreateWorkSocket(MidiPort *port, int type, int protocol, const char *failure)
{
    port->WorkSocket = socket(AF_INET, type, protocol);
    if (port->WorkSocket != INVALID_SOCKET) return true;
    LogFailure(2, failure);
    return false;
}

bool CheckStep(MidiPort *port, bool ok, int logLevel, const char *failure)
{
    if (ok) return true;
    LogFailure(logLevel, failure);
    AbandonWorkSocket(port);
    return false;
}

bool SetWorkOption(MidiPort *port, int level, int option, int logLevel, const char *failure)
{
    return CheckStep(port, SetOption(port->WorkSocket, level, option), logLevel, failure);
}

// Binds to every local address.
bool BindWorkSocket(MidiPort *port, u_short portNumber, const char *failure)
{
    SetPeerAddress(port, portNumber, htonl(INADDR_ANY));
    bool bound = bind(port->WorkSocket, reinterpret_cast<const sockaddr *>(&port->PeerAddress),
                      sizeof port->PeerAddress) == 0;
    return CheckStep(port, bound, 2, failure);
}

const Transport *TransportFor(DWORD mode)
{
    if (mode == 0) return &UdpTransport;
    // Values above 1 are never stored by the Configurator: the sockets and
    // the writer treat them as TCP, but the open starts no connection.
    return mode == 1 ? &TcpTransport : &TcpWithoutOpenTransport;
}

void socketRebuild(SOCKET *result, MidiPort *port)
{
    LOG(2, "socketRebuild: WSAStartup()");
    if (!TakeWinsockReference(port)) return;

    LOG(2, "socketRebuild: DeviceType %d", port->DeviceType);
    port->WorkSocket = INVALID_SOCKET;

    bool built = false;
    if (port->DeviceType == MidiOutDevice || port->DeviceType == MidiInDevice)
        built = port->Transport->BuildSocket(port);

    int error = WSAGetLastError();
    if (built) {
        *result = port->WorkSocket;
        port->WorkSocket = INVALID_SOCKET;
        // A rebuild after a lost connection: the port's unit is known (at
        // open it is not yet) and stays open with the new socket.
        Unit *unit = port->pUnit;
        if (unit && result == &port->Socket) {
            if (port->DeviceType == MidiOutDevice) unit->OpenOutput = 1;
            else unit->OpenInput = 1;
            unit->OpenHandle = *result;
        }
    }
    // Written after a failure too, with the unchanged value.
    LOG(2, "OK: DoIPServer bind: %lx", static_cast<unsigned>(port->Socket));
    WSASetLastError(error);
}

void socketCleanUp(MidiPort *port)
{
    if (port->Socket != INVALID_SOCKET) {
        Unit *unit = port->pUnit;
        if (unit) {
            if (port->DeviceType == MidiOutDevice) unit->OpenOutput = 0;
            else if (port->DeviceType == MidiInDevice) unit->OpenInput = 0;
        }
        if (!unit || (!unit->OpenInput && !unit->OpenOutput)) {
            LOG(2, " port %d no longer in use, closing", port->DeviceId);
            CloseIfValid(port->Socket);
            if (unit) unit->OpenHandle = INVALID_SOCKET;
            LOG(2, " port %d closed", port->DeviceId);
        } else {
            // The unit is open in the other direction by another record,
            // which has its own socket: this port's socket is still closed
            // here, since nothing would close it once the record is gone.
            // The unit's handle is kept unless it names this socket.
            LOG(1, " socketCleanUp port %d still open!!!", port->DeviceId);
            if (unit->OpenHandle == port->Socket) unit->OpenHandle = INVALID_SOCKET;
            CloseIfValid(port->Socket);
        }
    }
    CloseIfValid(port->WorkSocket);
    CloseIfValid(port->AcceptSocket);
    DropWinsockReference(port);
    teardown = 0;
    LOG(2, "Cleanup - DONE");
}

DWORD sndTranslateStatus()
{
    int error = WSAGetLastError();
    switch (error) {
    case 0:
    case WSA_IO_PENDING:
        return MMSYSERR_NOERROR;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case WSAENOTSOCK:
    case WSAESHUTDOWN:
        return MMSYSERR_NOTSUPPORTED;
    case ERROR_ACCESS_DENIED:
        return MMSYSERR_BADDEVICEID;
    case ERROR_NOT_ENOUGH_MEMORY:
        return MMSYSERR_NOMEM;
    case ERROR_INSUFFICIENT_BUFFER:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSANOTINITIALISED:
        return MMSYSERR_INVALPARAM;
    case ERROR_BUSY:
    case WSAEINVAL:
    case WSAEADDRINUSE:
        return MMSYSERR_ALLOCATED;
    default:
        LOG(2, "sndTranslateStatus:  WSALastError = %d", error);
        return MMSYSERR_ERROR;
    }
}
