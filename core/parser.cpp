#include "core/parser.h"

namespace {

void EndShortMessage(ParserState *in, const CoreSink *sink)
{
    if (!in->ShortMessage) return;
    uint32_t pending = in->ShortMessage;
    in->ShortMessage = 0;
    sink->Deliver(sink->Context, CoreMidiError, pending, in->MessageTime);
}

void ParseSystemByte(ParserState *in, const CoreSink *sink, uint8_t b)
{
    if (in->InSysex) {
        in->InSysex = 0;
        if (b == SysexEnd) {
            PutLongByte(in, sink, SysexEnd);
            return;
        }
        PutLongByte(in, sink, SysexAbort);
        if (!in->Started) return;
    }
    EndShortMessage(in, sink);
    if (!in->Started) return;
    // A system status ends running status; until a new status arrives a
    // data byte has nothing to belong to (without this, data after a
    // system-exclusive message or a stray 0xF7 would complete the cut-off
    // channel message's counters into a message with no status byte).
    in->RunningStatus = 0;
    in->DataIndex = 0;
    in->MessageTime = in->CurrentTime;

    switch (b) {
    case SysexStart:
        CORE_TRACE(sink, 2, " F0");
        in->InSysex = 1;
        PutLongByte(in, sink, SysexStart);
        return;
    case 0xF1:
    case 0xF3:
        CORE_TRACE(sink, 2, " status1");
        in->ShortMessage |= b;
        in->DataNeeded = 1;
        in->DataIndex = 1;
        return;
    case 0xF2:
        CORE_TRACE(sink, 2, " status2");
        in->ShortMessage |= b;
        in->DataNeeded = 2;
        in->DataIndex = 1;
        return;
    case 0xF4:
    case 0xF5:
    case 0xF6:
        CORE_TRACE(sink, 2, " status0");
        in->DataIndex = 0;
        sink->Deliver(sink->Context, CoreMidiData, b, in->MessageTime);
        return;
    default:  // 0xF7 with no system-exclusive message open
        CORE_TRACE(sink, 2, " F7");
        sink->Deliver(sink->Context, CoreMidiError, b, in->MessageTime);
        return;
    }
}

void ParseChannelStatus(ParserState *in, const CoreSink *sink, uint8_t b)
{
    if (in->InSysex) {
        in->InSysex = 0;
        PutLongByte(in, sink, SysexAbort);
        if (!in->Started) return;
    }
    EndShortMessage(in, sink);
    if (!in->Started) return;
    in->RunningStatus = b;
    in->MessageTime = in->CurrentTime;
    in->ShortMessage |= b;
    in->DataIndex = 1;
    if ((b >> 4) == 0xC || (b >> 4) == 0xD) {
        CORE_TRACE(sink, 2, " status1");
        in->DataNeeded = 1;
    } else {
        CORE_TRACE(sink, 2, " status2");
        in->DataNeeded = 2;
    }
}

void ParseDataByte(ParserState *in, const CoreSink *sink, uint8_t b)
{
    if (in->InSysex) {
        CORE_TRACE(sink, 2, " sxdata");
        PutLongByte(in, sink, b);
        return;
    }
    if (in->DataIndex == 0) {
        CORE_TRACE(sink, 2, " baddata");
        sink->Deliver(sink->Context, CoreMidiError, b, in->MessageTime);
        return;
    }
    CORE_TRACE(sink, 2, " data");
    if (in->RunningStatus && in->DataIndex == 1) {
        in->ShortMessage |= in->RunningStatus;
        in->MessageTime = in->CurrentTime;
    }
    in->ShortMessage += static_cast<uint32_t>(b) << (8 * in->DataIndex);
    in->DataIndex += 1;
    in->DataNeeded -= 1;
    if (in->DataNeeded) return;

    uint32_t message = in->ShortMessage;
    in->ShortMessage = 0;
    if (in->RunningStatus == 0) {
        in->DataIndex = 0;  // system common: no running status
    } else {
        in->DataNeeded = in->DataIndex - 1;
        in->DataIndex = 1;
    }
    sink->Deliver(sink->Context, CoreMidiData, message, in->MessageTime);
}

void ReturnHead(ParserState *in, const CoreSink *sink, uint32_t message)
{
    uint32_t recorded = in->LongCount;
    in->LongCount = 0;
    sink->ReturnBuffer(sink->Context, recorded, message, in->MessageTime);
}

}  // namespace

void ParseByte(ParserState *in, const CoreSink *sink, uint8_t b)
{
    if (!in->Started) {
        CORE_TRACE(sink, 2, " not started");
        return;
    }
    CORE_TRACE(sink, 2, " byte %.2x", b);
    if (b >= 0xF8) {
        // Real-time bytes may appear anywhere and leave the message around them alone.
        CORE_TRACE(sink, 2, " rt");
        sink->Deliver(sink->Context, CoreMidiData, b, in->CurrentTime);
    } else if (b >= 0xF0) {
        ParseSystemByte(in, sink, b);
    } else if (b >= 0x80) {
        ParseChannelStatus(in, sink, b);
    } else {
        ParseDataByte(in, sink, b);
    }
}

void ParseBytes(ParserState *state, const CoreSink *sink, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) ParseByte(state, sink, bytes[i]);
}

void PutLongByte(ParserState *in, const CoreSink *sink, uint8_t b)
{
    uint32_t capacity = 0;
    uint8_t *buffer = sink->HeadBuffer(sink->Context, &capacity);
    if (!buffer) return;  // no buffer queued: the byte is lost

    if (b == SysexAbort) {
        CORE_TRACE(sink, 2, "sysexerror");
        CORE_TRACE(sink, 2, "bufferdone");
        ReturnHead(in, sink, CoreMidiLongError);
        return;
    }
    CORE_TRACE(sink, 2, "bufferwrite");
    // A buffer added while a message was arriving starts at its beginning;
    // LongCount never passes the capacity of the buffer it counts.
    if (in->LongCount >= capacity) in->LongCount = 0;
    buffer[in->LongCount] = b;
    in->LongCount += 1;
    if (b != SysexEnd && in->LongCount < capacity) return;
    CORE_TRACE(sink, 2, "bufferdone");
    ReturnHead(in, sink, CoreMidiLongData);
}

void ReturnPartialBuffer(ParserState *in, const CoreSink *sink)
{
    uint32_t capacity = 0;
    if (!sink->HeadBuffer(sink->Context, &capacity) || in->LongCount == 0) return;
    ReturnHead(in, sink, CoreMidiLongError);
}

void ClearMessageState(ParserState *in)
{
    in->ShortMessage = 0;
    in->RunningStatus = 0;
    in->InSysex = 0;
    in->DataNeeded = 0;
    in->DataIndex = 0;
}
