// The output writer: the one place where MIDI leaves the machine. Each call
// cuts its bytes into packets and sends every packet with one system call
// before returning; nothing is queued and nothing is allocated.
#include "net/net.h"
#include "config/config.h"
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
    DWORD result = sndTranslateStatus();
    LeaveCriticalSection(&mmDrvCritSec);
    return result;
}

// Called only when the log is on: at level 0 the send path pays one test.
void LogPacket(const MidiPacket &packet, int piece, const Unit *unit)
{
    LogPrint("Writing %d bytes %x %x connected %d connectenabled %d", piece + PacketHeaderSize,
             packet.Data[0], piece > 1 ? packet.Data[1] : 0, connected, connectenabled);
    if (DebugLevel >= 2 && unit)
        LogPrintW(L"        to show '%s' group %x (%x)", CommList[unit->CommUnit], unit->Groups,
                  packet.Data[0]);
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

}  // namespace

DWORD OutputWrite(const BYTE *data, int count, MidiPort *port)
{
    if (!port) return MMSYSERR_ERROR;
    EnterCriticalSection(&mmDrvCritSec);
    if (count < 1 || !data) {
        LeaveCriticalSection(&mmDrvCritSec);
        return MMSYSERR_NOERROR;
    }

    const Unit *unit = port->pUnit;
    MidiPacket packet;
    while (count > 0) {
        int piece = count < PacketDataMax ? count : PacketDataMax;
        CopyMemory(packet.Data, data, piece);
        data += piece;
        count -= piece;
        int length = piece + PacketHeaderSize;
        if (DebugLevel >= 1) LogPacket(packet, piece, unit);

        packet.SenderId = port->SenderId;
        packet.Sequence = port->Sequence++;
        packet.ShowNumber = unit ? unit->ShowNumber : 0;
        packet.Groups = unit ? unit->Groups : 0;
        const char *bytes = reinterpret_cast<const char *>(&packet);

        if (TCPClientServer == 0) {
            port->PeerAddress.sin_family = AF_INET;
            port->PeerAddress.sin_port = htons(NetworkPort);
            port->PeerAddress.sin_addr.s_addr = port->BroadcastAddress;
            if (sendto(port->Socket, bytes, length, 0,
                       reinterpret_cast<const sockaddr *>(&port->PeerAddress),
                       sizeof port->PeerAddress) == SOCKET_ERROR)
                return FailureExit(port);
        } else {
            bool sent = false;
            if (connected) {
                if (piece > 20) LOG(2, "OutputWrite length %d", piece);
                int result = send(port->Socket, bytes, length, 0);
                // A short write is not completed: the rest of the packet is lost.
                if (result != length) LOG(2, "OutputWrite length error %d %d", piece, result);
                if (result == SOCKET_ERROR) NoteSendFailure();
                if (connected) {
                    if (result == SOCKET_ERROR) return FailureExit(port);
                    sent = true;
                }
            }
            if (!sent) {
                DWORD result;
                if (!AwaitConnection(port, &result)) {
                    LeaveCriticalSection(&mmDrvCritSec);
                    return result;
                }
                // The same packet again, with the same Sequence.
                if (send(port->Socket, bytes, length, 0) == SOCKET_ERROR) {
                    NoteSendFailure();
                    return FailureExit(port);
                }
            }
        }
        LOG(2, " write finished");
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return MMSYSERR_NOERROR;
}
