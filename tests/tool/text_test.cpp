// The tessmar command's token language, note names, monitor lines and JSON,
// .syx files and port-name matching.
#include "tools/tessmar/text.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes &bytes) { return HexBytes(bytes.data(), bytes.size()); }

// The steps of one line as "90 3C 64 | +5 | @7 | syf a.syx", or the error.
std::string Parse(const std::string &line, int &channel)
{
    std::vector<Step> steps;
    std::string error, text;
    if (!ParseTokens(SplitLine(line), channel, steps, error)) return "error: " + error;
    for (const Step &s : steps) {
        text += text.empty() ? "" : " | ";
        if (s.kind == StepKind::Message) text += Hex(s.bytes);
        if (s.kind == StepKind::Wait) text += "+" + std::to_string(s.ms);
        if (s.kind == StepKind::At) text += "@" + std::to_string(s.ms);
        if (s.kind == StepKind::SysexFile) text += "syf " + s.path;
    }
    return text;
}

Received Long(const Bytes &bytes, uint32_t stamp, Arrival kind = Arrival::Long)
{
    return {kind, stamp, 0, bytes.data(), bytes.size()};
}

}  // namespace

TEST(Tokens, EveryKindOfStepAndError)
{
    const std::pair<const char *, const char *> cases[] = {
        {"on 60 100 off c3 0", "90 3C 64 | 80 3C 00"},
        {"ch 16 pp Db3 9 ch 2 cc 7 127 on c#3 1", "AF 3D 09 | B1 07 7F | 91 3D 01"},
        {"PC 127 at 0 Ch 3 ON 1 2", "C0 7F | D0 00 | 92 01 02"},
        {"pb -8192 pb 8191 pb 0 pb 1", "E0 00 00 | E0 7F 7F | E0 00 40 | E0 01 40"},
        {"syx 7e7F 09 01 +0 @4294967295", "F0 7E 7F 09 01 F7 | +0 | @4294967295"},
        {"syx 01 cc 7 1", "F0 01 F7 | B0 07 01"},  // cc ends the bytes: a keyword
        {"raw F8 903c40 F0 01 F7 c5 01", "F8 | 90 3C 40 | F0 01 F7 | C5 01"},
        {"raw F0F7 F6 F4 f2 01 02 F1 05", "F0 F7 | F6 | F4 | F2 01 02 | F1 05"},
        {"raw FF +3600000 syf my.syx # syx 01", "FF | +3600000 | syf my.syx"},
        {" \t# nothing but a comment", ""},
        {"on 60 200", "error: velocity 200 is out of range 0..127"},
        {"foo", "error: unknown message 'foo'"},
        {"on 60", "error: 'on' needs NOTE VELOCITY"},
        {"cc 1", "error: 'cc' needs CONTROLLER VALUE"},
        {"on A#8 1", "error: note 'A#8' is not a number 0..127 or a name C-2..G8"},
        {"pp 128 1", "error: note 128 is out of range 0..127"},
        {"cc 1 x", "error: value 'x' is not a number 0..127"},
        {"pb 8192", "error: value 8192 is out of range -8192..8191"},
        {"ch 17", "error: channel 17 is out of range 1..16"},
        {"ch", "error: 'ch' needs a CHANNEL 1..16"},
        {"syx 7E7", "error: odd number of hex digits in '7E7'"},
        {"syx 7F 80", "error: syx byte 80 is out of range 00..7F"},
        {"syx on 60 1", "error: 'syx' needs hex BYTES"},
        {"raw", "error: 'raw' needs hex BYTES"},
        {"raw 90 3C", "error: raw: 90 needs 2 data bytes"},
        {"raw 90 3C 90 3C 01", "error: raw: 90 needs 2 data bytes"},
        {"raw F8 3C", "error: raw: data byte 3C has no status byte before it"},
        {"raw F7", "error: raw: F7 without its F0"},
        {"raw F0 01", "error: raw: system exclusive without its F7"},
        {"raw F0 01 F8 F7", "error: raw: byte F8 inside system exclusive"},
        {"+3600001", "error: wait +3600001 is out of range 0..3600000"},
        {"+x", "error: wait '+x' is not a number 0..3600000"},
        {"@4294967296", "error: time stamp @4294967296 is out of range 0..4294967295"},
        {"syf", "error: 'syf' needs a FILE"},
    };
    for (const auto &c : cases) {
        int channel = 0;
        EXPECT_EQ(Parse(c.first, channel), c.second) << c.first;
    }
}

TEST(Tokens, ChannelCarriesOverButNotFromAFailedLine)
{
    int channel = 0;
    EXPECT_EQ(Parse("ch 10", channel), "");
    EXPECT_EQ(Parse("on 36 1", channel), "99 24 01");
    std::vector<Step> steps(1);
    std::string error;
    EXPECT_FALSE(ParseTokens({"ch", "3", "on", "1", "2", "off"}, channel, steps, error));
    EXPECT_EQ(steps.size(), 1u);
    std::string all;  // all channels, whatever ch said
    for (int c = 0; c < 16; ++c) all += (c ? " | " : "") + Hex({uint8_t(0xB0 + c), 123, 0});
    EXPECT_EQ(Parse("panic", channel), all);
    EXPECT_EQ(channel, 9);
}

TEST(Notes, NamesAtTheEdgesAndEveryNumberRoundTrips)
{
    const std::pair<const char *, int> names[] = {
        {"C-2", 0},   {"G8", 127},  {"c3", 60},   {"Db3", 61},  {"C#3", 61},  {"bb-1", 22},
        {"E#3", 65},  {"Cb3", 59},  {"127", 127}, {"0", 0},     {"A#8", -1},  {"G#8", -1},
        {"Cb-2", -1}, {"C-3", -1},  {"C9", -1},   {"H3", -1},   {"C", -1},    {"C33", -1},
        {"128", -1},  {"-1", -1},   {"", -1},     {"C#b3", -1},
    };
    for (const auto &n : names) {
        int note = 0;
        EXPECT_EQ(ParseNote(n.first, note) ? note : -1, n.second) << n.first;
    }
    EXPECT_EQ(NoteName(61), "C#3");
    for (int n = 0; n < 128; ++n) {
        int note = -1;
        EXPECT_TRUE(ParseNote(NoteName(n), note) && note == n) << NoteName(n);
    }
}

// A '#' starts a comment only where a token would start: C#3 is a note.
TEST(Text, SplitLine)
{
    EXPECT_EQ(SplitLine(" on\t60\r\n100 #x y"), (std::vector<std::string>{"on", "60", "100"}));
    EXPECT_EQ(SplitLine("a#b c#d #e"), (std::vector<std::string>{"a#b", "c#d"}));
}

TEST(Text, SysexFiles)
{
    const std::pair<Bytes, const char *> cases[] = {
        {{0xF0, 0x01, 0xF7, 0xF0, 0xF7}, "F0 01 F7 | F0 F7"},
        {{}, "error: the file is empty"},
        {{0xF0, 0xF7, 0x01}, "error: byte 01 at offset 2 is not F0, the start of a message"},
        {{0xF0, 0x01}, "error: the system-exclusive message at offset 0 has no F7 end"},
        {{0xF0, 0x7F, 0xF0, 0xF7}, "error: the system-exclusive message at offset 0 has no F7 end"},
    };
    for (const auto &c : cases) {
        std::vector<Bytes> messages;
        std::string text;
        if (!SysexFromFile(c.first, messages, text)) text = "error: " + text;
        for (const Bytes &m : messages) text += (text.empty() ? "" : " | ") + Hex(m);
        EXPECT_EQ(text, c.second);
    }
}

TEST(Monitor, LinesAndJson)
{
    const Bytes sysex = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, empty = {0xF0, 0xF7};
    const Bytes cut = {0xF0, 0x01};
    const Arrival S = Arrival::Short;
    const struct {
        Received received;
        const char *text, *json;
    } cases[] = {
        {{S, 1234, 0x643C90}, "@1234 ch 1 on 60 100",
         R"({"time":1234,"type":"on","channel":1,"note":60,"velocity":100,)"
         R"("bytes":"90 3C 64","send":"ch 1 on 60 100"})"},
        {{S, 9, 0x7F0AC3}, "@9 ch 4 pc 10", nullptr},  // 7F is beyond pc's bytes
        {{S, 5, 0x0201F2}, "@5 raw F2 01 02", nullptr},
        {{S, 0, 0x3C}, "@0 # not a message: 3C", R"({"time":0,"type":"error","bytes":"3C"})"},
        {{S, 0, 0x903C80}, "@0 # not a message: 80 3C 90", nullptr},
        {{Arrival::Error, 2, 0x3C90}, "@2 # error: 90 3C", nullptr},
        {Long(sysex, 3), "@3 syx 7E 7F 09 01 # 6 bytes",
         R"({"time":3,"type":"syx","bytes":"F0 7E 7F 09 01 F7","length":6,)"
         R"("send":"syx 7E 7F 09 01"})"},
        {Long(empty, 3), "@3 raw F0 F7 # 2 bytes", nullptr},
        {Long(cut, 4), "@4 # incomplete system exclusive, 2 bytes: F0 01",
         R"({"time":4,"type":"incomplete","bytes":"F0 01","length":2})"},
        {Long(sysex, 5, Arrival::LongError),
         "@5 # error: system exclusive, 6 bytes: F0 7E 7F 09 01 F7", nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(MonitorText(c.received), c.text);
        if (c.json) {
            EXPECT_EQ(MonitorJson(c.received), c.json);
        }
    }
}

// The line of every short message (at three data values) and of system
// exclusive sends the bytes it reports.
TEST(Monitor, LinesSendTheirBytesAgain)
{
    std::vector<Bytes> messages = {{0xF0, 0xF7}, {0xF0, 0x7E, 0x00, 0xF7}};
    for (int status = 0x80; status <= 0xFF; ++status)
        for (uint8_t data : {0x00, 0x40, 0x7F}) {
            Bytes m(ShortMessageLength(uint8_t(status)), data);
            if (m.empty()) continue;  // F0, F7
            m[0] = uint8_t(status);
            messages.push_back(m);
        }
    for (const Bytes &m : messages) {
        uint32_t packed = 0;
        for (size_t i = 0; i < m.size() && m[0] != 0xF0; ++i) packed |= uint32_t{m[i]} << (8 * i);
        std::string line = MonitorText(m[0] == 0xF0 ? Long(m, 77) : Received{{}, 77, packed});
        int channel = 5;
        EXPECT_EQ(Parse(line, channel), "@77 | " + Hex(m)) << line;
    }
}

TEST(Monitor, JsonStrings)
{
    EXPECT_EQ(JsonString("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(JsonString("\x01\n\x1F"), R"("\u0001\u000A\u001F")");
    EXPECT_EQ(JsonString("Gr\xC3\xBC\xC3\x9F" "e \x7F"), "\"Gr\xC3\xBC\xC3\x9F" "e \x7F\"");
}

TEST(Ports, ExactThenUniquePrefix)
{
    const std::vector<std::string> names = {"Tessmar 1", "Tessmar 10", "Synth", "synthesizer",
                                            "Port"};
    const std::pair<const char *, const char *> cases[] = {
        {"Tessmar 1", "found 0"},  // exact, though also a prefix of Tessmar 10
        {"tessmar 10", "found 1"}, {"tess", "ambiguous 0 1"},  {"Synth", "found 2"},
        {"SYNTH", "ambiguous 2 3"}, {"pO", "found 4"},         {"Tessmar 100", "unknown 0 1 2 3 4"},
        {"", "unknown 0 1 2 3 4"},
    };
    for (const auto &c : cases) {
        size_t index = 99;
        std::vector<size_t> candidates = {7};
        NameMatch match = MatchPortName(names, c.first, index, candidates);
        std::string text = match == NameMatch::Found       ? "found " + std::to_string(index)
                           : match == NameMatch::Ambiguous ? "ambiguous"
                                                           : "unknown";
        for (size_t i : candidates) text += " " + std::to_string(i);
        EXPECT_EQ(text, c.second) << c.first;
    }
}
