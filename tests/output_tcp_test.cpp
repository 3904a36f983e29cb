// test-locks: port12555
// The writer on a TCP connection: packets go back to back on the stream;
// when the peer drops the connection, the socket is rebuilt, a connection
// attempt is started and the call gives up after its one wait. Until the
// connection thread connects by itself, the test makes the connection and
// hands the writer an output record that uses it.
#include <gtest/gtest.h>
#include "net/net.h"
#include "support/support.h"
#include <string.h>

TEST(TcpWriter, StreamThenLostConnectionRebuiltAndOneWait)
{
    testsupport::WinsockUp();
    sockaddr_in address = testsupport::NetworkPortAddress(INADDR_LOOPBACK);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(bind(listener, (sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(connect(client, (sockaddr *)&address, sizeof address), 0);
    SOCKET server = accept(listener, nullptr, nullptr);
    Unit unit = {};
    unit.Direction = DirectionOutput;
    unit.InUse = unit.OpenOutput = 1;
    unit.ShowNumber = 0x352441C2;
    unit.Groups = 0x81;
    unit.OpenHandle = client;
    MidiPort port = {};
    port.DeviceType = MidiOutDevice;
    port.pUnit = &unit;
    port.SenderId = 0xA1B2C3D4;
    port.Sequence = 1;
    port.Socket = client;
    port.WorkSocket = port.AcceptSocket = INVALID_SOCKET;
    TCPClientServer = connected = connectenabled = 1;
    lstrcpyA(TCPAddress, "127.0.0.1");

    // A note and a block of 1000 bytes: 19 + 400 + 400 + 248 bytes, numbered 1 to 4.
    const BYTE note[3] = {0x90, 0x3C, 0x40};
    std::vector<BYTE> block(1000, 0x22), stream;
    ASSERT_EQ(OutputWrite(note, 3, &port), 0u);
    ASSERT_EQ(OutputWrite(block.data(), 1000, &port), 0u);
    BYTE chunk[1024];
    for (int got; stream.size() < 1067 &&
                  (got = testsupport::ReceiveDatagram(server, chunk, sizeof chunk, 2000)) > 0;)
        stream.insert(stream.end(), chunk, chunk + got);
    ASSERT_EQ(stream.size(), 1067u);
    const DWORD header[4] = {0xA1B2C3D4, 1, 0x352441C2, 0x81};
    EXPECT_EQ(memcmp(stream.data(), header, 16), 0);
    EXPECT_EQ(memcmp(stream.data() + 16, note, 3), 0);
    for (DWORD i = 0; i < 3; ++i) {
        DWORD sequence = 0;
        memcpy(&sequence, stream.data() + 19 + 400 * i + 4, 4);
        EXPECT_EQ(sequence, i + 2);
        EXPECT_EQ(stream[19 + 400 * i + 16], 0x22);
    }

    // The peer goes away; a send soon fails with connection lost.
    closesocket(server);
    closesocket(listener);
    const BYTE clock = 0xF8;
    DWORD result = MMSYSERR_NOERROR, elapsed = 0;
    for (int attempt = 0; attempt < 20 && result == MMSYSERR_NOERROR; ++attempt) {
        Sleep(50);
        DWORD start = GetTickCount();
        result = OutputWrite(&clock, 1, &port);
        elapsed = GetTickCount() - start;
    }
    EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);
    EXPECT_GE(elapsed, 3800u) << "waited for a new connection";
    EXPECT_LT(elapsed, 8000u);
    // Marked lost; a new socket, the unit's too, holding one Winsock
    // reference; a connection attempt left running.
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(recued, 1);
    EXPECT_NE(port.Socket, INVALID_SOCKET);
    EXPECT_NE(port.Socket, client);
    EXPECT_TRUE(unit.OpenOutput);
    EXPECT_EQ(unit.OpenHandle, port.Socket);
    EXPECT_EQ(wsacount, 1);
    EXPECT_EQ(port.PeerAddress.sin_port, htons(NetworkPort));
    EXPECT_EQ(port.PeerAddress.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    // The lock was left: another thread takes it at once.
    HANDLE probe = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        if (!TryEnterCriticalSection(&mmDrvCritSec)) return 1;
        LeaveCriticalSection(&mmDrvCritSec);
        return 0;
    }, nullptr, 0, nullptr);
    DWORD code = 2;
    WaitForSingleObject(probe, 5000);
    GetExitCodeThread(probe, &code);
    CloseHandle(probe);
    EXPECT_EQ(code, 0u);
    DWORD start = GetTickCount();
    EXPECT_EQ(OutputWrite(&clock, 0, &port), 0u);
    EXPECT_LT(GetTickCount() - start, 1000u) << "nothing to write is no reason to wait";

    connectenabled = 0;  // no connection attempt may outlive the record
    socketCleanUp(&port);
    Sleep(300);
    if (HANDLE thread = InterlockedExchangePointer(&connthread, nullptr)) CloseHandle(thread);
    TCPClientServer = connected = recued = teardown = 0;
    TCPAddress[0] = 0;
    testsupport::WinsockDown();
}
