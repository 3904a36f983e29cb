// Standard MIDI Files into timed messages (smf.h): the header and track
// chunks, each track's events with running status, and one tempo map that
// times the events of all tracks.
#include "smf.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// More messages than this and the file is refused. The file's size bounds
// them already (at least two bytes of file each) but each costs some 80
// bytes here, and tessmar.exe also runs as a 32-bit program: without the
// bound a hostile file of a few tens of MB would take gigabytes.
constexpr size_t MessagesMax = 4000000;
constexpr uint32_t DefaultTempo = 500000;  // µs per quarter note: 120 bpm

struct Event {
    uint64_t tick;
    std::vector<uint8_t> bytes;
};

struct Tempo {
    uint64_t tick;
    uint32_t usPerQuarter;
};

// What the tracks hold, track by track in file order.
struct Contents {
    std::vector<Event> events;
    std::vector<Tempo> tempos;
    uint64_t endTick = 0;  // the latest end of any track
};

// One track chunk being read.
struct Track {
    const std::vector<uint8_t> &data;
    size_t at, end;  // offsets in the file
    int number;      // from 1, for errors
    size_t eventAt = 0;
    uint64_t tick = 0;
    uint8_t running = 0;  // running status; 0 for none
};

uint32_t BigEndian(const uint8_t *bytes, int count)
{
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

std::string HexByte(uint8_t byte)
{
    static const char Digits[] = "0123456789ABCDEF";
    return std::string{Digits[byte >> 4], Digits[byte & 0x0F]};
}

bool Fail(std::string &error, std::string text)
{
    error = std::move(text);
    return false;
}

bool TrackFail(const Track &t, const std::string &what, std::string &error)
{
    return Fail(error, "track " + std::to_string(t.number) + ": " + what + " at byte " +
                           std::to_string(t.eventAt));
}

bool PastEnd(const Track &t, std::string &error)
{
    return Fail(error, "track " + std::to_string(t.number) + ": event at byte " +
                           std::to_string(t.eventAt) + " runs past the end of its chunk");
}

// A variable-length quantity: seven bits a byte, at most four bytes.
bool ReadNumber(Track &t, uint32_t &value, std::string &error)
{
    value = 0;
    for (int i = 0; i < 4; ++i) {
        if (t.at == t.end) return PastEnd(t, error);
        uint8_t byte = t.data[t.at++];
        value = value << 7 | (byte & 0x7F);
        if (byte < 0x80) return true;
    }
    return TrackFail(t, "a number longer than four bytes", error);
}

// A length and the bytes it counts, which must stay inside the chunk.
bool ReadCounted(Track &t, const uint8_t *&bytes, uint32_t &length, std::string &error)
{
    if (!ReadNumber(t, length, error)) return false;
    if (length > t.end - t.at) return PastEnd(t, error);
    bytes = t.data.data() + t.at;
    t.at += length;
    return true;
}

bool AddMessage(Track &t, Contents &out, std::vector<uint8_t> bytes, std::string &error)
{
    if (out.events.size() == MessagesMax)
        return Fail(error, "the file holds more than " + std::to_string(MessagesMax) + " messages");
    out.events.push_back({t.tick, std::move(bytes)});
    return true;
}

bool ReadChannelMessage(Track &t, uint8_t status, Contents &out, std::string &error)
{
    t.running = status;
    size_t count = (status & 0xE0) == 0xC0 ? 1 : 2;  // C0-DF: one data byte
    if (t.end - t.at < count) return PastEnd(t, error);
    std::vector<uint8_t> bytes = {status};
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = t.data[t.at++];
        if (byte >= 0x80)
            return TrackFail(t, "status byte " + HexByte(byte) + " among data bytes", error);
        bytes.push_back(byte);
    }
    return AddMessage(t, out, std::move(bytes), error);
}

bool ReadMeta(Track &t, Contents &out, bool &ended, std::string &error)
{
    if (t.at == t.end) return PastEnd(t, error);
    uint8_t type = t.data[t.at++];
    const uint8_t *bytes = nullptr;
    uint32_t length = 0;
    if (!ReadCounted(t, bytes, length, error)) return false;
    ended = type == 0x2F;
    if (type != 0x51) return true;
    if (length != 3)
        return TrackFail(t, "a tempo event of " + std::to_string(length) + " bytes, not 3", error);
    // A zero tempo would squeeze the rest of the file into one instant: the
    // tempo before it is the better guess.
    uint32_t usPerQuarter = BigEndian(bytes, 3);
    if (usPerQuarter) out.tempos.push_back({t.tick, usPerQuarter});
    return true;
}

// F0: the message is F0 and the event's bytes, which normally end in F7. A
// message written in packets has no F7 here and its rest in F7 events; it
// goes out as written, packet by packet. F7: the bytes as they are (an
// escape), nothing when there are none.
bool ReadSysex(Track &t, uint8_t status, Contents &out, std::string &error)
{
    const uint8_t *bytes = nullptr;
    uint32_t length = 0;
    if (!ReadCounted(t, bytes, length, error)) return false;
    std::vector<uint8_t> message;
    if (status == 0xF0) message.push_back(status);
    message.insert(message.end(), bytes, bytes + length);
    return message.empty() || AddMessage(t, out, std::move(message), error);
}

bool ReadEvent(Track &t, Contents &out, bool &ended, std::string &error)
{
    t.eventAt = t.at;
    uint32_t delta = 0;
    if (!ReadNumber(t, delta, error)) return false;
    t.tick += delta;
    if (t.at == t.end) return PastEnd(t, error);
    uint8_t status = t.data[t.at];
    if (status >= 0x80)
        ++t.at;
    else if (t.running)
        status = t.running;
    else
        return TrackFail(t, "data byte " + HexByte(status) + " with no running status", error);
    if (status < 0xF0) return ReadChannelMessage(t, status, out, error);
    t.running = 0;  // system-exclusive and meta events cancel running status
    if (status == 0xFF) return ReadMeta(t, out, ended, error);
    if (status == 0xF0 || status == 0xF7) return ReadSysex(t, status, out, error);
    return TrackFail(t, "status " + HexByte(status) + ", which is no event of a MIDI file", error);
}

// Events up to the end-of-track event; a chunk that ends without one ends
// the track at its last event.
bool ReadTrack(Track &t, Contents &out, std::string &error)
{
    bool ended = false;
    while (!ended && t.at < t.end)
        if (!ReadEvent(t, out, ended, error)) return false;
    out.endTick = std::max(out.endTick, t.tick);
    return true;
}

// Ticks to milliseconds: an SMPTE division counts real time; a division in
// ticks per quarter note follows the tempo map, one segment per tempo.
struct Clock {
    double ticksPerSecond = 0;  // SMPTE; 0 for ticks per quarter note
    double ticksPerQuarter = 0;
    struct Segment {
        uint64_t tick;
        double ms;
        uint32_t usPerQuarter;
    };
    std::vector<Segment> segments;  // the first at tick 0
};

double SegmentMs(const Clock &clock, const Clock::Segment &s, uint64_t tick)
{
    return s.ms +
           static_cast<double>(tick - s.tick) * s.usPerQuarter / (1000 * clock.ticksPerQuarter);
}

double Ms(const Clock &clock, uint64_t tick)
{
    if (clock.ticksPerSecond) return static_cast<double>(tick) * 1000 / clock.ticksPerSecond;
    auto next = std::upper_bound(clock.segments.begin(), clock.segments.end(), tick,
                                 [](uint64_t t, const Clock::Segment &s) { return t < s.tick; });
    return SegmentMs(clock, *(next - 1), tick);
}

// Tempo changes of all tracks by tick; of several at one tick, the last in
// track and file order holds.
void BuildTempoMap(Clock &clock, std::vector<Tempo> tempos)
{
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const Tempo &a, const Tempo &b) { return a.tick < b.tick; });
    clock.segments = {{0, 0, DefaultTempo}};
    for (const Tempo &tempo : tempos) {
        Clock::Segment &last = clock.segments.back();
        if (tempo.tick == last.tick)
            last.usPerQuarter = tempo.usPerQuarter;
        else
            clock.segments.push_back(
                {tempo.tick, SegmentMs(clock, last, tempo.tick), tempo.usPerQuarter});
    }
}

// SMPTE: minus the frames per second in the high byte (29 is 29.97 drop
// frame) and ticks per frame in the low byte.
bool ReadDivision(int division, Clock &clock, std::string &error)
{
    if (division < 0x8000) {
        if (division == 0) return Fail(error, "the header's division is 0 ticks per quarter note");
        clock.ticksPerQuarter = division;
        return true;
    }
    int frames = 256 - (division >> 8), ticksPerFrame = division & 0xFF;
    if (frames != 24 && frames != 25 && frames != 29 && frames != 30)
        return Fail(error, "an SMPTE division of " + std::to_string(frames) +
                               " frames per second (not 24, 25, 29 or 30)");
    if (ticksPerFrame == 0) return Fail(error, "an SMPTE division of 0 ticks per frame");
    clock.ticksPerSecond = (frames == 29 ? 29.97 : frames) * ticksPerFrame;
    return true;
}

bool ReadHeader(const std::vector<uint8_t> &data, MidiFile &file, size_t &at, std::string &error)
{
    if (data.size() < 8 || std::memcmp(data.data(), "MThd", 4) != 0)
        return Fail(error, "not a MIDI file (no MThd chunk)");
    uint32_t length = BigEndian(&data[4], 4);
    if (length < 6)
        return Fail(error, "an MThd chunk of " + std::to_string(length) + " bytes, fewer than 6");
    if (length > data.size() - 8)
        return Fail(error, "the MThd chunk runs past the end of the file");
    file.format = static_cast<int>(BigEndian(&data[8], 2));
    file.tracks = static_cast<int>(BigEndian(&data[10], 2));
    file.division = static_cast<int>(BigEndian(&data[12], 2));
    if (file.format == 2) return Fail(error, "format 2 MIDI files are not supported");
    if (file.format > 2)
        return Fail(error, "unknown MIDI file format " + std::to_string(file.format));
    if (file.tracks == 0) return Fail(error, "the header declares no tracks");
    at = 8 + length;
    return true;
}

// The track chunks the header declares, skipping chunks of other types.
// Whatever follows the last of them is not read: junk after the tracks is
// common in files from the wild and holds nothing to play.
bool ReadChunks(const std::vector<uint8_t> &data, size_t at, int tracks, Contents &out,
                std::string &error)
{
    int found = 0;
    while (found < tracks) {
        if (data.size() - at < 8)
            return Fail(error, "the header declares " + std::to_string(tracks) +
                                   " tracks but the file holds " + std::to_string(found));
        size_t length = BigEndian(&data[at + 4], 4);
        if (length > data.size() - at - 8)
            return Fail(error, "the chunk at byte " + std::to_string(at) +
                                   " runs past the end of the file");
        if (std::memcmp(&data[at], "MTrk", 4) == 0) {
            Track track = {data, at + 8, at + 8 + length, ++found};
            if (!ReadTrack(track, out, error)) return false;
        }
        at += 8 + length;
    }
    return true;
}

}  // namespace

bool ParseMidiFile(const std::vector<uint8_t> &data, MidiFile &file, std::string &error)
{
    MidiFile read;
    size_t at = 0;
    Clock clock;
    Contents contents;
    if (!ReadHeader(data, read, at, error) || !ReadDivision(read.division, clock, error) ||
        !ReadChunks(data, at, read.tracks, contents, error))
        return false;
    BuildTempoMap(clock, std::move(contents.tempos));
    // Events were read track by track, so a stable sort by tick keeps track
    // order, then file order, among equal times.
    std::stable_sort(contents.events.begin(), contents.events.end(),
                     [](const Event &a, const Event &b) { return a.tick < b.tick; });
    read.messages.reserve(contents.events.size());
    for (Event &event : contents.events)
        read.messages.push_back({Ms(clock, event.tick), std::move(event.bytes)});
    read.lengthMs = Ms(clock, contents.endTick);
    file = std::move(read);
    return true;
}
