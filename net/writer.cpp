// The output writer: the one place where MIDI leaves the machine. Each call
// cuts its bytes into packets (the core's SendBlock) and sends every packet
// with the port's transport before returning; nothing is queued and
// nothing is allocated.
#include "net/net.h"
#include "diag/log.h"

namespace {

// Called only when the log is on: at level 0 the send path pays one test.
void LogPacket(const BYTE *data, DWORD piece, const Unit *unit)
{
    LogPrint("Writing %d bytes %x %x connected %d connectenabled %d", piece + PacketHeaderSize,
             data[0], piece > 1 ? data[1] : 0, connected, connectenabled);
    if (DebugLevel >= 2 && unit)
        LogPrintW(L"        to show '%s' group %x (%x)", CommList[unit->CommUnit], unit->Groups,
                  data[0]);
}

uint32_t SendPacket(void *context, const uint8_t *packet, uint32_t length)
{
    MidiPort *port = static_cast<MidiPort *>(context);
    if (DebugLevel >= 1) LogPacket(packet + PacketHeaderSize, length - PacketHeaderSize, port->pUnit);
    DWORD result = port->Transport->Send(port, reinterpret_cast<const char *>(packet),
                                           static_cast<int>(length));
    if (result == MMSYSERR_NOERROR) LOG(2, " write finished");
    return result;
}

}  // namespace

DWORD FailedSend(MidiPort *port)
{
    int error = WSAGetLastError();
    LOG(2, "midiOutWrite WriteFile %x failed", static_cast<unsigned>(port->Socket));
    WSASetLastError(error);
    return sndTranslateStatus();
}

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
