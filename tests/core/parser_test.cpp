// The MIDI stream parser: grammar, running status, real-time bytes,
// system-exclusive buffers and their errors, and clients that stop the
// port from a callback.
#include "fake_client.h"
#include <gtest/gtest.h>

namespace {

constexpr uint32_t D = CoreMidiData, E = CoreMidiError, LD = CoreMidiLongData,
                   LE = CoreMidiLongError;

struct Chunk {
    uint32_t time;
    std::vector<uint8_t> bytes;
};

struct GrammarCase {
    const char *name;
    std::vector<size_t> buffers;  // capacities of queued long buffers
    std::vector<Chunk> input;
    std::vector<Delivery> expected;
};

std::vector<Delivery> Parse(const GrammarCase &c)
{
    FakeClient client;
    for (size_t capacity : c.buffers) client.Queue(capacity);
    ParserState state = {};
    state.Started = 1;
    for (const Chunk &chunk : c.input) {
        state.CurrentTime = chunk.time;
        ParseBytes(&state, &client.sink, chunk.bytes.data(), chunk.bytes.size());
    }
    return client.delivered;
}

}  // namespace

TEST(Parser, Grammar)
{
    const GrammarCase cases[] = {
        {"note then running status stamped by its first data byte", {},
         {{5, {0x90, 0x3C, 0x40}}, {7, {0x3E}}, {9, {0x40}}},
         {{D, 0x403C90, 5, {}}, {D, 0x403E90, 7, {}}}},
        {"program change with running status", {}, {{1, {0xC0, 0x05, 0x06}}},
         {{D, 0x5C0, 1, {}}, {D, 0x6C0, 1, {}}}},
        {"real time inside a message goes first", {}, {{2, {0x90, 0x3C, 0xF8, 0x40}}},
         {{D, 0xF8, 2, {}}, {D, 0x403C90, 2, {}}}},
        {"status cuts an incomplete message", {}, {{3, {0x90, 0x3C, 0x80, 0x3C, 0x00}}},
         {{E, 0x3C90, 3, {}}, {D, 0x3C80, 3, {}}}},
        {"system common cancels running status", {}, {{0, {0xF2, 0x01, 0x02, 0x03}}},
         {{D, 0x0201F2, 0, {}}, {E, 0x03, 0, {}}}},
        {"one-byte system common, stray end, data first", {}, {{4, {0xF6, 0xF7, 0x11}}},
         {{D, 0xF6, 4, {}}, {E, 0xF7, 4, {}}, {E, 0x11, 4, {}}}},
        {"song position and select", {}, {{0, {0xF1, 0x10, 0xF3, 0x05}}},
         {{D, 0x10F1, 0, {}}, {D, 0x05F3, 0, {}}}},
        {"system exclusive into a buffer", {16}, {{6, {0xF0, 0x7E, 0x01, 0xF7}}},
         {{LD, 4, 6, {0xF0, 0x7E, 0x01, 0xF7}}}},
        {"long message over two buffers, tail lost", {4, 4},
         {{1, {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7}}},
         {{LD, 4, 1, {0xF0, 1, 2, 3}}, {LD, 4, 1, {4, 5, 6, 7}}}},
        {"status cuts system exclusive", {8}, {{2, {0xF0, 0x01, 0x90, 0x3C, 0x40}}},
         {{LE, 2, 2, {0xF0, 0x01}}, {D, 0x403C90, 2, {}}}},
        {"real time inside system exclusive", {8}, {{3, {0xF0, 0x01, 0xFE, 0x02, 0xF7}}},
         {{D, 0xFE, 3, {}}, {LD, 4, 3, {0xF0, 0x01, 0x02, 0xF7}}}},
        {"no buffer: system exclusive lost silently", {}, {{1, {0xF0, 1, 2, 0xF7, 0xC0, 1}}},
         {{D, 0x1C0, 1, {}}}},
        {"data after system exclusive has no status", {8}, {{1, {0x90, 0xF0, 0xF7, 0x3C}}},
         {{E, 0x90, 1, {}}, {LD, 2, 1, {0xF0, 0xF7}}, {E, 0x3C, 1, {}}}},
        {"every buffer of a message carries the time of its F0", {2, 2},
         {{1, {0xF0, 1}}, {9, {2, 0xF7}}}, {{LD, 2, 1, {0xF0, 1}}, {LD, 2, 1, {2, 0xF7}}}},
    };
    for (const GrammarCase &c : cases) EXPECT_EQ(Parse(c), c.expected) << c.name;
}

TEST(Parser, PartialBufferGoesBackAsAnErrorWithItsBytes)
{
    FakeClient client;
    client.Queue(8, 2);
    ParserState state = {};
    state.Started = 1;
    const uint8_t bytes[] = {0xF0, 0x01, 0x02};
    ParseBytes(&state, &client.sink, bytes, 3);
    ReturnPartialBuffer(&state, &client.sink);
    ASSERT_EQ(client.delivered.size(), 1u);
    EXPECT_EQ(client.delivered[0], (Delivery{LE, 3, 0, {0xF0, 0x01, 0x02}}));
    EXPECT_EQ(state.LongCount, 0u);
    ReturnPartialBuffer(&state, &client.sink);  // nothing partial: nothing happens
    EXPECT_EQ(client.delivered.size(), 1u);
    EXPECT_EQ(client.buffers.size(), 1u);
}

// A client that stops input from its callback: the rest of the packet is
// discarded and nothing is delivered after the stop.
TEST(Parser, ClientStoppingInsideACallbackEndsDelivery)
{
    static ParserState state;
    state = {};
    state.Started = 1;
    FakeClient client;
    client.Queue(4);
    client.sink.ReturnBuffer = [](void *context, uint32_t recorded, uint32_t message, uint32_t time) {
        FakeReturn(context, recorded, message, time);
        state.Started = 0;
    };
    const uint8_t bytes[] = {0xF0, 0x01, 0x90, 0x3C, 0x40, 0xF8};
    ParseBytes(&state, &client.sink, bytes, sizeof bytes);
    ASSERT_EQ(client.delivered.size(), 1u);
    EXPECT_EQ(client.delivered[0].message, LE);
}
