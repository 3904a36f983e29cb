// The tessmar command's text forms and MIDI file reader: the input read as
// a MIDI file, two tracks' events, a .syx file, a line of tokens and any
// arrival; each message's monitor line must send the same bytes again.
#include "tools/tessmar/smf.h"
#include "tools/tessmar/text.h"

#include <string.h>

namespace {

using Bytes = std::vector<uint8_t>;

// The message that the received's monitor line sends again, if any.
bool Resend(const Received &received, Bytes &bytes)
{
    std::vector<Step> steps;
    int channel = 0;
    std::string error, json = MonitorJson(received);
    if (!ParseTokens(SplitLine(MonitorText(received)), channel, steps, error) || steps.empty() ||
        steps.size() > 2 || steps[0].kind != StepKind::At || steps[0].ms != received.stamp ||
        (steps.size() == 2 && steps[1].kind != StepKind::Message) || json.back() != '}')
        __builtin_trap();
    if (steps.size() == 2) bytes = steps[1].bytes;
    return steps.size() == 2;
}

// A message the tokens could have written must be sent again as it is;
// others (a file's escapes and packets) at least not as other bytes.
void CheckMessage(const Bytes &m, bool mustResend)
{
    bool sysex = m[0] == 0xF0;
    Bytes again;
    Received received = {sysex ? Arrival::Long : Arrival::Short, 1, 0, m.data(), m.size()};
    for (size_t i = 0; !sysex && i < m.size() && i < 4; ++i)
        received.packed |= uint32_t{m[i]} << (8 * i);
    bool single = sysex || m.size() == size_t(ShortMessageLength(m[0]));
    bool resent = single && Resend(received, again);
    if ((mustResend && !resent) || (resent && again != m)) __builtin_trap();
}

void CheckMidiFile(const Bytes &content)
{
    MidiFile file;
    std::string error;
    if (!ParseMidiFile(content, file, error)) return;
    double last = 0;
    for (const TimedMessage &m : file.messages) {
        if (m.bytes.empty() || m.ms < last || m.ms > file.lengthMs) __builtin_trap();
        last = m.ms;
        // Channel messages; an escape may hold any bytes, a channel status among them.
        uint8_t status = m.bytes[0];
        CheckMessage(m.bytes, status >= 0x80 && status < 0xF0 &&
                                  m.bytes.size() == size_t(ShortMessageLength(status)));
    }
}

// Two tracks cut where the third byte says, under the division of the first
// two, so that the event reader is reached without finding chunks first.
Bytes AsTracks(const uint8_t *data, size_t size)
{
    size_t cut = 3 + data[2] % (size - 2), ends[] = {3, cut, size};
    Bytes file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, data[0], data[1]};
    for (int i = 0; i < 2; ++i) {
        size_t length = ends[i + 1] - ends[i];
        file.insert(file.end(), {'M', 'T', 'r', 'k', 0, 0, uint8_t(length >> 8), uint8_t(length)});
        file.insert(file.end(), data + ends[i], data + ends[i + 1]);
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4 || size > 0xFFFF) return 0;
    Bytes content(data, data + size), again;
    uint32_t packed;
    memcpy(&packed, data, 4);
    // Any arrival: what its line sends again is what arrived, and never an error.
    for (Arrival kind : {Arrival::Short, Arrival::Error, Arrival::Long, Arrival::LongError}) {
        Received received = {kind, packed, packed, data, size};
        bool error = kind == Arrival::Error || kind == Arrival::LongError;
        size_t length = kind == Arrival::Short ? ShortMessageLength(data[0]) : size;
        if (Resend(received, again) && (error || again != Bytes(data, data + length)))
            __builtin_trap();
    }
    CheckMidiFile(content);
    CheckMidiFile(AsTracks(data, size));
    std::string error;
    std::vector<Bytes> sysex;
    std::vector<Step> steps;
    int channel = 0;
    if (SysexFromFile(content, sysex, error))
        for (const Bytes &m : sysex) CheckMessage(m, true);
    if (ParseTokens(SplitLine(std::string(data, data + size)), channel, steps, error))
        for (const Step &step : steps)
            if (step.kind == StepKind::Message) CheckMessage(step.bytes, true);
    return 0;
}
