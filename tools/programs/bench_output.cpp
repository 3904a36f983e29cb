// Output send-path benchmark: how many MODM_DATA calls per second an open
// output port sustains, against a bare Winsock loop that sends the same
// 19-byte packet to the same broadcast address with sendto. The ratio shows
// what the driver adds to the system call. Run by tools/bench.sh inside a
// private network namespace; refuses to run outside one.
//
//   bench_output.exe [seconds per round, default 1] [rounds, default 5]
#include "driver/driver.h"
#include "diag/log.h"
#include "net/net.h"
#include "program_common.h"
#include <stdio.h>
#include <stdlib.h>

namespace {

double Seconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

struct Round {
    long calls = 0;
    long failures = 0;
    double seconds = 0;
    double Rate() const { return seconds > 0 ? calls / seconds : 0; }
};

// The two loops run in alternating batches, so that the machine's load,
// which varies from second to second, weighs on both alike.
constexpr int BatchCalls = 256;

template <typename Send> void TimeBatch(Round *round, Send send)
{
    LONGLONG start = Now();
    for (int i = 0; i < BatchCalls; ++i)
        if (!send()) ++round->failures;
    round->seconds += Seconds(Now() - start);
    round->calls += BatchCalls;
}

template <typename A, typename B> void MeasureRound(double duration, Round *a, A sendA, Round *b, B sendB)
{
    while (a->seconds + b->seconds < duration) {
        TimeBatch(a, sendA);
        TimeBatch(b, sendB);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "refusing to run outside a private network namespace\n");
        return 2;
    }
    double duration = argc > 1 ? atof(argv[1]) : 1.0;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (duration <= 0) duration = 1.0;
    if (rounds < 1) rounds = 1;

    DriverProcessAttach(GetModuleHandleW(nullptr));
    DebugLevel = 0;  // the shipped default: the log must cost nothing here

    DWORD_PTR instance = 0;
    MidiPort *port = OpenFirstOutputPort(&instance);
    if (!port) return 1;

    // The bare loop: its own socket, built like the port's, the same packet.
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET bare = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    BOOL on = TRUE;
    setsockopt(bare, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    bind(bare, reinterpret_cast<sockaddr *>(&local), sizeof local);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(NetworkPort);
    to.sin_addr.s_addr = port->BroadcastAddress;
    BYTE packet[PacketHeaderSize + 3] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x3C, 0x40};
    DWORD sequence = 0;

    auto driverSend = [&] { return modMessage(0, MODM_DATA, instance, 0x403C90, 0) == 0; };
    auto bareSend = [&] {
        EncodeHeader({1, ++sequence, 0x352441C2, 5}, packet);
        return sendto(bare, reinterpret_cast<const char *>(packet), sizeof packet, 0,
                      reinterpret_cast<const sockaddr *>(&to), sizeof to) == (int)sizeof packet;
    };

    Round driverTotal, bareTotal;
    printf("output send path, %d rounds of %.1f s each, 19-byte packets to %s:12555\n", rounds,
           duration, inet_ntoa(to.sin_addr));
    for (int r = 0; r < rounds; ++r) {
        Round d, b;
        MeasureRound(duration, &d, driverSend, &b, bareSend);
        printf("  round %d: MODM_DATA %.0f calls/s, bare sendto %.0f calls/s, ratio %.3f\n", r + 1,
               d.Rate(), b.Rate(), b.Rate() > 0 ? d.Rate() / b.Rate() : 0);
        driverTotal.calls += d.calls;
        driverTotal.failures += d.failures;
        driverTotal.seconds += d.seconds;
        bareTotal.calls += b.calls;
        bareTotal.failures += b.failures;
        bareTotal.seconds += b.seconds;
    }
    double ratio = bareTotal.Rate() > 0 ? driverTotal.Rate() / bareTotal.Rate() : 0;
    printf("MODM_DATA: %.0f calls/s (%ld calls, %ld failed)\n", driverTotal.Rate(),
           driverTotal.calls, driverTotal.failures);
    printf("bare sendto: %.0f calls/s (%ld calls, %ld failed)\n", bareTotal.Rate(),
           bareTotal.calls, bareTotal.failures);
    printf("ratio driver/bare: %.3f (goal >= 0.9)\n", ratio);

    modMessage(0, MODM_CLOSE, instance, 0, 0);
    closesocket(bare);
    WSACleanup();
    return driverTotal.failures || bareTotal.failures ? 1 : 0;
}
