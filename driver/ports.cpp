// Opening and closing ports: the MidiPort record, its socket, the UDP
// broadcast address, the threads a port needs, and the client's open
// notification. midiCleanUp undoes all of it, also for a half-built open.
#include "driver/driver.h"
#include "input/input.h"

namespace {

constexpr int InterfaceRecordSize = 76;   // INTERFACE_INFO on both architectures
constexpr int InterfaceRecordCount = 20;
constexpr int TcpConnectWaits = 20;       // 20 x 1 s for a TCP output connection
static_assert(sizeof(INTERFACE_INFO) == InterfaceRecordSize, "interface record");

DWORD ClassfulBroadcast(DWORD address)
{
    if ((address & 0x80000000) == 0) return address | 0x00FFFFFF;            // class A
    if ((address & 0xC0000000) == 0x80000000) return address | 0x0000FFFF;   // class B
    return address | 0x000000FF;
}

// First IPv4 address of a host entry, in host order; false if none.
bool FirstAddress(const hostent *host, DWORD *address)
{
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0])
        return false;
    u_long network;
    CopyMemory(&network, host->h_addr_list[0], sizeof network);
    *address = ntohl(network);
    return true;
}

// Works out the port's BroadcastAddress from the host's own address, the
// configured TCP address and the interface list of the port's socket.
DWORD ComputePortBroadcast(MidiPort *port)
{
    char hostName[256];
    if (gethostname(hostName, 255) != 0) {
        LOG(2, " sdnOpenDev %d failed.", port->DeviceId);
        return MMSYSERR_BADDEVICEID;
    }
    DWORD hostAddress = 0;
    FirstAddress(gethostbyname(hostName), &hostAddress);

    DWORD preferred = 0;
    if (TCPAddress[0]) preferred = ntohl(inet_addr(TCPAddress));

    BYTE list[InterfaceRecordSize * InterfaceRecordCount];
    ZeroMemory(list, sizeof list);
    DWORD returned = 0;
    int ret = WSAIoctl(port->Socket, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list,
                       &returned, nullptr, nullptr);
    int count = static_cast<int>(returned / InterfaceRecordSize);

    DWORD secondLookup = 0;
    if (!FirstAddress(gethostbyname(hostName), &secondLookup)) return MMSYSERR_INVALPARAM;
    if (preferred == 0 && ret == 0 && count >= 2) preferred = secondLookup;

    LOG(1, "ret %d, returned %d num %d error %d", ret, returned, count, WSAGetLastError());

    const INTERFACE_INFO *interfaces = reinterpret_cast<const INTERFACE_INFO *>(list);
    port->BroadcastAddress =
        htonl(ComputeBroadcastAddress(hostAddress, preferred, interfaces, ret == 0 ? count : 0));
    return MMSYSERR_NOERROR;
}

// TCP output: the connection thread connects in the background; the open
// waits a bounded time for it and goes on either way.
DWORD StartOutputConnection(MidiPort *port)
{
    LOG(2, "Create connection thread. %d %d", port->DeviceType, 4);
    if (!StartConnectionThread(port)) {
        LOG(2, "Connection thread create failed %ld", GetLastError());
        return MMSYSERR_ERROR;
    }
    for (int i = 0; i < TcpConnectWaits; ++i) {
        if (connected || !connectenabled) break;
        Sleep(1000);
    }
    return MMSYSERR_NOERROR;
}

DWORD PrepareTransport(MidiPort *port)
{
    if (TCPClientServer == 0) return ComputePortBroadcast(port);
    if (TCPClientServer != 1) return MMSYSERR_NOERROR;
    connected = 0;
    connectenabled = 1;
    connport = port;
    connbuffer = nullptr;
    if (port->DeviceType == MidiInDevice) {
        // The accepting thread starts when the port starts receiving.
        recued = 0;
        return MMSYSERR_NOERROR;
    }
    return StartOutputConnection(port);
}

void CloseEvent(HANDLE &event, const char *message)
{
    if (!event) return;
    LOG(2, message);
    CloseHandle(event);
    event = nullptr;
}

}  // namespace

DWORD ComputeBroadcastAddress(DWORD hostAddress, DWORD preferred,
                              const INTERFACE_INFO *interfaces, int count)
{
    DWORD broadcast = ClassfulBroadcast(hostAddress);
    for (int i = 0; i < count; ++i) {
        const INTERFACE_INFO &record = interfaces[i];
        if (record.iiNetmask.Address.sa_family != AF_INET) continue;
        DWORD mask = ntohl(record.iiNetmask.AddressIn.sin_addr.s_addr);
        DWORD address = ntohl(record.iiAddress.AddressIn.sin_addr.s_addr);
        if ((address & mask) == (preferred & mask)) return ~mask | preferred;
        LOG(1, "0x%08.8x 0x%08.8x \n", address & mask, mask & 0xC0A80012);
    }
    return broadcast;
}

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

    result = PrepareTransport(port);
    if (result == MMSYSERR_NOERROR && input) result = StartInputThread(port);
    if (result != MMSYSERR_NOERROR) {
        midiCleanUp(port);
        LeaveCriticalSection(&mmDrvCritSec);
        return result;
    }

    LOG(2, "midiOpen: 0x%lx 0x%lx", static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(port)),
        static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(port->AuxEvent1)));
    *instance = reinterpret_cast<DWORD_PTR>(port);
    midiCallBack(port, input ? MIM_OPEN : MOM_OPEN, 0, 0);

    teardown = 0;
    if (TCPClientServer != 0) connectenabled = 1;
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(2, " open succeeded");
    return MMSYSERR_NOERROR;
}

void midiCleanUp(MidiPort *port)
{
    LOG(2, "midiCleanUp on port %d", port->DeviceId);

    // Stops connection attempts for the whole driver; a connecting thread
    // gets a moment to see the flag.
    connectenabled = 0;
    if (!connected && recued) Sleep(50);
    // The connection thread closes the handle too when it ends: whoever
    // takes it from connthread first closes it.
    if (HANDLE thread = InterlockedExchangePointer(&connthread, nullptr)) CloseHandle(thread);

    socketCleanUp(port);

    bool keepRecord = false;
    if (port->DeviceType == MidiInDevice) {
        keepRecord = !ReceiveHasEnded(port);
        if (keepRecord) LOG(1, "midiCleanUp: receive on port %d still outstanding", port->DeviceId);
        FreeHeldBlocks(port);
    }
    CloseEvent(port->AuxEvent1, "Closing AuxEvent1");
    CloseEvent(port->AuxEvent2, "Closing AuxEvent2");
    // A receive that never ended may still signal its event.
    if (!keepRecord) CloseEvent(port->Event, "Closing Event");

    if (!keepRecord) HeapFree(DriverHeap, 0, port);

    if (DebugLevel >= 2) {
        LogPrint("finished close cleanup");
        LogPrint("opencount %d", opencount);
        --opencount;
    }
}
