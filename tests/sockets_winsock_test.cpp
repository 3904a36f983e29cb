// Port sockets: what each kind is built with, the Winsock reference that a
// port holds, the unit's open marks, and the winmm code of a socket error.
#include <gtest/gtest.h>
#include "net/net.h"
#include "support/support.h"
#include <memory>

namespace {

struct PortRecord {
    std::unique_ptr<MidiPort> record{new MidiPort()};
    MidiPort *operator->() { return record.get(); }
    MidiPort *get() { return record.get(); }
};

PortRecord MakePort(DWORD deviceType, Unit *unit = nullptr)
{
    PortRecord port;
    port->DeviceType = deviceType;
    port->pUnit = unit;
    port->Socket = INVALID_SOCKET;
    port->WorkSocket = INVALID_SOCKET;
    port->AcceptSocket = INVALID_SOCKET;
    return port;
}

int IntOption(SOCKET s, int level, int option)
{
    int value = 0;
    int size = sizeof value;
    if (getsockopt(s, level, option, reinterpret_cast<char *>(&value), &size) != 0) return -1;
    return value;
}

bool IsSocket(SOCKET s)
{
    int type = 0;
    int size = sizeof type;
    return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &size) == 0;
}

sockaddr_in LocalAddress(SOCKET s)
{
    sockaddr_in address = {};
    int size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &size);
    return address;
}

class Sockets : public testing::Test {
protected:
    void SetUp() override
    {
        // The test's own reference keeps Winsock usable for its checks
        // whatever the driver's count does.
        testsupport::WinsockUp();
        TCPClientServer = 0;
        TCPAddress[0] = 0;
        wsacount = 0;
        teardown = 0;
    }
    void TearDown() override
    {
        TCPClientServer = 0;
        TCPAddress[0] = 0;
        testsupport::WinsockDown();
    }
};

TEST(TranslateStatus, EveryListedErrorAndTheRest)
{
    struct Row {
        int error;
        DWORD result;
    } rows[] = {
        {0, MMSYSERR_NOERROR},          {997, MMSYSERR_NOERROR},
        {1, MMSYSERR_NOTSUPPORTED},     {50, MMSYSERR_NOTSUPPORTED},
        {10038, MMSYSERR_NOTSUPPORTED}, {10058, MMSYSERR_NOTSUPPORTED},
        {5, MMSYSERR_BADDEVICEID},      {8, MMSYSERR_NOMEM},
        {122, MMSYSERR_INVALPARAM},     {10051, MMSYSERR_INVALPARAM},
        {10065, MMSYSERR_INVALPARAM},   {10093, MMSYSERR_INVALPARAM},
        {170, MMSYSERR_ALLOCATED},      {10022, MMSYSERR_ALLOCATED},
        {10048, MMSYSERR_ALLOCATED},    {10054, MMSYSERR_ERROR},
        {10053, MMSYSERR_ERROR},        {10060, MMSYSERR_ERROR},
        {-1, MMSYSERR_ERROR},           {2, MMSYSERR_ERROR},
    };
    for (const Row &row : rows) {
        WSASetLastError(row.error);
        EXPECT_EQ(sndTranslateStatus(), row.result) << "error " << row.error;
    }
}

TEST_F(Sockets, UdpOutputSocketBroadcastsFromAnEphemeralPort)
{
    PortRecord port = MakePort(MidiOutDevice);
    teardown = 1;
    socketRebuild(&port->Socket, port.get());
    ASSERT_NE(port->Socket, INVALID_SOCKET);
    EXPECT_EQ(wsacount, 1);
    EXPECT_TRUE(port->HoldsWinsock);
    EXPECT_EQ(IntOption(port->Socket, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(IntOption(port->Socket, SOL_SOCKET, SO_BROADCAST), 1);
    sockaddr_in local = LocalAddress(port->Socket);
    EXPECT_EQ(local.sin_family, AF_INET);
    EXPECT_NE(local.sin_port, htons(NetworkPort));
    EXPECT_NE(local.sin_port, 0);
    EXPECT_EQ(port->WorkSocket, INVALID_SOCKET);

    SOCKET built = port->Socket;
    socketCleanUp(port.get());
    EXPECT_EQ(port->Socket, INVALID_SOCKET);
    EXPECT_FALSE(IsSocket(built));
    EXPECT_EQ(wsacount, 0);
    EXPECT_FALSE(port->HoldsWinsock);
    EXPECT_EQ(teardown, 0);
}

TEST_F(Sockets, TwoUdpInputSocketsShareThePortAndBothHearABroadcast)
{
    PortRecord first = MakePort(MidiInDevice);
    PortRecord second = MakePort(MidiInDevice);
    socketRebuild(&first->Socket, first.get());
    socketRebuild(&second->Socket, second.get());
    ASSERT_NE(first->Socket, INVALID_SOCKET);
    ASSERT_NE(second->Socket, INVALID_SOCKET);
    EXPECT_EQ(wsacount, 2);
    EXPECT_EQ(LocalAddress(first->Socket).sin_port, htons(NetworkPort));
    EXPECT_EQ(IntOption(first->Socket, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(IntOption(first->Socket, SOL_SOCKET, SO_BROADCAST), 1);

    const char hello[] = "both";
    ASSERT_TRUE(testsupport::SendDatagram(hello, sizeof hello));
    BYTE buffer[64];
    EXPECT_EQ(testsupport::ReceiveDatagram(first->Socket, buffer, sizeof buffer, 2000),
              static_cast<int>(sizeof hello));
    EXPECT_EQ(testsupport::ReceiveDatagram(second->Socket, buffer, sizeof buffer, 2000),
              static_cast<int>(sizeof hello));

    socketCleanUp(first.get());
    EXPECT_EQ(wsacount, 1);
    socketCleanUp(second.get());
    EXPECT_EQ(wsacount, 0);
}

TEST_F(Sockets, EachPortHoldsAtMostOneReference)
{
    PortRecord port = MakePort(MidiOutDevice);
    socketRebuild(&port->Socket, port.get());
    socketCleanUp(port.get());
    socketRebuild(&port->Socket, port.get());   // a rebuild after a lost connection
    ASSERT_NE(port->Socket, INVALID_SOCKET);
    EXPECT_EQ(wsacount, 1);
    socketCleanUp(port.get());
    socketCleanUp(port.get());                  // nothing left to release
    EXPECT_EQ(wsacount, 0);
}

TEST_F(Sockets, UnitOpenBothWaysKeepsTheOtherDirectionsMarkAndSocket)
{
    Unit unit = {};
    unit.Direction = DirectionInput | DirectionOutput;
    PortRecord in = MakePort(MidiInDevice, &unit);
    PortRecord out = MakePort(MidiOutDevice, &unit);
    socketRebuild(&in->Socket, in.get());
    socketRebuild(&out->Socket, out.get());
    ASSERT_NE(in->Socket, INVALID_SOCKET);
    ASSERT_NE(out->Socket, INVALID_SOCKET);
    unit.OpenInput = 1;
    unit.OpenOutput = 1;
    unit.OpenHandle = out->Socket;

    SOCKET outSocket = out->Socket;
    socketCleanUp(out.get());
    EXPECT_FALSE(unit.OpenOutput);
    EXPECT_TRUE(unit.OpenInput);
    EXPECT_FALSE(IsSocket(outSocket)) << "the closing record's own socket is not left behind";
    EXPECT_TRUE(IsSocket(in->Socket));
    EXPECT_EQ(unit.OpenHandle, INVALID_SOCKET);
    EXPECT_EQ(wsacount, 1);

    socketCleanUp(in.get());
    EXPECT_FALSE(unit.OpenInput);
    EXPECT_EQ(in->Socket, INVALID_SOCKET);
    EXPECT_EQ(wsacount, 0);
}

TEST_F(Sockets, TcpServerListensOnThePortAndAcceptsAClient)
{
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "127.0.0.1");
    PortRecord port = MakePort(MidiInDevice);
    socketRebuild(&port->Socket, port.get());
    ASSERT_NE(port->Socket, INVALID_SOCKET);
    EXPECT_EQ(IntOption(port->Socket, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_EQ(IntOption(port->Socket, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(LocalAddress(port->Socket).sin_port, htons(NetworkPort));
    EXPECT_EQ(port->PeerAddress.sin_addr.s_addr, htonl(INADDR_ANY));

    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = testsupport::NetworkPortAddress(INADDR_LOOPBACK);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    SOCKET accepted = accept(port->Socket, nullptr, nullptr);
    EXPECT_NE(accepted, INVALID_SOCKET);
    closesocket(accepted);
    closesocket(client);

    socketCleanUp(port.get());
    EXPECT_EQ(wsacount, 0);
}

TEST_F(Sockets, TcpClientIsAimedAtTheConfiguredAddressButNotConnected)
{
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "127.0.0.9");
    PortRecord port = MakePort(MidiOutDevice);
    socketRebuild(&port->Socket, port.get());
    ASSERT_NE(port->Socket, INVALID_SOCKET);
    EXPECT_EQ(IntOption(port->Socket, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(port->Socket, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(port->PeerAddress.sin_family, AF_INET);
    EXPECT_EQ(port->PeerAddress.sin_port, htons(NetworkPort));
    EXPECT_EQ(port->PeerAddress.sin_addr.s_addr, inet_addr("127.0.0.9"));
    sockaddr_in peer = {};
    int size = sizeof peer;
    EXPECT_NE(getpeername(port->Socket, reinterpret_cast<sockaddr *>(&peer), &size), 0);
    socketCleanUp(port.get());

    // An address that resolves to nothing still leaves a socket to retry on.
    lstrcpyA(TCPAddress, "no-such-host.invalid");
    PortRecord lost = MakePort(MidiOutDevice);
    socketRebuild(&lost->Socket, lost.get());
    EXPECT_NE(lost->Socket, INVALID_SOCKET);
    EXPECT_EQ(lost->PeerAddress.sin_addr.s_addr, 0u);
    socketCleanUp(lost.get());
    EXPECT_EQ(wsacount, 0);
}

TEST_F(Sockets, FailedBuildLeavesThePortWithoutASocketAndReportsTheError)
{
    // Port 12555 taken without address reuse: the input bind must fail.
    SOCKET squatter = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = testsupport::NetworkPortAddress();
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    PortRecord port = MakePort(MidiInDevice);
    socketRebuild(&port->Socket, port.get());
    EXPECT_EQ(port->Socket, INVALID_SOCKET);
    EXPECT_EQ(port->WorkSocket, INVALID_SOCKET);
    // The bind's own error survives the abandoned socket's close: Wine
    // reports the conflict as "access denied", Windows as "address in use".
    int error = WSAGetLastError();
    EXPECT_TRUE(error == WSAEACCES || error == WSAEADDRINUSE) << error;
    EXPECT_EQ(sndTranslateStatus(),
              static_cast<DWORD>(error == WSAEADDRINUSE ? MMSYSERR_ALLOCATED : MMSYSERR_ERROR));
    EXPECT_EQ(wsacount, 1) << "the reference stays until the clean-up";
    socketCleanUp(port.get());
    EXPECT_EQ(wsacount, 0);
    closesocket(squatter);
}

}  // namespace
