// A bare input port record driven by the test thread itself, standing in
// for the port's thread: the packet acceptance and parser tests feed its
// parser and receive path directly. Header-only, so that only those tests
// compile it.
#pragma once

#include "input/input.h"
#include "net/net.h"
#include "net_ports.h"

namespace inputtest {

using netsupport::ClientBuffer;
using netsupport::Describe;
using netsupport::MidiNotes;
using netsupport::Note;
using testsupport::HeapUse;
using testsupport::MeasureHeap;

struct BarePort {
    MidiPort *port =
        static_cast<MidiPort *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, InputPortSize));
    Unit unit = {};
    netsupport::Recorder recorder;
    SOCKET socket = INVALID_SOCKET, sender = INVALID_SOCKET;
    sockaddr_in address = {};  // where the socket listens: 127.0.0.1, a port of its own

    BarePort(DWORD show = 0x1234, DWORD groups = 0x5)
    {
        unit.ShowNumber = show;
        unit.Groups = groups;
        unit.Direction = DirectionInput;
        port->DeviceType = MidiInDevice;
        port->pUnit = &unit;
        port->pIn = &port->In;
        port->In.Buffer.Owner = port;
        port->In.Started = 1;
        port->Socket = port->AcceptSocket = port->WorkSocket = INVALID_SOCKET;
        port->dwCallback = reinterpret_cast<DWORD_PTR>(&netsupport::RecordingCallback);
        port->dwInstance = reinterpret_cast<DWORD_PTR>(&recorder);
        port->dwFlags = CALLBACK_DIRECT;
    }
    ~BarePort()
    {
        port->In.Started = 0;
        port->In.RecvQueue = nullptr;
        if (port->In.Posted) CancelIo(reinterpret_cast<HANDLE>(socket));
        for (int i = 0; i < 300 && port->In.Posted; ++i) SleepEx(10, TRUE);
        closesocket(socket);
        closesocket(sender);
        FreeHeldBlocks(port);
        HeapFree(GetProcessHeap(), 0, port);
    }
    void Feed(const std::vector<BYTE> &bytes)  // straight into the parser
    {
        for (BYTE b : bytes) ParseMidiByte(port, b);
    }
    DWORD Add(ClientBuffer &buffer)  // the command, run here
    {
        BOOL closing = FALSE;
        return RunPortCommand(port, CmdAddBuffer, (DWORD_PTR)&buffer.header, &closing);
    }
    bool StartReceiving()  // socket, time base, first receive posted
    {
        testsupport::WinsockUp();
        socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (bind(socket, (sockaddr *)&address, sizeof address) != 0 ||
            getsockname(socket, (sockaddr *)&address, &length) != 0)
            return false;
        port->Socket = socket;
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        port->CounterFrequency = value.QuadPart;
        QueryPerformanceCounter(&value);
        port->StartCounter = value.QuadPart;
        return midiInPutBuffer(&port->In.Buffer, port) == MMSYSERR_NOERROR;
    }
    bool SendOnly(const std::vector<BYTE> &datagram)
    {
        if (sender == INVALID_SOCKET) sender = ::socket(AF_INET, SOCK_DGRAM, 0);
        int size = int(datagram.size());
        return sendto(sender, (const char *)datagram.data(), size, 0, (sockaddr *)&address,
                      sizeof address) == size;
    }
    // The posted receive completes and is handled: a UDP packet by the
    // completion routine itself, the rest by midiFlush as after the wait.
    bool Complete()
    {
        for (int i = 0; i < 300; ++i) {
            if (SleepEx(10, TRUE) != WAIT_IO_COMPLETION) continue;
            midiFlush(port);
            return true;
        }
        return false;
    }
    bool Deliver(const std::vector<BYTE> &datagram) { return SendOnly(datagram) && Complete(); }
};

inline std::vector<BYTE> Packet(DWORD sender, DWORD sequence, DWORD show, DWORD groups,
                                const std::vector<BYTE> &data)
{
    return netsupport::PacketBytes(sender, sequence, show, groups, data);
}

}  // namespace inputtest
