// tessmar play: a Standard MIDI File into an output port, on the file's
// own clock. Each message is sent at its time from the start, not after
// the one before, so waiting errors do not add up.
#include "tools/tessmar/tessmar.h"
#include "tools/tessmar/smf.h"
#include <stdio.h>

namespace {

constexpr size_t FileLimit = 64u << 20;
constexpr double ProgressEveryMs = 500;

void ShowProgress(double ms, double lengthMs, size_t sent, size_t total)
{
    unsigned at = static_cast<unsigned>(ms / 1000), length = static_cast<unsigned>(lengthMs / 1000);
    Progress("  %u:%02u / %u:%02u   %zu of %zu messages ", at / 60, at % 60, length / 60, length % 60, sent,
             total);
}

// After a stop: every sound off and every note off, on every channel.
void Silence(const Backend *backend, OpenPort &port)
{
    for (DWORD channel = 0; channel < 16; ++channel) {
        backend->ShortMessage(port, 0xB0 | channel | (120 << 8));
        backend->ShortMessage(port, 0xB0 | channel | (123 << 8));
    }
}

int Play(const Backend *backend, OpenPort &port, const MidiFile &file)
{
    double start = NowMs(), nextProgress = 0;
    size_t sent = 0;
    for (const TimedMessage &message : file.messages) {
        if (!WaitUntil(start + message.ms)) {
            Silence(backend, port);
            Fail("play: stopped after %zu of %zu messages", sent, file.messages.size());
            return ExitFailed;
        }
        MMRESULT result = SendBytes(backend, port, message.bytes);
        if (result != MMSYSERR_NOERROR) {
            Fail("play: message %zu at %.0f ms was not sent: %s", sent + 1, message.ms,
                 ResultText(result).c_str());
            return ExitDriver;
        }
        ++sent;
        if (message.ms >= nextProgress) {
            ShowProgress(message.ms, file.lengthMs, sent, file.messages.size());
            nextProgress = message.ms + ProgressEveryMs;
        }
    }
    WaitUntil(start + file.lengthMs);
    ShowProgress(file.lengthMs, file.lengthMs, sent, file.messages.size());
    EndProgress();
    return ExitOk;
}

}  // namespace

int PlayCommand(Args &args)
{
    std::string wanted;
    int code = ExitUsage;
    const Backend *backend = ConnectForPort(args, "play", wanted, code);
    if (!backend) return code;
    code = ExitUsage;
    std::vector<uint8_t> content;
    MidiFile file;
    std::string error;
    PortEntry entry;
    OpenPort port;
    if (args.words.size() != 1) {
        Fail("play: name one MIDI file (see tessmar play --help)");
    } else if (!FindPort(backend, false, wanted, entry) || !ReadWholeFile(args.words[0], content, FileLimit)) {
    } else if (!ParseMidiFile(content, file, error)) {
        Fail("%s: %s", args.words[0].c_str(), error.c_str());
    } else {
        MMRESULT result = backend->OpenOutput(entry.id, port);
        if (result == MMSYSERR_NOERROR) {
            printf("playing '%s' into '%s': format %d, %d track%s, %zu messages, %.1f s\n",
                   args.words[0].c_str(), entry.name.c_str(), file.format, file.tracks,
                   file.tracks == 1 ? "" : "s", file.messages.size(), file.lengthMs / 1000);
            fflush(stdout);
            timeBeginPeriod(1);
            code = Play(backend, port, file);
            timeEndPeriod(1);
            backend->Close(port);
        } else {
            Fail("cannot open output port '%s': %s", entry.name.c_str(), ResultText(result).c_str());
            code = ExitDriver;
        }
    }
    DisconnectDriver(backend);
    return code;
}
