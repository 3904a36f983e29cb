// tessmar bench: latency and throughput between two machines, measured the
// way docs/PERFORMANCE.md does it, for a user's own network.
//
// The far machine runs `bench --echo`: every note on channel 1 comes back
// as the same note on channel 16, every complete system-exclusive block is
// acknowledged with controller 1 on channel 16, and controller 119 on
// channel 1 ends the run. The near machine times the round trips. Each side
// hears its own broadcasts too, so each looks only at the other's channel.
// The driver's callback only notes what arrived; the main thread answers,
// since a callback must not call back into the system's MIDI functions.
#include "tools/tessmar/tessmar.h"
#include <stdio.h>
#include <algorithm>
#include <deque>

namespace {

constexpr BYTE NoteOnNear = 0x90, NoteOnFar = 0x9F, ControlNear = 0xB0, ControlFar = 0xBF;
constexpr BYTE AckController = 1, EndController = 119;
constexpr DWORD BlockBytes = 65536;
constexpr int BufferCount = 8;
constexpr DWORD RoundTimeoutMs = 1000;
constexpr DWORD ThroughputTimeoutMs = 60000;

struct Bench {
    const Backend *backend;
    OpenPort output, input;
    MIDIHDR headers[BufferCount];
    std::vector<uint8_t> memory[BufferCount];
    // Guards arrivals and closing; taken by the driver's callback and the
    // main thread, never around a call into the driver.
    CRITICAL_SECTION lock;
    std::deque<DWORD> arrivals;  // short messages; 0xF0 for a complete block
    bool closing;
    HANDLE arrived;
};

void CALLBACK OnBenchInput(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    Bench &bench = *reinterpret_cast<Bench *>(instance);
    if (message != MIM_DATA && message != MIM_LONGDATA) return;
    MIDIHDR *header = reinterpret_cast<MIDIHDR *>(param1);
    bool blockEnd = message == MIM_LONGDATA && header->dwBytesRecorded &&
                    static_cast<BYTE>(header->lpData[header->dwBytesRecorded - 1]) == 0xF7;
    EnterCriticalSection(&bench.lock);
    bool closing = bench.closing;
    if (message == MIM_DATA || blockEnd) {
        bench.arrivals.push_back(message == MIM_DATA ? static_cast<DWORD>(param1) : 0xF0);
        SetEvent(bench.arrived);
    }
    LeaveCriticalSection(&bench.lock);
    if (message == MIM_LONGDATA && !closing) {
        header->dwBytesRecorded = 0;
        bench.backend->AddBuffer(bench.input, header);
    }
}

// The next arrival, or false when none comes in time or the user stops.
bool NextArrival(Bench &bench, DWORD timeoutMs, DWORD &arrival)
{
    double deadline = NowMs() + timeoutMs;
    HANDLE events[2] = {bench.arrived, StopEvent};
    for (;;) {
        EnterCriticalSection(&bench.lock);
        bool any = !bench.arrivals.empty();
        if (any) {
            arrival = bench.arrivals.front();
            bench.arrivals.pop_front();
        }
        LeaveCriticalSection(&bench.lock);
        if (any) return true;
        double left = deadline - NowMs();
        if (left <= 0 || WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(left) + 1) ==
                             WAIT_OBJECT_0 + 1)
            return false;
    }
}

bool OpenBench(Bench &bench, Args &args, int &code)
{
    std::string outName, inName;
    if (!OpenNamedOutput(bench.backend, args, "--port", bench.output, outName, code)) return false;
    bool bad = false;
    if (!TakeOption(args, "--in", inName, bad)) inName = outName;
    PortEntry entry;
    code = ExitUsage;
    if (bad || !FindPort(bench.backend, true, inName, entry)) return false;
    MMRESULT result = bench.backend->OpenInput(entry.id, OnBenchInput, reinterpret_cast<DWORD_PTR>(&bench),
                                               bench.input);
    for (int i = 0; i < BufferCount && result == MMSYSERR_NOERROR; ++i) {
        bench.memory[i].assign(BlockBytes + 16, 0);
        bench.headers[i] = {};
        bench.headers[i].lpData = reinterpret_cast<LPSTR>(bench.memory[i].data());
        bench.headers[i].dwBufferLength = static_cast<DWORD>(bench.memory[i].size());
        result = bench.backend->AddBuffer(bench.input, &bench.headers[i]);
    }
    if (result == MMSYSERR_NOERROR) result = bench.backend->Start(bench.input);
    if (result == MMSYSERR_NOERROR) return true;
    Fail("bench: cannot open input port '%s': %s", entry.name.c_str(), ResultText(result).c_str());
    code = ExitDriver;
    return false;
}

void CloseBench(Bench &bench)
{
    EnterCriticalSection(&bench.lock);
    bench.closing = true;
    LeaveCriticalSection(&bench.lock);
    if (bench.input.handle) bench.backend->Close(bench.input);
    if (bench.output.handle) bench.backend->Close(bench.output);
}

// --- The far side --------------------------------------------------------------

int Echo(Bench &bench, long long timeoutSeconds)
{
    fprintf(stderr, "echoing: waiting for the near side (Ctrl+C ends)\n");
    DWORD blocks = 0, notes = 0, arrival = 0;
    DWORD timeoutMs = timeoutSeconds ? static_cast<DWORD>(timeoutSeconds * 1000) : INFINITE;
    while (NextArrival(bench, timeoutMs, arrival)) {
        BYTE status = arrival & 0xFF, data1 = (arrival >> 8) & 0x7F;
        if (status == NoteOnNear) {
            bench.backend->ShortMessage(bench.output, (arrival & 0xFFFF00) | NoteOnFar);
            ++notes;
        } else if (arrival == 0xF0) {
            ++blocks;
            bench.backend->ShortMessage(bench.output, ControlFar | (AckController << 8) | ((blocks & 0x7F) << 16));
        } else if (status == ControlNear && data1 == EndController) {
            printf("echoed %lu notes and acknowledged %lu blocks\n", static_cast<unsigned long>(notes),
                   static_cast<unsigned long>(blocks));
            return ExitOk;
        }
    }
    Fail("bench: the near side did not finish (%lu notes, %lu blocks)", static_cast<unsigned long>(notes),
         static_cast<unsigned long>(blocks));
    return ExitFailed;
}

// --- The near side -------------------------------------------------------------

double Percentile(std::vector<double> sorted, double share)
{
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    size_t at = static_cast<size_t>(share * (sorted.size() - 1) + 0.5);
    return sorted[at];
}

// Waits for the echo of `key`; arrivals from this machine are not echoes.
bool AwaitNote(Bench &bench, DWORD key)
{
    double deadline = NowMs() + RoundTimeoutMs;
    DWORD arrival = 0;
    while (NowMs() < deadline && NextArrival(bench, RoundTimeoutMs, arrival))
        if ((arrival & 0xFF) == NoteOnFar && ((arrival >> 8) & 0x7F) == key) return true;
    return false;
}

int MeasureLatency(Bench &bench, long long rounds)
{
    std::vector<double> oneWay;
    for (long long round = 0; round < rounds; ++round) {
        DWORD key = static_cast<DWORD>(round % 128);
        double sent = NowMs();
        bench.backend->ShortMessage(bench.output, NoteOnNear | (key << 8) | (64 << 16));
        if (AwaitNote(bench, key)) oneWay.push_back((NowMs() - sent) / 2);
        if (WaitForSingleObject(StopEvent, 0) == WAIT_OBJECT_0) return ExitFailed;
        if (round % 50 == 49) Progress("  latency: %lld of %lld rounds ", round + 1, rounds);
    }
    EndProgress();
    if (oneWay.empty()) {
        Fail("bench: no echo came back: is `tessmar bench --echo` running on the other machine?");
        return ExitFailed;
    }
    printf("one-way latency: median %.3f ms, 99th percentile %.3f ms, best %.3f ms, worst %.3f ms "
           "(%zu of %lld rounds answered)\n",
           Percentile(oneWay, 0.5), Percentile(oneWay, 0.99), Percentile(oneWay, 0), Percentile(oneWay, 1),
           oneWay.size(), rounds);
    return ExitOk;
}

int MeasureThroughput(Bench &bench, long long total)
{
    std::vector<uint8_t> block(BlockBytes);
    DWORD blocks = static_cast<DWORD>((total + BlockBytes - 1) / BlockBytes), acknowledged = 0, arrival = 0;
    double start = NowMs();
    for (DWORD i = 0; i < blocks; ++i) {
        DWORD length = static_cast<DWORD>(std::min<long long>(BlockBytes, total - static_cast<long long>(i) * BlockBytes));
        length = std::max<DWORD>(length, 2);
        for (DWORD k = 1; k + 1 < length; ++k) block[k] = static_cast<uint8_t>((k + i) & 0x7F);
        block[0] = 0xF0;
        block[length - 1] = 0xF7;
        MMRESULT result = bench.backend->LongMessage(bench.output, block.data(), length);
        if (result != MMSYSERR_NOERROR) {
            Fail("bench: block %lu was not sent: %s", static_cast<unsigned long>(i + 1), ResultText(result).c_str());
            return ExitDriver;
        }
        Progress("  throughput: %lu of %lu blocks sent ", static_cast<unsigned long>(i + 1),
                 static_cast<unsigned long>(blocks));
    }
    while (acknowledged < blocks && NextArrival(bench, ThroughputTimeoutMs, arrival))
        if ((arrival & 0xFFFF) == (ControlFar | (AckController << 8))) ++acknowledged;
    double seconds = (NowMs() - start) / 1000;
    EndProgress();
    if (acknowledged < blocks) {
        Fail("bench: %lu of %lu blocks were acknowledged", static_cast<unsigned long>(acknowledged),
             static_cast<unsigned long>(blocks));
        return ExitFailed;
    }
    printf("throughput: %lld bytes of system exclusive in %.3f s, %.1f KiB/s\n", total, seconds,
           total / 1024.0 / seconds);
    return ExitOk;
}

}  // namespace

int BenchCommand(Args &args)
{
    bool bad = false, echo = TakeFlag(args, "--echo");
    std::string value;
    long long rounds = 200, bytes = 1 << 20, timeout = 0;
    if ((TakeOption(args, "--rounds", value, bad) && !ParseNumberArg(value, 1, 1000000, "--rounds", rounds)) ||
        (TakeOption(args, "--bytes", value, bad) && !ParseNumberArg(value, 0, 1 << 30, "--bytes", bytes)) ||
        (TakeOption(args, "--timeout", value, bad) && !ParseNumberArg(value, 1, 86400, "--timeout", timeout)) ||
        bad)
        return ExitUsage;
    Bench *bench = new Bench();
    bench->backend = ConnectDriver(args, bad);
    if (!bench->backend) {
        delete bench;
        return bad ? ExitUsage : ExitDriver;
    }
    InitializeCriticalSection(&bench->lock);
    bench->arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    int code = ExitOk;
    if (OpenBench(*bench, args, code)) {
        timeBeginPeriod(1);
        if (echo) {
            code = Echo(*bench, timeout);
        } else {
            code = MeasureLatency(*bench, rounds);
            if (code == ExitOk && bytes) code = MeasureThroughput(*bench, bytes);
            bench->backend->ShortMessage(bench->output, ControlNear | (EndController << 8));
        }
        timeEndPeriod(1);
    }
    CloseBench(*bench);
    DisconnectDriver(bench->backend);
    CloseHandle(bench->arrived);
    DeleteCriticalSection(&bench->lock);
    delete bench;
    return code;
}
