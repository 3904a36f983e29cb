// Opening and closing ports: the MidiPort record, its transport and socket,
// what the transport needs at the open (the UDP broadcast address, or the
// TCP connection), the input port's thread, and the client's open
// notification. midiCleanUp undoes all of it, also for a half-built open.
#include "driver/driver.h"
#include "input/input.h"

namespace {

// The record of every open port; null entries are free. Guarded by
// mmDrvCritSec. A unit is open at most once each way: two entries a unit.
// Every client call looks its record up here, so the search stops at
// openPortsEnd, one past the last entry in use.
MidiPort *openPorts[2 * UnitTableSize];
int openPortsEnd;

bool IsOpenPort(const MidiPort *port)
{
    if (!port) return false;
    for (int i = 0; i < openPortsEnd; ++i)
        if (openPorts[i] == port) return true;
    return false;
}

bool RegisterOpenPort(MidiPort *port)
{
    for (int i = 0; i < 2 * UnitTableSize; ++i) {
        if (openPorts[i]) continue;
        openPorts[i] = port;
        if (i >= openPortsEnd) openPortsEnd = i + 1;
        return true;
    }
    return false;
}

void UnregisterOpenPort(MidiPort *port)
{
    for (int i = 0; i < openPortsEnd; ++i)
        if (openPorts[i] == port) openPorts[i] = nullptr;
    while (openPortsEnd > 0 && !openPorts[openPortsEnd - 1]) --openPortsEnd;
}

// The record goes back to the heap once nothing can touch it: not while a
// client call is still inside the driver with it (the last one to leave
// frees it), never when a receive or the connection thread may still write
// into it (that reference is never dropped).
void ReleaseRecord(MidiPort *port, bool keep)
{
    port->Closed = 1;
    if (keep) ++port->Users;
    if (port->Users == 0) HeapFree(DriverHeap, 0, port);
}

void CloseEvent(HANDLE &event, const char *message)
{
    if (!event) return;
    LOG(2, message);
    CloseHandle(event);
    event = nullptr;
}

}  // namespace

DWORD sndOpenDev(DWORD deviceType, DWORD deviceId, SOCKET *socket, MidiPort *port)
{
    if (deviceType != MidiOutDevice && deviceType != MidiInDevice)
        AssertFail("DeviceType == MidiOutDevice || DeviceType == MidiInDevice", "TSDRVUTIL", 74);
    Unit *unit = IndexToUnit(deviceId, deviceType);
    *socket = INVALID_SOCKET;
    LOG(2, "sndOpenDev %d start", deviceId);

    if (!unit) {
        LOG(2, " id invalid");
        return MMSYSERR_BADDEVICEID;
    }
    bool input = deviceType == MidiInDevice;
    if (input && !(LOWORD(unit->Direction) & DirectionInput)) {
        LOG(2, " port not valid for input!");
        return MMSYSERR_BADDEVICEID;
    }
    if (!input && !(LOWORD(unit->Direction) & DirectionOutput)) {
        LOG(2, " port not valid for output!");
        return MMSYSERR_BADDEVICEID;
    }
    if (!input && unit->OpenOutput) {
        LOG(2, " port already open output");
        return MMSYSERR_ALLOCATED;
    }
    if (input && unit->OpenInput) {
        LOG(2, " port already open input");
        return MMSYSERR_ALLOCATED;
    }

    socketRebuild(socket, port);
    if (*socket == INVALID_SOCKET) {
        int error = WSAGetLastError();
        LOG(2, "sndOpenDev CreateFile failed");
        WSASetLastError(error);
        return sndTranslateStatus();
    }
    // The open mark belongs to this record from here on, so its clean-up
    // (and only its clean-up) can find the unit and clear the mark.
    port->pUnit = unit;
    if (input) unit->OpenInput = 1;
    else unit->OpenOutput = 1;
    unit->OpenHandle = *socket;
    LOG(2, " device %d handle %x", deviceId, static_cast<unsigned>(*socket));
    return MMSYSERR_NOERROR;
}

DWORD midiOpen(DWORD deviceType, DWORD deviceId, DWORD_PTR *instance, const MIDIOPENDESC *desc,
               DWORD flags)
{
    if (!instance || !desc) return MMSYSERR_INVALPARAM;
    if (DebugLevel >= 2) {
        LogPrint("opencount %d", opencount);
        ++opencount;
    }
    LOG(2, "midiOpen %d", deviceId);
    // The pause that building a port's socket starts with is taken here,
    // before the driver-wide lock that the build runs under: taken inside
    // it, every other call of the process waited behind every open.
    Sleep(SocketBuildPauseMs);
    EnterCriticalSection(&mmDrvCritSec);

    bool input = deviceType == MidiInDevice;
    MidiPort *port = static_cast<MidiPort *>(
        HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, input ? InputPortSize : OutputPortSize));
    if (!port) {
        LOG(2, " client allocation failed.");
        LeaveCriticalSection(&mmDrvCritSec);
        return MMSYSERR_NOMEM;
    }
    if (input) {
        port->pIn = &port->In;
        port->In.Buffer.Owner = port;
        InitInputSink(port);
    } else {
        if (deviceType != MidiOutDevice) AssertFail("DeviceType == MidiInDevice", "TSMIDIDD", 678);
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        port->SenderId = counter.LowPart;
        port->Sequence = 1;
    }
    port->DeviceType = deviceType;
    port->DeviceId = deviceId;
    port->Transport = TransportFor(TCPClientServer);
    port->dwCallback = desc->dwCallback;
    port->dwInstance = desc->dwInstance;
    port->hMidi = desc->hMidi;
    port->dwFlags = flags;
    port->Socket = INVALID_SOCKET;
    port->WorkSocket = INVALID_SOCKET;
    port->AcceptSocket = INVALID_SOCKET;

    DWORD result = sndOpenDev(deviceType, deviceId, &port->Socket, port);
    if (result == MMSYSERR_NOERROR) {
        port->pUnit = IndexToUnit(deviceId, deviceType);
        if (!port->pUnit) result = MMSYSERR_BADDEVICEID;
    }
    if (result != MMSYSERR_NOERROR) {
        LOG(2, " sdnOpenDev %d failed.", deviceId);
        midiCleanUp(port);
        LeaveCriticalSection(&mmDrvCritSec);
        return result;
    }

    result = port->Transport->PrepareOpen(port);
    if (result == MMSYSERR_NOERROR && !RegisterOpenPort(port)) result = MMSYSERR_NOMEM;
    if (result == MMSYSERR_NOERROR && input) result = StartInputThread(port);
    if (result != MMSYSERR_NOERROR) {
        midiCleanUp(port);
        LeaveCriticalSection(&mmDrvCritSec);
        return result;
    }

    LOG(2, "midiOpen: 0x%lx 0x%lx", static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(port)),
        static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(port->AuxEvent1)));
    *instance = reinterpret_cast<DWORD_PTR>(port);
    teardown = 0;
    if (TCPClientServer != 0) connectenabled = 1;
    LeaveCriticalSection(&mmDrvCritSec);
    // Notified outside the lock: a client that queues its buffers and
    // starts the port from this callback sends commands to the port's
    // thread, which takes mmDrvCritSec to run them.
    midiCallBack(port, input ? MIM_OPEN : MOM_OPEN, 0, 0);
    LOG(2, " open succeeded");
    return MMSYSERR_NOERROR;
}

void midiCleanUp(MidiPort *port)
{
    LOG(2, "midiCleanUp on port %d", port->DeviceId);
    // From here on a client call with this record is refused.
    UnregisterOpenPort(port);

    // Stops connection attempts for the whole driver, and waits until a
    // connection thread working for this port has let go of its record.
    bool keepRecord = !StopConnectionThread(port);

    socketCleanUp(port);

    if (port->DeviceType == MidiInDevice) {
        if (!ReceiveHasEnded(port)) keepRecord = true;
        if (keepRecord) LOG(1, "midiCleanUp: receive on port %d still outstanding", port->DeviceId);
        FreeHeldBlocks(port);
    }
    CloseEvent(port->AuxEvent1, "Closing AuxEvent1");
    CloseEvent(port->AuxEvent2, "Closing AuxEvent2");
    // A receive that never ended may still signal its event.
    if (!keepRecord) CloseEvent(port->Event, "Closing Event");
    ReleaseRecord(port, keepRecord);

    if (DebugLevel >= 2) {
        LogPrint("finished close cleanup");
        LogPrint("opencount %d", opencount);
        --opencount;
    }
}

MidiPort *EnterPort(DWORD_PTR user, DWORD deviceType)
{
    MidiPort *port = reinterpret_cast<MidiPort *>(user);
    EnterCriticalSection(&mmDrvCritSec);
    if (!IsOpenPort(port) || port->DeviceType != deviceType) port = nullptr;
    else ++port->Users;
    LeaveCriticalSection(&mmDrvCritSec);
    return port;
}

void LeavePort(MidiPort *port)
{
    EnterCriticalSection(&mmDrvCritSec);
    if (--port->Users == 0 && port->Closed) HeapFree(DriverHeap, 0, port);
    LeaveCriticalSection(&mmDrvCritSec);
}
