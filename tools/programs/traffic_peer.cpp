// One machine of a simulated show (tools/show-test.sh): output ports that
// send stamped messages at a steady rate, input ports that check what every
// machine's ports sent, and the process's own figures.
//
//   traffic_peer.exe MACHINE OUTPUTS INPUTS RATE SECONDS [--mixed] [--reopen S] [--lossy] [--go FILE]
//
// Every output port sends RATE stamped system-exclusive messages a second
// for SECONDS: F0 7D machine port, a 35-bit sequence number and a 42-bit
// send time in microseconds (the machines share the host's clock), F7.
// --mixed adds a note on and off after each and a 4 KiB dump every 100th;
// --reopen closes and reopens every port every S seconds. --go waits for
// FILE to exist before sending, so that all machines start together.
// --lossy counts lost messages and dumps that lost a packet without
// calling them faults: UDP drops what a starved receiver cannot take, and a
// long run on a busy host measures leaks and repeats, not the host.
// Every input port (same show and group as every output port) counts each
// stream's messages, repeats and gaps and samples the one-way latency.
//
// Prints "sent", "recv", "latency", "dumps" and "figures" lines that the
// script adds up, and "RESULT: OK" when its own checks hold: nothing
// repeated, no gap outside a reopening, dumps intact, and handles and the
// driver heap back where they started after the ports closed.
#include "driver/driver.h"
#include "program_common.h"
#include "process_figures.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <algorithm>
#include <vector>

namespace {

constexpr DWORD Show = 0x5A4D0001;
constexpr DWORD Groups = 1;
constexpr int MaxMachines = 16, MaxOutputs = 8, MaxInputs = 8;
constexpr int StampLength = 16;
constexpr DWORD DumpLength = 4096;
constexpr int BufferCount = 16;
constexpr DWORD BufferBytes = 8192;
constexpr size_t MaxSamples = 1 << 20;
constexpr DWORD DrainMs = 3000;  // after sending: what is still on its way
constexpr DWORD HandleSlack = 4;

struct Options {
    int machine, outputs, inputs, rate, seconds, reopenSeconds = 0;
    bool mixed = false, lossy = false;
    const char *goFile = nullptr;
};
Options options;

double NowUs()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// --- Messages ------------------------------------------------------------------

void PutSeven(BYTE *at, ULONGLONG value, int count)
{
    for (int i = 0; i < count; ++i) at[i] = static_cast<BYTE>((value >> (7 * i)) & 0x7F);
}

ULONGLONG GetSeven(const BYTE *at, int count)
{
    ULONGLONG value = 0;
    for (int i = 0; i < count; ++i) value |= static_cast<ULONGLONG>(at[i] & 0x7F) << (7 * i);
    return value;
}

void Stamp(BYTE *message, int port, ULONGLONG sequence)
{
    message[0] = 0xF0;
    message[1] = 0x7D;
    message[2] = static_cast<BYTE>(options.machine);
    message[3] = static_cast<BYTE>(port);
    PutSeven(message + 4, sequence, 5);
    PutSeven(message + 9, static_cast<ULONGLONG>(NowUs()), 6);
    message[15] = 0xF7;
}

BYTE DumpByte(DWORD i) { return static_cast<BYTE>((i * 7 + 3) & 0x7F); }

void FillDump(BYTE *dump)
{
    dump[0] = 0xF0;
    dump[1] = 0x7E;
    for (DWORD i = 2; i + 1 < DumpLength; ++i) dump[i] = DumpByte(i);
    dump[DumpLength - 1] = 0xF7;
}

// --- Receiving -------------------------------------------------------------------

struct Stream {
    ULONGLONG next;      // sequence expected next
    ULONGLONG unique, repeats, gaps;
    bool resync;         // after a reopening: the next message sets `next`
    bool seen;
};

struct InputPort {
    int index;
    DWORD_PTR handle;
    MIDIHDR headers[BufferCount];
    BYTE memory[BufferCount][BufferBytes];
    Stream streams[MaxMachines + 1][MaxOutputs];
};

InputPort inputs[MaxInputs];
// Guards every Stream, the latency samples and the dump counts; taken by
// the input ports' callbacks (one thread each) and by the main thread at a
// reopening and at the end.
CRITICAL_SECTION countLock;
std::vector<float> latencies;  // ms
ULONGLONG dumpsIntact, dumpsDamaged;

void CountStamp(InputPort &input, const BYTE *message)
{
    int machine = message[2], port = message[3];
    if (machine > MaxMachines || port >= MaxOutputs) return;
    ULONGLONG sequence = GetSeven(message + 4, 5), sent = GetSeven(message + 9, 6);
    double now = NowUs();
    Stream &stream = input.streams[machine][port];
    if (!stream.seen || stream.resync) stream.next = sequence;
    stream.seen = true;
    stream.resync = false;
    if (sequence < stream.next) {
        ++stream.repeats;
        return;
    }
    if (sequence > stream.next) stream.gaps += sequence - stream.next;
    stream.next = sequence + 1;
    ++stream.unique;
    if (latencies.size() < MaxSamples) latencies.push_back(static_cast<float>((now - static_cast<double>(sent)) / 1000));
}

void CountDump(const BYTE *message, DWORD length)
{
    bool intact = length == DumpLength && message[DumpLength - 1] == 0xF7;
    for (DWORD i = 2; intact && i + 1 < DumpLength; ++i) intact = message[i] == DumpByte(i);
    ++(intact ? dumpsIntact : dumpsDamaged);
}

void CALLBACK OnInput(HDRVR, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    if (message != MIM_LONGDATA) return;
    InputPort &input = *reinterpret_cast<InputPort *>(instance);
    MIDIHDR *header = reinterpret_cast<MIDIHDR *>(param1);
    const BYTE *data = reinterpret_cast<const BYTE *>(header->lpData);
    DWORD length = header->dwBytesRecorded;
    if (length == 0) return;  // given back at a reset
    EnterCriticalSection(&countLock);
    if (length == StampLength && data[1] == 0x7D) CountStamp(input, data);
    else if (data[1] == 0x7E) CountDump(data, length);
    LeaveCriticalSection(&countLock);
    header->dwBytesRecorded = 0;
    midMessage(input.index, MIDM_ADDBUFFER, input.handle, param1, sizeof(MIDIHDR));
}

bool OpenInput(InputPort &input)
{
    MIDIOPENDESC desc = {};
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&OnInput);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(&input);
    if (midMessage(input.index, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&input.handle),
                   reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_DIRECT) != MMSYSERR_NOERROR)
        return false;
    for (int b = 0; b < BufferCount; ++b) {
        MIDIHDR &header = input.headers[b];
        header = {};
        header.lpData = reinterpret_cast<LPSTR>(input.memory[b]);
        header.dwBufferLength = BufferBytes;
        header.dwFlags = MHDR_PREPARED;
        midMessage(input.index, MIDM_ADDBUFFER, input.handle, reinterpret_cast<DWORD_PTR>(&header), sizeof header);
    }
    return midMessage(input.index, MIDM_START, input.handle, 0, 0) == MMSYSERR_NOERROR;
}

void CloseInput(InputPort &input)
{
    midMessage(input.index, MIDM_RESET, input.handle, 0, 0);
    midMessage(input.index, MIDM_CLOSE, input.handle, 0, 0);
    EnterCriticalSection(&countLock);
    for (auto &machine : input.streams)
        for (Stream &stream : machine) stream.resync = true;
    LeaveCriticalSection(&countLock);
}

// --- Sending ---------------------------------------------------------------------

struct OutputPort {
    int index;
    DWORD_PTR handle;
    ULONGLONG sent, failed;
};
OutputPort outputs[MaxOutputs];
double sendStartUs;
volatile LONG stopping;

bool OpenOutput(OutputPort &output)
{
    MIDIOPENDESC desc = {};
    return modMessage(output.index, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&output.handle),
                      reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL) == MMSYSERR_NOERROR;
}

void SendLong(OutputPort &output, BYTE *data, DWORD length)
{
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(data);
    header.dwBufferLength = length;
    header.dwFlags = MHDR_PREPARED;
    if (modMessage(output.index, MODM_LONGDATA, output.handle, reinterpret_cast<DWORD_PTR>(&header), sizeof header) !=
        MMSYSERR_NOERROR)
        ++output.failed;
}

DWORD WINAPI SendLoop(LPVOID parameter)
{
    OutputPort &output = *static_cast<OutputPort *>(parameter);
    static thread_local BYTE dump[DumpLength];
    FillDump(dump);
    double periodUs = 1e6 / options.rate, nextReopen = options.reopenSeconds * 1e6;
    for (ULONGLONG i = 0; !stopping; ++i) {
        double due = sendStartUs + static_cast<double>(i) * periodUs;
        if (due - sendStartUs >= options.seconds * 1e6) break;
        while (NowUs() < due) Sleep(due - NowUs() > 1500 ? 1 : 0);
        if (options.reopenSeconds && due - sendStartUs >= nextReopen) {
            modMessage(output.index, MODM_CLOSE, output.handle, 0, 0);
            if (!OpenOutput(output)) ++output.failed;
            nextReopen += options.reopenSeconds * 1e6;
        }
        BYTE message[StampLength];
        Stamp(message, output.index, i);
        SendLong(output, message, StampLength);
        ++output.sent;
        if (!options.mixed) continue;
        DWORD key = 36 + static_cast<DWORD>(i % 48);
        modMessage(output.index, MODM_DATA, output.handle, 0x90 | (key << 8) | (100 << 16), 0);
        modMessage(output.index, MODM_DATA, output.handle, 0x80 | (key << 8), 0);
        if (i % 100 == 99) SendLong(output, dump, DumpLength);
    }
    return 0;
}

// --- Figures and the run ---------------------------------------------------------

struct Figures {
    DWORD handles;
    SIZE_T privateBytes, heapBytes;
};

Figures Measure() { return {OwnHandleCount(), PrivateBytes(), HeapBusyBytes(DriverHeap)}; }

void Raise(Figures &peak, const Figures &now)
{
    peak.handles = std::max(peak.handles, now.handles);
    peak.privateBytes = std::max(peak.privateBytes, now.privateBytes);
    peak.heapBytes = std::max(peak.heapBytes, now.heapBytes);
}

bool ParseOptions(int argc, char **argv)
{
    if (argc < 6) return false;
    options.machine = atoi(argv[1]);
    options.outputs = atoi(argv[2]);
    options.inputs = atoi(argv[3]);
    options.rate = atoi(argv[4]);
    options.seconds = atoi(argv[5]);
    for (int i = 6; i < argc; ++i) {
        if (strcmp(argv[i], "--mixed") == 0) options.mixed = true;
        else if (strcmp(argv[i], "--lossy") == 0) options.lossy = true;
        else if (strcmp(argv[i], "--reopen") == 0 && i + 1 < argc) options.reopenSeconds = atoi(argv[++i]);
        else if (strcmp(argv[i], "--go") == 0 && i + 1 < argc) options.goFile = argv[++i];
        else return false;
    }
    return options.machine >= 1 && options.machine <= MaxMachines && options.outputs >= 0 &&
           options.outputs <= MaxOutputs && options.inputs >= 0 && options.inputs <= MaxInputs &&
           options.rate > 0 && options.seconds > 0;
}

// Sends for the whole run, reopening the input ports as the outputs do and
// sampling the figures once a second.
void Run(Figures &peak)
{
    std::vector<HANDLE> threads;
    sendStartUs = NowUs();
    for (int i = 0; i < options.outputs; ++i) threads.push_back(CreateThread(nullptr, 0, SendLoop, &outputs[i], 0, nullptr));
    double endUs = sendStartUs + options.seconds * 1e6 + DrainMs * 1000.0, nextReopen = options.reopenSeconds * 1e6;
    while (NowUs() < endUs) {
        Sleep(1000);
        Raise(peak, Measure());
        if (!options.reopenSeconds || NowUs() - sendStartUs < nextReopen || NowUs() > endUs - DrainMs * 1000.0)
            continue;
        nextReopen += options.reopenSeconds * 1e6;
        for (int i = 0; i < options.inputs; ++i) {
            CloseInput(inputs[i]);
            if (!OpenInput(inputs[i])) printf("FAULT: input port %d did not reopen\n", i);
        }
    }
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
}

// Prints the counts; false when a stream repeated or lost a message.
bool Report()
{
    bool ok = true;
    for (int i = 0; i < options.outputs; ++i)
        printf("sent %d %d %llu failed %llu\n", options.machine, i, outputs[i].sent, outputs[i].failed);
    for (int i = 0; i < options.inputs; ++i)
        for (int machine = 1; machine <= MaxMachines; ++machine)
            for (int port = 0; port < MaxOutputs; ++port) {
                const Stream &stream = inputs[i].streams[machine][port];
                if (!stream.seen) continue;
                printf("recv %d %d %d %d unique %llu repeats %llu gaps %llu\n", options.machine, i, machine, port,
                       stream.unique, stream.repeats, stream.gaps);
                ok = ok && stream.repeats == 0 && (stream.gaps == 0 || options.lossy);
            }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        printf("latency %d median %.3f p99 %.3f worst %.3f samples %zu\n", options.machine,
               latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back(),
               latencies.size());
    printf("dumps %d intact %llu damaged %llu\n", options.machine, dumpsIntact, dumpsDamaged);
    return ok && (dumpsDamaged == 0 || options.lossy);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace() || !ParseOptions(argc, argv)) {
        fprintf(stderr, "usage: traffic_peer MACHINE OUTPUTS INPUTS RATE SECONDS [--mixed] [--reopen S] [--lossy] [--go FILE]\n"
                        "(in a private network namespace)\n");
        return 2;
    }
    InitializeCriticalSection(&countLock);
    latencies.reserve(MaxSamples);
    timeBeginPeriod(1);
    StartDriverWithPorts(options.outputs, options.inputs, Show, Groups);
    for (int i = 0; i < options.outputs; ++i) outputs[i].index = i;
    for (int i = 0; i < options.inputs; ++i) inputs[i].index = i;
    // One open and close first: what the system keeps after its first use
    // of the network is not the driver's.
    bool opened = OpenOutput(outputs[0]) && OpenInput(inputs[0]);
    BYTE empty[2] = {0xF0, 0xF7};
    HANDLE warm = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        modMessage(0, MODM_DATA, outputs[0].handle, 0x90, 0);
        return 0;
    }, nullptr, 0, nullptr);
    WaitForSingleObject(warm, INFINITE);
    CloseHandle(warm);
    SendLong(outputs[0], empty, sizeof empty);
    Sleep(100);
    CloseInput(inputs[0]);
    modMessage(0, MODM_CLOSE, outputs[0].handle, 0, 0);
    Sleep(200);
    Figures start = Measure(), peak = start;
    for (int i = 0; i < options.outputs; ++i) opened = OpenOutput(outputs[i]) && opened;
    for (int i = 0; i < options.inputs; ++i) opened = OpenInput(inputs[i]) && opened;
    if (!opened) {
        printf("FAULT: a port did not open\n");
        return 1;
    }
    printf("READY %d\n", options.machine);
    fflush(stdout);
    while (options.goFile && GetFileAttributesA(options.goFile) == INVALID_FILE_ATTRIBUTES) Sleep(10);
    Run(peak);
    for (int i = 0; i < options.inputs; ++i) CloseInput(inputs[i]);
    for (int i = 0; i < options.outputs; ++i) modMessage(i, MODM_CLOSE, outputs[i].handle, 0, 0);
    Sleep(200);  // the ports' threads end after their close returns
    Figures end = Measure();
    bool ok = Report();
    printf("figures %d start %lu %zu %zu peak %lu %zu %zu end %lu %zu %zu\n", options.machine, start.handles,
           start.privateBytes, start.heapBytes, peak.handles, peak.privateBytes, peak.heapBytes, end.handles,
           end.privateBytes, end.heapBytes);
    // A contended critical section gets a semaphore the first time it is
    // waited for and keeps it: a few handles of slack, however long the run.
    bool leaked = end.handles > start.handles + HandleSlack || end.heapBytes != start.heapBytes;
    if (leaked) printf("FAULT: handles or driver heap not back where they started\n");
    printf("RESULT: %s\n", ok && !leaked ? "OK" : "FAILED");
    timeEndPeriod(1);
    return ok && !leaked ? 0 : 1;
}
