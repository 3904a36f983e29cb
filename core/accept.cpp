#include "core/accept.h"

#include <string.h>

namespace {

// A joined message grows its block geometrically, so a long dump costs
// time linear in its length instead of a copy of everything held per
// continuation packet.
constexpr uint32_t HeldInitialCapacity = 2 * PacketDataMax;

bool HasStatusByte(const uint8_t *data, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (data[i] >= 0x80) return true;
    return false;
}

void ReleaseHeld(AcceptState *state, SenderSlot *slot, const CoreSink *sink)
{
    if (slot->Held) sink->Free(sink->Context, slot->Held);
    state->HeldTotal -= slot->HeldCapacity;
    slot->Held = nullptr;
    slot->HeldLength = 0;
    slot->HeldCapacity = 0;
}

uint32_t CapacityFor(const SenderSlot *slot, uint32_t needed)
{
    uint32_t capacity = slot->HeldCapacity ? slot->HeldCapacity : HeldInitialCapacity;
    while (capacity < needed) capacity *= 2;
    return capacity;
}

// Whether the port's senders together stay within their limit when this
// one holds `needed` bytes.
bool WithinPortLimit(const AcceptState *state, const SenderSlot *slot, uint32_t needed)
{
    return state->HeldTotal - slot->HeldCapacity + CapacityFor(slot, needed) <= PortHeldLimit;
}

// Makes room for `needed` held bytes; false (and the block unchanged) when
// there is no memory.
bool ReserveHeld(AcceptState *state, SenderSlot *slot, uint32_t needed, const CoreSink *sink)
{
    if (needed <= slot->HeldCapacity) return true;
    uint32_t capacity = CapacityFor(slot, needed);
    void *block = sink->Resize(sink->Context, slot->Held, capacity);
    if (!block) return false;
    state->HeldTotal += capacity - slot->HeldCapacity;
    slot->Held = static_cast<uint8_t *>(block);
    slot->HeldCapacity = capacity;
    return true;
}

bool IsForPort(const PacketHeader &header, size_t length, const PortFilter &filter)
{
    if (length <= PacketHeaderSize) return false;
    if ((header.Groups & filter.Groups) == 0) return false;
    return header.ShowNumber == filter.ShowNumber;
}

// The sender's slot, or null when the packet repeats the last one kept
// from that sender. A sender without a slot takes the next one in rotation.
SenderSlot *LookUpSender(AcceptState *state, const PacketHeader &header, const CoreSink *sink)
{
    for (int i = 0; i < MaxSenders; ++i) {
        SenderSlot *slot = &state->Senders[i];
        if (slot->SenderId != header.SenderId) continue;
        if (slot->LastSequence == header.Sequence) {
            CORE_TRACE(sink, 1, " duplicate!");
            return nullptr;
        }
        slot->LastSequence = header.Sequence;
        return slot;
    }
    uint32_t index = state->NextSlot % MaxSenders;
    state->NextSlot += 1;
    CORE_TRACE(sink, 2, " allocating new sender slot %d for sender %x", index, header.SenderId);
    SenderSlot *slot = &state->Senders[index];
    slot->SenderId = header.SenderId;
    slot->LastSequence = header.Sequence;
    ReleaseHeld(state, slot, sink);
    return slot;
}

// A full packet of data bytes after its first byte may be the first piece
// of a long message: hold it. If the block cannot be had, the bytes are
// parsed at once, as when joining fails.
Acceptance OpenOrParse(AcceptState *state, SenderSlot *slot, const uint8_t *data, uint32_t count,
                       ParserState *parser, const CoreSink *sink)
{
    if (count == PacketDataMax && !HasStatusByte(data + 1, count - 1) &&
        WithinPortLimit(state, slot, count) && ReserveHeld(state, slot, count, sink)) {
        memcpy(slot->Held, data, count);
        slot->HeldLength = count;
        return Acceptance::Held;
    }
    ParseBytes(parser, sink, data, count);
    return Acceptance::Parsed;
}

Acceptance JoinHeld(AcceptState *state, SenderSlot *slot, const uint8_t *data, uint32_t count,
                    ParserState *parser, const CoreSink *sink)
{
    bool complete = HasStatusByte(data, count);
    uint32_t needed = slot->HeldLength + count;
    if (needed > HeldLimit || !WithinPortLimit(state, slot, needed)) {
        ParseBytes(parser, sink, slot->Held, slot->HeldLength);
        ParseBytes(parser, sink, data, count);
        ReleaseHeld(state, slot, sink);
        return Acceptance::Parsed;
    }
    if (!ReserveHeld(state, slot, needed, sink)) {
        ParseBytes(parser, sink, data, count);  // the held bytes wait for a later packet
        return Acceptance::Parsed;
    }
    memcpy(slot->Held + slot->HeldLength, data, count);
    slot->HeldLength += count;
    if (!complete) return Acceptance::Held;
    // The parser may call the client, which may stop or reset the port;
    // the block stays the slot's until the whole message is handed on.
    ParseBytes(parser, sink, slot->Held, slot->HeldLength);
    ReleaseHeld(state, slot, sink);
    return Acceptance::Parsed;
}

}  // namespace

Acceptance AcceptPacket(AcceptState *state, const PortFilter &filter, const uint8_t *packet,
                        size_t length, ParserState *parser, const CoreSink *sink)
{
    if (length > PacketSizeMax) length = PacketSizeMax;
    PacketHeader header;
    if (!DecodeHeader(packet, length, &header) || !IsForPort(header, length, filter))
        return Acceptance::Refused;
    SenderSlot *slot = LookUpSender(state, header, sink);
    if (!slot) return Acceptance::Duplicate;
    CORE_TRACE(sink, 2, "Not a dup");
    const uint8_t *data = packet + PacketHeaderSize;
    uint32_t count = static_cast<uint32_t>(length - PacketHeaderSize);
    if (slot->Held) return JoinHeld(state, slot, data, count, parser, sink);
    return OpenOrParse(state, slot, data, count, parser, sink);
}

void ReleaseSenders(AcceptState *state, const CoreSink *sink)
{
    for (int i = 0; i < MaxSenders; ++i) ReleaseHeld(state, &state->Senders[i], sink);
}
