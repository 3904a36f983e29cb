// Input ports' sockets and their close: 12555 shared by UDP ports and other
// programs with address reuse, or held exclusively; a TCP port listening from
// open to close; closes in any state that leave no handle, heap or Winsock trace.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include <memory>

namespace {

using namespace netsupport;

constexpr DWORD Show = 0x352441C2;

class InputPorts : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        SetUnits({{DirectionInput | DirectionOutput, Show, 1}, {DirectionInput, Show, 3}});
    }
};

TEST_F(InputPorts, TwoPortsAndAnotherProgramHearOneBroadcast)
{
    Capture other;
    Client first(midMessage, true, 0), second(midMessage, true, 1);
    ASSERT_TRUE(other.ok() && first.open() && second.open());
    EXPECT_EQ(first.Send(MIDM_START), 0u);
    EXPECT_EQ(second.Send(MIDM_START), 0u);
    ASSERT_TRUE(Broadcast(5, 1, Show, 1, {0xF8}));
    for (Client *port : {&first, &second}) {
        std::vector<Note> midi = port->recorder.WaitMidi(1);
        EXPECT_TRUE(midi.size() == 1 && midi[0].param1 == 0xF8) << Describe(midi);
    }
    Datagram packet;
    EXPECT_TRUE(other.Next(&packet));
}

TEST_F(InputPorts, PortHeldExclusivelyMakesTheOpenFailWithoutATrace)
{
    SOCKET squatter = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = testsupport::NetworkPortAddress();
    ASSERT_EQ(bind(squatter, (sockaddr *)&address, sizeof address), 0);
    Resources before = Measure();
    {
        // Windows says "address in use"; Wine "access denied", which has no code of its own.
        Client port(midMessage, true, 0);
        EXPECT_TRUE(port.openResult == MMSYSERR_ALLOCATED || port.openResult == MMSYSERR_ERROR)
            << port.openResult;
        EXPECT_TRUE(port.recorder.Take().empty());
    }
    ExpectUnchanged(before);
    closesocket(squatter);
    EXPECT_TRUE(Client(midMessage, true, 0).open());
}

TEST_F(InputPorts, TcpPortListensFromOpenToClose)
{
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "127.0.0.1");
    sockaddr_in to = testsupport::NetworkPortAddress(INADDR_LOOPBACK);
    Resources before = Measure();
    for (bool open : {true, false}) {
        std::unique_ptr<Client> port(open ? new Client(midMessage, true, 0) : nullptr);
        EXPECT_TRUE(!port || port->open());
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_EQ(connect(client, (sockaddr *)&to, sizeof to) == 0, open);
        closesocket(client);
    }
    ExpectUnchanged(before, 2);
}

TEST_F(InputPorts, ClosesLeaveNothingBehind)
{
    Client(midMessage, true, 0).Send(MIDM_START);  // lazily made system objects come first
    Resources before = Measure();
    for (int i = 0; i < 120; ++i) {
        Client port(midMessage, true, 0);
        ASSERT_TRUE(port.open()) << i;
        EXPECT_EQ(i % 4 ? port.Send(MIDM_START) : 0u, 0u);
        EXPECT_EQ(i % 4 == 2 ? port.Send(MIDM_STOP) : 0u, 0u);
        if (i % 4 == 3) Broadcast(7, i, Show, 1, {0x90, 0x3C, 0x40});
        ASSERT_EQ(port.Close(), 0u) << i;
        EXPECT_EQ(port.recorder.Messages().back(), (DWORD)MIM_CLOSE);
    }
    ExpectUnchanged(before, 2);
}

// A unit open both ways: its input stays open and receiving while its
// output closes (with its own socket) and opens again.
TEST_F(InputPorts, UnitOpenBothWaysKeepsTheOtherDirection)
{
    Client(modMessage, false, 0);  // lazily made system objects come first
    Resources before = Measure();
    {
        Client input(midMessage, true, 0);
        ASSERT_EQ(input.Send(MIDM_START), 0u);
        Resources inputOnly = Measure();
        EXPECT_EQ(Client(modMessage, false, 0).Send(MODM_DATA, 0x403C90), 0u);
        std::vector<Note> midi = input.recorder.WaitMidi(1);
        EXPECT_TRUE(midi.size() == 1 && midi[0].param1 == 0x403C90) << Describe(midi);
        ExpectUnchanged(inputOnly);
        EXPECT_TRUE(Client(modMessage, false, 0).open());
    }
    ExpectUnchanged(before, 2);
}

}  // namespace
