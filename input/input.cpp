// Input processing of an open input port: the data-path core's acceptance
// and parser, connected to the port's client (winmm callbacks and the
// client's MIDIHDR list) and to the driver's heap and log.
//
// Runs only on the port's MidiThread (net/receive.cpp), which owns the
// port's InState and ClientBuffers.
#include "input/input.h"
#include "diag/log.h"

namespace {

MidiPort *PortOf(void *context) { return static_cast<MidiPort *>(context); }

void Deliver(void *context, uint32_t message, uint32_t param, uint32_t time)
{
    midiCallBack(PortOf(context), message, param, time);
}

uint8_t *HeadBuffer(void *context, uint32_t *capacity)
{
    MIDIHDR *header = PortOf(context)->ClientBuffers;
    if (!header) return nullptr;
    *capacity = header->dwBufferLength;
    return reinterpret_cast<uint8_t *>(header->lpData);
}

// Hands the head buffer back: removed from the queue, done, not queued.
MIDIHDR *TakeHeadBuffer(MidiPort *port)
{
    MIDIHDR *header = port->ClientBuffers;
    port->ClientBuffers = header->lpNext;
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    return header;
}

void ReturnBuffer(void *context, uint32_t recorded, uint32_t message, uint32_t time)
{
    MidiPort *port = PortOf(context);
    MIDIHDR *header = TakeHeadBuffer(port);
    header->dwBytesRecorded = recorded;
    midiCallBack(port, message, reinterpret_cast<DWORD_PTR>(header), time);
}

void *Resize(void *, void *block, size_t size)
{
    return block ? HeapReAlloc(DriverHeap, 0, block, size) : HeapAlloc(DriverHeap, 0, size);
}

void Free(void *, void *block) { HeapFree(DriverHeap, 0, block); }

static_assert(CoreMidiData == MIM_DATA && CoreMidiLongData == MIM_LONGDATA &&
                  CoreMidiError == MIM_ERROR && CoreMidiLongError == MIM_LONGERROR,
              "the core delivers winmm's message numbers");

}  // namespace

void InitInputSink(MidiPort *port)
{
    CoreSink &sink = port->In.Sink;
    sink.Context = port;
    sink.SendPacket = nullptr;  // input ports never send
    sink.Deliver = Deliver;
    sink.HeadBuffer = HeadBuffer;
    sink.ReturnBuffer = ReturnBuffer;
    sink.Resize = Resize;
    sink.Free = Free;
    sink.TraceLevel = &DebugLevel;
    sink.Trace = LogPrint;
}

void AcceptReceived(MidiPort *port, const BYTE *packet, DWORD length)
{
    InState *in = port->pIn;
    PortFilter filter = {port->pUnit->ShowNumber, port->pUnit->Groups};
    Acceptance outcome = AcceptPacket(&in->Accept, filter, packet, length, &in->Parser, &in->Sink);
    in->Outcomes[static_cast<int>(outcome)] += 1;
}

// Held blocks live on the driver's heap; the port's close hands them back.
void FreeHeldBlocks(MidiPort *port)
{
    if (port->DeviceType != MidiInDevice || !port->pIn) return;
    ReleaseSenders(&port->pIn->Accept, &port->pIn->Sink);
}

void ParseMidiByte(MidiPort *port, BYTE b) { ParseByte(&port->pIn->Parser, &port->pIn->Sink, b); }

void PutLongByte(MidiPort *port, BYTE b) { ::PutLongByte(&port->pIn->Parser, &port->pIn->Sink, b); }

// The returned buffer reports the bytes it holds in dwBytesRecorded, as a
// buffer cut off by a status byte does: the client can still use them.
void ReturnPartialLongBuffer(MidiPort *port)
{
    ReturnPartialBuffer(&port->pIn->Parser, &port->pIn->Sink);
}

void ReturnAllLongBuffers(MidiPort *port)
{
    ParserState *parser = &port->pIn->Parser;
    // Detached first: a client that re-adds a buffer from its callback
    // queues it for later input instead of getting it back again here.
    MIDIHDR *header = port->ClientBuffers;
    port->ClientBuffers = nullptr;
    parser->LongCount = 0;
    while (header) {
        MIDIHDR *next = header->lpNext;
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        midiCallBack(port, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), parser->CurrentTime);
        header = next;
    }
}
