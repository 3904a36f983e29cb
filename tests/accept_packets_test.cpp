// test-timeout: 300
// Packet acceptance of an input port, through its real receive path: each
// datagram is sent to a UDP socket of the port's own (a loopback port of
// its own, not 12555), completes the port's overlapped receive, and is
// handled by midiFlush, which filters it, drops repeats, joins the pieces
// of long messages per sender and hands the bytes to the parser. The test
// thread plays the port thread's part.
#include <gtest/gtest.h>
#include "support/input_harness.h"

using inputtest::BarePort;
using inputtest::ClientBuffer;
using inputtest::Note;
using inputtest::Packet;

namespace {

constexpr DWORD Show = 0x352441C2;
constexpr DWORD Groups = 0x5;

class AcceptTest : public ::testing::Test {
protected:
    BarePort p{Show, Groups};
    inputtest::HeapUse heapBefore;

    void SetUp() override
    {
        ASSERT_NE(DriverHeap, nullptr);
        heapBefore = inputtest::MeasureHeap(DriverHeap);
        ASSERT_TRUE(p.StartReceiving());
    }

    void Send(DWORD sender, DWORD sequence, const std::vector<BYTE> &data, DWORD show = Show,
              DWORD groups = Groups)
    {
        ASSERT_TRUE(p.Deliver(Packet(sender, sequence, show, groups, data)));
    }

    std::vector<Note> Midi() { return inputtest::MidiNotes(p.recorder.Take()); }
};

std::vector<BYTE> SysexBody(size_t total, BYTE seed) { return testsupport::SysexMessage(total, seed, 7); }

// Cuts a block the way the writer does: 384 bytes per packet.
std::vector<std::vector<BYTE>> Pieces(const std::vector<BYTE> &block)
{
    std::vector<std::vector<BYTE>> pieces;
    for (size_t at = 0; at < block.size(); at += PacketDataMax) {
        size_t n = block.size() - at < (size_t)PacketDataMax ? block.size() - at : PacketDataMax;
        pieces.emplace_back(block.begin() + at, block.begin() + at + n);
    }
    return pieces;
}

}  // namespace

TEST_F(AcceptTest, ShowAndGroupsDecideWhetherAPacketIsKept)
{
    Send(1, 1, {0x90, 0x3C, 0x40});
    Send(1, 2, {0x90, 0x3D, 0x40}, Show, 0x2);       // no common group
    Send(1, 3, {0x90, 0x3E, 0x40}, Show + 1, Groups);  // another show
    Send(1, 4, {0x90, 0x3F, 0x40}, Show, 0x4);       // shares group 3
    std::vector<Note> notes = Midi();
    ASSERT_EQ(notes.size(), 2u) << inputtest::Describe(notes);
    EXPECT_EQ(notes[0].param1, 0x403C90u);
    EXPECT_EQ(notes[1].param1, 0x403F90u);
    // The buffer is posted again after every packet, kept or not.
    EXPECT_EQ(p.port->In.Posted, 1);
    EXPECT_EQ(p.port->In.Bad, 0);
}

TEST_F(AcceptTest, PacketsWithoutMidiBytesAreDroppedBeforeTheSenderTable)
{
    for (size_t length : {0u, 1u, 15u, 16u}) {
        std::vector<BYTE> datagram = Packet(9, 1, Show, Groups, {});
        datagram.resize(length);
        ASSERT_TRUE(p.Deliver(datagram)) << length;
    }
    EXPECT_EQ(p.port->In.NextSlot, 0u);
    EXPECT_TRUE(Midi().empty());
    Send(9, 1, {0xF6});  // 17 bytes: one MIDI byte
    std::vector<Note> notes = Midi();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].param1, 0xF6u);
    EXPECT_EQ(p.port->In.NextSlot, 1u);
}

TEST_F(AcceptTest, RepeatOfTheLastSequenceIsDroppedOnlyRightAfterIt)
{
    Send(7, 5, {0xC0, 0x01});
    Send(7, 5, {0xC0, 0x02});  // duplicate
    Send(7, 6, {0xC0, 0x03});
    Send(7, 5, {0xC0, 0x04});  // an older number after another one: accepted
    Send(7, 4, {0xC0, 0x05});  // a step back: accepted
    std::vector<Note> notes = Midi();
    ASSERT_EQ(notes.size(), 4u) << inputtest::Describe(notes);
    EXPECT_EQ(notes[0].param1, 0x01C0u);
    EXPECT_EQ(notes[1].param1, 0x03C0u);
    EXPECT_EQ(notes[2].param1, 0x04C0u);
    EXPECT_EQ(notes[3].param1, 0x05C0u);

    // Filtered packets never touch a sender's last sequence.
    Send(8, 1, {0xC1, 0x01}, Show ^ 1);
    Send(8, 1, {0xC1, 0x02});
    notes = Midi();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].param1, 0x02C1u);
}

TEST_F(AcceptTest, HundredAndFirstSenderTakesTheOldestSlot)
{
    for (DWORD sender = 1; sender <= 101; ++sender) Send(sender, 1, {0xF8});
    EXPECT_EQ(Midi().size(), 101u);
    EXPECT_EQ(p.port->In.Senders[0].SenderId, 101u);
    EXPECT_EQ(p.port->In.NextSlot, 101u);
    Send(2, 1, {0xFA});  // still has its slot: a duplicate
    Send(1, 1, {0xFB});  // lost its slot: new again
    std::vector<Note> notes = Midi();
    ASSERT_EQ(notes.size(), 1u) << inputtest::Describe(notes);
    EXPECT_EQ(notes[0].param1, 0xFBu);
    EXPECT_EQ(p.port->In.Senders[1].SenderId, 1u);  // recycled slot 1 (sender 2's)
}

TEST_F(AcceptTest, SplitSysexIsJoinedPerSenderWhileOthersPassThrough)
{
    ClientBuffer buffer(2048);
    p.Add(buffer);
    std::vector<BYTE> block = SysexBody(1000, 3);
    std::vector<std::vector<BYTE>> pieces = Pieces(block);
    ASSERT_EQ(pieces.size(), 3u);
    Send(0xAAAA, 1, pieces[0]);
    Send(0xBBBB, 1, {0x90, 0x3C, 0x40});  // another sender in between
    Send(0xAAAA, 2, pieces[1]);
    Send(0xAAAA, 2, pieces[1]);  // a repeated piece changes nothing
    Send(0xBBBB, 2, {0x80, 0x3C, 0x00});
    EXPECT_EQ(p.port->ClientBuffers, &buffer.header);  // nothing of the block yet
    Send(0xAAAA, 3, pieces[2]);
    std::vector<Note> notes = Midi();
    ASSERT_EQ(notes.size(), 3u) << inputtest::Describe(notes);
    EXPECT_EQ(notes[0].param1, 0x403C90u);
    EXPECT_EQ(notes[1].param1, 0x003C80u);
    EXPECT_EQ(notes[2].message, (DWORD)MIM_LONGDATA);
    EXPECT_EQ(notes[2].bytes, block);
    EXPECT_EQ(inputtest::MeasureHeap(DriverHeap).blocks, heapBefore.blocks);
}

TEST_F(AcceptTest, FullPacketOfRunningStatusDataIsHeldUntilAStatusArrives)
{
    Send(3, 1, {0x90, 0x10, 0x7F});
    std::vector<BYTE> pairs;
    for (int i = 0; i < PacketDataMax / 2; ++i) {
        pairs.push_back(static_cast<BYTE>(0x20 + i % 64));
        pairs.push_back(0x40);
    }
    Send(3, 2, pairs);
    ASSERT_EQ(Midi().size(), 1u);  // only the first note: the rest is held
    Send(3, 3, {0x21, 0x00, 0xC0, 0x05});
    std::vector<Note> notes = Midi();
    ASSERT_EQ(notes.size(), PacketDataMax / 2 + 2u);
    EXPECT_EQ(notes[0].param1, 0x402090u);
    EXPECT_EQ(notes[PacketDataMax / 2].param1, 0x002190u);
    EXPECT_EQ(notes.back().param1, 0x05C0u);
}

TEST_F(AcceptTest, FullPacketWithAStatusByteIsParsedAtOnce)
{
    for (size_t where : {1u, 200u, 383u}) {
        std::vector<BYTE> data(PacketDataMax, 0x01);
        data[where] = 0xF8;
        Send(4, static_cast<DWORD>(where), data);
        std::vector<Note> notes = Midi();
        ASSERT_EQ(notes.size(), (size_t)PacketDataMax) << where;  // 383 bad data, one clock
        EXPECT_EQ(notes[where].param1, 0xF8u);
    }
    // A status byte in first place only does not count: that packet is held.
    std::vector<BYTE> data(PacketDataMax, 0x01);
    data[0] = 0xF0;
    Send(4, 999, data);
    EXPECT_TRUE(Midi().empty());
}

TEST_F(AcceptTest, HeldMessageIsDroppedWhenItsSlotIsRecycled)
{
    ClientBuffer buffer(4096);
    p.Add(buffer);
    std::vector<BYTE> block = SysexBody(900, 1);
    std::vector<std::vector<BYTE>> pieces = Pieces(block);
    Send(0x5000, 1, pieces[0]);
    EXPECT_GT(inputtest::MeasureHeap(DriverHeap).blocks, heapBefore.blocks);
    for (DWORD sender = 1; sender <= 100; ++sender) Send(sender, 1, {0xFE});
    EXPECT_EQ(inputtest::MeasureHeap(DriverHeap).blocks, heapBefore.blocks);
    Midi();
    Send(0x5000, 2, pieces[1]);  // a new sender now; its data has no status
    Send(0x5000, 3, pieces[2]);
    std::vector<Note> notes = Midi();
    for (const Note &note : notes) EXPECT_NE(note.message, (DWORD)MIM_LONGDATA);
    EXPECT_EQ(p.port->ClientBuffers, &buffer.header);
}

TEST_F(AcceptTest, StoppedPortDiscardsAndDoesNotPostAgain)
{
    p.port->In.Started = 0;
    Send(5, 1, {0x90, 0x3C, 0x40});
    EXPECT_TRUE(Midi().empty());
    EXPECT_EQ(p.port->In.Posted, 0);
    EXPECT_EQ(p.port->In.RecvQueue, nullptr);
    EXPECT_EQ(p.port->In.Senders[0].SenderId, 5u);  // the table still learns the sender
}

TEST_F(AcceptTest, OversizedDatagramWaitingWhenTheReceiveIsPostedIsCutToAPacket)
{
    p.port->In.Started = 0;
    Send(6, 1, {0xFE});  // handled, not posted again
    ASSERT_EQ(p.port->In.Posted, 0);
    std::vector<BYTE> data(1500, 0x00);
    data[0] = 0x90;
    data[1] = 0x3C;
    data[2] = 0x40;
    for (size_t i = 3; i < data.size(); ++i) data[i] = 0xF8;
    ASSERT_TRUE(p.SendOnly(Packet(6, 2, Show, Groups, data)));
    Sleep(100);  // waiting in the socket
    p.port->In.Started = 1;
    ASSERT_EQ(midiInPutBuffer(&p.port->In.Buffer, p.port), 0u);
    ASSERT_TRUE(p.Complete());
    std::vector<Note> notes = Midi();  // the note and the clocks of the first 400 bytes
    ASSERT_EQ(notes.size(), 1u + (PacketDataMax - 3)) << inputtest::Describe(notes);
    EXPECT_EQ(notes[0].param1, 0x403C90u);
    EXPECT_EQ(p.port->In.Bad, 0);
    EXPECT_EQ(p.port->In.Posted, 1);
}

TEST_F(AcceptTest, LongDumpsAreJoinedWholeAndInOrder)
{
    // 1 MiB joins in one piece; 2.5 MiB is handed on in pieces, in order.
    for (size_t total : {size_t(1) << 20, size_t(5) << 19}) {
        ClientBuffer buffer(static_cast<DWORD>(total));
        p.Add(buffer);
        std::vector<BYTE> block = SysexBody(total, 9);
        DWORD sequence = 1;
        for (const std::vector<BYTE> &piece : Pieces(block)) Send(0x77, sequence++, piece);
        std::vector<Note> notes = Midi();
        ASSERT_EQ(notes.size(), 1u) << inputtest::Describe(notes);
        EXPECT_EQ(notes[0].message, (DWORD)MIM_LONGDATA);
        ASSERT_EQ(notes[0].bytes.size(), total);
        EXPECT_TRUE(notes[0].bytes == block);
        EXPECT_EQ(inputtest::MeasureHeap(DriverHeap).blocks, heapBefore.blocks);
    }
}

TEST_F(AcceptTest, HeldBlocksOfEverySenderAreFreedAtClose)
{
    std::vector<BYTE> data(PacketDataMax, 0x11);
    for (DWORD sender = 1; sender <= 20; ++sender) Send(sender, 1, data);
    for (DWORD sender = 1; sender <= 5; ++sender) Send(sender, 2, data);
    EXPECT_GE(inputtest::MeasureHeap(DriverHeap).blocks, heapBefore.blocks + 20);
    FreeHeldBlocks(p.port);
    EXPECT_EQ(inputtest::MeasureHeap(DriverHeap).blocks, heapBefore.blocks);
    for (const SenderSlot &slot : p.port->In.Senders) EXPECT_EQ(slot.Held, nullptr);
}
