// The writer on a TCP connection: packets written back to back on the
// stream, and a connection that the peer drops: the socket is rebuilt, a
// connection attempt is started and the call gives up after its wait.
#include <gtest/gtest.h>
#include "net/net.h"
#include "support/support.h"
#include <string.h>
#include <vector>

namespace {

class TcpWriter : public testing::Test {
protected:
    void SetUp() override
    {
        testsupport::WinsockUp();
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = testsupport::NetworkPortAddress(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_, 1), 0);
        client_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        server_ = accept(listener_, nullptr, nullptr);
        ASSERT_NE(server_, INVALID_SOCKET);

        unit_.Direction = DirectionOutput;
        unit_.InUse = 1;
        unit_.ShowNumber = 0x352441C2;
        unit_.Groups = 0x81;
        unit_.OpenOutput = 1;
        unit_.OpenHandle = client_;
        port_.DeviceType = MidiOutDevice;
        port_.pUnit = &unit_;
        port_.SenderId = 0xA1B2C3D4;
        port_.Sequence = 1;
        port_.Socket = client_;
        port_.WorkSocket = INVALID_SOCKET;
        port_.AcceptSocket = INVALID_SOCKET;

        TCPClientServer = 1;
        lstrcpyA(TCPAddress, "127.0.0.1");
        connected = 1;
        connectenabled = 1;
        recued = 0;
        teardown = 0;
    }
    void TearDown() override
    {
        // Stop any connection attempt before the record goes away.
        connectenabled = 0;
        socketCleanUp(&port_);
        Sleep(300);
        if (HANDLE thread = InterlockedExchangePointer(&connthread, nullptr)) CloseHandle(thread);
        if (server_ != INVALID_SOCKET) closesocket(server_);
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        TCPClientServer = 0;
        TCPAddress[0] = 0;
        connected = 0;
        recued = 0;
        teardown = 0;
        testsupport::WinsockDown();
    }

    // Reads exactly `size` bytes from the accepted side of the connection.
    std::vector<BYTE> ReadStream(size_t size)
    {
        std::vector<BYTE> bytes;
        char chunk[1024];
        while (bytes.size() < size) {
            int got = testsupport::ReceiveDatagram(server_, reinterpret_cast<BYTE *>(chunk),
                                                   static_cast<int>(sizeof chunk), 2000);
            if (got <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    SOCKET listener_ = INVALID_SOCKET, client_ = INVALID_SOCKET, server_ = INVALID_SOCKET;
    Unit unit_ = {};
    MidiPort port_ = {};
};

DWORD Word(const std::vector<BYTE> &bytes, size_t offset)
{
    DWORD value = 0;
    memcpy(&value, bytes.data() + offset, 4);
    return value;
}

TEST_F(TcpWriter, PacketsAreWrittenBackToBack)
{
    const BYTE note[3] = {0x90, 0x3C, 0x40};
    ASSERT_EQ(OutputWrite(note, 3, &port_), 0u);
    std::vector<BYTE> block(1000, 0x22);
    ASSERT_EQ(OutputWrite(block.data(), 1000, &port_), 0u);

    std::vector<BYTE> stream = ReadStream(19 + 1048);
    ASSERT_EQ(stream.size(), 19u + 1048u);
    EXPECT_EQ(Word(stream, 0), 0xA1B2C3D4u);
    EXPECT_EQ(Word(stream, 4), 1u);
    EXPECT_EQ(Word(stream, 8), 0x352441C2u);
    EXPECT_EQ(Word(stream, 12), 0x81u);
    EXPECT_EQ(memcmp(stream.data() + 16, note, 3), 0);
    // Pieces of 400, 400 and 248 bytes, numbered 2, 3, 4, nothing between.
    EXPECT_EQ(Word(stream, 19 + 4), 2u);
    EXPECT_EQ(Word(stream, 19 + 400 + 4), 3u);
    EXPECT_EQ(Word(stream, 19 + 800 + 4), 4u);
    EXPECT_EQ(stream[19 + 800 + 16], 0x22);
    EXPECT_EQ(port_.Sequence, 5u);
}

TEST_F(TcpWriter, LostConnectionIsRebuiltAndTheCallGivesUpAfterItsWait)
{
    // The peer goes away; a send soon fails with a connection-lost error.
    closesocket(server_);
    server_ = INVALID_SOCKET;
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    const BYTE clock = 0xF8;
    DWORD result = MMSYSERR_NOERROR;
    DWORD elapsed = 0;
    for (int attempt = 0; attempt < 20 && result == MMSYSERR_NOERROR; ++attempt) {
        Sleep(50);
        DWORD start = GetTickCount();
        result = OutputWrite(&clock, 1, &port_);
        elapsed = GetTickCount() - start;
    }
    EXPECT_EQ(result, static_cast<DWORD>(MMSYSERR_ERROR));
    EXPECT_GE(elapsed, 3800u) << "waited for a new connection";
    EXPECT_LT(elapsed, 8000u);

    // Marked lost, socket rebuilt (unit still open with the new socket),
    // a connection attempt left running in the background.
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(recued, 1);
    EXPECT_EQ(teardown, 0);
    EXPECT_NE(port_.Socket, INVALID_SOCKET);
    EXPECT_NE(port_.Socket, client_);
    EXPECT_TRUE(unit_.OpenOutput);
    EXPECT_EQ(unit_.OpenHandle, port_.Socket);
    EXPECT_EQ(port_.PeerAddress.sin_port, htons(NetworkPort));
    EXPECT_EQ(port_.PeerAddress.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    // The lock was left: another thread can take it at once.
    HANDLE probe = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            if (!TryEnterCriticalSection(&mmDrvCritSec)) return 1;
            LeaveCriticalSection(&mmDrvCritSec);
            return 0;
        },
        nullptr, 0, nullptr);
    DWORD code = 2;
    WaitForSingleObject(probe, 5000);
    GetExitCodeThread(probe, &code);
    CloseHandle(probe);
    EXPECT_EQ(code, 0u);

    // Nothing to write is no reason to wait.
    DWORD start = GetTickCount();
    EXPECT_EQ(OutputWrite(&clock, 0, &port_), 0u);
    EXPECT_EQ(OutputWrite(&clock, -5, &port_), 0u);
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(OutputWrite(&clock, 1, nullptr), static_cast<DWORD>(MMSYSERR_ERROR));
}

}  // namespace
