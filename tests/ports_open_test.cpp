// Opening and closing output ports through modMessage: the record handed
// back as the instance, the refusals and what they leave behind, Winsock's
// reference count, and a thousand opens that leave no trace.
#include <gtest/gtest.h>
#include "support/net_ports.h"

namespace {

using netsupport::Recorder;

bool IsSocket(SOCKET s)
{
    int type = 0;
    int size = sizeof type;
    return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &size) == 0;
}

class PortOpen : public testing::Test {
protected:
    void SetUp() override
    {
        // Slots: output 0, input 0, output 1.
        netsupport::SetUnits({{DirectionOutput, 0x352441C2, 5},
                              {DirectionInput, 0x352441C2, 5},
                              {DirectionOutput, 0x11111111, 0x80000000}});
        TCPClientServer = 0;
        TCPAddress[0] = 0;
    }
    void TearDown() override { netsupport::ClearUnits(); }
};

TEST_F(PortOpen, RecordIsFilledFromTheOpenAndTheUnit)
{
    Recorder recorder;
    DWORD_PTR instance = 0;
    ASSERT_EQ(netsupport::OpenPort(modMessage, MODM_OPEN, 1, &instance,
                                   reinterpret_cast<DWORD_PTR>(netsupport::RecordingCallback),
                                   reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION,
                                   reinterpret_cast<HMIDI>(0x77)),
              0u);
    MidiPort *port = reinterpret_cast<MidiPort *>(instance);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->DeviceType, static_cast<DWORD>(MidiOutDevice));
    EXPECT_EQ(port->DeviceId, 1u);
    EXPECT_EQ(port->pUnit, &pUnits[2]);
    EXPECT_EQ(port->Sequence, 1u);
    EXPECT_EQ(port->hMidi, reinterpret_cast<HMIDI>(0x77));
    EXPECT_EQ(port->dwFlags, static_cast<DWORD>(CALLBACK_FUNCTION));
    EXPECT_EQ(port->RunningLength, 0u);
    EXPECT_TRUE(IsSocket(port->Socket));
    EXPECT_TRUE(pUnits[2].OpenOutput);
    EXPECT_FALSE(pUnits[0].OpenOutput);
    EXPECT_EQ(pUnits[2].OpenHandle, port->Socket);
    // In this namespace the host is 127.0.0.1 and only loopback is up.
    EXPECT_EQ(port->BroadcastAddress, htonl(0x7FFFFFFF));
    EXPECT_EQ(wsacount, 1);

    std::vector<netsupport::Notification> seen = recorder.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, static_cast<UINT>(MOM_OPEN));
    EXPECT_EQ(seen[0].param1, 0u);

    EXPECT_EQ(netsupport::ClosePort(port), 0u);
    EXPECT_FALSE(pUnits[2].OpenOutput);
    EXPECT_EQ(pUnits[2].OpenHandle, INVALID_SOCKET);
    EXPECT_EQ(wsacount, 0);
    EXPECT_EQ(recorder.Messages(), std::vector<UINT>{MOM_CLOSE});
}

TEST_F(PortOpen, EachOpenIsANewSender)
{
    MidiPort *first = netsupport::OpenOutputPort(0);
    MidiPort *second = netsupport::OpenOutputPort(1);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->SenderId, second->SenderId);
    EXPECT_EQ(first->Sequence, 1u);
    EXPECT_EQ(second->Sequence, 1u);
    DWORD firstSender = first->SenderId;
    netsupport::ClosePort(first);
    MidiPort *again = netsupport::OpenOutputPort(0);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again->SenderId, firstSender);
    EXPECT_EQ(again->Sequence, 1u);
    netsupport::ClosePort(again);
    netsupport::ClosePort(second);
}

TEST_F(PortOpen, RefusalsLeaveNothingBehind)
{
    Recorder recorder;
    netsupport::HeapUsage heapBefore = netsupport::BusyBlocks(DriverHeap);
    DWORD handlesBefore = netsupport::HandleCount();
    DWORD_PTR instance = 0xDEAD;

    // Only two output devices; an input-only unit takes no output number.
    EXPECT_EQ(netsupport::OpenOutput(2, &instance, &recorder),
              static_cast<DWORD>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(netsupport::OpenOutput(0xFFFFFFFF, &instance, &recorder),
              static_cast<DWORD>(MMSYSERR_BADDEVICEID));
    // No open description or no instance location: refused before anything.
    EXPECT_EQ(modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&instance), 0, 0),
              static_cast<DWORD>(MMSYSERR_INVALPARAM));
    MIDIOPENDESC desc = {};
    EXPECT_EQ(modMessage(0, MODM_OPEN, 0, reinterpret_cast<DWORD_PTR>(&desc), 0),
              static_cast<DWORD>(MMSYSERR_INVALPARAM));

    EXPECT_EQ(instance, static_cast<DWORD_PTR>(0xDEAD));
    EXPECT_TRUE(recorder.Take().empty());
    EXPECT_EQ(wsacount, 0);
    EXPECT_FALSE(pUnits[0].OpenOutput || pUnits[2].OpenOutput);
    netsupport::HeapUsage heapAfter = netsupport::BusyBlocks(DriverHeap);
    EXPECT_EQ(heapAfter.blocks, heapBefore.blocks);
    EXPECT_EQ(heapAfter.bytes, heapBefore.bytes);
    EXPECT_EQ(netsupport::HandleCount(), handlesBefore);
}

TEST_F(PortOpen, SecondOpenOfAPortIsRefusedAndTheFirstKeepsWorking)
{
    MidiPort *first = netsupport::OpenOutputPort(0);
    ASSERT_NE(first, nullptr);
    SOCKET socket = first->Socket;
    netsupport::HeapUsage heapBefore = netsupport::BusyBlocks(DriverHeap);

    Recorder recorder;
    DWORD_PTR instance = 0;
    EXPECT_EQ(netsupport::OpenOutput(0, &instance, &recorder),
              static_cast<DWORD>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(instance, 0u);
    EXPECT_TRUE(recorder.Take().empty());

    // The refused open took no Winsock reference and released none.
    EXPECT_EQ(wsacount, 1);
    EXPECT_TRUE(pUnits[0].OpenOutput);
    EXPECT_EQ(pUnits[0].OpenHandle, socket);
    EXPECT_EQ(first->Socket, socket);
    EXPECT_TRUE(IsSocket(socket));
    EXPECT_EQ(netsupport::BusyBlocks(DriverHeap).blocks, heapBefore.blocks);
    // Still usable: an empty buffer goes through the writer and completes.
    MIDIHDR header = {};
    header.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(netsupport::Send(first, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)), 0u);

    EXPECT_EQ(netsupport::ClosePort(first), 0u);
    EXPECT_EQ(wsacount, 0);
    MidiPort *reopened = netsupport::OpenOutputPort(0);
    ASSERT_NE(reopened, nullptr);
    netsupport::ClosePort(reopened);
}

TEST_F(PortOpen, WinsockIsReleasedWithTheLastPortAndStartedAgain)
{
    // This program holds no Winsock reference of its own here, so the
    // driver's start and release are visible to it.
    MidiPort *a = netsupport::OpenOutputPort(0);
    MidiPort *b = netsupport::OpenOutputPort(1);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(wsacount, 2);
    netsupport::ClosePort(a);
    EXPECT_EQ(wsacount, 1);
    EXPECT_TRUE(IsSocket(b->Socket)) << "the other port keeps Winsock";
    netsupport::ClosePort(b);
    EXPECT_EQ(wsacount, 0);

    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_EQ(probe, INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    if (probe != INVALID_SOCKET) closesocket(probe);

    MidiPort *c = netsupport::OpenOutputPort(0);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(IsSocket(c->Socket));
    netsupport::ClosePort(c);
}

TEST_F(PortOpen, AThousandOpensLeaveNoHandleHeapBlockOrReference)
{
    // Warm up once so that lazily made system objects are not counted.
    netsupport::ClosePort(netsupport::OpenOutputPort(0));
    netsupport::HeapUsage heapBefore = netsupport::BusyBlocks(DriverHeap);
    DWORD handlesBefore = netsupport::HandleCount();
    Recorder recorder;

    int opened = 0, notified = 0;
    for (int i = 0; i < 1000; ++i) {
        MidiPort *port = netsupport::OpenOutputPort(i % 2, &recorder);
        if (!port) break;
        ++opened;
        // A refused second open inside the cycle must not disturb it.
        DWORD_PTR spare = 0;
        if (i % 100 == 0) {
            EXPECT_EQ(netsupport::OpenOutput(i % 2, &spare), static_cast<DWORD>(MMSYSERR_ALLOCATED));
        }
        netsupport::ClosePort(port);
        notified += static_cast<int>(recorder.Take().size());
        if (wsacount != 0) break;
    }
    EXPECT_EQ(opened, 1000);
    EXPECT_EQ(notified, 2000);
    EXPECT_EQ(wsacount, 0);
    netsupport::HeapUsage heapAfter = netsupport::BusyBlocks(DriverHeap);
    EXPECT_EQ(heapAfter.blocks, heapBefore.blocks);
    EXPECT_EQ(heapAfter.bytes, heapBefore.bytes);
    EXPECT_EQ(netsupport::HandleCount(), handlesBefore);
}

}  // namespace
