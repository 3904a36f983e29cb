// The packet on the wire: header bytes, show numbers, and the cutting of
// blocks into numbered packets.
#include "fake_client.h"
#include <gtest/gtest.h>

TEST(Packet, NoteOnFromShowAbcIsNineteenExactBytes)
{
    FakeClient client;
    PacketStream stream = {0x11223344, 1, ShowNumberOf(u"abc"), 5};
    const uint8_t note[] = {0x90, 0x3C, 0x40};
    ASSERT_EQ(SendBlock(&stream, note, 3, &client.sink), 0u);
    const std::vector<uint8_t> expected = {0x44, 0x33, 0x22, 0x11, 1,    0,    0,    0,    0xC2, 0x41,
                                           0x24, 0x35, 5,    0,    0,    0,    0x90, 0x3C, 0x40};
    ASSERT_EQ(client.packets.size(), 1u);
    EXPECT_EQ(client.packets[0], expected);
    EXPECT_EQ(stream.Sequence, 2u);

    PacketHeader header;  // (header_fuzz checks that decoding undoes encoding)
    EXPECT_TRUE(DecodeHeader(expected.data(), 16, &header) && header.ShowNumber == 0x352441C2u);
    EXPECT_FALSE(DecodeHeader(expected.data(), 15, &header));
}

TEST(Packet, ShowNumbers)
{
    const uint8_t check[] = "123456789";
    EXPECT_EQ(Crc32(check, 9), 0xCBF43926u);  // the standard check value
    EXPECT_EQ(ShowNumberOf(u"abc"), 0x352441C2u);
    EXPECT_EQ(ShowNumberOf(u""), 0u);
    EXPECT_EQ(ShowNumberOf(nullptr), 0u);
    // Only the low byte of each character counts.
    EXPECT_EQ(ShowNumberOf(u"\u0161\u0162\u0163"), ShowNumberOf(u"abc"));
}

struct CutCase {
    int32_t count;
    std::vector<size_t> lengths;  // packet lengths on the wire
};

TEST(Packet, BlocksAreCutInto400BytePieces)
{
    const CutCase cases[] = {
        {0, {}}, {-7, {}}, {1, {17}}, {3, {19}}, {384, {400}}, {385, {400, 17}},
        {1000, {400, 400, 248}}, {768, {400, 400}},
    };
    for (const CutCase &c : cases) {
        FakeClient client;
        std::vector<uint8_t> block(c.count > 0 ? c.count : 1);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
        PacketStream stream = {9, 0xFFFFFFFF, 1, 2};  // numbering wraps
        ASSERT_EQ(SendBlock(&stream, block.data(), c.count, &client.sink), 0u) << c.count;
        ASSERT_EQ(client.packets.size(), c.lengths.size()) << c.count;
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < client.packets.size(); ++i) {
            const std::vector<uint8_t> &packet = client.packets[i];
            EXPECT_EQ(packet.size(), c.lengths[i]) << c.count;
            PacketHeader header;
            DecodeHeader(packet.data(), packet.size(), &header);
            EXPECT_EQ(header.Sequence, static_cast<uint32_t>(0xFFFFFFFF + i)) << c.count;
            joined.insert(joined.end(), packet.begin() + PacketHeaderSize, packet.end());
        }
        if (c.count > 0) {
            EXPECT_EQ(joined, block);
        }
        EXPECT_EQ(stream.Sequence, static_cast<uint32_t>(0xFFFFFFFF + c.lengths.size()));
    }
}

TEST(Packet, AFailedPacketEndsTheBlockAndUsesUpItsNumber)
{
    FakeClient client;
    client.failAtPacket = 2;
    std::vector<uint8_t> block(1000, 0x11);
    PacketStream stream = {1, 1, 0, 1};
    EXPECT_EQ(SendBlock(&stream, block.data(), 1000, &client.sink), 11u);
    EXPECT_EQ(client.packets.size(), 2u);
    EXPECT_EQ(stream.Sequence, 3u);
}
