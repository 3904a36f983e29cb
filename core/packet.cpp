#include "core/packet.h"

#include <string.h>

namespace {

void PutWord(uint8_t *bytes, uint32_t value)
{
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetWord(const uint8_t *bytes)
{
    return bytes[0] | static_cast<uint32_t>(bytes[1]) << 8 | static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[3]) << 24;
}

struct CrcTable {
    uint32_t Entries[256];
};

constexpr CrcTable MakeCrcTable()
{
    CrcTable table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = value & 1 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        table.Entries[i] = value;
    }
    return table;
}

constexpr CrcTable Crc = MakeCrcTable();

uint32_t CrcStep(uint32_t crc, uint8_t byte) { return (crc >> 8) ^ Crc.Entries[(crc ^ byte) & 0xFF]; }

}  // namespace

void EncodeHeader(const PacketHeader &header, uint8_t *bytes)
{
    PutWord(bytes, header.SenderId);
    PutWord(bytes + 4, header.Sequence);
    PutWord(bytes + 8, header.ShowNumber);
    PutWord(bytes + 12, header.Groups);
}

bool DecodeHeader(const uint8_t *bytes, size_t length, PacketHeader *header)
{
    if (length < PacketHeaderSize) return false;
    header->SenderId = GetWord(bytes);
    header->Sequence = GetWord(bytes + 4);
    header->ShowNumber = GetWord(bytes + 8);
    header->Groups = GetWord(bytes + 12);
    return true;
}

uint32_t Crc32(const uint8_t *bytes, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) crc = CrcStep(crc, bytes[i]);
    return ~crc;
}

uint32_t ShowNumberOf(const char16_t *name)
{
    if (!name || !*name) return 0;
    uint32_t crc = 0xFFFFFFFFu;
    for (; *name; ++name) crc = CrcStep(crc, static_cast<uint8_t>(*name));
    return ~crc;
}

uint32_t SendBlock(PacketStream *stream, const uint8_t *data, int32_t count, const CoreSink *sink)
{
    uint8_t packet[PacketSizeMax];
    uint32_t remaining = count > 0 ? static_cast<uint32_t>(count) : 0;
    while (remaining > 0) {
        uint32_t piece = remaining < PacketDataMax ? remaining : PacketDataMax;
        memcpy(packet + PacketHeaderSize, data, piece);
        data += piece;
        remaining -= piece;
        PacketHeader header = {stream->SenderId, stream->Sequence++, stream->ShowNumber,
                               stream->Groups};
        EncodeHeader(header, packet);
        uint32_t status = sink->SendPacket(sink->Context, packet, piece + PacketHeaderSize);
        if (status != 0) return status;
    }
    return 0;
}
