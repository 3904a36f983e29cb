// How the data-path core reaches the rest of the driver. The core itself
// knows nothing of sockets, winmm, threads or the registry: everything it
// sends, delivers, allocates or logs goes through one of these pointers,
// so the same code runs in the driver and in native tests and fuzzers.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Client messages, with the numbers a winmm client knows them by.
constexpr uint32_t CoreMidiData = 0x3C3;       // short message or single status byte
constexpr uint32_t CoreMidiLongData = 0x3C4;   // a system-exclusive buffer is done
constexpr uint32_t CoreMidiError = 0x3C5;      // bytes that break the grammar
constexpr uint32_t CoreMidiLongError = 0x3C6;  // a system-exclusive buffer cut off

struct CoreSink {
    void *Context;

    // Output: one packet of 17 to 400 bytes; 0 when sent, else the status
    // that ends the block.
    uint32_t (*SendPacket)(void *context, const uint8_t *packet, uint32_t length);

    // Input: a short message, a single byte or an error report for the client.
    void (*Deliver)(void *context, uint32_t message, uint32_t param, uint32_t time);
    // The client's first queued long buffer (its bytes and capacity), or
    // null when none is queued.
    uint8_t *(*HeadBuffer)(void *context, uint32_t *capacity);
    // Takes the first queued buffer off the queue with `recorded` bytes in
    // it and hands it back with `message` (long data or long error).
    void (*ReturnBuffer)(void *context, uint32_t recorded, uint32_t message, uint32_t time);

    // Held bytes of joined messages: realloc semantics (a null block
    // allocates); null when there is no memory, the old block untouched.
    void *(*Resize)(void *context, void *block, size_t size);
    void (*Free)(void *context, void *block);

    // The debug log: a call is made only when *TraceLevel >= its level.
    const volatile long *TraceLevel;
    void (*Trace)(const char *format, ...);
};

#define CORE_TRACE(sink, level, ...)                                           \
    do {                                                                       \
        if (*(sink)->TraceLevel >= (level)) (sink)->Trace(__VA_ARGS__);        \
    } while (0)
