// How the cost of a packet grows with the number of open input ports: one
// output port and N input ports of one process (up to 126, all 127 slots
// in use), every input port hearing every packet. Run by tools/bench.sh
// inside a private network namespace; refuses to run outside one.
//
//   bench_ports.exe [messages per step, default 500]
//
// For N = 1, 2, 4 ... 126 it sends notes one at a time and waits until
// every open input port has delivered it: the latency to the first and to
// the last port (median and 99th percentile), and the processor time of
// the whole process per message, and per message and port.
#include "driver/driver.h"
#include "program_common.h"
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <vector>

namespace {

constexpr DWORD Show = 0x352441C2;
constexpr DWORD Groups = 5;
constexpr int MaxInputs = UnitsInUse - 1;  // slot 0 is the output port
constexpr DWORD WaitMs = 2000;

DWORD_PTR output;
DWORD_PTR inputs[MaxInputs];
volatile LONG expectedKey = -1, arrivals, wanted;
LONGLONG sentAt, firstAt, lastAt;
HANDLE allArrived;

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double Ms(LONGLONG ticks)
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void CALLBACK OnInput(HDRVR, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR)
{
    if (message != MIM_DATA || static_cast<LONG>((param1 >> 8) & 0x7F) != expectedKey) return;
    LONGLONG now = Now();
    LONG count = InterlockedIncrement(&arrivals);
    if (count == 1) firstAt = now;
    if (count == wanted) {
        lastAt = now;
        SetEvent(allArrived);
    }
}

double ProcessorMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}}, u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return static_cast<double>(k.QuadPart + u.QuadPart) / 10000.0;
}

bool OpenInputs(int count)
{
    MIDIOPENDESC desc = {};
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&OnInput);
    for (int i = 0; i < count; ++i)
        if (midMessage(i, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&inputs[i]), reinterpret_cast<DWORD_PTR>(&desc),
                       CALLBACK_DIRECT) != MMSYSERR_NOERROR ||
            midMessage(i, MIDM_START, inputs[i], 0, 0) != MMSYSERR_NOERROR)
            return false;
    return true;
}

void CloseInputs(int count)
{
    for (int i = 0; i < count; ++i) {
        midMessage(i, MIDM_RESET, inputs[i], 0, 0);
        midMessage(i, MIDM_CLOSE, inputs[i], 0, 0);
    }
}

double Percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[static_cast<size_t>(share * (values.size() - 1))];
}

// One message to `ports` open input ports; false when not all delivered it.
bool Round(int key, int ports, std::vector<double> &first, std::vector<double> &last)
{
    arrivals = 0;
    wanted = ports;
    expectedKey = key;
    ResetEvent(allArrived);
    sentAt = Now();
    modMessage(0, MODM_DATA, output, 0x90 | (key << 8) | (100 << 16), 0);
    bool all = WaitForSingleObject(allArrived, WaitMs) == WAIT_OBJECT_0;
    expectedKey = -1;
    if (!all) return false;
    first.push_back(Ms(firstAt - sentAt));
    last.push_back(Ms(lastAt - sentAt));
    return true;
}

void Step(int ports, int messages)
{
    if (!OpenInputs(ports)) {
        printf("%4d  input ports did not open\n", ports);
        CloseInputs(ports);
        return;
    }
    std::vector<double> first, last;
    for (int i = 0; i < 20; ++i) Round(i % 128, ports, first, last);  // warm-up
    first.clear();
    last.clear();
    int missed = 0;
    double processor = ProcessorMs();
    for (int i = 0; i < messages; ++i) missed += !Round(i % 128, ports, first, last);
    processor = ProcessorMs() - processor;
    CloseInputs(ports);
    double perMessage = processor * 1000.0 / messages;
    printf("%4d  %8.3f %8.3f  %8.3f %8.3f  %10.1f %10.2f  %d\n", ports, Percentile(first, 0.5),
           Percentile(first, 0.99), Percentile(last, 0.5), Percentile(last, 0.99), perMessage, perMessage / ports,
           missed);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "refusing to run outside a private network namespace\n");
        return 2;
    }
    int messages = argc > 1 ? std::max(50, atoi(argv[1])) : 500;
    StartDriverWithPorts(1, MaxInputs, Show, Groups);
    allArrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    MIDIOPENDESC desc = {};
    if (modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&output), reinterpret_cast<DWORD_PTR>(&desc),
                   CALLBACK_NULL) != MMSYSERR_NOERROR) {
        fprintf(stderr, "output open failed\n");
        return 1;
    }
    printf("open input ports against the cost of one packet (%d messages a step, one at a time)\n", messages);
    printf("ports  first ms: median   p99   last ms: median   p99   cpu us/msg  us/msg/port  missed\n");
    for (int ports : {1, 2, 4, 8, 16, 32, 64, MaxInputs}) Step(ports, messages);
    modMessage(0, MODM_CLOSE, output, 0, 0);
    return 0;
}
