// tessmar send: messages from the command line or standard input to an
// output port. Everything is read and checked first (files included), so a
// bad token sends nothing; then the messages go in order, with their waits.
#include "tools/tessmar/tessmar.h"
#include "tools/tessmar/text.h"
#include <stdio.h>

namespace {

constexpr size_t InputLimit = 256u << 20;  // standard input, bytes
constexpr size_t SysexFileLimit = 64u << 20;

bool ReadStandardInput(std::string &text)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char block[65536];
    DWORD read = 0;
    while (ReadFile(input, block, sizeof block, &read, nullptr) && read > 0) {
        text.append(block, read);
        if (text.size() > InputLimit) {
            Fail("standard input is larger than %zu bytes", InputLimit);
            return false;
        }
    }
    return true;
}

// The steps of standard input, one message per line; a bad line names its
// number.
bool ParseLines(const std::string &text, std::vector<Step> &steps)
{
    int channel = 0;
    size_t start = 0, number = 1;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string error;
        if (!ParseTokens(SplitLine(text.substr(start, end - start)), channel, steps, error)) {
            Fail("line %zu: %s", number, error.c_str());
            return false;
        }
        start = end + 1;
        ++number;
    }
    return true;
}

// Replaces each file step with the file's messages.
bool ReadSysexFiles(std::vector<Step> &steps)
{
    std::vector<Step> expanded;
    for (Step &step : steps) {
        if (step.kind != StepKind::SysexFile) {
            expanded.push_back(std::move(step));
            continue;
        }
        std::vector<uint8_t> content;
        std::vector<std::vector<uint8_t>> messages;
        std::string error;
        if (!ReadWholeFile(step.path, content, SysexFileLimit)) return false;
        if (!SysexFromFile(content, messages, error)) {
            Fail("%s: %s", step.path.c_str(), error.c_str());
            return false;
        }
        for (std::vector<uint8_t> &message : messages) {
            Step file;
            file.bytes = std::move(message);
            expanded.push_back(std::move(file));
        }
    }
    steps.swap(expanded);
    return true;
}

// The message as a monitor shows it, stamped with the time since the
// first message.
void PrintSent(const std::vector<uint8_t> &bytes, double ms)
{
    Received sent;
    sent.stamp = static_cast<uint32_t>(ms);
    if (bytes[0] == 0xF0) {
        sent.kind = Arrival::Long;
        sent.data = bytes.data();
        sent.length = bytes.size();
    }
    for (size_t i = 0; i < bytes.size() && i < 3 && bytes[0] != 0xF0; ++i)
        sent.packed |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    printf("%s\n", MonitorText(sent).c_str());
    fflush(stdout);
}

struct SendTotals {
    size_t messages = 0;
    size_t bytes = 0;
};

int SendSteps(const Backend *backend, OpenPort &port, const std::vector<Step> &steps, bool verbose,
              SendTotals &totals)
{
    double firstStamp = -1, base = 0, firstSent = -1;
    for (const Step &step : steps) {
        bool going = true;
        if (step.kind == StepKind::Wait) going = WaitUntil(NowMs() + step.ms);
        if (step.kind == StepKind::At && firstStamp < 0) {
            firstStamp = step.ms;
            base = NowMs();
        } else if (step.kind == StepKind::At) {
            going = WaitUntil(base + (step.ms - firstStamp));
        }
        if (!going) {
            Fail("stopped after %zu messages", totals.messages);
            return ExitFailed;
        }
        if (step.kind != StepKind::Message) continue;
        MMRESULT result = SendBytes(backend, port, step.bytes);
        if (result != MMSYSERR_NOERROR) {
            Fail("message %zu (%s) was not sent: %s", totals.messages + 1,
                 HexBytes(step.bytes.data(), step.bytes.size() > 8 ? 8 : step.bytes.size()).c_str(),
                 ResultText(result).c_str());
            return ExitDriver;
        }
        if (firstSent < 0) firstSent = NowMs();
        if (verbose) PrintSent(step.bytes, NowMs() - firstSent);
        ++totals.messages;
        totals.bytes += step.bytes.size();
    }
    return ExitOk;
}

// What to send, read and checked in full: the tokens of the command line,
// or standard input ("-").
bool ReadSteps(Args &args, std::vector<Step> &steps)
{
    std::string error, text;
    int channel = 0;
    if (args.words.empty()) {
        Fail("send: nothing to send (see tessmar send --help)");
        return false;
    }
    if (args.words.size() == 1 && args.words[0] == "-") {
        if (!ReadStandardInput(text) || !ParseLines(text, steps)) return false;
    } else if (!ParseTokens(args.words, channel, steps, error)) {
        Fail("%s", error.c_str());
        return false;
    }
    return ReadSysexFiles(steps);
}

}  // namespace

int SendCommand(Args &args)
{
    bool verbose = TakeFlag(args, "--verbose") || TakeFlag(args, "-v");
    std::string wanted;
    int code = ExitOk;
    const Backend *backend = ConnectForPort(args, "send", wanted, code);
    if (!backend) return code;
    // The port is found first, then everything to send is checked, and only
    // then is the port opened.
    PortEntry entry;
    std::vector<Step> steps;
    if (!FindPort(backend, false, wanted, entry) || !ReadSteps(args, steps)) {
        DisconnectDriver(backend);
        return ExitUsage;
    }
    OpenPort port;
    MMRESULT opened = backend->OpenOutput(entry.id, port);
    if (opened != MMSYSERR_NOERROR) {
        Fail("cannot open output port '%s': %s", entry.name.c_str(), ResultText(opened).c_str());
        DisconnectDriver(backend);
        return ExitDriver;
    }
    timeBeginPeriod(1);
    SendTotals totals;
    code = SendSteps(backend, port, steps, verbose, totals);
    timeEndPeriod(1);
    backend->Close(port);
    DisconnectDriver(backend);
    if (code == ExitOk)
        printf("sent %zu message%s (%zu bytes) to '%s'\n", totals.messages, totals.messages == 1 ? "" : "s",
               totals.bytes, entry.name.c_str());
    return code;
}
