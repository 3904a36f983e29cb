// Acceptance of received packets: the show and group filter, the
// duplicate rule and its sender slots, and the joining of long messages.
#include "fake_client.h"
#include <gtest/gtest.h>
#include <algorithm>

namespace {

constexpr uint32_t Show = 0x352441C2;

std::vector<uint8_t> Packet(uint32_t sender, uint32_t sequence, std::vector<uint8_t> data,
                            uint32_t show = Show, uint32_t groups = 1)
{
    std::vector<uint8_t> packet(PacketHeaderSize);
    EncodeHeader({sender, sequence, show, groups}, packet.data());
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

// An input port with one large long buffer queued, so that every byte
// that reaches the parser inside a system-exclusive message shows.
struct Port {
    FakeClient client;
    AcceptState accept = {};
    ParserState parser = {};
    PortFilter filter = {Show, 0x3};

    Port()
    {
        parser.Started = 1;
        client.Queue(4 << 20);
    }
    ~Port() { ReleaseSenders(&accept, &client.sink); }
    Acceptance Take(const std::vector<uint8_t> &packet)
    {
        return AcceptPacket(&accept, filter, packet.data(), packet.size(), &parser, &client.sink);
    }
    long Notes() const
    {
        return std::count_if(client.delivered.begin(), client.delivered.end(),
                             [](const Delivery &d) { return d.message == CoreMidiData; });
    }
};

std::vector<uint8_t> Sysex(size_t total)
{
    std::vector<uint8_t> bytes(total);
    for (size_t i = 0; i < total; ++i) bytes[i] = static_cast<uint8_t>(i % 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

std::vector<uint8_t> Piece(const std::vector<uint8_t> &bytes, size_t at)
{
    size_t end = std::min(bytes.size(), at + PacketDataMax);
    return std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end);
}

const std::vector<uint8_t> Note = {0x90, 0x3C, 0x40};

}  // namespace

TEST(Accept, ShowAndGroupFilter)
{
    struct Case {
        std::vector<uint8_t> packet;
        Acceptance expected;
    } cases[] = {
        {Packet(1, 1, Note), Acceptance::Parsed},
        {Packet(1, 2, {}), Acceptance::Refused},                    // 16 bytes: no MIDI
        {Packet(1, 3, Note, Show, 0x4), Acceptance::Refused},       // no shared group
        {Packet(1, 4, Note, Show, 0), Acceptance::Refused},         // groups 0 reach nobody
        {Packet(1, 5, Note, Show + 1, 0x1), Acceptance::Refused},   // another show
        {Packet(1, 6, Note, Show, 0x80000002), Acceptance::Parsed}, // one shared bit is enough
        {std::vector<uint8_t>(5, 0), Acceptance::Refused},          // shorter than a header
    };
    Port port;
    for (const Case &c : cases) EXPECT_EQ(port.Take(c.packet), c.expected);
    EXPECT_EQ(port.Notes(), 2);
    EXPECT_EQ(port.accept.NextSlot, 1u);  // refused packets never reach the sender table
}

TEST(Accept, DuplicateIsExactlyTheLastSequenceOfItsSender)
{
    Port port;
    const std::pair<uint32_t, Acceptance> steps[] = {
        {7, Acceptance::Parsed},  {7, Acceptance::Duplicate}, {3, Acceptance::Parsed},
        {7, Acceptance::Parsed},  {0xFFFFFFFF, Acceptance::Parsed}, {0, Acceptance::Parsed},
        {0, Acceptance::Duplicate},
    };
    for (const auto &step : steps) EXPECT_EQ(port.Take(Packet(42, step.first, Note)), step.second);
    EXPECT_EQ(port.Take(Packet(43, 0, Note)), Acceptance::Parsed);  // another sender
    EXPECT_EQ(port.Notes(), 6);
}

TEST(Accept, LongMessageIsJoinedPerSender)
{
    Port port;
    std::vector<uint8_t> sysex = Sysex(1000);
    EXPECT_EQ(port.Take(Packet(1, 1, Piece(sysex, 0))), Acceptance::Held);
    EXPECT_EQ(port.Take(Packet(2, 1, Note)), Acceptance::Parsed);  // another sender meanwhile
    EXPECT_EQ(port.Take(Packet(1, 1, Piece(sysex, 0))), Acceptance::Duplicate);
    EXPECT_EQ(port.Take(Packet(1, 2, Piece(sysex, 384))), Acceptance::Held);
    EXPECT_EQ(port.Take(Packet(1, 3, Piece(sysex, 768))), Acceptance::Parsed);
    ASSERT_EQ(port.client.delivered.size(), 2u);
    EXPECT_EQ(port.client.delivered[0].param, 0x403C90u);
    EXPECT_EQ(port.client.delivered[1].bytes, sysex);
    EXPECT_EQ(port.client.liveBlocks, 0u);
}

TEST(Accept, WhatIsHeldAndWhatIsParsedAtOnce)
{
    std::vector<uint8_t> data(PacketDataMax, 0x11);
    std::vector<uint8_t> withStatus = data;
    withStatus[200] = 0xF8;
    std::vector<uint8_t> shortData(100, 0x11);
    Port port;
    EXPECT_EQ(port.Take(Packet(1, 1, withStatus)), Acceptance::Parsed);
    EXPECT_EQ(port.Take(Packet(2, 1, shortData)), Acceptance::Parsed);
    // Running-status data fills a whole packet: held until a status byte.
    EXPECT_EQ(port.Take(Packet(3, 1, data)), Acceptance::Held);
    EXPECT_EQ(port.Take(Packet(3, 2, shortData)), Acceptance::Held);
    EXPECT_EQ(port.Take(Packet(3, 3, {0x80})), Acceptance::Parsed);
    EXPECT_EQ(port.client.liveBlocks, 0u);
}

// The 101st sender takes slot 0: the first sender is new again, and what it
// held is dropped.
TEST(Accept, TheHundredAndFirstSenderPushesOutTheFirstAndWhatItHeld)
{
    Port port;
    EXPECT_EQ(port.Take(Packet(1, 1, Piece(Sysex(1000), 0))), Acceptance::Held);
    EXPECT_EQ(port.client.liveBlocks, 1u);
    for (uint32_t sender = 2; sender <= 101; ++sender)
        ASSERT_EQ(port.Take(Packet(sender, 5, Note)), Acceptance::Parsed);
    EXPECT_EQ(port.accept.Senders[0].SenderId, 101u);
    EXPECT_EQ(port.client.liveBlocks, 0u);
    EXPECT_EQ(port.Take(Packet(1, 1, {0x01, 0xF7})), Acceptance::Parsed);  // not a duplicate
    EXPECT_EQ(port.client.delivered.back().message, CoreMidiError);       // the 0xF7 alone
    EXPECT_EQ(port.Take(Packet(50, 5, Note)), Acceptance::Duplicate);     // still known
}

TEST(Accept, AMessageThatNeverEndsIsHandedOnPastTheLimitInOrder)
{
    Port port;
    std::vector<uint8_t> expected = {0xF0};
    std::vector<uint8_t> data(PacketDataMax, 0x22);
    data[0] = 0xF0;
    port.Take(Packet(1, 1, data));
    expected.insert(expected.end(), data.begin() + 1, data.end());
    std::fill(data.begin(), data.end(), 0x33);
    uint32_t sequence = 2;
    while (expected.size() <= HeldLimit + PacketDataMax) {
        port.Take(Packet(1, sequence++, data));
        expected.insert(expected.end(), data.begin(), data.end());
    }
    EXPECT_EQ(port.client.liveBlocks, 1u);  // what came after the cut is held again
    port.Take(Packet(1, sequence, {0xF7}));
    expected.push_back(0xF7);
    ASSERT_EQ(port.client.delivered.size(), 1u);
    EXPECT_EQ(port.client.delivered[0].bytes, expected);
    EXPECT_EQ(port.client.liveBlocks, 0u);
}

TEST(Accept, WithoutMemoryBytesAreParsedAtOnce)
{
    Port port;
    port.client.noMemory = true;
    std::vector<uint8_t> sysex = Sysex(500);
    EXPECT_EQ(port.Take(Packet(1, 1, Piece(sysex, 0))), Acceptance::Parsed);
    EXPECT_EQ(port.Take(Packet(1, 2, Piece(sysex, 384))), Acceptance::Parsed);
    ASSERT_EQ(port.client.delivered.size(), 1u);
    EXPECT_EQ(port.client.delivered[0].bytes, sysex);
}

TEST(Accept, APortsSendersTogetherHoldAtMostItsLimit)
{
    Port port;
    port.parser.Started = 0;  // what reaches the parser does not matter here
    std::vector<uint8_t> data(PacketDataMax, 0x11);
    uint32_t peak = 0;
    for (uint32_t sequence = 1; sequence <= 4000; ++sequence)
        for (uint32_t sender = 1; sender <= 12; ++sender) {  // 12 x 1.5 MiB without the limit
            port.Take(Packet(sender, sequence, data));
            peak = std::max(peak, port.accept.HeldTotal);
        }
    EXPECT_LE(peak, PortHeldLimit);
    EXPECT_GT(peak, PortHeldLimit / 2);
}
