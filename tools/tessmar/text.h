// The tessmar command's text forms of MIDI: the tokens that `send` reads
// and `monitor` writes, note names, hex, port-name matching and JSON lines.
// Plain C++ with no platform underneath: it builds into tessmar.exe and
// natively for its unit tests and fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One step of a send, in order.
enum class StepKind {
    Message,    // bytes: one complete MIDI message, status first; system
                // exclusive with its F0 and F7
    Wait,       // ms: pause this long (+MS)
    At,         // ms: a monitor time stamp (@MS): play at this offset from
                // the first stamp of the run
    SysexFile,  // path: the messages of a .syx file (syf FILE), read by
                // the caller with SysexFromFile before anything is sent
};

struct Step {
    StepKind kind = StepKind::Message;
    std::vector<uint8_t> bytes;
    uint32_t ms = 0;
    std::string path;
};

// Splits a line into blank-separated tokens; a '#' where a token would
// start begins a comment that runs to the end of the line (C#3 is a note).
std::vector<std::string> SplitLine(const std::string &line);

// Parses the tokens of one command line or one input line into steps and
// appends them. `channel` (0..15) is the channel that `ch N` set, kept
// from call to call (a line of input continues the previous line's
// channel). False with a one-line reason in `error` on the first bad
// token; `steps` then holds nothing of this call.
bool ParseTokens(const std::vector<std::string> &tokens, int &channel, std::vector<Step> &steps,
                 std::string &error);

// A note as a number 0..127 or a name: letter, optional # or b, octave
// -2..8, with C3 = 60 (so C-2 = 0 and G8 = 127). Case-insensitive.
bool ParseNote(const std::string &token, int &note);
std::string NoteName(int note);  // "C3", "C#-1"

// The messages of a .syx file: one or more complete system-exclusive
// messages (F0 ... F7) back to back, data bytes below 0x80. False with a
// reason (empty file, stray byte, a message without its F7) otherwise.
bool SysexFromFile(const std::vector<uint8_t> &content, std::vector<std::vector<uint8_t>> &messages,
                   std::string &error);

// Upper-case hex bytes separated by one blank: "F0 7E 7F".
std::string HexBytes(const uint8_t *data, size_t length);

// The number of bytes of a short message with this status byte (1..3), or
// 0 for a data byte or F0/F7, which are not short messages.
int ShortMessageLength(uint8_t status);

// What the monitor received, as the driver reported it.
enum class Arrival {
    Short,      // MIM_DATA: packed message, status in the low byte
    Long,       // MIM_LONGDATA: system exclusive, joined by the monitor
    Error,      // MIM_ERROR: packed bytes the driver could not parse
    LongError,  // MIM_LONGERROR
};

struct Received {
    Arrival kind = Arrival::Short;
    uint32_t stamp = 0;             // driver's time stamp, ms since the start
    uint32_t packed = 0;            // Short and Error
    const uint8_t *data = nullptr;  // Long and LongError
    size_t length = 0;
};

// One monitor line in the tokens that `send` reads, so a monitor log can be
// sent again: "@1234 ch 1 on 60 100", "@1234 raw F8",
// "@1234 syx 7E 7F 09 01 # 6 bytes". What cannot be sent again (error
// reports, a system-exclusive message without its end) follows a '#':
// "@1234 # error: 90 3C".
std::string MonitorText(const Received &received);

// The same as one JSON object: {"time":1234,"type":"on","channel":1,
// "note":60,"velocity":100,"bytes":"90 3C 64","send":"ch 1 on 60 100"}.
std::string MonitorJson(const Received &received);

// A JSON string literal (quotes included) of UTF-8 text.
std::string JsonString(const std::string &text);

// Port names: an exact match first, then a unique case-insensitive prefix
// (ASCII letters fold). Found sets `index`; Ambiguous and Unknown fill
// `candidates` with the indices worth naming to the user (the names that
// share the prefix, or all names).
enum class NameMatch { Found, Ambiguous, Unknown };
NameMatch MatchPortName(const std::vector<std::string> &names, const std::string &wanted,
                        size_t &index, std::vector<size_t> &candidates);
