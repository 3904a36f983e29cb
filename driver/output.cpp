// The MIDI output driver entry: winmm calls modMessage for every operation
// an application performs on one of the driver's output ports. Output is
// never queued: every message is on the network before the call returns.
#include "driver/driver.h"

namespace {

// A send that raced the port's close and lost finds its socket gone: it is
// refused as one on a port that is not open. The record itself stays until
// the send leaves (EnterPort).
DWORD WriteIfOpen(MidiPort *port, const BYTE *data, int count)
{
    EnterCriticalSection(&mmDrvCritSec);
    DWORD result = port->Closed ? MMSYSERR_ERROR : OutputWrite(data, count, port);
    LeaveCriticalSection(&mmDrvCritSec);
    return result;
}

DWORD ClosePort(MidiPort *port)
{
    midiCallBack(port, MOM_CLOSE, 0, 0);
    LOG(2, "MODM_CLOSE closing out socket.");
    EnterCriticalSection(&mmDrvCritSec);
    midiCleanUp(port);
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(2, "MODM_CLOSE completed no error,");
    return MMSYSERR_NOERROR;
}

// winmm packs a short message status first, in the low byte.
DWORD SendShortMessage(MidiPort *port, DWORD_PTR packed)
{
    BYTE bytes[4];
    bytes[0] = static_cast<BYTE>(packed);
    bytes[1] = static_cast<BYTE>(packed >> 8);
    bytes[2] = static_cast<BYTE>(packed >> 16);
    bytes[3] = static_cast<BYTE>(packed >> 24);
    return WriteIfOpen(port, bytes, ShortMessageLength(port, bytes[0]));
}

// The whole buffer goes out before the call returns, so the header is done
// at once; MOM_DONE only follows a send without error.
DWORD SendLongMessage(MidiPort *port, MIDIHDR *header, DWORD_PTR size)
{
    if (!header || size < MidiHeaderSizeMin) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    DWORD result = WriteIfOpen(port, reinterpret_cast<const BYTE *>(header->lpData),
                               static_cast<int>(header->dwBufferLength));
    header->dwFlags |= MHDR_DONE;
    if (result == MMSYSERR_NOERROR)
        midiCallBack(port, MOM_DONE, reinterpret_cast<DWORD_PTR>(header), 0);
    return result;
}

DWORD ResetPort(MidiPort *port)
{
    LOG(2, "MODM_RESET");
    // Nothing is ever pending on an output port: no note-offs are sent.
    midiFlushLocked(port, 0);
    LOG(2, "MODM_RESET completed %d", 0);
    return MMSYSERR_NOERROR;
}

}  // namespace

int ShortMessageLength(MidiPort *port, BYTE status)
{
    if (status < 0x80) return static_cast<int>(port->RunningLength) - 1;  // running status
    if (status >= 0xF8) return 1;                                          // real time
    int length;
    if (status < 0xC0) length = 3;
    else if (status < 0xE0) length = 2;
    else if (status < 0xF0) length = 3;
    else if (status == 0xF1 || status == 0xF3) length = 2;
    else if (status == 0xF2) length = 3;
    else length = 1;                                                       // F0, F4..F7
    port->RunningLength = static_cast<DWORD>(length);
    return length;
}

extern "C" DWORD APIENTRY modMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2)
{
    switch (message) {
    case MODM_GETNUMDEVS:
        LOG(2, "MODM_GETNUMDEVS");
        return CountDevices(MidiOutDevice);
    case MODM_GETDEVCAPS:
        LOG(2, "MODM_GETDEVCAPS");
        return GetDevCaps(deviceId, MidiOutDevice, reinterpret_cast<void *>(param1),
                          static_cast<DWORD>(param2));
    case MODM_OPEN:
        LOG(2, "MODM_OPEN");
        return midiOpen(MidiOutDevice, deviceId, reinterpret_cast<DWORD_PTR *>(user),
                        reinterpret_cast<const MIDIOPENDESC *>(param1), static_cast<DWORD>(param2));
    case MODM_PREPARE:
    case MODM_UNPREPARE:
        // winmm prepares and unprepares the headers itself.
        return MMSYSERR_NOTSUPPORTED;
    case MODM_PORTTABLEPROBE:
        return MMSYSERR_NOERROR;
    case MODM_PORTTABLEQUERY:
        if (!param1 || !param2) return MMSYSERR_NOTSUPPORTED;
        return PortTableQuery(deviceId, MidiOutDevice, reinterpret_cast<void *>(param1),
                              static_cast<DWORD>(param2));
    case MODM_CLOSE:
    case MODM_DATA:
    case MODM_LONGDATA:
    case MODM_RESET:
        break;
    default:
        return MMSYSERR_NOTSUPPORTED;
    }

    // The instance is the port's record from MODM_OPEN; a value that is not
    // the record of an open output port (zero, or a port closed meanwhile by
    // another thread) is refused without being read.
    MidiPort *port = EnterPort(user, MidiOutDevice);
    if (!port) return MMSYSERR_ERROR;
    DWORD result;
    switch (message) {
    case MODM_CLOSE:
        LOG(2, "MODM_CLOSE");
        result = ClosePort(port);
        break;
    case MODM_DATA:
        LOG(2, "MODM_DATA");
        result = SendShortMessage(port, param1);
        break;
    case MODM_LONGDATA:
        LOG(2, "MODM_LONGDATA");
        result = SendLongMessage(port, reinterpret_cast<MIDIHDR *>(param1), param2);
        break;
    default:
        result = ResetPort(port);
        break;
    }
    LeavePort(port);
    return result;
}
