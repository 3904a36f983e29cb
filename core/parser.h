// The MIDI stream parser of an input port: turns the received byte stream
// into short messages, system-exclusive data in the client's buffers and
// reports of bytes that break the grammar, with running status and
// real-time bytes anywhere.
#pragma once

#include "core/sink.h"

struct ParserState {
    uint32_t Started;       // bytes arriving while clear are discarded
    uint32_t ShortMessage;  // packed status | data1 << 8 | data2 << 16; 0 when none
    uint32_t LongCount;     // bytes written into the head client buffer
    uint8_t RunningStatus;  // channel status in force; 0 for none
    uint8_t InSysex;
    uint8_t DataNeeded;     // data bytes still missing from ShortMessage
    uint8_t DataIndex;      // where the next data byte goes (1, 2); 0: no status in force
    uint32_t CurrentTime;   // ms since start at which the packet being parsed arrived
    uint32_t MessageTime;   // time stamp of the message being assembled
};

constexpr uint8_t SysexStart = 0xF0;
constexpr uint8_t SysexEnd = 0xF7;
constexpr uint8_t SysexAbort = 0xFF;  // to PutLongByte: end the buffer as an error

// The sink's Deliver and ReturnBuffer reach the client, which may call
// back into the driver on the same thread (add a buffer, stop, reset).
// Every path therefore brings the state up to date before it delivers, and
// after a delivery in the middle of a byte checks Started before going on.
void ParseByte(ParserState *state, const CoreSink *sink, uint8_t b);
void ParseBytes(ParserState *state, const CoreSink *sink, const uint8_t *bytes, size_t count);
void PutLongByte(ParserState *state, const CoreSink *sink, uint8_t b);
// Hands back a partly filled head buffer as an error, with the bytes it holds.
void ReturnPartialBuffer(ParserState *state, const CoreSink *sink);
// A new start begins a new stream: nothing from before may complete a
// message after it.
void ClearMessageState(ParserState *state);
