// The input driver messages through midMessage, as winmm sends them, on
// ports whose socket is bound to 12555: buffers and their limits, start,
// stop, reset and close, time stamps, and clients that call the driver
// back from their own callbacks. Packets come from the test as loopback
// broadcasts, the way output ports send them.
#include <gtest/gtest.h>
#include "support/input_harness.h"
#include "support/net_ports.h"
#include "support/support.h"

using inputtest::ClientBuffer;
using inputtest::InputClient;
using inputtest::Note;

namespace {

constexpr DWORD Show = 0x352441C2;
constexpr DWORD Groups = 0x1;

class InputMessages : public ::testing::Test {
protected:
    DWORD sequence = 0;

    void SetUp() override
    {
        testsupport::WinsockUp();
        TCPClientServer = 0;
        TCPAddress[0] = 0;
        // Input 0 and output 0 of the same show and groups, and input 1 of
        // another show.
        netsupport::SetUnits({{DirectionInput, Show, Groups},
                              {DirectionOutput, Show, Groups},
                              {DirectionInput, Show ^ 0xFF, Groups}});
    }
    void TearDown() override
    {
        netsupport::ClearUnits();
        testsupport::WinsockDown();
    }

    void Inject(const std::vector<BYTE> &data, DWORD sender = 0xC0FFEE)
    {
        ASSERT_TRUE(inputtest::Broadcast(sender, ++sequence, Show, Groups, data));
    }

    static std::vector<Note> WaitMidi(InputClient &client, size_t count)
    {
        client.recorder.WaitUntil(
            [count](const std::vector<Note> &n) { return inputtest::MidiNotes(n).size() >= count; });
        return inputtest::MidiNotes(client.recorder.Snapshot());
    }

    // Nothing more arrives within a short while.
    static void ExpectQuiet(InputClient &client, size_t count)
    {
        Sleep(200);
        EXPECT_EQ(inputtest::MidiNotes(client.recorder.Snapshot()).size(), count)
            << inputtest::Describe(client.recorder.Snapshot());
    }
};

}  // namespace

TEST_F(InputMessages, OpenStartReceiveAndCloseNotifyInOrder)
{
    {
        InputClient client(midMessage, 0);
        ASSERT_TRUE(client.open());
        ASSERT_NE(client.port()->ThreadId, 0u);
        EXPECT_EQ(client.Send(MIDM_START), 0u);
        Inject({0x90, 0x3C, 0x40});
        std::vector<Note> midi = WaitMidi(client, 1);
        ASSERT_EQ(midi.size(), 1u);
        EXPECT_EQ(midi[0].message, (DWORD)MIM_DATA);
        EXPECT_EQ(midi[0].param1, 0x403C90u);
        EXPECT_EQ(midi[0].threadId, client.port()->ThreadId);  // delivered on the port thread
        EXPECT_EQ(client.Close(), 0u);
        std::vector<Note> all = client.recorder.Take();
        ASSERT_EQ(all.size(), 3u);
        EXPECT_EQ(all.front().message, (DWORD)MIM_OPEN);
        EXPECT_EQ(all.back().message, (DWORD)MIM_CLOSE);
    }
    // Closed means closed: the unit opens again.
    InputClient again(midMessage, 0);
    EXPECT_TRUE(again.open());
}

TEST_F(InputMessages, UnknownAndUnsupportedMessages)
{
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    for (UINT message : {0u, 52u, (UINT)MIDM_PREPARE, (UINT)MIDM_UNPREPARE, 63u, 66u, 1000u})
        EXPECT_EQ(client.Send(message), (DWORD)MMSYSERR_NOTSUPPORTED) << message;
    EXPECT_EQ(client.Send(MIDM_PORTTABLEPROBE), 0u);
    // A port message without a port, or with an output port, is refused.
    EXPECT_EQ(midMessage(0, MIDM_START, 0, 0, 0), (DWORD)MMSYSERR_INVALPARAM);
    DWORD_PTR output = 0;
    ASSERT_EQ(netsupport::OpenOutput(0, &output), 0u);
    EXPECT_EQ(midMessage(0, MIDM_START, output, 0, 0), (DWORD)MMSYSERR_INVALPARAM);
    modMessage(0, MODM_CLOSE, output, 0, 0);
}

TEST_F(InputMessages, AddBufferChecksAndTheHundredAndOneLimit)
{
    ClientBuffer unprepared(16), empty(0);
    std::vector<ClientBuffer> buffers;
    buffers.reserve(102);
    for (int i = 0; i < 102; ++i) buffers.emplace_back(8);
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());

    unprepared.header.dwFlags = 0;
    EXPECT_EQ(client.Add(unprepared), (DWORD)MIDIERR_UNPREPARED);
    EXPECT_EQ(unprepared.header.dwFlags, 0u);
    EXPECT_EQ(client.Send(MIDM_ADDBUFFER, 0, sizeof(MIDIHDR)), (DWORD)MMSYSERR_INVALPARAM);
    EXPECT_EQ(client.Add(empty), (DWORD)MMSYSERR_INVALPARAM);

    EXPECT_EQ(client.Add(buffers[0]), 0u);
    EXPECT_EQ(buffers[0].header.dwFlags, (DWORD)(MHDR_PREPARED | MHDR_INQUEUE));
    EXPECT_EQ(buffers[0].header.reserved, client.instance);
    EXPECT_EQ(client.Add(buffers[0]), (DWORD)MIDIERR_STILLPLAYING);  // already queued
    // Queued but with its flag cleared by the client: found in the list.
    buffers[0].header.dwFlags &= ~MHDR_INQUEUE;
    EXPECT_EQ(client.Add(buffers[0]), (DWORD)MIDIERR_STILLPLAYING);
    buffers[0].header.dwFlags |= MHDR_INQUEUE;
    for (int i = 1; i < 101; ++i) ASSERT_EQ(client.Add(buffers[i]), 0u) << i;
    EXPECT_EQ(client.Add(buffers[101]), (DWORD)MIDIERR_STILLPLAYING);
    EXPECT_EQ(buffers[101].header.dwFlags, (DWORD)MHDR_PREPARED);

    // Close refuses while buffers are queued and the port keeps working.
    EXPECT_EQ(client.Close(), (DWORD)MIDIERR_STILLPLAYING);
    EXPECT_EQ(client.Send(MIDM_START), 0u);
    Inject({0xF0, 1, 2, 3, 4, 5, 6, 0xF7});
    std::vector<Note> midi = WaitMidi(client, 1);
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].param1, (DWORD_PTR)&buffers[0].header);
    EXPECT_EQ(midi[0].bytes, (std::vector<BYTE>{0xF0, 1, 2, 3, 4, 5, 6, 0xF7}));
    ExpectQuiet(client, 1);
    client.recorder.Take();

    // Reset hands back every remaining buffer, oldest first, then close.
    EXPECT_EQ(client.Send(MIDM_RESET), 0u);
    std::vector<Note> returned = inputtest::MidiNotes(client.recorder.Take());
    ASSERT_EQ(returned.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(returned[i].message, (DWORD)MIM_LONGDATA);
        EXPECT_EQ(returned[i].param1, (DWORD_PTR)&buffers[i + 1].header);
        EXPECT_EQ(buffers[i + 1].header.dwFlags, (DWORD)(MHDR_PREPARED | MHDR_DONE));
        EXPECT_EQ(buffers[i + 1].header.dwBytesRecorded, 0u);
    }
    EXPECT_EQ(client.Close(), 0u);
    std::vector<Note> rest = client.recorder.Take();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].message, (DWORD)MIM_CLOSE);
}

TEST_F(InputMessages, StartTwiceKeepsTheTimeBaseAndStampsCountFromStart)
{
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.Send(MIDM_START), 0u);
    ULONGLONG firstStart = client.port()->StartCounter;
    Sleep(300);
    EXPECT_EQ(client.Send(MIDM_START), 0u);
    EXPECT_EQ(client.port()->StartCounter, firstStart);
    Inject({0xFE});
    std::vector<Note> midi = WaitMidi(client, 1);
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_GE(midi[0].param2, 290u);
    EXPECT_LT(midi[0].param2, 3000u);
    ExpectQuiet(client, 1);  // one receive posted, one delivery

    // A stop and a new start begin a new time base.
    EXPECT_EQ(client.Send(MIDM_STOP), 0u);
    EXPECT_EQ(client.Send(MIDM_START), 0u);
    client.recorder.Take();
    Inject({0xFE});
    midi = WaitMidi(client, 1);
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_LT(midi[0].param2, 250u);
}

TEST_F(InputMessages, StopReturnsThePartialBufferAndDiscardsWhatFollows)
{
    ClientBuffer first(64), second(64), third(64);  // outlive the port
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    client.Add(first);
    client.Add(second);
    client.Send(MIDM_START);
    Inject({0xF0, 0x11, 0x22});
    Inject({0x90, 0x3C});  // cuts the sysex; the note stays incomplete
    Inject({0xF0, 0x33});
    client.recorder.WaitUntil([](const std::vector<Note> &n) { return !n.empty(); });
    Sleep(200);
    EXPECT_EQ(client.Send(MIDM_STOP), 0u);
    std::vector<Note> midi = inputtest::MidiNotes(client.recorder.Take());
    ASSERT_EQ(midi.size(), 3u) << inputtest::Describe(midi);
    EXPECT_EQ(midi[0].message, (DWORD)MIM_LONGERROR);
    EXPECT_EQ(midi[0].bytes, (std::vector<BYTE>{0xF0, 0x11, 0x22}));
    EXPECT_EQ(midi[1].message, (DWORD)MIM_ERROR);  // the cut note
    EXPECT_EQ(midi[1].param1, 0x3C90u);
    EXPECT_EQ(midi[2].message, (DWORD)MIM_LONGERROR);  // the stop hands back the partial buffer
    EXPECT_EQ(midi[2].param1, (DWORD_PTR)&second.header);
    EXPECT_EQ(midi[2].bytes, (std::vector<BYTE>{0xF0, 0x33}));

    Inject({0x90, 0x3C, 0x40});  // while stopped
    ExpectQuiet(client, 0);
    client.Add(third);
    EXPECT_EQ(client.Send(MIDM_START), 0u);
    Inject({0x40, 0x90, 0x3D, 0x40});  // nothing of before the stop completes this
    midi = WaitMidi(client, 2);
    ASSERT_EQ(midi.size(), 2u) << inputtest::Describe(midi);
    EXPECT_EQ(midi[0].message, (DWORD)MIM_ERROR);
    EXPECT_EQ(midi[0].param1, 0x40u);
    EXPECT_EQ(midi[1].param1, 0x403D90u);
}

TEST_F(InputMessages, ResetWhileStartedReturnsPartialThenTheRest)
{
    ClientBuffer a(64), b(64);
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    client.Add(a);
    client.Add(b);
    client.Send(MIDM_START);
    Inject({0xF0, 0x01});
    Sleep(200);
    EXPECT_EQ(client.Send(MIDM_RESET), 0u);
    std::vector<Note> midi = inputtest::MidiNotes(client.recorder.Take());
    ASSERT_EQ(midi.size(), 2u) << inputtest::Describe(midi);
    EXPECT_EQ(midi[0].message, (DWORD)MIM_LONGERROR);
    EXPECT_EQ(midi[0].param1, (DWORD_PTR)&a.header);
    EXPECT_EQ(midi[1].message, (DWORD)MIM_LONGDATA);
    EXPECT_EQ(midi[1].param1, (DWORD_PTR)&b.header);
    EXPECT_EQ(client.port()->ClientBuffers, nullptr);
    Inject({0xFE});
    ExpectQuiet(client, 0);  // reset stops input
    EXPECT_EQ(client.Send(MIDM_START), 0u);
    Inject({0xFE});
    EXPECT_EQ(WaitMidi(client, 1).size(), 1u);
}

// Many clients queue their buffer again from the MIM_LONGDATA callback,
// which runs on the port's own thread.
TEST_F(InputMessages, BufferAddedAgainFromItsCallbackWithEitherCallbackType)
{
    for (DWORD type : {(DWORD)CALLBACK_DIRECT, (DWORD)CALLBACK_FUNCTION}) {
        ClientBuffer buffer(32);
        InputClient client(midMessage, 0, type);
        ASSERT_TRUE(client.open());
        DWORD readded = 0;
        client.recorder.hook = [&](const Note &note) {
            if (note.message == MIM_LONGDATA && client.Add(buffer) == 0) ++readded;
        };
        client.Add(buffer);
        client.Send(MIDM_START);
        for (BYTE i = 0; i < 20; ++i) Inject({0xF0, i, 0xF7});
        std::vector<Note> midi = WaitMidi(client, 20);
        ASSERT_EQ(midi.size(), 20u) << type;
        for (BYTE i = 0; i < 20; ++i) EXPECT_EQ(midi[i].bytes, (std::vector<BYTE>{0xF0, i, 0xF7}));
        ExpectQuiet(client, 20);  // the last callback has returned too
        EXPECT_EQ(readded, 20u);
        client.recorder.hook = nullptr;
    }
}

TEST_F(InputMessages, StopResetAndCloseFromACallbackDoNotDeadlock)
{
    ClientBuffer buffer(32);
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    client.Add(buffer);
    DWORD closeResult = 0, stopResult = 99, resetResult = 99;
    client.recorder.hook = [&](const Note &note) {
        if (note.message != MIM_DATA) return;
        if (note.param1 == 0xF8) closeResult = client.Send(MIDM_CLOSE);
        if (note.param1 == 0xFA) resetResult = client.Send(MIDM_RESET);
        if (note.param1 == 0xFC) stopResult = client.Send(MIDM_STOP);
    };
    client.Send(MIDM_START);
    Inject({0xF8, 0x90, 0x3C, 0x40});
    std::vector<Note> midi = WaitMidi(client, 2);
    ExpectQuiet(client, 2);
    ASSERT_EQ(midi.size(), 2u);
    EXPECT_EQ(closeResult, (DWORD)MIDIERR_STILLPLAYING);  // the port stays open and working
    EXPECT_EQ(midi[1].param1, 0x403C90u);

    // Stop from the callback: the rest of the packet and later ones are discarded.
    client.recorder.Take();
    Inject({0xFC, 0x90, 0x3C, 0x40});
    midi = WaitMidi(client, 1);
    ExpectQuiet(client, 1);  // the callback has returned too
    EXPECT_EQ(stopResult, 0u);
    Inject({0xFE});
    ExpectQuiet(client, 1);

    // Reset from the callback hands the buffer back from inside the callback.
    client.Send(MIDM_START);
    client.recorder.Take();
    Inject({0xFA, 0xF0, 0x01, 0xF7});
    midi = WaitMidi(client, 2);
    ExpectQuiet(client, 2);
    EXPECT_EQ(resetResult, 0u);
    ASSERT_EQ(midi.size(), 2u) << inputtest::Describe(midi);
    EXPECT_EQ(midi[1].message, (DWORD)MIM_LONGDATA);
    EXPECT_TRUE(midi[1].bytes.empty());
}

// A command on the port's thread from its callback must not wait for the
// lock that another caller holds while that caller waits for this thread.
TEST_F(InputMessages, CallbackCommandWhileAnotherThreadWaitsForThePort)
{
    ClientBuffer mine(16), theirs(16);
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    struct Other {
        InputClient *client;
        ClientBuffer *buffer;
        DWORD result;
    } other = {&client, &theirs, 99};
    HANDLE otherThread = nullptr;
    HANDLE hookDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD stopResult = 99;
    client.recorder.hook = [&](const Note &note) {
        if (note.message != MIM_DATA || note.param1 != 0xF8 || otherThread) return;
        otherThread = CreateThread(
            nullptr, 0,
            [](void *arg) -> DWORD {
                Other *o = static_cast<Other *>(arg);
                o->result = o->client->Add(*o->buffer);
                return 0;
            },
            &other, 0, nullptr);
        Sleep(300);  // the other thread now holds the command lock, waiting for us
        stopResult = client.Send(MIDM_STOP);
        SetEvent(hookDone);
    };
    client.Add(mine);
    client.Send(MIDM_START);
    Inject({0xF8});
    ASSERT_EQ(WaitForSingleObject(hookDone, 5000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(hookDone);
    ASSERT_NE(otherThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(otherThread, 5000), (DWORD)WAIT_OBJECT_0);
    CloseHandle(otherThread);
    EXPECT_EQ(stopResult, 0u);
    EXPECT_EQ(other.result, 0u);
    EXPECT_EQ(client.port()->ClientBuffers, &mine.header);
    EXPECT_EQ(mine.header.lpNext, &theirs.header);
}

TEST_F(InputMessages, MalformedTrafficLeavesNoTraceAndThePortWorking)
{
    HANDLE heap = DriverHeap;
    netsupport::HeapUsage heapBefore = netsupport::BusyBlocks(heap);
    DWORD handlesBefore = netsupport::HandleCount();
    {
        ClientBuffer a(128), b(128);
        InputClient client(midMessage, 0);
        ASSERT_TRUE(client.open());
        client.recorder.hook = [&](const Note &note) {
            if (note.message == MIM_LONGDATA || note.message == MIM_LONGERROR)
                client.Add(note.param1 == (DWORD_PTR)&a.header ? a : b);
        };
        client.Add(a);
        client.Add(b);
        client.Send(MIDM_START);
        DWORD seed = 4242;
        auto next = [&seed]() {
            seed = seed * 1103515245u + 12345u;
            return seed >> 16;
        };
        for (int length = 0; length <= 2000; ++length) {
            std::vector<BYTE> datagram(length);
            for (BYTE &byte : datagram) byte = static_cast<BYTE>(next());
            // Most carry a header this port accepts, from a few senders, so
            // they reach the parser and exercise repeats and joining too.
            if (length >= 16 && next() % 4) {
                DWORD words[4] = {next() % 7, next() % 3, Show, Groups};
                memcpy(datagram.data(), words, sizeof words);
            }
            ASSERT_TRUE(testsupport::SendDatagram(datagram.data(), length));
        }
        // The port works afterwards: a new sender's note arrives after the rest.
        Inject({0xFF, 0x90, 0x3C, 0x40}, 0x5151);
        EXPECT_TRUE(client.recorder.WaitForLast(
            [](const Note &n) { return n.message == MIM_DATA && n.param1 == 0x403C90u; }, 60000));
        EXPECT_EQ(client.port()->In.Bad, 0);
        EXPECT_GT(client.recorder.Count(), 2000u);
        client.recorder.hook = nullptr;
        client.Send(MIDM_RESET);
        EXPECT_EQ(client.Close(), 0u);
    }
    EXPECT_EQ(netsupport::BusyBlocks(heap).blocks, heapBefore.blocks);
    EXPECT_LE(netsupport::HandleCount(), handlesBefore + 2);
}

TEST_F(InputMessages, ManyOpensAndStartsLeaveNothingBehind)
{
    InputClient warmUp(midMessage, 0);
    ASSERT_TRUE(warmUp.open());
    warmUp.Send(MIDM_START);
    warmUp.Close();
    netsupport::HeapUsage heapBefore = netsupport::BusyBlocks(DriverHeap);
    DWORD handlesBefore = netsupport::HandleCount();
    for (int i = 0; i < 200; ++i) {
        InputClient client(midMessage, 0);
        ASSERT_TRUE(client.open()) << i;
        client.Send(MIDM_START);
        if (i % 2) client.Send(MIDM_STOP);
        ASSERT_EQ(client.Close(), 0u) << i;
    }
    EXPECT_EQ(netsupport::BusyBlocks(DriverHeap).blocks, heapBefore.blocks);
    EXPECT_LE(netsupport::HandleCount(), handlesBefore + 2);
    EXPECT_EQ(wsacount, 0);
}

TEST_F(InputMessages, OutputOfTheSameShowArrivesCompleteAndInOrder)
{
    ClientBuffer big(70000);
    InputClient client(midMessage, 0);
    ASSERT_TRUE(client.open());
    client.Add(big);
    client.Send(MIDM_START);
    MidiPort *output = netsupport::OpenOutputPort(0);
    ASSERT_NE(output, nullptr);
    for (BYTE key = 0x30; key < 0x40; ++key) {
        ASSERT_EQ(netsupport::SendShort(output, 0x90, key, 0x40), 0u);
        ASSERT_EQ(netsupport::SendShort(output, 0x80, key, 0x00), 0u);
    }
    std::vector<BYTE> sysex = testsupport::SysexMessage(65536);
    MIDIHDR header = testsupport::PreparedHeader(sysex);
    EXPECT_EQ(netsupport::Send(output, MODM_LONGDATA, (DWORD_PTR)&header, sizeof header), 0u);
    netsupport::ClosePort(output);
    std::vector<Note> midi = WaitMidi(client, 33);
    ASSERT_EQ(midi.size(), 33u) << inputtest::Describe(midi);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(midi[2 * i].param1, 0x400090u | ((0x30u + i) << 8));
        EXPECT_EQ(midi[2 * i + 1].param1, 0x000080u | ((0x30u + i) << 8));
    }
    EXPECT_EQ(midi[32].message, (DWORD)MIM_LONGDATA);
    EXPECT_TRUE(midi[32].bytes == sysex);
}
