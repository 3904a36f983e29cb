// A client of the data-path core for native tests and fuzzers: records
// what the core delivers and sends, and lends it long buffers and memory.
#pragma once

#include "core/accept.h"

#include <deque>
#include <stdlib.h>
#include <tuple>
#include <vector>

struct Delivery {
    uint32_t message;
    uint32_t param;  // short message, byte, or the bytes recorded of a buffer
    uint32_t time;
    std::vector<uint8_t> bytes;  // a returned buffer's bytes
    bool operator==(const Delivery &o) const
    {
        return std::tie(message, param, time, bytes) == std::tie(o.message, o.param, o.time, o.bytes);
    }
};

struct FakeClient {
    std::vector<Delivery> delivered;
    std::deque<std::vector<uint8_t>> buffers;        // queued long buffers
    std::vector<std::vector<uint8_t>> packets;       // what SendPacket got
    uint32_t failAtPacket = 0;                       // 1-based; 0 never fails
    size_t liveBlocks = 0;
    bool noMemory = false;
    long traceLevel = 0;
    CoreSink sink = {};

    FakeClient();
    void Queue(size_t capacity, size_t count = 1);
};

inline void FakeDeliver(void *context, uint32_t message, uint32_t param, uint32_t time)
{
    static_cast<FakeClient *>(context)->delivered.push_back({message, param, time, {}});
}

inline uint8_t *FakeHead(void *context, uint32_t *capacity)
{
    FakeClient *client = static_cast<FakeClient *>(context);
    if (client->buffers.empty()) return nullptr;
    *capacity = static_cast<uint32_t>(client->buffers.front().size());
    return client->buffers.front().data();
}

inline void FakeReturn(void *context, uint32_t recorded, uint32_t message, uint32_t time)
{
    FakeClient *client = static_cast<FakeClient *>(context);
    std::vector<uint8_t> head = client->buffers.front();
    client->buffers.pop_front();
    head.resize(recorded);
    client->delivered.push_back({message, recorded, time, head});
}

inline uint32_t FakeSend(void *context, const uint8_t *packet, uint32_t length)
{
    FakeClient *client = static_cast<FakeClient *>(context);
    client->packets.emplace_back(packet, packet + length);
    return client->packets.size() == client->failAtPacket ? 11 : 0;
}

inline void *FakeResize(void *context, void *block, size_t size)
{
    FakeClient *client = static_cast<FakeClient *>(context);
    if (client->noMemory) return nullptr;
    void *grown = realloc(block, size);
    if (grown && !block) ++client->liveBlocks;
    return grown;
}

inline void FakeFree(void *context, void *block)
{
    --static_cast<FakeClient *>(context)->liveBlocks;
    free(block);
}

inline void FakeTrace(const char *, ...) {}

inline FakeClient::FakeClient()
{
    sink = {this, FakeSend, FakeDeliver, FakeHead, FakeReturn, FakeResize, FakeFree, &traceLevel,
            FakeTrace};
}

inline void FakeClient::Queue(size_t capacity, size_t count)
{
    for (size_t i = 0; i < count; ++i) buffers.emplace_back(capacity);
}
