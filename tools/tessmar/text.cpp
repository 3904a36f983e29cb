// The tessmar command's text forms of MIDI (text.h): the token language of
// `send`, the monitor's lines and JSON objects, note names, hex and port
// names.
#include "text.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace {

constexpr uint8_t SysexStart = 0xF0, SysexEnd = 0xF7, PitchBend = 0xE0;
constexpr char HexDigits[] = "0123456789ABCDEF";

// The channel messages in status order (80 to E0): keyword and the names of
// their fields, as errors, usage lines and JSON name them.
struct ChannelKind {
    const char *keyword;
    uint8_t status;
    const char *fields[2];  // the second is null for a one-field message
};

const ChannelKind ChannelKinds[] = {
    {"off", 0x80, {"note", "velocity"}}, {"on", 0x90, {"note", "velocity"}},
    {"pp", 0xA0, {"note", "value"}},     {"cc", 0xB0, {"controller", "value"}},
    {"pc", 0xC0, {"program", nullptr}},  {"at", 0xD0, {"value", nullptr}},
    {"pb", 0xE0, {"value", nullptr}},
};

const char *const Keywords[] = {"ch", "on", "off", "cc",  "pc",  "pb",
                                "at", "pp", "syx", "syf", "raw", "panic"};

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool IsKeyword(const std::string &token)
{
    std::string word = Lower(token);
    for (const char *keyword : Keywords)
        if (word == keyword) return true;
    return false;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsHexToken(const std::string &token)
{
    if (token.empty()) return false;
    for (char c : token)
        if (HexValue(c) < 0) return false;
    return true;
}

std::string Hex(uint8_t byte)
{
    return HexBytes(&byte, 1);
}

// Optional minus and at most ten decimal digits, so that any value fits
// before its range is checked.
bool ParseDecimal(const std::string &token, int64_t &value)
{
    size_t first = !token.empty() && token[0] == '-' ? 1 : 0;
    if (token.size() <= first || token.size() - first > 10) return false;
    int64_t number = 0;
    for (size_t i = first; i < token.size(); ++i) {
        if (token[i] < '0' || token[i] > '9') return false;
        number = number * 10 + (token[i] - '0');
    }
    value = first ? -number : number;
    return true;
}

std::string Range(int64_t low, int64_t high)
{
    return std::to_string(low) + ".." + std::to_string(high);
}

// A decimal field, after `skip` leading characters of its token; the
// error names the field, the token and the range.
bool Field(const std::string &name, const std::string &token, int64_t low, int64_t high,
           int64_t &value, std::string &error, size_t skip = 0)
{
    if (!ParseDecimal(token.substr(skip), value)) {
        error = name + " '" + token + "' is not a number " + Range(low, high);
        return false;
    }
    if (value >= low && value <= high) return true;
    error = name + " " + token + " is out of range " + Range(low, high);
    return false;
}

bool NoteField(const std::string &token, int64_t &value, std::string &error)
{
    int note = 0;
    if (ParseNote(token, note)) {
        value = note;
        return true;
    }
    if (ParseDecimal(token, value))
        error = "note " + token + " is out of range 0..127";
    else
        error = "note '" + token + "' is not a number 0..127 or a name C-2..G8";
    return false;
}

// Where the system-exclusive message that starts at bytes[start] stops
// being data: at its F7, at a stray status byte, or at the end.
size_t SysexDataEnd(const std::vector<uint8_t> &bytes, size_t start)
{
    size_t at = start + 1;
    while (at < bytes.size() && bytes[at] < 0x80) ++at;
    return at;
}

// Tokens of one ParseTokens call being read; nothing reaches the caller
// until all of them have parsed.
struct Cursor {
    const std::vector<std::string> &tokens;
    size_t at;
    int channel;
    std::vector<Step> steps;
    std::string error;
};

bool Fail(std::string &error, std::string text)
{
    error = std::move(text);
    return false;
}

bool Fail(Cursor &in, std::string text)
{
    return Fail(in.error, std::move(text));
}

void AddMessage(Cursor &in, std::vector<uint8_t> bytes)
{
    Step step;
    step.bytes = std::move(bytes);
    in.steps.push_back(std::move(step));
}

bool ParseChannelMessage(Cursor &in, const ChannelKind &kind)
{
    size_t count = kind.fields[1] ? 2 : 1;
    if (in.tokens.size() - in.at < count) {
        std::string usage = Upper(kind.fields[0]);
        if (kind.fields[1]) usage += " " + Upper(kind.fields[1]);
        return Fail(in, "'" + std::string(kind.keyword) + "' needs " + usage);
    }
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(kind.status | (in.channel & 0x0F))};
    for (size_t i = 0; i < count; ++i) {
        const std::string &token = in.tokens[in.at++];
        int64_t value = 0;
        if (std::string(kind.fields[i]) == "note") {
            if (!NoteField(token, value, in.error)) return false;
        } else if (kind.status == PitchBend) {
            if (!Field("value", token, -8192, 8191, value, in.error)) return false;
            value += 8192;  // 14 bits, low seven first
            bytes.push_back(static_cast<uint8_t>(value & 0x7F));
            value >>= 7;
        } else if (!Field(kind.fields[i], token, 0, 127, value, in.error)) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    AddMessage(in, std::move(bytes));
    return true;
}

// The hex tokens after syx or raw, run together. The list ends at a keyword
// (so `cc`, which is also hex, ends it), a time token, any other token that
// is not hex, or the end.
bool ParseByteList(Cursor &in, const std::string &keyword, std::vector<uint8_t> &bytes)
{
    while (in.at < in.tokens.size() && IsHexToken(in.tokens[in.at]) &&
           !IsKeyword(in.tokens[in.at])) {
        const std::string &token = in.tokens[in.at++];
        if (token.size() % 2) return Fail(in, "odd number of hex digits in '" + token + "'");
        for (size_t i = 0; i < token.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(HexValue(token[i]) << 4 | HexValue(token[i + 1])));
    }
    if (bytes.empty()) return Fail(in, "'" + keyword + "' needs hex BYTES");
    return true;
}

// syx takes at least one data byte: an empty list is more likely a slip
// than a wish to send F0 F7, which `raw F0 F7` sends.
bool ParseSysex(Cursor &in)
{
    std::vector<uint8_t> bytes;
    if (!ParseByteList(in, "syx", bytes)) return false;
    for (uint8_t byte : bytes)
        if (byte >= 0x80) return Fail(in, "syx byte " + Hex(byte) + " is out of range 00..7F");
    bytes.insert(bytes.begin(), SysexStart);
    bytes.push_back(SysexEnd);
    AddMessage(in, std::move(bytes));
    return true;
}

// Where the raw message that starts at bytes[at] ends: each starts with its
// status byte (no running status), and F0 runs to its F7 with only data
// bytes between.
bool RawMessageEnd(const std::vector<uint8_t> &bytes, size_t at, size_t &end, std::string &error)
{
    uint8_t status = bytes[at];
    if (status == SysexStart) {
        end = SysexDataEnd(bytes, at);
        if (end == bytes.size()) return Fail(error, "raw: system exclusive without its F7");
        if (bytes[end] != SysexEnd)
            return Fail(error, "raw: byte " + Hex(bytes[end]) + " inside system exclusive");
        ++end;
        return true;
    }
    if (status == SysexEnd) return Fail(error, "raw: F7 without its F0");
    end = at + ShortMessageLength(status);
    if (end == at)
        return Fail(error, "raw: data byte " + Hex(status) + " has no status byte before it");
    for (size_t i = at + 1; i < end; ++i)
        if (i == bytes.size() || bytes[i] >= 0x80)
            return Fail(error, "raw: " + Hex(status) + " needs " + std::to_string(end - at - 1) +
                                   " data bytes");
    return true;
}

bool ParseRaw(Cursor &in)
{
    std::vector<uint8_t> bytes;
    if (!ParseByteList(in, "raw", bytes)) return false;
    for (size_t at = 0, end = 0; at < bytes.size(); at = end) {
        if (!RawMessageEnd(bytes, at, end, in.error)) return false;
        AddMessage(in, std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end));
    }
    return true;
}

bool ParseTime(Cursor &in, const std::string &token)
{
    bool wait = token[0] == '+';
    int64_t most = wait ? 3600000 : 0xFFFFFFFF, ms = 0;
    if (!Field(wait ? "wait" : "time stamp", token, 0, most, ms, in.error, 1)) return false;
    Step step;
    step.kind = wait ? StepKind::Wait : StepKind::At;
    step.ms = static_cast<uint32_t>(ms);
    in.steps.push_back(std::move(step));
    return true;
}

bool ParseChannel(Cursor &in)
{
    if (in.at == in.tokens.size()) return Fail(in, "'ch' needs a CHANNEL 1..16");
    int64_t channel = 0;
    if (!Field("channel", in.tokens[in.at++], 1, 16, channel, in.error)) return false;
    in.channel = static_cast<int>(channel - 1);
    return true;
}

bool ParseSysexFile(Cursor &in)
{
    if (in.at == in.tokens.size()) return Fail(in, "'syf' needs a FILE");
    Step step;
    step.kind = StepKind::SysexFile;
    step.path = in.tokens[in.at++];
    in.steps.push_back(std::move(step));
    return true;
}

// All Notes Off on every channel, whatever `ch` says.
void Panic(Cursor &in)
{
    for (uint8_t channel = 0; channel < 16; ++channel)
        AddMessage(in, {static_cast<uint8_t>(0xB0 | channel), 123, 0});
}

bool ParseOne(Cursor &in)
{
    const std::string &token = in.tokens[in.at++];
    if (!token.empty() && (token[0] == '+' || token[0] == '@')) return ParseTime(in, token);
    std::string word = Lower(token);
    for (const ChannelKind &kind : ChannelKinds)
        if (word == kind.keyword) return ParseChannelMessage(in, kind);
    if (word == "ch") return ParseChannel(in);
    if (word == "syx") return ParseSysex(in);
    if (word == "raw") return ParseRaw(in);
    if (word == "syf") return ParseSysexFile(in);
    if (word == "panic") {
        Panic(in);
        return true;
    }
    return Fail(in, "unknown message '" + token + "'");
}

// What a monitor line says of one arrival; its text and its JSON object are
// both made from this.
struct Description {
    const char *type = "error";
    std::vector<uint8_t> bytes;
    std::string send;    // tokens that send the same bytes again, or none
    std::string remark;  // what follows '#'
    const ChannelKind *kind = nullptr;
    int channel = 0;  // 1..16
    int values[2] = {0, 0};
    bool isLong = false;
};

std::vector<uint8_t> PackedBytes(uint32_t packed, int count)
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(packed >> (8 * i)));
    return bytes;
}

// The bytes of a packed word that the driver could not parse. It holds a
// message cut short or bytes with no status, so its length can't be told:
// zeros above the last nonzero byte count as not received. At least one
// byte, at most three, and no more than a status byte asks for.
std::vector<uint8_t> ErrorBytes(uint32_t packed)
{
    int most = ShortMessageLength(static_cast<uint8_t>(packed));
    if (most == 0) most = 3;
    int count = 1;
    for (int i = 1; i < most; ++i)
        if ((packed >> (8 * i)) & 0xFF) count = i + 1;
    return PackedBytes(packed, count);
}

std::string HexOf(const std::vector<uint8_t> &bytes)
{
    return HexBytes(bytes.data(), bytes.size());
}

void DescribeChannelMessage(Description &d)
{
    d.kind = &ChannelKinds[(d.bytes[0] >> 4) - 8];
    d.type = d.kind->keyword;
    d.channel = (d.bytes[0] & 0x0F) + 1;
    d.send = "ch " + std::to_string(d.channel) + " " + d.kind->keyword;
    if (d.kind->status == PitchBend) {
        d.values[0] = (d.bytes[1] | d.bytes[2] << 7) - 8192;
    } else {
        for (size_t i = 1; i < d.bytes.size(); ++i) d.values[i - 1] = d.bytes[i];
    }
    for (int i = 0; i < 2 && d.kind->fields[i]; ++i) d.send += " " + std::to_string(d.values[i]);
}

Description DescribeShort(uint32_t packed)
{
    Description d;
    int length = ShortMessageLength(static_cast<uint8_t>(packed));
    d.bytes = length ? PackedBytes(packed, length) : ErrorBytes(packed);
    bool data = std::all_of(d.bytes.begin() + 1, d.bytes.end(), [](uint8_t b) { return b < 0x80; });
    if (length == 0 || !data) {
        d.remark = "not a message: " + HexOf(d.bytes);
    } else if (d.bytes[0] < SysexStart) {
        DescribeChannelMessage(d);
    } else {
        d.type = "raw";
        d.send = "raw " + HexOf(d.bytes);
    }
    return d;
}

std::string CountedBytes(const Description &d, bool withHex)
{
    std::string text = std::to_string(d.bytes.size()) + " bytes";
    return withHex && !d.bytes.empty() ? text + ": " + HexOf(d.bytes) : text;
}

Description DescribeLong(const uint8_t *data, size_t length, bool error)
{
    Description d;
    d.isLong = true;
    if (length) d.bytes.assign(data, data + length);
    if (error) {
        d.remark = "error: system exclusive, " + CountedBytes(d, true);
        return d;
    }
    bool complete = length >= 2 && data[0] == SysexStart && data[length - 1] == SysexEnd &&
                    SysexDataEnd(d.bytes, 0) == length - 1;
    if (!complete) {
        d.type = "incomplete";
        d.remark = "incomplete system exclusive, " + CountedBytes(d, true);
        return d;
    }
    d.type = "syx";
    d.send = length == 2 ? "raw F0 F7" : "syx " + HexBytes(data + 1, length - 2);
    d.remark = CountedBytes(d, false);
    return d;
}

Description Describe(const Received &received)
{
    switch (received.kind) {
    case Arrival::Short:
        return DescribeShort(received.packed);
    case Arrival::Long:
        return DescribeLong(received.data, received.length, false);
    case Arrival::LongError:
        return DescribeLong(received.data, received.length, true);
    case Arrival::Error:
        break;
    }
    Description d;
    d.bytes = ErrorBytes(received.packed);
    d.remark = "error: " + HexOf(d.bytes);
    return d;
}

}  // namespace

// A '#' starts a comment only where a token would start, so that sharp
// note names (C#3) stay whole.
std::vector<std::string> SplitLine(const std::string &line)
{
    std::vector<std::string> tokens;
    std::string token;
    for (char c : line) {
        if (token.empty() && c == '#') break;
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            token += c;
        } else if (!token.empty()) {
            tokens.push_back(std::move(token));
            token.clear();
        }
    }
    if (!token.empty()) tokens.push_back(std::move(token));
    return tokens;
}

bool ParseTokens(const std::vector<std::string> &tokens, int &channel, std::vector<Step> &steps,
                 std::string &error)
{
    Cursor in = {tokens, 0, channel, {}, {}};
    while (in.at < tokens.size()) {
        if (!ParseOne(in)) {
            error = std::move(in.error);
            return false;
        }
    }
    channel = in.channel;
    for (Step &step : in.steps) steps.push_back(std::move(step));
    return true;
}

bool ParseNote(const std::string &token, int &note)
{
    int64_t number = 0;
    if (!token.empty() && token[0] != '-' && ParseDecimal(token, number)) {
        if (number > 127) return false;
        note = static_cast<int>(number);
        return true;
    }
    static const int Pitches[7] = {9, 11, 0, 2, 4, 5, 7};  // A to G
    std::string name = Lower(token);
    if (name.empty() || name[0] < 'a' || name[0] > 'g') return false;
    int value = Pitches[name[0] - 'a'];
    size_t at = 1;
    if (at < name.size() && (name[at] == '#' || name[at] == 'b'))
        value += name[at++] == '#' ? 1 : -1;
    bool below = at < name.size() && name[at] == '-';
    if (below) ++at;
    if (at + 1 != name.size() || name[at] < '0' || name[at] > '9') return false;
    int octave = below ? '0' - name[at] : name[at] - '0';
    value += (octave + 2) * 12;
    if (octave < -2 || value < 0 || value > 127) return false;
    note = value;
    return true;
}

std::string NoteName(int note)
{
    static const char *const Names[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                          "F#", "G",  "G#", "A",  "A#", "B"};
    if (note < 0 || note > 127) return std::to_string(note);
    return Names[note % 12] + std::to_string(note / 12 - 2);
}

bool SysexFromFile(const std::vector<uint8_t> &content, std::vector<std::vector<uint8_t>> &messages,
                   std::string &error)
{
    if (content.empty()) {
        error = "the file is empty";
        return false;
    }
    std::vector<std::vector<uint8_t>> found;
    for (size_t at = 0; at < content.size();) {
        std::string where = " at offset " + std::to_string(at);
        if (content[at] != SysexStart) {
            error = "byte " + Hex(content[at]) + where + " is not F0, the start of a message";
            return false;
        }
        size_t end = SysexDataEnd(content, at);
        if (end == content.size() || content[end] != SysexEnd) {
            error = "the system-exclusive message" + where + " has no F7 end";
            return false;
        }
        found.emplace_back(content.begin() + at, content.begin() + end + 1);
        at = end + 1;
    }
    for (std::vector<uint8_t> &message : found) messages.push_back(std::move(message));
    return true;
}

std::string HexBytes(const uint8_t *data, size_t length)
{
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i) text += ' ';
        text += HexDigits[data[i] >> 4];
        text += HexDigits[data[i] & 0x0F];
    }
    return text;
}

int ShortMessageLength(uint8_t status)
{
    if (status < 0x80 || status == SysexStart || status == SysexEnd) return 0;
    if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;  // C0-DF: one data byte
    if (status == 0xF1 || status == 0xF3) return 2;
    return status == 0xF2 ? 3 : 1;  // F4 and F5 are undefined: a status alone
}

std::string MonitorText(const Received &received)
{
    Description d = Describe(received);
    std::string text = "@" + std::to_string(received.stamp);
    if (!d.send.empty()) text += " " + d.send;
    if (!d.remark.empty()) text += " # " + d.remark;
    return text;
}

std::string MonitorJson(const Received &received)
{
    Description d = Describe(received);
    std::string json =
        "{\"time\":" + std::to_string(received.stamp) + ",\"type\":\"" + d.type + "\"";
    if (d.kind) {
        json += ",\"channel\":" + std::to_string(d.channel);
        for (int i = 0; i < 2 && d.kind->fields[i]; ++i)
            json += ",\"" + std::string(d.kind->fields[i]) + "\":" + std::to_string(d.values[i]);
    }
    json += ",\"bytes\":\"" + HexOf(d.bytes) + "\"";
    if (d.isLong) json += ",\"length\":" + std::to_string(d.bytes.size());
    if (!d.send.empty()) json += ",\"send\":" + JsonString(d.send);
    return json + "}";
}

std::string JsonString(const std::string &text)
{
    std::string json = "\"";
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20) {
            json += "\\u00";
            json += HexDigits[byte >> 4];
            json += HexDigits[byte & 0x0F];
        } else {
            json += c;  // UTF-8 bytes pass through as they are
        }
    }
    return json + "\"";
}

// An empty `wanted` matches nothing, even when there is only one port: the
// user named no port, so all are listed rather than one picked for them.
// Two equal names (which one direction's list should not hold) are
// ambiguous rather than the first picked.
NameMatch MatchPortName(const std::vector<std::string> &names, const std::string &wanted,
                        size_t &index, std::vector<size_t> &candidates)
{
    candidates.clear();
    if (!wanted.empty()) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == wanted) candidates.push_back(i);
        std::string folded = Lower(wanted);
        if (candidates.empty())
            for (size_t i = 0; i < names.size(); ++i)
                if (Lower(names[i].substr(0, wanted.size())) == folded) candidates.push_back(i);
        if (candidates.size() == 1) {
            index = candidates[0];
            candidates.clear();
            return NameMatch::Found;
        }
        if (!candidates.empty()) return NameMatch::Ambiguous;
    }
    candidates.resize(names.size());
    std::iota(candidates.begin(), candidates.end(), size_t{0});
    return NameMatch::Unknown;
}
