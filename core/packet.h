// The one thing that travels between machines: a 16-byte header of four
// little-endian 32-bit words (sender, sequence, show, groups) and 1 to 384
// MIDI bytes. No length field: the datagram or TCP receive gives it.
#pragma once

#include "core/sink.h"

constexpr uint16_t NetworkPort = 12555;
constexpr uint32_t PacketHeaderSize = 16;
constexpr uint32_t PacketDataMax = 384;
constexpr uint32_t PacketSizeMax = PacketHeaderSize + PacketDataMax;  // 400

struct PacketHeader {
    uint32_t SenderId;    // performance-counter value at the output port's open
    uint32_t Sequence;    // 1 for the first packet of an open, wrapping
    uint32_t ShowNumber;  // ShowNumberOf the sending port's show name
    uint32_t Groups;      // group mask of the sending port
};

void EncodeHeader(const PacketHeader &header, uint8_t *bytes);
// False when there are fewer than 16 bytes.
bool DecodeHeader(const uint8_t *bytes, size_t length, PacketHeader *header);

// CRC-32 of IEEE 802.3 (reflected 0xEDB88320, initial and final complement).
uint32_t Crc32(const uint8_t *bytes, size_t length);
// A show's number: the CRC-32 of the low byte of each UTF-16 unit of its
// name, up to the terminator; an empty name gives 0.
uint32_t ShowNumberOf(const char16_t *name);

// One open output port as the packets see it.
struct PacketStream {
    uint32_t SenderId;
    uint32_t Sequence;  // of the next packet
    uint32_t ShowNumber;
    uint32_t Groups;
};

// Cuts `count` bytes into packets of at most 384 data bytes, numbers them
// and hands each to sink->SendPacket in order. Stops at the first packet
// that fails and returns its status (the numbers up to it are used up);
// 0 when every packet went out or there was nothing to send.
uint32_t SendBlock(PacketStream *stream, const uint8_t *data, int32_t count, const CoreSink *sink);
