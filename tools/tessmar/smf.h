// Standard MIDI Files, formats 0 and 1, read into one list of timed
// messages with the file's tempo map applied. Plain C++: it builds into
// tessmar.exe and natively for its unit tests and fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TimedMessage {
    double ms = 0;               // from the start of the file
    std::vector<uint8_t> bytes;  // one complete message; system exclusive
                                 // with F0 and F7
};

struct MidiFile {
    int format = 0;           // 0 or 1
    int tracks = 0;
    int division = 0;         // ticks per quarter note, or the SMPTE word
    double lengthMs = 0;      // time of the last event, end of track included
    std::vector<TimedMessage> messages;  // in time order; equal times keep
                                         // track order, then file order
};

// Reads a whole file's bytes. Tempo (FF 51) events of any track change the
// tempo for all tracks from their tick on (120 bpm until the first); an
// SMPTE division counts real time. Meta events other than tempo are not
// messages; F7 escapes are sent as their raw bytes. False with a one-line
// reason (not a MIDI file, format 2, a chunk or event that runs past its
// end, running status with no status, a bad length) otherwise.
bool ParseMidiFile(const std::vector<uint8_t> &data, MidiFile &file, std::string &error);
