// Packet acceptance of an input port: the show and group filter, the table
// of recent senders that drops repeated packets, and the joining of long
// messages that a sender cut into 400-byte packets, before the MIDI bytes
// go to the parser.
//
// Runs only on the port's MidiThread (see net/receive.cpp).
#include "input/input.h"
#include "net/net.h"
#include "diag/log.h"

namespace {

// A joined message grows its block geometrically, so a long dump costs
// time linear in its length instead of a copy of everything held per
// continuation packet.
constexpr DWORD HeldInitialCapacity = 2 * PacketDataMax;

// Bytes one sender may have held at once. A message longer than this is
// handed to the parser in pieces, in order, as it arrives (it may then
// interleave with other senders' packets); the cap keeps a stream of
// data-only packets from taking the process's memory.
constexpr DWORD HeldLimit = 1u << 20;

void ParseBytes(MidiPort *port, const BYTE *data, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) ParseMidiByte(port, data[i]);
}

bool HasStatusByte(const BYTE *data, DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
        if (data[i] >= 0x80) return true;
    return false;
}

void ReleaseHeld(SenderSlot *slot)
{
    if (slot->Held) HeapFree(DriverHeap, 0, slot->Held);
    slot->Held = nullptr;
    slot->HeldLength = 0;
    slot->HeldCapacity = 0;
}

// Makes room for `needed` held bytes; false (and the block unchanged) when
// the heap has none.
bool ReserveHeld(SenderSlot *slot, DWORD needed)
{
    if (needed <= slot->HeldCapacity) return true;
    DWORD capacity = slot->HeldCapacity ? slot->HeldCapacity : HeldInitialCapacity;
    while (capacity < needed) capacity *= 2;
    void *block = slot->Held ? HeapReAlloc(DriverHeap, 0, slot->Held, capacity)
                             : HeapAlloc(DriverHeap, 0, capacity);
    if (!block) return false;
    slot->Held = static_cast<BYTE *>(block);
    slot->HeldCapacity = capacity;
    return true;
}

bool PacketIsForPort(const MidiPacket *packet, DWORD received, const Unit *unit)
{
    if (received <= static_cast<DWORD>(PacketHeaderSize)) return false;
    if ((packet->Groups & unit->Groups) == 0) return false;
    return packet->ShowNumber == unit->ShowNumber;
}

// The sender's slot, or null when the packet repeats the last one kept
// from that sender. A sender without a slot takes the next one in rotation.
SenderSlot *LookUpSender(InState *in, const MidiPacket *packet)
{
    for (int i = 0; i < MaxSenders; ++i) {
        SenderSlot *slot = &in->Senders[i];
        if (slot->SenderId != packet->SenderId) continue;
        if (slot->LastSequence == packet->Sequence) {
            LOG(1, " duplicate!");
            return nullptr;
        }
        slot->LastSequence = packet->Sequence;
        return slot;
    }
    DWORD index = in->NextSlot % MaxSenders;
    in->NextSlot += 1;
    LOG(2, " allocating new sender slot %d for sender %x", index, packet->SenderId);
    SenderSlot *slot = &in->Senders[index];
    slot->SenderId = packet->SenderId;
    slot->LastSequence = packet->Sequence;
    ReleaseHeld(slot);
    return slot;
}

// A full packet of data bytes after its first byte may be the first piece
// of a long message: hold it. If the block cannot be had, the bytes are
// parsed at once, as when joining fails.
void OpenOrParse(MidiPort *port, SenderSlot *slot, const BYTE *data, DWORD count)
{
    if (count == static_cast<DWORD>(PacketDataMax) && !HasStatusByte(data + 1, count - 1) &&
        ReserveHeld(slot, count)) {
        CopyMemory(slot->Held, data, count);
        slot->HeldLength = count;
        return;
    }
    ParseBytes(port, data, count);
}

void JoinHeld(MidiPort *port, SenderSlot *slot, const BYTE *data, DWORD count)
{
    bool complete = HasStatusByte(data, count);
    if (slot->HeldLength + count > HeldLimit) {
        ParseBytes(port, slot->Held, slot->HeldLength);
        ParseBytes(port, data, count);
        ReleaseHeld(slot);
        return;
    }
    if (!ReserveHeld(slot, slot->HeldLength + count)) {
        ParseBytes(port, data, count);  // the held bytes wait for a later packet
        return;
    }
    CopyMemory(slot->Held + slot->HeldLength, data, count);
    slot->HeldLength += count;
    if (!complete) return;
    // The parser may call the client, which may stop or reset the port;
    // the block stays the slot's until the whole message is handed on.
    ParseBytes(port, slot->Held, slot->HeldLength);
    ReleaseHeld(slot);
}

void AcceptPacket(MidiPort *port, RecvBuffer *buffer)
{
    InState *in = port->pIn;
    const MidiPacket *packet = reinterpret_cast<const MidiPacket *>(buffer->Packet);
    DWORD received = buffer->BytesReceived;
    if (received > static_cast<DWORD>(PacketSizeMax)) received = PacketSizeMax;
    if (!PacketIsForPort(packet, received, port->pUnit)) return;
    SenderSlot *slot = LookUpSender(in, packet);
    if (!slot) return;
    LOG(2, "Not a dup");
    DWORD count = received - PacketHeaderSize;
    if (slot->Held) JoinHeld(port, slot, packet->Data, count);
    else OpenOrParse(port, slot, packet->Data, count);
}

void Repost(MidiPort *port, RecvBuffer *buffer)
{
    InState *in = port->pIn;
    if (!in->Started) {
        LOG(2, " midi not started on port");
        return;
    }
    // A client that stopped and started the port from a callback during
    // this buffer's parse may already have it posted again.
    if (in->Posted || in->Bad) return;
    LOG(2, " midi started, requeuing buffer");
    if (midiInPutBuffer(buffer, port) != MMSYSERR_NOERROR) in->Bad = 1;
}

}  // namespace

void midiFlush(MidiPort *port)
{
    LOG(2, "Input entry %d", port->DeviceType);
    if (port->DeviceType != MidiInDevice) return;
    InState *in = port->pIn;
    // A client callback made from the parser can come back here through a
    // command run on this thread; the outer call finishes the queue.
    if (in->Flushing) return;
    in->Flushing = 1;
    for (;;) {
        RecvBuffer *buffer = in->RecvQueue;
        if (!buffer || buffer->Done == 0) break;
        // An empty datagram is possible on UDP; only TCP reads it as the
        // peer closing the connection.
        if (buffer->Done == 2 && TCPClientServer == 1) {
            connected = 0;
            teardown = 1;
        }
        in->RecvQueue = buffer->Next;
        buffer->Done = 0;
        in->CurrentTime = static_cast<DWORD>(buffer->ArrivalTime / 10000);
        LOG(2, "midiFlush buffer %x size %d bad %d", (unsigned)(DWORD_PTR)buffer,
            buffer->BytesReceived, in->Bad);
        if (in->Bad) continue;
        const BYTE *data = buffer->Packet + PacketHeaderSize;
        LOG(2, "Midi Data %02.2x %02.2x %02.2x %02.2x %02.2x %02.2x", data[0], data[1], data[2],
            data[3], data[4], data[5]);
        AcceptPacket(port, buffer);
        Repost(port, buffer);
    }
    in->Flushing = 0;
}

DWORD midiFlushLocked(MidiPort *port, DWORD_PTR)
{
    EnterCriticalSection(&mmDrvCritSec);
    midiFlush(port);
    LeaveCriticalSection(&mmDrvCritSec);
    return 0;
}

// Held blocks live on the driver's heap; the port's close hands them back.
void FreeHeldBlocks(MidiPort *port)
{
    if (port->DeviceType != MidiInDevice || !port->pIn) return;
    for (int i = 0; i < MaxSenders; ++i) ReleaseHeld(&port->pIn->Senders[i]);
}
