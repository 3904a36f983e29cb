// The TCP transport against bare Winsock peers on loopback: output to a
// bare server, input from bare clients, lost connections, an absent peer,
// an unresolvable address, closes while the connection thread works.
#include "support/net_ports.h"
#include "tools/programs/program_common.h"
#include <tlhelp32.h>
#include <string>

using namespace netsupport;

namespace {

constexpr DWORD Show = 0x352441C2;
constexpr DWORD Groups = 0x5;

SOCKET Listen()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&on), sizeof on);
    sockaddr_in address = testsupport::NetworkPortAddress(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(s, 1) == 0)
        return s;
    closesocket(s);
    return INVALID_SOCKET;
}

// A client of the input port, which accepts once input has started.
SOCKET Connect(DWORD ms = 3000)
{
    sockaddr_in address = testsupport::NetworkPortAddress(INADDR_LOOPBACK);
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(50)) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return s;
        closesocket(s);
    }
    return INVALID_SOCKET;
}

// A block of `dataBytes` as the stream carries it: 400-byte pieces, then the rest.
struct Block {
    std::vector<DWORD> sequences;
    std::vector<BYTE> data;
};

Block ReadBlock(SOCKET s, size_t dataBytes)
{
    size_t pieces = (dataBytes + PacketDataMax - 1) / PacketDataMax;
    std::vector<BYTE> stream;
    while (stream.size() < dataBytes + pieces * PacketHeaderSize && Readable(s, 3000)) {
        BYTE chunk[4096];
        int got = recv(s, reinterpret_cast<char *>(chunk), sizeof chunk, 0);
        if (got <= 0) break;
        stream.insert(stream.end(), chunk, chunk + got);
    }
    Block block;
    for (size_t at = 0; at + PacketHeaderSize < stream.size(); at += PacketSizeMax) {
        size_t end = std::min<size_t>(at + PacketSizeMax, stream.size());
        PacketHeader header;
        DecodeHeader(&stream[at], end - at, &header);
        EXPECT_EQ(header.ShowNumber, Show);
        EXPECT_EQ(header.Groups, Groups);
        block.sequences.push_back(header.Sequence);
        block.data.insert(block.data.end(), stream.begin() + at + PacketHeaderSize, stream.begin() + end);
    }
    return block;
}

int ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

// This thread never holds the driver's lock between calls: it gets it only
// when no other thread has it.
bool LockIsFree()
{
    if (!TryEnterCriticalSection(&mmDrvCritSec)) return false;
    LeaveCriticalSection(&mmDrvCritSec);
    return true;
}

bool SendAll(SOCKET s, const std::vector<BYTE> &bytes)
{
    int length = static_cast<int>(bytes.size());
    return send(s, reinterpret_cast<const char *>(bytes.data()), length, 0) == length;
}

std::vector<BYTE> NotePacket(BYTE key) { return PacketBytes(7, key, Show, Groups, {0x90, key, 0x40}); }

class Tcp : public PortTest {
protected:
    void Use(DWORD direction, const char *address = "127.0.0.1", DWORD mode = 1)
    {
        SetUnits({{direction, Show, Groups}});
        TCPClientServer = mode;
        lstrcpyA(TCPAddress, address);
    }
    void TearDown() override
    {
        for (SOCKET s : {listener, peer}) closesocket(s);
        PortTest::TearDown();
    }
    // The output port has opened, connected to the listener: its peer.
    void AcceptOutput(const Client &out)
    {
        ASSERT_TRUE(out.open());
        ASSERT_NE(peer = AcceptWithin(listener, 2000), INVALID_SOCKET);
    }
    SOCKET listener = INVALID_SOCKET, peer = INVALID_SOCKET;  // a bare server and its client
};

}  // namespace

TEST_F(Tcp, OutputBlocksCrossIntactWithConsecutiveSequenceNumbers)
{
    Use(DirectionOutput);
    ASSERT_NE(listener = Listen(), INVALID_SOCKET);
    Client out(modMessage, false, 0);
    ASSERT_NO_FATAL_FAILURE(AcceptOutput(out));

    ASSERT_EQ(out.Send(MODM_DATA, 0x403C90), 0u);
    Block note = ReadBlock(peer, 3);
    EXPECT_EQ(note.sequences, std::vector<DWORD>{1});
    EXPECT_EQ(note.data, (std::vector<BYTE>{0x90, 0x3C, 0x40}));

    DWORD sequence = 2;
    for (size_t size : {size_t(1024), size_t(65536)}) {
        std::vector<BYTE> sysex = testsupport::SysexMessage(size, static_cast<unsigned>(size));
        MIDIHDR header = testsupport::PreparedHeader(sysex);
        ASSERT_EQ(out.Long(header), 0u);
        Block block = ReadBlock(peer, size);
        EXPECT_EQ(block.data, sysex) << size;
        for (DWORD got : block.sequences) EXPECT_EQ(got, sequence++);
    }
}

TEST_F(Tcp, InputServesOneClientAtATimeAndTheNextOneAfterIt)
{
    Use(DirectionInput);
    Client in(midMessage, true, 0);
    ASSERT_TRUE(in.open());
    ClientBuffer buffer(70000);
    ASSERT_EQ(in.Add(buffer), 0u);
    ASSERT_EQ(in.Send(MIDM_START), 0u);

    SOCKET first = Connect();
    ASSERT_NE(first, INVALID_SOCKET);
    ASSERT_TRUE(SendAll(first, NotePacket(0x3C)));
    ASSERT_EQ(in.recorder.WaitMidi(1).size(), 1u);
    // One packet per receive: the pieces of a long message go one by one.
    std::vector<BYTE> sysex = testsupport::SysexMessage(65536, 3);
    for (size_t at = 0, sequence = 100; at < sysex.size(); at += PacketDataMax, ++sequence) {
        std::vector<BYTE> piece(sysex.begin() + at,
                                sysex.begin() + std::min(sysex.size(), at + PacketDataMax));
        ASSERT_TRUE(SendAll(first, PacketBytes(7, static_cast<DWORD>(sequence), Show, Groups, piece)));
        Sleep(1);
    }
    std::vector<Note> midi = in.recorder.WaitMidi(2, 5000);
    ASSERT_EQ(midi.size(), 2u) << Describe(midi);
    EXPECT_EQ(midi[1].message, (DWORD)MIM_LONGDATA);
    EXPECT_TRUE(midi[1].bytes == sysex);

    // The listener is gone while the first client is connected.
    SOCKET second = Connect(300);
    EXPECT_EQ(second, INVALID_SOCKET);
    closesocket(first);
    second = Connect();
    ASSERT_NE(second, INVALID_SOCKET);
    ASSERT_TRUE(SendAll(second, NotePacket(0x3E)));
    midi = in.recorder.WaitMidi(3);
    ASSERT_EQ(midi.size(), 3u);
    EXPECT_EQ(midi[2].param1, 0x403E90u);
    closesocket(second);
    EXPECT_EQ(in.Send(MIDM_RESET), 0u);
}

TEST_F(Tcp, APeerThatRestartsGetsTheFailedPacketAgain)
{
    Use(DirectionOutput);
    ASSERT_NE(listener = Listen(), INVALID_SOCKET);
    Client out(modMessage, false, 0);
    ASSERT_NO_FATAL_FAILURE(AcceptOutput(out));
    ASSERT_EQ(out.Send(MODM_DATA, 0x403C90), 0u);
    ASSERT_EQ(ReadBlock(peer, 3).sequences.size(), 1u);

    closesocket(peer);
    closesocket(listener);
    listener = Listen();
    peer = INVALID_SOCKET;
    // The first write after the peer has gone may still leave the machine;
    // a later one finds the connection lost, connects again and sends the
    // same packet on the new connection.
    DWORD sent = 0;
    for (int i = 0; i < 4 && peer == INVALID_SOCKET; ++i) {
        sent = 2 + i;
        EXPECT_EQ(out.Send(MODM_DATA, 0x400090 | (0x40 + i) << 8), 0u) << i;
        peer = AcceptWithin(listener, 200);
    }
    ASSERT_NE(peer, INVALID_SOCKET);
    Block block = ReadBlock(peer, 3);
    ASSERT_EQ(block.sequences, std::vector<DWORD>{sent});
    EXPECT_EQ(block.data[1], 0x40 + sent - 2);
}

// The slow waits, once: an output port's open waits 20 s for its absent
// peer, a write 4 s, and neither keeps the driver's lock afterwards; the
// close then ends the connection thread at once.
TEST_F(Tcp, AnAbsentPeerCostsTheOpenTwentySecondsAndAWriteFour)
{
    Use(DirectionOutput);
    int threads = ThreadCount();
    DWORD start = GetTickCount();
    Client out(modMessage, false, 0);
    ASSERT_TRUE(out.open());
    EXPECT_NEAR(GetTickCount() - start, 20000.0, 2500.0);
    EXPECT_TRUE(LockIsFree());

    start = GetTickCount();
    EXPECT_EQ(out.Send(MODM_DATA, 0x403C90), (DWORD)MMSYSERR_ERROR);
    EXPECT_NEAR(GetTickCount() - start, 4500.0, 1000.0);
    EXPECT_TRUE(LockIsFree());

    start = GetTickCount();
    EXPECT_EQ(out.Close(), 0u);
    EXPECT_LE(GetTickCount() - start, 1000u);
    EXPECT_EQ(connthreads, 0);
    EXPECT_EQ(ThreadCount(), threads);
}

// A peer that accepts and never reads: the write that finds the connection
// full gives up after 4 s and goes on over a new connection, instead of
// waiting for ever with the driver's lock held.
TEST_F(Tcp, AWriteToAPeerThatNeverReadsReturns)
{
    Use(DirectionOutput);
    ASSERT_NE(listener = Listen(), INVALID_SOCKET);
    Client out(modMessage, false, 0);
    ASSERT_NO_FATAL_FAILURE(AcceptOutput(out));
    std::vector<BYTE> sysex = testsupport::SysexMessage(65536, 1);
    MIDIHDR header = testsupport::PreparedHeader(sysex);
    DWORD longest = 0;
    for (int i = 0; i < 1000 && longest < 3000; ++i) {
        DWORD start = GetTickCount();
        out.Long(header);
        longest = std::max<DWORD>(longest, GetTickCount() - start);
    }
    EXPECT_GE(longest, 3000u) << "no write found the connection full";
    EXPECT_LE(longest, 13000u);
    EXPECT_TRUE(LockIsFree());
}

TEST_F(Tcp, AnUnresolvableAddressIsRetriedEveryTenthOfASecondUntilTheClose)
{
    Use(DirectionInput, "no-such-host.invalid");
    DecodeDebugLevel(6);  // level 2, to the log file
    auto attempts = [] {
        std::string text = testsupport::ReadFileBytes(testsupport::LogFilePath(GetCurrentProcessId()));
        size_t count = 0;
        for (size_t at = 0; (at = text.find("accept() error", at)) != std::string::npos; ++at) ++count;
        return count;
    };
    {
        Client in(midMessage, true, 0);
        ASSERT_TRUE(in.open());
        ASSERT_EQ(in.Send(MIDM_START), 0u);
        size_t before = attempts();
        Sleep(1000);
        size_t during = attempts() - before;
        EXPECT_GE(during, 5u);
        EXPECT_LE(during, 11u);
        EXPECT_EQ(in.Close(), 0u);
    }
    size_t closed = attempts();
    Sleep(300);
    EXPECT_EQ(attempts(), closed);
    DecodeDebugLevel(0);
}

// A TCPClientServer above 1 is TCP for the sockets and the writer, but the
// open starts no connection: the first write makes it.
TEST_F(Tcp, AModeAboveOneConnectsAtTheFirstWrite)
{
    Use(DirectionOutput, "127.0.0.1", 2);
    listener = Listen();
    DWORD start = GetTickCount();
    Client out(modMessage, false, 0);
    ASSERT_TRUE(out.open());
    EXPECT_LE(GetTickCount() - start, 2000u);
    EXPECT_EQ(out.Send(MODM_DATA, 0x403C90), 0u);
    ASSERT_NE(peer = AcceptWithin(listener, 2000), INVALID_SOCKET);
    EXPECT_EQ(ReadBlock(peer, 3).data, (std::vector<BYTE>{0x90, 0x3C, 0x40}));
}

TEST_F(Tcp, HundredOpensAcceptsAndClosesLeaveNothingBehind)
{
    Use(DirectionInput);
    Client(midMessage, true, 0).Send(MIDM_START);  // once first, for what the system makes lazily
    int threads = ThreadCount();
    Resources before = Measure();
    for (int cycle = 0; cycle < 100; ++cycle) {
        Client in(midMessage, true, 0);
        ASSERT_TRUE(in.open()) << cycle;
        ASSERT_EQ(in.Send(MIDM_START), 0u);
        if (cycle % 2) {  // half the time a client is accepted before the close
            SOCKET client = Connect();
            ASSERT_NE(client, INVALID_SOCKET) << cycle;
            closesocket(client);
        }
        ASSERT_EQ(in.Close(), 0u) << cycle;
    }
    EXPECT_EQ(connthreads, 0);
    EXPECT_EQ(ThreadCount(), threads);
    ExpectUnchanged(before);
}
