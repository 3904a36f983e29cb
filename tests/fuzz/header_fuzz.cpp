// The header decoder and the block cutter: what is cut and numbered must
// decode back to the same words and join back to the same bytes.
#include "../core/fake_client.h"

#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PacketHeader header;
    if (!DecodeHeader(data, size, &header)) return 0;
    uint8_t again[PacketHeaderSize];
    EncodeHeader(header, again);
    if (memcmp(again, data, PacketHeaderSize) != 0) __builtin_trap();

    FakeClient client;
    PacketStream stream = {header.SenderId, header.Sequence, header.ShowNumber, header.Groups};
    const uint8_t *block = data + PacketHeaderSize;
    size_t count = size - PacketHeaderSize;
    SendBlock(&stream, block, static_cast<int32_t>(count), &client.sink);
    size_t joined = 0;
    for (const std::vector<uint8_t> &packet : client.packets) {
        PacketHeader decoded;
        if (!DecodeHeader(packet.data(), packet.size(), &decoded) ||
            decoded.Sequence != header.Sequence++ || packet.size() > PacketSizeMax ||
            memcmp(packet.data() + PacketHeaderSize, block + joined,
                   packet.size() - PacketHeaderSize) != 0)
            __builtin_trap();
        joined += packet.size() - PacketHeaderSize;
    }
    if (joined != count || stream.Sequence != header.Sequence) __builtin_trap();
    return 0;
}
