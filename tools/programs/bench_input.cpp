// Input path benchmark: MIDI from an output port of this process to an
// input port of this process, through the driver, against a bare Winsock
// loop built the same way (sendto into an overlapped WSARecvFrom whose
// completion routine runs on a time-critical thread in an alertable wait).
// Run by tools/bench.sh inside a private network namespace; refuses to run
// outside one.
//
//   bench_input.exe [latency samples per path, default 2000]
//
// Prints:
//   - one-way latency, MODM_DATA call to MIM_DATA callback, median and 99th
//     percentile, and the same for the bare loop, samples interleaved in
//     small batches so that the machine's load weighs on both alike, and
//     the ratio of the medians (goal <= 1.2);
//   - the highest rate of 3-byte messages, stepped up, at which every
//     message arrives (for the driver and the bare loop);
//   - the time to deliver a 1 MiB system-exclusive message (MODM_LONGDATA
//     to MIM_LONGDATA) against the bare transfer of the same bytes in
//     400-byte datagrams (goal: within 2x).
#include "driver/driver.h"
#include "diag/log.h"
#include "net/net.h"
#include "program_common.h"
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <vector>

namespace {

constexpr DWORD Show = 0x352441C2;
constexpr DWORD Groups = 5;
constexpr u_short BarePort = 12556;  // the bare loop's own port, beside the driver's 12555
constexpr int ReceiveBufferBytes = 4 << 20;  // as the driver's input ports ask for

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double Frequency()
{
    static double frequency;
    if (!frequency) {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        frequency = static_cast<double>(value.QuadPart);
    }
    return frequency;
}

double Micro(LONGLONG ticks) { return ticks * 1e6 / Frequency(); }

// What a receiving side saw: filled on its receiving thread.
struct Arrivals {
    HANDLE signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    volatile LONGLONG last = 0;
    volatile LONG messages = 0;
    volatile LONGLONG bytes = 0;
    volatile LONG longDone = 0;
    void Reset()
    {
        last = 0;
        messages = 0;
        bytes = 0;
        longDone = 0;
        ResetEvent(signal);
    }
};

Arrivals driverSide, bareSide;

void CALLBACK OnDriverInput(HDRVR, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR)
{
    LONGLONG now = Now();
    if (message == MIM_DATA) {
        driverSide.last = now;
        InterlockedIncrement(&driverSide.messages);
        SetEvent(driverSide.signal);
    } else if (message == MIM_LONGDATA || message == MIM_LONGERROR) {
        const MIDIHDR *header = reinterpret_cast<const MIDIHDR *>(p1);
        if (header->dwBytesRecorded == 0) return;  // handed back at reset
        driverSide.last = now;
        driverSide.bytes = header->dwBytesRecorded;
        driverSide.longDone = message == MIM_LONGDATA ? 1 : -1;
        SetEvent(driverSide.signal);
    }
}

// --- The bare loop's receiver ---------------------------------------------------

struct BareReceiver {
    SOCKET socket = INVALID_SOCKET;
    HANDLE thread = nullptr;
    HANDLE stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    WSAOVERLAPPED overlapped = {};
    BYTE packet[PacketSizeMax];
    sockaddr_in from = {};
    INT fromLength = sizeof from;
    DWORD flags = 0;
    bool posted = false;
};
BareReceiver bare;

void CALLBACK BareCompletion(DWORD, DWORD bytes, LPWSAOVERLAPPED, DWORD);

void PostBare()
{
    WSABUF buffer = {PacketSizeMax, reinterpret_cast<char *>(bare.packet)};
    bare.fromLength = sizeof bare.from;
    bare.flags = 0;
    ZeroMemory(&bare.overlapped, sizeof bare.overlapped);
    int result = WSARecvFrom(bare.socket, &buffer, 1, nullptr, &bare.flags,
                             reinterpret_cast<sockaddr *>(&bare.from), &bare.fromLength,
                             &bare.overlapped, BareCompletion);
    bare.posted = result == 0 || WSAGetLastError() == WSA_IO_PENDING;
}

void CALLBACK BareCompletion(DWORD error, DWORD bytes, LPWSAOVERLAPPED, DWORD)
{
    bare.posted = false;
    if (error == 0 && bytes > static_cast<DWORD>(PacketHeaderSize)) {
        bareSide.last = Now();
        InterlockedIncrement(&bareSide.messages);
        bareSide.bytes = bareSide.bytes + (bytes - PacketHeaderSize);
        SetEvent(bareSide.signal);
    }
    PostBare();
}

DWORD WINAPI BareThread(void *)
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    PostBare();
    SetEvent(bare.ready);
    while (WaitForSingleObjectEx(bare.stop, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
    }
    CancelIo(reinterpret_cast<HANDLE>(bare.socket));
    for (int i = 0; i < 100 && bare.posted; ++i) SleepEx(10, TRUE);
    return 0;
}

bool StartBare()
{
    bare.socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    BOOL on = TRUE;
    setsockopt(bare.socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
    setsockopt(bare.socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    int size = ReceiveBufferBytes;
    setsockopt(bare.socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size), sizeof size);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(BarePort);
    if (bind(bare.socket, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) return false;
    bare.thread = CreateThread(nullptr, 0, BareThread, nullptr, 0, nullptr);
    return bare.thread && WaitForSingleObject(bare.ready, 5000) == WAIT_OBJECT_0;
}

void StopBare()
{
    SetEvent(bare.stop);
    WaitForSingleObject(bare.thread, 5000);
    CloseHandle(bare.thread);
    closesocket(bare.socket);
}

// --- Senders ------------------------------------------------------------------------

DWORD_PTR output, input;
SOCKET bareSender;
sockaddr_in bareTo;
DWORD bareSequence;

bool DriverShort(DWORD message) { return modMessage(0, MODM_DATA, output, message, 0) == 0; }

bool BareSend(const BYTE *data, int count)
{
    BYTE packet[PacketSizeMax];
    EncodeHeader({0xBA5E, ++bareSequence, Show, Groups}, packet);
    memcpy(packet + PacketHeaderSize, data, count);
    int length = static_cast<int>(PacketHeaderSize) + count;
    return sendto(bareSender, reinterpret_cast<const char *>(packet), length, 0,
                  reinterpret_cast<const sockaddr *>(&bareTo), sizeof bareTo) == length;
}

bool BareShort(DWORD message)
{
    BYTE data[3] = {static_cast<BYTE>(message), static_cast<BYTE>(message >> 8),
                    static_cast<BYTE>(message >> 16)};
    return BareSend(data, 3);
}

// --- Latency ------------------------------------------------------------------------

struct Latencies {
    std::vector<double> micros;
    int lost = 0;
    double Percentile(double p)
    {
        if (micros.empty()) return 0;
        std::vector<double> sorted = micros;
        std::sort(sorted.begin(), sorted.end());
        size_t index = static_cast<size_t>(p * (sorted.size() - 1) + 0.5);
        return sorted[index];
    }
};

template <typename Send> void Sample(Arrivals &side, Send send, Latencies *out)
{
    side.Reset();
    LONGLONG start = Now();
    if (!send(0x403C90) || WaitForSingleObject(side.signal, 1000) != WAIT_OBJECT_0) {
        ++out->lost;
        Sleep(50);
        return;
    }
    out->micros.push_back(Micro(side.last - start));
}

void MeasureLatency(int samples)
{
    Latencies viaDriver, viaBare;
    constexpr int Batch = 1;  // alternate every sample: the load changes slower than that
    for (int done = 0; done < samples; done += Batch) {
        for (int i = 0; i < Batch; ++i) Sample(driverSide, DriverShort, &viaDriver);
        for (int i = 0; i < Batch; ++i) Sample(bareSide, BareShort, &viaBare);
    }
    double driverMedian = viaDriver.Percentile(0.5), bareMedian = viaBare.Percentile(0.5);
    printf("one-way latency, 3-byte message, %d samples per path:\n", samples);
    printf("  driver (MODM_DATA -> MIM_DATA): median %.0f us, 99th percentile %.0f us, lost %d\n",
           driverMedian, viaDriver.Percentile(0.99), viaDriver.lost);
    printf("  bare   (sendto -> completion):  median %.0f us, 99th percentile %.0f us, lost %d\n",
           bareMedian, viaBare.Percentile(0.99), viaBare.lost);
    printf("  10th/25th/75th/90th percentiles: driver %.0f/%.0f/%.0f/%.0f us, bare %.0f/%.0f/%.0f/%.0f us\n",
           viaDriver.Percentile(0.1), viaDriver.Percentile(0.25), viaDriver.Percentile(0.75),
           viaDriver.Percentile(0.9), viaBare.Percentile(0.1), viaBare.Percentile(0.25),
           viaBare.Percentile(0.75), viaBare.Percentile(0.9));
    printf("  ratio of medians driver/bare: %.2f (goal <= 1.2)\n",
           bareMedian > 0 ? driverMedian / bareMedian : 0.0);
}

// --- Sustained rate ---------------------------------------------------------------------

// Sends `count` messages paced at `rate` per second; true if every one
// arrived. *achieved receives the rate actually sent.
template <typename Send>
bool RunAtRate(Arrivals &side, Send send, double rate, int count, double *achieved)
{
    side.Reset();
    LONGLONG start = Now();
    double interval = Frequency() / rate;
    for (int i = 0; i < count; ++i) {
        LONGLONG due = start + static_cast<LONGLONG>(i * interval);
        while (Now() < due) YieldProcessor();
        send(0x403C90);
    }
    *achieved = count / (Micro(Now() - start) / 1e6);
    // Arrivals still in flight: wait until nothing more comes for 300 ms.
    LONG seen = -1;
    while (side.messages != seen) {
        seen = side.messages;
        Sleep(300);
    }
    return side.messages == count;
}

template <typename Send> void MeasureRate(const char *name, Arrivals &side, Send send)
{
    double best = 0;
    printf("  %s:", name);
    for (double rate = 1000; rate <= 256000; rate *= 2) {
        double achieved = 0;
        int count = static_cast<int>(rate * 0.5 < 2000 ? 2000 : rate * 0.5);
        bool complete = RunAtRate(side, send, rate, count, &achieved);
        printf(" %.0f/s%s", achieved, complete ? "" : " (loss)");
        fflush(stdout);
        if (!complete) break;
        best = achieved;
        if (achieved < rate * 0.8) break;  // the sender itself is the limit
    }
    printf("\n    highest rate without loss: %.0f messages/s\n", best);
}

// --- 1 MiB system exclusive ----------------------------------------------------------------

constexpr DWORD LongBytes = 1 << 20;

double DriverLongTransfer(std::vector<char> &sysex, std::vector<char> &received)
{
    MIDIHDR in = {};
    in.lpData = received.data();
    in.dwBufferLength = static_cast<DWORD>(received.size());
    in.dwFlags = MHDR_PREPARED;
    if (midMessage(0, MIDM_ADDBUFFER, input, reinterpret_cast<DWORD_PTR>(&in), sizeof in) != 0)
        return -1;
    driverSide.Reset();
    MIDIHDR out = {};
    out.lpData = sysex.data();
    out.dwBufferLength = LongBytes;
    out.dwFlags = MHDR_PREPARED;
    LONGLONG start = Now();
    modMessage(0, MODM_LONGDATA, output, reinterpret_cast<DWORD_PTR>(&out), sizeof out);
    bool arrived = WaitForSingleObject(driverSide.signal, 20000) == WAIT_OBJECT_0;
    double seconds = Micro(driverSide.last - start) / 1e6;
    bool intact = arrived && driverSide.longDone == 1 && driverSide.bytes == LongBytes &&
                  memcmp(received.data(), sysex.data(), LongBytes) == 0;
    if (!arrived) midMessage(0, MIDM_RESET, input, 0, 0);
    midMessage(0, MIDM_RESET, input, 0, 0);
    midMessage(0, MIDM_START, input, 0, 0);
    return intact ? seconds : -1;
}

double BareLongTransfer(const std::vector<char> &sysex)
{
    bareSide.Reset();
    LONGLONG start = Now();
    for (DWORD at = 0; at < LongBytes; at += PacketDataMax) {
        DWORD n = LongBytes - at < static_cast<DWORD>(PacketDataMax) ? LongBytes - at : PacketDataMax;
        BareSend(reinterpret_cast<const BYTE *>(sysex.data()) + at, static_cast<int>(n));
    }
    for (int i = 0; i < 2000 && bareSide.bytes < LongBytes; ++i) Sleep(10);
    if (bareSide.bytes < static_cast<LONGLONG>(LongBytes)) return -1;
    return Micro(bareSide.last - start) / 1e6;
}

void MeasureLong()
{
    std::vector<char> sysex(LongBytes), received(LongBytes + 16);
    sysex[0] = static_cast<char>(0xF0);
    for (DWORD i = 1; i + 1 < LongBytes; ++i) sysex[i] = static_cast<char>(i % 127);
    sysex[LongBytes - 1] = static_cast<char>(0xF7);
    std::vector<double> viaDriver, viaBare;
    int driverFailed = 0, bareFailed = 0;
    for (int round = 0; round < 3; ++round) {
        double d = DriverLongTransfer(sysex, received);
        if (d < 0) ++driverFailed;
        else viaDriver.push_back(d);
        Sleep(200);
        double b = BareLongTransfer(sysex);
        if (b < 0) ++bareFailed;
        else viaBare.push_back(b);
        Sleep(200);
    }
    std::sort(viaDriver.begin(), viaDriver.end());
    std::sort(viaBare.begin(), viaBare.end());
    double d = viaDriver.empty() ? 0 : viaDriver[viaDriver.size() / 2];
    double b = viaBare.empty() ? 0 : viaBare[viaBare.size() / 2];
    printf("1 MiB system exclusive (2731 packets), median of 3:\n");
    printf("  driver (MODM_LONGDATA -> MIM_LONGDATA, intact): %.1f ms (%d failed)\n", d * 1e3,
           driverFailed);
    printf("  bare   (sendto of the same packets -> last completion): %.1f ms (%d failed)\n",
           b * 1e3, bareFailed);
    printf("  ratio driver/bare: %.2f (goal <= 2)\n", b > 0 ? d / b : 0.0);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "refusing to run outside a private network namespace\n");
        return 2;
    }
    int samples = argc > 1 ? atoi(argv[1]) : 2000;
    if (samples < 20) samples = 20;

    // All threads of the process on one processor: the two receiving
    // threads then wake alike, instead of one of them paying for waking an
    // idle processor (which under a virtual machine costs more than the
    // whole software path).
    SetProcessAffinityMask(GetCurrentProcess(), 1);
    StartDriverWithPorts(1, 1, Show, Groups);

    MIDIOPENDESC desc = {};
    if (modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&output),
                   reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL) != 0) {
        fprintf(stderr, "output open failed\n");
        return 1;
    }
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&OnDriverInput);
    if (midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&input),
                   reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_DIRECT) != 0 ||
        midMessage(0, MIDM_START, input, 0, 0) != 0) {
        fprintf(stderr, "input open failed\n");
        return 1;
    }

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    if (!StartBare()) {
        fprintf(stderr, "bare receiver failed\n");
        return 1;
    }
    bareSender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    BOOL on = TRUE;
    setsockopt(bareSender, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    bind(bareSender, reinterpret_cast<sockaddr *>(&local), sizeof local);
    bareTo.sin_family = AF_INET;
    bareTo.sin_port = htons(BarePort);
    bareTo.sin_addr.s_addr = reinterpret_cast<MidiPort *>(output)->BroadcastAddress;

    printf("input path, driver against a bare Winsock loop, one process, loopback broadcast\n");
    MeasureLatency(samples);
    printf("sustained rate of 3-byte messages, steps of 0.5 s (at least 2000 messages):\n");
    MeasureRate("driver", driverSide, DriverShort);
    MeasureRate("bare  ", bareSide, BareShort);
    MeasureLong();

    StopBare();
    midMessage(0, MIDM_RESET, input, 0, 0);
    midMessage(0, MIDM_CLOSE, input, 0, 0);
    modMessage(0, MODM_CLOSE, output, 0, 0);
    closesocket(bareSender);
    WSACleanup();
    return 0;
}
