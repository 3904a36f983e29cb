// A run of datagrams through an input port's acceptance and parser: the
// input is cut into datagrams of the lengths its own bytes choose, so the
// fuzzer reaches the sender table, joining and the parser's buffers.
#include "../core/fake_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FakeClient client;
    client.Queue(64);
    client.Queue(3);
    AcceptState accept = {};
    ParserState parser = {};
    parser.Started = 1;
    PortFilter filter = {0, 0xFFFFFFFF};
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = (data[at] | data[at + 1] << 8) % 2001;
        at += 2;
        if (length > size - at) length = size - at;
        if (length > 8 && (data[at + 8] & 1)) client.Queue(data[at + 8] + 1);
        AcceptPacket(&accept, filter, data + at, length, &parser, &client.sink);
        at += length;
    }
    ReturnPartialBuffer(&parser, &client.sink);
    ReleaseSenders(&accept, &client.sink);
    return client.liveBlocks == 0 ? 0 : (__builtin_trap(), 0);
}
