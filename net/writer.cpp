// The output writer: the one place where MIDI leaves the machine. Each call
// cuts its bytes into packets and sends every packet with one system call
// before returning; nothing is queued and nothing is allocated.
#include "net/net.h"
#include "diag/log.h"

namespace {

constexpr int ReconnectWaits = 40;       // 40 x 100 ms for a TCP connection
constexpr DWORD ReconnectWaitMs = 100;

bool IsConnectionLost(int error)
{
    return error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAEDISCON ||
           error == WSAENOTCONN;
}

// A failed send ends the call; its Winsock error becomes the result.
DWORD FailureExit(MidiPort *port)
{
    int error = WSAGetLastError();
    LOG(2, "midiOutWrite WriteFile %x failed", static_cast<unsigned>(port->Socket));
    WSASetLastError(error);
    return sndTranslateStatus();
}

// Called only when the log is on: at level 0 the send path pays one test.
void LogPacket(const BYTE *data, DWORD piece, const Unit *unit)
{
    LogPrint("Writing %d bytes %x %x connected %d connectenabled %d", piece + PacketHeaderSize,
             data[0], piece > 1 ? data[1] : 0, connected, connectenabled);
    if (DebugLevel >= 2 && unit)
        LogPrintW(L"        to show '%s' group %x (%x)", CommList[unit->CommUnit], unit->Groups,
                  data[0]);
}

// Records a failed TCP send; a connection-lost error marks the connection
// for rebuilding.
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

// Not connected: start a connection thread unless one is already at work,
// then wait a bounded time for it. False when no connection came up; the
// result says why.
bool AwaitConnection(MidiPort *port, DWORD *result)
{
    LOG(2, "Not connected!!");
    if (!recued) {
        if (teardown) {
            LOG(2, "Tear down old values...");
            socketCleanUp(port);
            socketRebuild(&port->Socket, port);
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


// UDP: one datagram to the port's broadcast address. Never waits and never
// looks at the TCP state.
DWORD SendDatagram(MidiPort *port, const char *bytes, int length)
{
    port->PeerAddress.sin_family = AF_INET;
    port->PeerAddress.sin_port = htons(NetworkPort);
    port->PeerAddress.sin_addr.s_addr = port->BroadcastAddress;
    if (sendto(port->Socket, bytes, length, 0,
               reinterpret_cast<const sockaddr *>(&port->PeerAddress),
               sizeof port->PeerAddress) == SOCKET_ERROR)
        return FailureExit(port);
    return MMSYSERR_NOERROR;
}

// TCP: on the connection when it is up; when it is not (or the send finds
// it lost), (re)connect within a bounded wait and send the packet again,
// with the same Sequence.
DWORD SendOnConnection(MidiPort *port, const char *bytes, int length)
{
    int piece = length - static_cast<int>(PacketHeaderSize);
    if (connected) {
        if (piece > 20) LOG(2, "OutputWrite length %d", piece);
        int result = send(port->Socket, bytes, length, 0);
        // A short write is not completed: the rest of the packet is lost.
        if (result != length) LOG(2, "OutputWrite length error %d %d", piece, result);
        if (result == SOCKET_ERROR) NoteSendFailure();
        if (connected) return result == SOCKET_ERROR ? FailureExit(port) : MMSYSERR_NOERROR;
    }
    DWORD result;
    if (!AwaitConnection(port, &result)) return result;
    if (send(port->Socket, bytes, length, 0) == SOCKET_ERROR) {
        NoteSendFailure();
        return FailureExit(port);
    }
    return MMSYSERR_NOERROR;
}

uint32_t SendPacket(void *context, const uint8_t *packet, uint32_t length)
{
    MidiPort *port = static_cast<MidiPort *>(context);
    if (DebugLevel >= 1) LogPacket(packet + PacketHeaderSize, length - PacketHeaderSize, port->pUnit);
    const char *bytes = reinterpret_cast<const char *>(packet);
    DWORD result = TCPClientServer == 0 ? SendDatagram(port, bytes, static_cast<int>(length))
                                        : SendOnConnection(port, bytes, static_cast<int>(length));
    if (result == MMSYSERR_NOERROR) LOG(2, " write finished");
    return result;
}

}  // namespace

DWORD OutputWrite(const BYTE *data, int count, MidiPort *port)
{
    if (!port) return MMSYSERR_ERROR;
    EnterCriticalSection(&mmDrvCritSec);
    DWORD result = MMSYSERR_NOERROR;
    if (count >= 1 && data) {
        const Unit *unit = port->pUnit;
        PacketStream stream = {port->SenderId, port->Sequence, unit ? unit->ShowNumber : 0,
                               unit ? unit->Groups : 0};
        CoreSink sink = {};
        sink.Context = port;
        sink.SendPacket = SendPacket;
        result = SendBlock(&stream, data, count, &sink);
        port->Sequence = stream.Sequence;
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return result;
}
