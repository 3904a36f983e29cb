// The MIDI file reader: merge order, the tempo map, running status, system
// exclusive and escapes, SMPTE time, and each way a file can be bad.
#include "tools/tessmar/smf.h"
#include "tools/tessmar/text.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

void AddChunk(Bytes &file, const char *type, const Bytes &body)
{
    file.insert(file.end(), type, type + 4);
    for (int shift = 24; shift >= 0; shift -= 8) file.push_back(uint8_t(body.size() >> shift));
    file.insert(file.end(), body.begin(), body.end());
}

Bytes File(int format, int tracks, int division, const std::vector<Bytes> &bodies)
{
    Bytes file;
    AddChunk(file, "MThd", {0, uint8_t(format), 0, uint8_t(tracks), uint8_t(division >> 8),
                            uint8_t(division)});
    for (const Bytes &body : bodies) AddChunk(file, "MTrk", body);
    return file;
}

// The messages as "ms:HEX" lines, then "end:ms"; or the error.
std::string Read(const Bytes &data)
{
    MidiFile file;
    std::string error;
    if (!ParseMidiFile(data, file, error)) return "error: " + error;
    std::ostringstream text;
    for (const TimedMessage &m : file.messages)
        text << m.ms << ":" << HexBytes(m.bytes.data(), m.bytes.size()) << "\n";
    text << "end:" << file.lengthMs;
    return text.str();
}

const Bytes End = {0x00, 0xFF, 0x2F, 0x00};

}  // namespace

TEST(MidiFile, FormatZeroRunningStatusAndSysex)
{
    // 480 ticks a quarter at the default 120 bpm: a tick is 1/960 s.
    Bytes events = {
        0x00, 0x90, 0x3C, 0x40,              // note on at 0
        0x83, 0x60, 0x3C, 0x00,              // +480: running status
        0x00, 0xF0, 0x03, 0x01, 0x02, 0xF7,  // sysex: F0 is added
        0x00, 0xFF, 0x03, 0x01, 0x41,        // a track name: no message
        0x00, 0xF7, 0x02, 0xF8, 0xFA,        // escape: raw bytes
        0x00, 0xF7, 0x00,                    // empty escape: nothing
        0x00, 0xF0, 0x01, 0x05,              // a first packet without F7
        0x83, 0x60, 0xC1, 0x05, 0x00, 0x06,  // +480: running program change
        0x00, 0xFF, 0x2F, 0x00, 0x00, 0xF8,  // end of track; nothing after it is read
    };
    EXPECT_EQ(Read(File(0, 1, 480, {events})),
              "0:90 3C 40\n500:90 3C 00\n500:F0 01 02 F7\n500:F8 FA\n500:F0 05\n"
              "1000:C1 05\n1000:C1 06\nend:1000");
}

// A tempo change in the last track times the others too; equal times keep
// track order, then file order. Unknown chunks are skipped, and anything
// after the declared tracks is left unread.
TEST(MidiFile, FormatOneMergesByTimeUnderOneTempoMap)
{
    Bytes tempo = {0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40};              // 1 s a quarter
    Bytes a = {0x00, 0x90, 0x01, 0x01, 0x87, 0x40, 0x90, 0x02, 0x01,       // 0 and 960
               0x83, 0x60, 0x90, 0x03, 0x01, 0x83, 0x60, 0xFF, 0x2F, 0x00};  // 1440; end 1920
    Bytes b = {0x00, 0x91, 0x01, 0x01, 0x00, 0x91, 0x02, 0x01,
               0x87, 0x40, 0xFF, 0x51, 0x03, 0x03, 0xD0, 0x90,  // 960: 0.25 s a quarter
               0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00,        // a zero tempo is ignored
               0x00, 0x91, 0x03, 0x01};
    Bytes data = File(1, 3, 480, {tempo, a});
    AddChunk(data, "XFIH", {1, 2});
    AddChunk(data, "MTrk", b);
    data.insert(data.end(), {'M', 'T'});
    EXPECT_EQ(Read(data), "0:90 01 01\n0:91 01 01\n0:91 02 01\n2000:90 02 01\n2000:91 03 01\n"
                          "2250:90 03 01\nend:2500");
}

// Enough events at one time that a sort that is not stable would mix them.
TEST(MidiFile, ManyEqualTimesKeepTrackThenFileOrder)
{
    Bytes tracks[2];
    std::string expected;
    for (uint8_t t = 0; t < 2; ++t)
        for (uint8_t note = 0; note < 20; ++note) {
            tracks[t].insert(tracks[t].end(), {0, uint8_t(0x90 + t), note, 1});
            expected += "0:" + HexBytes(&tracks[t][tracks[t].size() - 3], 3) + "\n";
        }
    EXPECT_EQ(Read(File(1, 2, 96, {tracks[0], tracks[1]})), expected + "end:0");
}

TEST(MidiFile, SmpteDivisionCountsRealTime)
{
    // An F8 250 ticks after a tempo event, which has no say in real time.
    const Bytes body = {0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x01, 0x81, 0x7A, 0xF7, 0x01, 0xF8};
    const std::pair<int, const char *> cases[] = {
        {0xE728, "250:F8\nend:250"},          // 25 frames of 40 ticks
        {0xE319, "333.667:F8\nend:333.667"},  // 29.97 frames of 25 ticks
        {0xE80A, "1041.67:F8\nend:1041.67"},  // 24 frames of 10 ticks
        {0xE20A, "833.333:F8\nend:833.333"},  // 30 frames of 10 ticks
    };
    for (const auto &c : cases) EXPECT_EQ(Read(File(0, 1, c.first, {body})), c.second);
}

TEST(MidiFile, BadFilesSayWhy)
{
    Bytes longTrack = File(0, 1, 96, {{0x00, 0x90, 0x3C, 0x40}});
    longTrack[21] = 5;  // the track chunk claims a byte more than the file holds
    const std::pair<Bytes, const char *> cases[] = {
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0}, "not a MIDI file"},
        {{'M', 'T', 'h', 'd', 0, 0, 0, 4, 0, 0, 0, 1}, "an MThd chunk of 4 bytes, fewer than 6"},
        {File(2, 1, 96, {End}), "format 2 MIDI files are not supported"},
        {File(3, 1, 96, {End}), "unknown MIDI file format 3"},
        {File(0, 0, 96, {}), "declares no tracks"},
        {File(0, 1, 0, {End}), "division is 0 ticks per quarter"},
        {File(0, 1, 0xE928, {End}), "23 frames per second"},
        {File(0, 1, 0xE700, {End}), "0 ticks per frame"},
        {File(1, 2, 96, {End}), "declares 2 tracks but the file holds 1"},
        {longTrack, "the chunk at byte 14 runs past the end of the file"},
        {File(0, 1, 96, {{0x00, 0x90, 0x3C}}), "track 1: event at byte 22 runs past the end"},
        {File(0, 1, 96, {{0x00, 0xFF, 0x03, 0x05, 0x41}}), "track 1: event at byte 22 runs past"},
        {File(0, 1, 96, {{0x00, 0xF0, 0x81}}), "track 1: event at byte 22 runs past"},
        {File(0, 1, 96, {{0xFF, 0xFF, 0xFF, 0xFF, 0x00}}), "longer than four bytes at byte 22"},
        {File(1, 2, 96, {End, {0x00, 0x3C}}), "track 2: data byte 3C with no running status"},
        {File(0, 1, 96, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xF0, 0x01, 0xF7, 0x00, 0x3C, 0x40}}),
         "track 1: data byte 3C with no running status at byte 30"},  // sysex cancels it
        {File(0, 1, 96, {{0x00, 0x90, 0x3C, 0x90}}), "status byte 90 among data bytes"},
        {File(0, 1, 96, {{0x00, 0xF1, 0x00}}), "status F1, which is no event of a MIDI file"},
        {File(0, 1, 96, {{0x00, 0xFF, 0x51, 0x02, 0x07, 0xA1}}), "a tempo event of 2 bytes"},
    };
    for (const auto &c : cases) {
        std::string result = Read(c.first);
        EXPECT_NE(result.find(c.second), std::string::npos) << c.second << " <> " << result;
    }
}
