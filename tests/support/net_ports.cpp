#include "net_ports.h"
#include "support.h"
#include <gtest/gtest.h>

namespace netsupport {

static const WCHAR kTestDescription[] = L"test port";

void ClearUnits()
{
    EnterCriticalSection(&mmDrvCritSec);
    for (Unit &unit : pUnits) {
        if (unit.Description) HeapFree(DriverHeap, 0, unit.Description);
        ZeroMemory(&unit, sizeof unit);
        unit.OpenHandle = INVALID_SOCKET;
    }
    LeaveCriticalSection(&mmDrvCritSec);
}

void SetUnits(const std::vector<UnitSpec> &units)
{
    ClearUnits();
    EnterCriticalSection(&mmDrvCritSec);
    for (size_t i = 0; i < units.size() && i < UnitsInUse; ++i) {
        Unit &unit = pUnits[i];
        unit.Description =
            static_cast<WCHAR *>(HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, sizeof kTestDescription));
        if (unit.Description) CopyMemory(unit.Description, kTestDescription, sizeof kTestDescription);
        unit.Direction = units[i].direction;
        unit.ShowNumber = units[i].showNumber;
        unit.Groups = units[i].groups;
        unit.InUse = 1;
    }
    LeaveCriticalSection(&mmDrvCritSec);
}

Recorder::Recorder() { InitializeCriticalSection(&lock); }
Recorder::~Recorder() { DeleteCriticalSection(&lock); }

std::vector<Notification> Recorder::Take()
{
    EnterCriticalSection(&lock);
    std::vector<Notification> result;
    result.swap(seen);
    LeaveCriticalSection(&lock);
    return result;
}

std::vector<UINT> Recorder::Messages()
{
    std::vector<UINT> messages;
    for (const Notification &n : Take()) messages.push_back(n.message);
    return messages;
}

void CALLBACK RecordingCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                DWORD_PTR param2)
{
    Recorder *recorder = reinterpret_cast<Recorder *>(instance);
    EnterCriticalSection(&recorder->lock);
    recorder->seen.push_back({device, message, instance, param1, param2, GetCurrentThreadId()});
    LeaveCriticalSection(&recorder->lock);
}

DWORD OpenPort(DriverMessageProc proc, UINT message, UINT deviceId, DWORD_PTR *instance,
               DWORD_PTR callback, DWORD_PTR clientInstance, DWORD flags, HMIDI handle)
{
    MIDIOPENDESC desc = {};
    desc.hMidi = handle;
    desc.dwCallback = callback;
    desc.dwInstance = clientInstance;
    return proc(deviceId, message, reinterpret_cast<DWORD_PTR>(instance),
                reinterpret_cast<DWORD_PTR>(&desc), flags);
}

DWORD OpenOutput(UINT deviceId, DWORD_PTR *instance, Recorder *recorder)
{
    if (!recorder) return OpenPort(modMessage, MODM_OPEN, deviceId, instance, 0, 0, CALLBACK_NULL);
    return OpenPort(modMessage, MODM_OPEN, deviceId, instance,
                    reinterpret_cast<DWORD_PTR>(RecordingCallback),
                    reinterpret_cast<DWORD_PTR>(recorder), CALLBACK_FUNCTION);
}

MidiPort *OpenOutputPort(UINT deviceId, Recorder *recorder)
{
    DWORD_PTR instance = 0;
    DWORD result = OpenOutput(deviceId, &instance, recorder);
    EXPECT_EQ(result, static_cast<DWORD>(MMSYSERR_NOERROR)) << "open of output " << deviceId;
    return result == MMSYSERR_NOERROR ? reinterpret_cast<MidiPort *>(instance) : nullptr;
}

DWORD Send(MidiPort *port, UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    return modMessage(port ? port->DeviceId : 0, message, reinterpret_cast<DWORD_PTR>(port),
                      param1, param2);
}

DWORD SendShort(MidiPort *port, BYTE status, BYTE data1, BYTE data2)
{
    return Send(port, MODM_DATA, status | (data1 << 8) | (data2 << 16));
}

DWORD ClosePort(MidiPort *port) { return Send(port, MODM_CLOSE); }

Capture::Capture() : socket_(testsupport::OpenCaptureSocket())
{
    if (socket_ == INVALID_SOCKET) return;
    int size = 4 << 20;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size), sizeof size);
}

Capture::~Capture()
{
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

bool Capture::Next(Packet *packet, int timeoutMs)
{
    BYTE buffer[2048];
    int got = testsupport::ReceiveDatagram(socket_, buffer, sizeof buffer, timeoutMs);
    if (got < 0) return false;
    packet->length = got;
    DWORD header[4] = {};
    CopyMemory(header, buffer, got < PacketHeaderSize ? got : PacketHeaderSize);
    packet->senderId = header[0];
    packet->sequence = header[1];
    packet->showNumber = header[2];
    packet->groups = header[3];
    packet->data.assign(buffer + (got < PacketHeaderSize ? got : PacketHeaderSize), buffer + got);
    return true;
}

std::vector<Packet> Capture::Drain(int quietMs)
{
    std::vector<Packet> packets;
    Packet packet;
    while (Next(&packet, quietMs)) packets.push_back(packet);
    return packets;
}

DWORD HandleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

}  // namespace netsupport
