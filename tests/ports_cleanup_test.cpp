// Closing an input port whose receive is still posted: the record holds the
// receive's buffer, so the clean-up must see the receive end before it hands
// the record back to the heap.
#include <gtest/gtest.h>
#include "net/net.h"
#include "support/net_ports.h"
#include "support/support.h"

namespace {

struct Poster {
    MidiPort *port;
    HANDLE posted;     // set once the receive is posted
    HANDLE release;    // the thread ends when this is set
    int result = 0;
    int error = 0;
    static DWORD WINAPI Run(LPVOID context)
    {
        Poster *self = static_cast<Poster *>(context);
        RecvBuffer &buffer = self->port->In.Buffer;
        self->port->RecvWsaBuf.len = PacketSizeMax;
        self->port->RecvWsaBuf.buf = reinterpret_cast<char *>(buffer.Packet);
        buffer.FromLength = sizeof buffer.From;
        DWORD flags = 0;
        self->result = WSARecvFrom(self->port->Socket, &self->port->RecvWsaBuf, 1,
                                   &buffer.BytesReceived, &flags,
                                   reinterpret_cast<sockaddr *>(&buffer.From), &buffer.FromLength,
                                   &buffer.Overlapped, nullptr);
        self->error = WSAGetLastError();
        if (self->result == 0 || self->error == WSA_IO_PENDING) self->port->In.Posted = 1;
        SetEvent(self->posted);
        WaitForSingleObject(self->release, INFINITE);
        return 0;
    }
};

// An input record as the open leaves it, without its thread.
MidiPort *MakeInputRecord()
{
    MidiPort *port =
        static_cast<MidiPort *>(HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, InputPortSize));
    if (!port) return nullptr;
    port->DeviceType = MidiInDevice;
    port->pIn = &port->In;
    port->In.Buffer.Owner = port;
    port->Socket = port->WorkSocket = port->AcceptSocket = INVALID_SOCKET;
    EnterCriticalSection(&mmDrvCritSec);
    DWORD opened = sndOpenDev(MidiInDevice, 0, &port->Socket, port);
    LeaveCriticalSection(&mmDrvCritSec);
    EXPECT_EQ(opened, 0u);
    port->Event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    port->AuxEvent1 = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    port->AuxEvent2 = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    port->In.Buffer.Overlapped.hEvent = port->Event;
    return port;
}

// Whether the thread that posted the receive has ended before the close
// (its receives are then cancelled by the system) or still runs (the
// socket's close cancels the receive).
class PortCleanup : public testing::TestWithParam<bool> {};

TEST_P(PortCleanup, OutstandingReceiveEndsBeforeTheRecordIsFreed)
{
    const bool posterEnded = GetParam();
    testsupport::WinsockUp();
    netsupport::SetUnits({{DirectionInput, 1, 1}});
    netsupport::HeapUsage heapBefore = netsupport::BusyBlocks(DriverHeap);
    DWORD handlesBefore = netsupport::HandleCount();

    MidiPort *port = MakeInputRecord();
    ASSERT_NE(port, nullptr);
    Poster poster = {port, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                     CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, Poster::Run, &poster, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(poster.posted, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(poster.error, WSA_IO_PENDING) << "nothing was sent, so the receive waits";
    ASSERT_TRUE(port->In.Posted);
    // What the clean-up relies on: the system marks a receive in progress.
    EXPECT_FALSE(HasOverlappedIoCompleted(&port->In.Buffer.Overlapped));
    if (posterEnded) {
        SetEvent(poster.release);
        WaitForSingleObject(thread, 5000);
    }

    DWORD start = GetTickCount();
    EnterCriticalSection(&mmDrvCritSec);
    midiCleanUp(port);
    LeaveCriticalSection(&mmDrvCritSec);
    EXPECT_LT(GetTickCount() - start, 2000u);

    SetEvent(poster.release);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(poster.posted);
    CloseHandle(poster.release);

    netsupport::HeapUsage heapAfter = netsupport::BusyBlocks(DriverHeap);
    EXPECT_EQ(heapAfter.blocks, heapBefore.blocks) << "the record went back to the heap";
    EXPECT_EQ(heapAfter.bytes, heapBefore.bytes);
    EXPECT_EQ(netsupport::HandleCount(), handlesBefore) << "events and socket closed";
    EXPECT_EQ(wsacount, 0);
    EXPECT_FALSE(pUnits[0].OpenInput);
    netsupport::ClearUnits();
    testsupport::WinsockDown();
}

INSTANTIATE_TEST_SUITE_P(Poster, PortCleanup, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? "ThreadEnded" : "ThreadRunning";
                         });

}  // namespace
