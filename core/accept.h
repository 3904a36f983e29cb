// Acceptance of a received packet by an input port: the show and group
// filter, the table of recent senders that drops a packet repeating the
// last one kept from its sender, and the joining of long messages that a
// sender cut into 400-byte packets, before the MIDI bytes go to the parser.
#pragma once

#include "core/packet.h"
#include "core/parser.h"

constexpr int MaxSenders = 100;

// A sender may hold at most this many bytes of a message being joined. A
// longer message is handed to the parser in pieces, in order, as it
// arrives (it may then interleave with other senders' packets); the cap
// keeps a stream of data-only packets from taking the process's memory.
constexpr uint32_t HeldLimit = 1u << 20;
// All senders of one port together may have blocks of at most this many
// bytes allocated (a sender's block grows by doubling, to 1.5 MiB at most).
// Far above any real dump, far below what a 32-bit program with several
// open ports can afford. A message that would take a port past it is handed
// on in order, as one past a sender's own limit is.
constexpr uint32_t PortHeldLimit = 8u << 20;

struct SenderSlot {
    uint32_t SenderId;      // 0 in a slot never used
    uint32_t LastSequence;  // of the last packet kept from this sender
    uint8_t *Held;          // bytes of a long message being joined, or null
    uint32_t HeldLength;
    uint32_t HeldCapacity;  // allocated size of Held (grows by doubling)
};

struct AcceptState {
    uint32_t NextSlot;    // rotating counter: the slot a new sender takes
    uint32_t HeldTotal;   // bytes of all senders' held blocks
    SenderSlot Senders[MaxSenders];
};

// What an input port listens for: its own show and group mask.
struct PortFilter {
    uint32_t ShowNumber;
    uint32_t Groups;
};

enum class Acceptance {
    Refused,    // too short, or for another show or groups
    Duplicate,  // repeats the last Sequence kept from its sender
    Held,       // kept back until the rest of a long message arrives
    Parsed,     // its bytes (and any it completed) went to the parser
};

Acceptance AcceptPacket(AcceptState *state, const PortFilter &filter, const uint8_t *packet,
                        size_t length, ParserState *parser, const CoreSink *sink);
constexpr int AcceptanceCount = 4;  // values of Acceptance, for counting them

// Gives back every held block (at the port's close).
void ReleaseSenders(AcceptState *state, const CoreSink *sink);
