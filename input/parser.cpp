// The MIDI stream parser of an input port: turns the received byte stream
// into short messages (MIM_DATA), system-exclusive data in the client's
// buffers (MIM_LONGDATA) and reports of bytes that break the grammar
// (MIM_ERROR, MIM_LONGERROR).
//
// Runs only on the port's MidiThread. A client callback may call back into
// the driver on this thread (add a buffer, stop, reset), so every path
// brings the parser state up to date before it notifies, and after a
// notification in the middle of a byte the parser checks that input is
// still started before it goes on.
#include "input/input.h"
#include "diag/log.h"

namespace {

constexpr BYTE SysexStart = 0xF0;
constexpr BYTE SysexEnd = 0xF7;
constexpr BYTE SysexAbort = 0xFF;  // PutLongByte: end the buffer as an error

void EndShortMessage(MidiPort *port)
{
    InState *in = port->pIn;
    if (!in->ShortMessage) return;
    DWORD pending = in->ShortMessage;
    in->ShortMessage = 0;
    midiCallBack(port, MIM_ERROR, pending, in->MessageTime);
}

// Hands the head buffer back: removed from the queue, done, not queued.
MIDIHDR *TakeHeadBuffer(MidiPort *port)
{
    MIDIHDR *header = port->ClientBuffers;
    port->ClientBuffers = header->lpNext;
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    return header;
}

void ParseSystemByte(MidiPort *port, BYTE b)
{
    InState *in = port->pIn;
    if (in->InSysex) {
        in->InSysex = 0;
        if (b == SysexEnd) {
            PutLongByte(port, SysexEnd);
            return;
        }
        PutLongByte(port, SysexAbort);
        if (!in->Started) return;
    }
    EndShortMessage(port);
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
        LOG(2, " F0");
        in->InSysex = 1;
        PutLongByte(port, SysexStart);
        return;
    case 0xF1:
    case 0xF3:
        LOG(2, " status1");
        in->ShortMessage |= b;
        in->DataNeeded = 1;
        in->DataIndex = 1;
        return;
    case 0xF2:
        LOG(2, " status2");
        in->ShortMessage |= b;
        in->DataNeeded = 2;
        in->DataIndex = 1;
        return;
    case 0xF4:
    case 0xF5:
    case 0xF6:
        LOG(2, " status0");
        in->DataIndex = 0;
        midiCallBack(port, MIM_DATA, b, in->MessageTime);
        return;
    default:  // 0xF7 with no system-exclusive message open
        LOG(2, " F7");
        midiCallBack(port, MIM_ERROR, b, in->MessageTime);
        return;
    }
}

void ParseChannelStatus(MidiPort *port, BYTE b)
{
    InState *in = port->pIn;
    if (in->InSysex) {
        in->InSysex = 0;
        PutLongByte(port, SysexAbort);
        if (!in->Started) return;
    }
    EndShortMessage(port);
    if (!in->Started) return;
    in->RunningStatus = b;
    in->MessageTime = in->CurrentTime;
    in->ShortMessage |= b;
    in->DataIndex = 1;
    switch (b >> 4) {
    case 0xC:
    case 0xD:
        LOG(2, " status1");
        in->DataNeeded = 1;
        break;
    default:
        LOG(2, " status2");
        in->DataNeeded = 2;
        break;
    }
}

void ParseDataByte(MidiPort *port, BYTE b)
{
    InState *in = port->pIn;
    if (in->InSysex) {
        LOG(2, " sxdata");
        PutLongByte(port, b);
        return;
    }
    if (in->DataIndex == 0) {
        LOG(2, " baddata");
        midiCallBack(port, MIM_ERROR, b, in->MessageTime);
        return;
    }
    LOG(2, " data");
    if (in->RunningStatus && in->DataIndex == 1) {
        in->ShortMessage |= in->RunningStatus;
        in->MessageTime = in->CurrentTime;
    }
    in->ShortMessage += static_cast<DWORD>(b) << (8 * in->DataIndex);
    in->DataIndex += 1;
    in->DataNeeded -= 1;
    if (in->DataNeeded) return;

    DWORD message = in->ShortMessage;
    in->ShortMessage = 0;
    if (in->RunningStatus == 0) {
        in->DataIndex = 0;  // system common: no running status
    } else {
        in->DataNeeded = in->DataIndex - 1;
        in->DataIndex = 1;
    }
    midiCallBack(port, MIM_DATA, message, in->MessageTime);
}

}  // namespace

void ParseMidiByte(MidiPort *port, BYTE b)
{
    InState *in = port->pIn;
    if (!in->Started) {
        LOG(2, " not started");
        return;
    }
    LOG(2, " byte %.2x", b);
    if (b >= 0xF8) {
        // Real-time bytes may appear anywhere and leave the message around them alone.
        LOG(2, " rt");
        midiCallBack(port, MIM_DATA, b, in->CurrentTime);
    } else if (b >= 0xF0) {
        ParseSystemByte(port, b);
    } else if (b >= 0x80) {
        ParseChannelStatus(port, b);
    } else {
        ParseDataByte(port, b);
    }
}

void PutLongByte(MidiPort *port, BYTE b)
{
    InState *in = port->pIn;
    MIDIHDR *header = port->ClientBuffers;
    if (!header) return;  // no buffer queued: the byte is lost

    DWORD message = MIM_LONGDATA;
    if (b == SysexAbort) {
        LOG(2, "sysexerror");
        message = MIM_LONGERROR;
    } else {
        LOG(2, "bufferwrite");
        header->lpData[in->LongCount] = static_cast<char>(b);
        in->LongCount += 1;
        if (b != SysexEnd && in->LongCount < header->dwBufferLength) return;
    }
    LOG(2, "bufferdone");
    TakeHeadBuffer(port);
    header->dwBytesRecorded = in->LongCount;
    in->LongCount = 0;
    midiCallBack(port, message, reinterpret_cast<DWORD_PTR>(header), in->MessageTime);
}

// The returned buffer reports the bytes it holds in dwBytesRecorded, as a
// buffer cut off by a status byte does: the client can still use them.
void ReturnPartialLongBuffer(MidiPort *port)
{
    InState *in = port->pIn;
    if (!port->ClientBuffers || in->LongCount == 0) return;
    MIDIHDR *header = TakeHeadBuffer(port);
    header->dwBytesRecorded = in->LongCount;
    in->LongCount = 0;
    midiCallBack(port, MIM_LONGERROR, reinterpret_cast<DWORD_PTR>(header), in->MessageTime);
}

void ReturnAllLongBuffers(MidiPort *port)
{
    InState *in = port->pIn;
    // Detached first: a client that re-adds a buffer from its callback
    // queues it for later input instead of getting it back again here.
    MIDIHDR *header = port->ClientBuffers;
    port->ClientBuffers = nullptr;
    in->LongCount = 0;
    while (header) {
        MIDIHDR *next = header->lpNext;
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        midiCallBack(port, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), in->CurrentTime);
        header = next;
    }
}
