// The input driver messages through midMessage as winmm sends them, on a
// port whose socket is bound to 12555: buffers and their limit, start,
// stop, reset and close, time stamps, and clients that call the driver
// back from their callbacks. Packets come as loopback broadcasts.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include <memory>

namespace {

using namespace netsupport;
typedef std::vector<BYTE> Bytes;

constexpr DWORD Show = 0x352441C2;

class InputMessages : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        SetUnits({{DirectionInput, Show, 1}, {DirectionOutput, Show, 1}});
        Open(CALLBACK_DIRECT);
    }
    void TearDown() override { port.reset(); PortTest::TearDown(); }
    void Open(DWORD type = CALLBACK_FUNCTION)
    {
        port.reset();
        port.reset(new Client(midMessage, true, 0, type));
        ASSERT_TRUE(port->open());
    }
    void Inject(const Bytes &data) { ASSERT_TRUE(Broadcast(0xC0FFEE, ++sequence, Show, 1, data)); }
    // Takes the MIDI notes once `count` have come and a while has passed.
    std::vector<Note> Midi(size_t count)
    {
        port->recorder.WaitMidi(count);
        Sleep(200);
        return MidiNotes(port->recorder.Take());
    }

public:
    DWORD sequence = 0;
    ClientBuffer a, b, c;  // outlive the port
    Recorder recorder;     // of a port opened without Client
    DWORD_PTR instance = 0;
    std::vector<ClientBuffer> many;
    std::unique_ptr<Client> port;
};

TEST_F(InputMessages, OpenStartReceiveAndCloseNotifyInOrder)
{
    EXPECT_EQ(port->Send(MIDM_START), 0u);
    Inject({0x90, 0x3C, 0x40});
    std::vector<Note> midi = port->recorder.WaitMidi(1);
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].param1, 0x403C90u);
    EXPECT_NE(midi[0].threadId, GetCurrentThreadId()) << "delivered on the port's thread";
    EXPECT_EQ(port->Close(), 0u);
    EXPECT_EQ(port->recorder.Messages(), (std::vector<DWORD>{MIM_OPEN, MIM_DATA, MIM_CLOSE}));
    for (UINT message : {0u, 52u, UINT(MIDM_PREPARE), UINT(MIDM_UNPREPARE), 63u, 66u, 1000u})
        EXPECT_EQ(midMessage(0, message, 0, 0, 0), (DWORD)MMSYSERR_NOTSUPPORTED) << message;
    EXPECT_EQ(midMessage(0, MIDM_PORTTABLEPROBE, 0, 0, 0), 0u);
    // A port message without a port, or with an output port, is refused.
    EXPECT_EQ(midMessage(0, MIDM_START, 0, 0, 0), (DWORD)MMSYSERR_INVALPARAM);
    Client output(modMessage, false, 0);
    EXPECT_EQ(midMessage(0, MIDM_START, output.instance, 0, 0), (DWORD)MMSYSERR_INVALPARAM);
}

TEST_F(InputMessages, AddBufferChecksAndTheHundredAndOneLimit)
{
    many.resize(102);
    ClientBuffer empty(0);
    a.header.dwFlags = 0;
    EXPECT_EQ(port->Add(a), (DWORD)MIDIERR_UNPREPARED);
    EXPECT_EQ(a.header.dwFlags, 0u);
    EXPECT_EQ(port->Send(MIDM_ADDBUFFER, 0, sizeof(MIDIHDR)), (DWORD)MMSYSERR_INVALPARAM);
    EXPECT_EQ(port->Add(empty), (DWORD)MMSYSERR_INVALPARAM);
    EXPECT_EQ(port->Send(MIDM_ADDBUFFER, (DWORD_PTR)&b.header, offsetof(MIDIHDR, dwOffset) - 1),
              (DWORD)MMSYSERR_INVALPARAM) << "cbMidiHdr smaller than the fields used";
    EXPECT_EQ(b.header.dwFlags, (DWORD)MHDR_PREPARED);
    EXPECT_EQ(port->Add(many[0]), 0u);
    EXPECT_EQ(many[0].header.dwFlags, DWORD(MHDR_PREPARED | MHDR_INQUEUE));
    EXPECT_EQ(many[0].header.reserved, port->instance);
    EXPECT_EQ(port->Add(many[0]), (DWORD)MIDIERR_STILLPLAYING);
    many[0].header.dwFlags &= ~MHDR_INQUEUE;  // the client cleared it: found in the list
    EXPECT_EQ(port->Add(many[0]), (DWORD)MIDIERR_STILLPLAYING);
    many[0].header.dwFlags |= MHDR_INQUEUE;
    for (int i = 1; i < 101; ++i) ASSERT_EQ(port->Add(many[i]), 0u) << i;
    EXPECT_EQ(port->Add(many[101]), (DWORD)MIDIERR_STILLPLAYING);
    EXPECT_EQ(many[101].header.dwFlags, (DWORD)MHDR_PREPARED);

    // Close refuses while buffers are queued, and the port keeps working.
    EXPECT_EQ(port->Close(), (DWORD)MIDIERR_STILLPLAYING);
    EXPECT_EQ(port->Send(MIDM_START), 0u);
    Inject({0xF0, 1, 2, 3, 4, 5, 6, 0xF7});
    std::vector<Note> midi = Midi(1);
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].param1, (DWORD_PTR)&many[0].header);
    EXPECT_EQ(midi[0].bytes, (Bytes{0xF0, 1, 2, 3, 4, 5, 6, 0xF7}));
    // Reset hands back every other buffer, oldest first; then close.
    EXPECT_EQ(port->Send(MIDM_RESET), 0u);
    std::vector<Note> returned = port->recorder.Take();
    ASSERT_EQ(returned.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        const MIDIHDR &header = many[i + 1].header;
        EXPECT_TRUE(returned[i].message == MIM_LONGDATA && returned[i].param1 == (DWORD_PTR)&header) << i;
        EXPECT_TRUE(header.dwFlags == (MHDR_PREPARED | MHDR_DONE) && header.dwBytesRecorded == 0) << i;
    }
    EXPECT_EQ(port->Close(), 0u);
    EXPECT_EQ(port->recorder.Messages(), std::vector<DWORD>{MIM_CLOSE});
}

TEST_F(InputMessages, TimeStampsCountFromTheFirstStartUntilAStop)
{
    EXPECT_EQ(port->Send(MIDM_START), 0u);
    Sleep(600);
    for (DWORD least : {590u, 0u}) {
        // A start while started changes nothing; after a stop it begins a new time base.
        EXPECT_EQ(port->Send(MIDM_START), 0u);
        Inject({0xFE});
        std::vector<Note> midi = Midi(1);
        ASSERT_EQ(midi.size(), 1u) << "one receive posted, one delivery";
        EXPECT_GE(midi[0].param2, least);
        EXPECT_LT(midi[0].param2, least + 400);
        EXPECT_EQ(port->Send(MIDM_STOP), 0u);
    }
}

// Stop hands back a part-filled buffer and discards what arrives until the
// next start; nothing from before a stop completes a message after it.
// Reset does the same and hands back every buffer. (Messages cut by a
// status byte: see the parser's tests.)
TEST_F(InputMessages, StopAndResetHandBackThePartialBuffer)
{
    port->Add(a);
    port->Send(MIDM_START);
    Inject({0xF0, 0x11, 0x22});
    EXPECT_TRUE(Midi(0).empty()) << "the buffer stays until the stop";
    EXPECT_EQ(port->Send(MIDM_STOP), 0u);
    std::vector<Note> midi = port->recorder.Take();
    ASSERT_EQ(midi.size(), 1u) << Describe(midi);
    EXPECT_TRUE(midi[0].message == MIM_LONGERROR && midi[0].param1 == (DWORD_PTR)&a.header);
    EXPECT_EQ(midi[0].bytes, (Bytes{0xF0, 0x11, 0x22}));

    Inject({0x90, 0x3C, 0x40});  // while stopped
    port->Add(c);
    EXPECT_EQ(port->Send(MIDM_START), 0u);
    Inject({0x40, 0x90, 0x3D, 0x40, 0xF0, 0x01});
    midi = Midi(2);
    ASSERT_EQ(midi.size(), 2u) << Describe(midi);
    EXPECT_TRUE(midi[0].message == MIM_ERROR && midi[0].param1 == 0x40 && midi[1].param1 == 0x403D90);
    EXPECT_EQ(port->Send(MIDM_RESET), 0u);
    midi = port->recorder.Take();
    ASSERT_EQ(midi.size(), 1u) << Describe(midi);
    EXPECT_TRUE(midi[0].message == MIM_LONGERROR && midi[0].param1 == (DWORD_PTR)&c.header);
    Inject({0xFE});
    EXPECT_EQ(Midi(0).size(), 0u) << "reset stops input";
    EXPECT_EQ(port->Close(), 0u) << "no buffer left queued";
}

// Many clients queue their buffer again from the MIM_LONGDATA callback,
// which runs on the port's own thread.
TEST_F(InputMessages, BufferAddedAgainFromItsCallbackWithEitherCallbackType)
{
    for (DWORD type : {DWORD(CALLBACK_DIRECT), DWORD(CALLBACK_FUNCTION)}) {
        Open(type);
        DWORD readded = 0;
        port->recorder.hook = [&](const Note &note) {
            if (note.message == MIM_LONGDATA && port->Add(a) == 0) ++readded;
        };
        port->Add(a);
        port->Send(MIDM_START);
        for (BYTE i = 0; i < 20; ++i) Inject({0xF0, i, 0xF7});
        std::vector<Note> midi = Midi(20);
        ASSERT_EQ(midi.size(), 20u) << type;
        for (BYTE i = 0; i < 20; ++i) EXPECT_EQ(midi[i].bytes, (Bytes{0xF0, i, 0xF7}));
        EXPECT_EQ(readded, 20u);
    }
}

TEST_F(InputMessages, StopResetAndCloseFromACallbackDoNotDeadlock)
{
    port->Add(a);
    DWORD closeResult = 0, stopResult = 99, resetResult = 99;
    port->recorder.hook = [&](const Note &note) {
        if (note.message != MIM_DATA) return;
        if (note.param1 == 0xF8) closeResult = port->Send(MIDM_CLOSE);
        if (note.param1 == 0xFA) resetResult = port->Send(MIDM_RESET);
        if (note.param1 == 0xFC) stopResult = port->Send(MIDM_STOP);
    };
    port->Send(MIDM_START);
    Inject({0xF8, 0x90, 0x3C, 0x40});
    std::vector<Note> midi = Midi(2);
    EXPECT_EQ(closeResult, (DWORD)MIDIERR_STILLPLAYING);  // the port stays open and working
    EXPECT_TRUE(midi.size() == 2 && midi[1].param1 == 0x403C90) << Describe(midi);
    Inject({0xFC, 0x90, 0x3C, 0x40});  // stop: the rest and later packets are discarded
    Inject({0xFE});
    EXPECT_EQ(Midi(1).size(), 1u);
    EXPECT_EQ(stopResult, 0u);
    port->Send(MIDM_START);
    Inject({0xFA, 0xF0, 0x01, 0xF7});  // reset hands the buffer back inside the callback
    midi = Midi(2);
    EXPECT_EQ(resetResult, 0u);
    ASSERT_EQ(midi.size(), 2u) << Describe(midi);
    EXPECT_TRUE(midi[1].message == MIM_LONGDATA && midi[1].bytes.empty());
}

// The open notifies on the opening thread; a client that queues its buffer
// and starts from MIM_OPEN sends commands that the port's thread runs.
TEST_F(InputMessages, BufferAddedAndStartedFromTheOpenCallback)
{
    static InputMessages *self;
    static DWORD opened, added, started;
    self = this;
    port.reset();
    recorder.hook = [](const Note &note) {
        if (note.message != MIM_OPEN) return;
        added = midMessage(0, MIDM_ADDBUFFER, self->instance, (DWORD_PTR)&self->a.header, sizeof(MIDIHDR));
        started = midMessage(0, MIDM_START, self->instance, 0, 0);
    };
    HANDLE opener = CreateThread(nullptr, 0, [](void *) -> DWORD {
        opened = OpenPort(midMessage, true, 0, &self->instance, &self->recorder);
        return 0;
    }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(opener, 5000), WAIT_OBJECT_0) << "the open deadlocked";
    CloseHandle(opener);
    EXPECT_TRUE(opened == 0 && added == 0 && started == 0) << opened << added << started;
    Inject({0xF0, 0x7D, 0xF7});
    EXPECT_TRUE(recorder.WaitUntil([](const std::vector<Note> &n) { return n.size() == 2; }, 3000));
    std::vector<Note> notes = recorder.Take();
    EXPECT_TRUE(notes.size() == 2 && notes[1].bytes == (Bytes{0xF0, 0x7D, 0xF7})) << Describe(notes);
    EXPECT_EQ(midMessage(0, MIDM_RESET, instance, 0, 0), 0u);
    EXPECT_EQ(midMessage(0, MIDM_CLOSE, instance, 0, 0), 0u);
}

// A command on the port's thread from its callback must not wait for the
// lock that another caller holds while that caller waits for this thread.
TEST_F(InputMessages, CallbackCommandWhileAnotherThreadWaitsForThePort)
{
    static InputMessages *self;
    static DWORD otherResult;
    self = this;
    HANDLE other = nullptr;
    DWORD stopResult = 99;
    port->recorder.hook = [&](const Note &note) {
        if (note.message != MIM_DATA || other) return;
        other = CreateThread(nullptr, 0, [](void *) -> DWORD {
            otherResult = self->port->Add(self->b);
            return 0;
        }, nullptr, 0, nullptr);
        Sleep(300);  // the other thread now holds the command lock, waiting for this one
        stopResult = port->Send(MIDM_STOP);
    };
    port->Add(a);
    port->Send(MIDM_START);
    Inject({0xF8});
    Midi(1);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(WaitForSingleObject(other, 5000), WAIT_OBJECT_0);
    CloseHandle(other);
    EXPECT_EQ(stopResult, 0u);
    EXPECT_EQ(otherResult, 0u);
    EXPECT_EQ(port->Send(MIDM_RESET), 0u);  // both queued, in order
    std::vector<Note> returned = port->recorder.Take();
    ASSERT_EQ(returned.size(), 2u);
    EXPECT_TRUE(returned[0].param1 == (DWORD_PTR)&a.header && returned[1].param1 == (DWORD_PTR)&b.header);
}

// Datagrams of every length up to 2000 bytes, random but mostly with a
// header the port accepts (a few senders, so repeats and joining happen).
TEST_F(InputMessages, MalformedTrafficLeavesNoTraceAndThePortWorking)
{
    port.reset();
    Resources before = Measure();
    Open();
    port->recorder.hook = [&](const Note &note) {
        if (note.message == MIM_LONGDATA || note.message == MIM_LONGERROR)
            port->Add(note.param1 == (DWORD_PTR)&a.header ? a : b);
    };
    port->Add(a);
    port->Add(b);
    port->Send(MIDM_START);
    DWORD seed = 4242;
    auto next = [&seed]() { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int length = 0; length <= 2000; ++length) {
        Bytes datagram(length);
        for (BYTE &byte : datagram) byte = BYTE(next());
        DWORD words[4] = {next() % 7, next() % 3, Show, 1};
        if (length >= 16 && next() % 4) memcpy(datagram.data(), words, sizeof words);
        ASSERT_TRUE(testsupport::SendDatagram(datagram.data(), length));
    }
    Inject({0xFF, 0x90, 0x3C, 0x40});  // a new sender's note arrives after the rest
    EXPECT_TRUE(port->recorder.WaitUntil([](const std::vector<Note> &n) {
        return n.size() > 2000 && n.back().message == MIM_DATA && n.back().param1 == 0x403C90u;
    }, 60000));
    port.reset();
    ExpectUnchanged(before, 2);
}

}  // namespace
