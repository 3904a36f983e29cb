// The MIDI input driver entry: winmm calls midMessage for every operation
// on one of the driver's input ports. Everything that changes what an open
// port does is a synchronous command to the port's own thread (threadcall).
#include "driver/driver.h"

namespace {

DWORD AddBuffer(MidiPort *port, MIDIHDR *header, DWORD_PTR size)
{
    if (!header || size < MidiHeaderSizeMin) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE)
        AssertFail("!(((LPMIDIHDR)dwParam1)->dwFlags & MHDR_INQUEUE)", "TSMIDIDD", 2811);
    EnterCriticalSection(&mmDrvCritSec);
    bool queued = (header->dwFlags & MHDR_INQUEUE) != 0;
    LeaveCriticalSection(&mmDrvCritSec);
    if (queued) return MIDIERR_STILLPLAYING;
    // The parser writes at lpData[0..dwBufferLength): an empty buffer
    // could not take even the 0xF0.
    if (!header->lpData || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    // The port's thread walks the queue for this header and the 101-header
    // limit, marks the header queued and appends it (net/receive.cpp).
    return threadcall(CmdAddBuffer, reinterpret_cast<DWORD_PTR>(header), port);
}

DWORD Start(MidiPort *port)
{
    // A second start does not restart: the time base stays that of the
    // first. Started changes only under mmDrvCritSec.
    EnterCriticalSection(&mmDrvCritSec);
    if (!port->In.Parser.Started) {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        port->CounterFrequency = static_cast<ULONGLONG>(value.QuadPart);
        QueryPerformanceCounter(&value);
        port->StartCounter = static_cast<ULONGLONG>(value.QuadPart);
    }
    LeaveCriticalSection(&mmDrvCritSec);
    return threadcall(CmdSetState, StateStart, port);
}

DWORD Close(MidiPort *port)
{
    DWORD result = StopInputThread(port);
    if (result != MMSYSERR_NOERROR) return result;
    midiCallBack(port, MIM_CLOSE, 0, 0);
    const volatile DWORD *counts = port->In.Outcomes;
    LOG(1, "input port %d received: refused %u, duplicate %u, held %u, parsed %u",
        port->DeviceId, counts[0], counts[1], counts[2], counts[3]);
    LOG(2, "MIDI_CLOSE closing in socket");
    EnterCriticalSection(&mmDrvCritSec);
    midiCleanUp(port);
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(2, "MIDM_CLOSE completed with no error");
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" DWORD APIENTRY midMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2)
{
    switch (message) {
    case MIDM_GETNUMDEVS:
        OutputDebugStringW(L"MIDM_GETNUMDEVS\n");
        LOG(2, "MIDM_GETNUMDEVS");
        return CountDevices(MidiInDevice);
    case MIDM_GETDEVCAPS:
        LOG(2, "MIDM_GETDEVCAPS");
        OutputDebugStringW(L"MIDM_GETDEVCAPS\n");
        return GetDevCaps(deviceId, MidiInDevice, reinterpret_cast<void *>(param1),
                          static_cast<DWORD>(param2));
    case MIDM_OPEN:
        LOG(2, "MIDM_OPEN");
        return midiOpen(MidiInDevice, deviceId, reinterpret_cast<DWORD_PTR *>(user),
                        reinterpret_cast<const MIDIOPENDESC *>(param1),
                        static_cast<DWORD>(param2));
    case MIDM_PORTTABLEPROBE:
        return MMSYSERR_NOERROR;
    case MIDM_PORTTABLEQUERY:
        if (!param1 || !param2) return MMSYSERR_NOTSUPPORTED;
        return PortTableQuery(deviceId, MidiInDevice, reinterpret_cast<void *>(param1),
                              static_cast<DWORD>(param2));
    case MIDM_CLOSE:
    case MIDM_ADDBUFFER:
    case MIDM_START:
    case MIDM_STOP:
    case MIDM_RESET:
        break;
    default:  // MIDM_PREPARE and MIDM_UNPREPARE too: winmm prepares headers itself
        return MMSYSERR_NOTSUPPORTED;
    }

    // winmm hands back the record that the open stored; a value that is not
    // the record of an open input port (zero, an output port, or a port
    // closed meanwhile by another thread) is refused without being read.
    MidiPort *port = EnterPort(user, MidiInDevice);
    if (!port) return MMSYSERR_INVALPARAM;
    DWORD result;
    switch (message) {
    case MIDM_CLOSE:
        LOG(2, "MIDM_CLOSE");
        result = Close(port);
        break;
    case MIDM_ADDBUFFER:
        LOG(2, "MIDM_ADDBUFFER");
        result = AddBuffer(port, reinterpret_cast<MIDIHDR *>(param1), param2);
        break;
    case MIDM_START:
        LOG(2, "MIDM_START");
        result = Start(port);
        break;
    case MIDM_STOP:
        LOG(2, "MIDM_STOP");
        result = threadcall(CmdSetState, StateStop, port);
        LOG(2, "MIDM_STOP returns %d\n", result);
        break;
    default:  // MIDM_RESET
        LOG(2, "MIDM_RESET");
        result = threadcall(CmdSetState, StateReset, port);
        LOG(2, "MIDM_RESET returns %d\n", result);
        break;
    }
    LeavePort(port);
    return result;
}
