// TCP benchmark: one-way latency of a 3-byte message and the time to move a
// 1 MiB system-exclusive message from an output port in one process to an
// input port in another (a process has one TCP connection, so the two ends
// cannot share one), against a bare Winsock TCP loop built the same way
// (send on a no-delay socket into an overlapped WSARecv whose completion
// routine runs on a time-critical thread in an alertable wait). Both
// processes stamp with the machine's performance counter into shared
// memory. Run by tools/bench.sh inside a private network namespace.
//
//   bench_tcp.exe [latency samples per path, default 500]
#include "driver/driver.h"
#include "program_common.h"
#include <stdlib.h>
#include <algorithm>
#include <vector>

namespace {

constexpr int MaxSamples = 4000;
constexpr u_short BarePort = 12557;
constexpr DWORD LongBytes = 1 << 20;
constexpr DWORD LongStreamBytes =
    LongBytes + (LongBytes + PacketDataMax - 1) / PacketDataMax * PacketHeaderSize;
constexpr DWORD GapMs = 2;  // between samples: TCP marks no packet ends

struct Shared {
    LONGLONG sent[MaxSamples];
    LONGLONG got[MaxSamples];
    volatile LONG count;       // messages the receiver has seen
    volatile LONGLONG longGot; // when the long message was complete
    volatile LONG bareBytes;
};
Shared *shared;
HANDLE ready, done;  // receiver ready for a phase; sender finished it

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double Micro(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return ticks * 1e6 / static_cast<double>(frequency.QuadPart);
}

void Configure(bool input)
{
    pUnits[0].InUse = 1;
    pUnits[0].Direction = input ? DirectionInput : DirectionOutput;
    pUnits[0].ShowNumber = 0x352441C2;
    pUnits[0].Groups = 5;
    pUnits[0].OpenHandle = INVALID_SOCKET;
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "127.0.0.1");
}

void Arrived(bool complete)
{
    if (complete) shared->longGot = Now();
    else shared->got[shared->count < MaxSamples ? shared->count : 0] = Now();
    if (!complete) InterlockedIncrement(&shared->count);
}

// --- Receiver (child process) ---------------------------------------------------

void CALLBACK OnInput(HDRVR, UINT message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR)
{
    if (message == MIM_DATA) Arrived(false);
    if (message == MIM_LONGDATA && reinterpret_cast<MIDIHDR *>(p1)->dwBytesRecorded) Arrived(true);
}

struct BareReceiver {
    SOCKET socket = INVALID_SOCKET;
    WSAOVERLAPPED overlapped = {};
    char packet[PacketSizeMax];
    DWORD flags = 0;
} bare;

void CALLBACK BareCompletion(DWORD error, DWORD bytes, LPWSAOVERLAPPED, DWORD);

void PostBare()
{
    WSABUF buffer = {PacketSizeMax, bare.packet};
    ZeroMemory(&bare.overlapped, sizeof bare.overlapped);
    bare.flags = 0;
    WSARecv(bare.socket, &buffer, 1, nullptr, &bare.flags, &bare.overlapped, BareCompletion);
}

void CALLBACK BareCompletion(DWORD error, DWORD bytes, LPWSAOVERLAPPED, DWORD)
{
    if (error || bytes == 0) return;
    // Short packets are the latency samples; then the long message's
    // packets, counted as the bytes of the stream.
    if (bytes < PacketSizeMax && shared->bareBytes == 0) Arrived(false);
    else if ((shared->bareBytes += bytes) >= static_cast<LONG>(LongStreamBytes)) Arrived(true);
    PostBare();
}

int Receive()
{
    // The driver's input port.
    Configure(true);
    DWORD_PTR instance = 0;
    MIDIOPENDESC desc = {};
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(OnInput);
    if (midMessage(0, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&instance),
                   reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_DIRECT) != 0)
        return 2;
    std::vector<char> memory(LongBytes + 16);
    MIDIHDR header = {};
    header.lpData = memory.data();
    header.dwBufferLength = static_cast<DWORD>(memory.size());
    header.dwFlags = MHDR_PREPARED;
    midMessage(0, MIDM_ADDBUFFER, instance, reinterpret_cast<DWORD_PTR>(&header), sizeof header);
    midMessage(0, MIDM_START, instance, 0, 0);
    SetEvent(ready);
    WaitForSingleObject(done, 120000);
    midMessage(0, MIDM_RESET, instance, 0, 0);
    midMessage(0, MIDM_CLOSE, instance, 0, 0);

    // The bare loop: accept one client, then receive on a time-critical
    // thread's alertable waits, as an input port's thread does.
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL on = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char *>(&on), sizeof on);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(BarePort);
    bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local);
    listen(listener, 1);
    SetEvent(ready);
    bare.socket = accept(listener, nullptr, nullptr);
    setsockopt(bare.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&on), sizeof on);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    PostBare();
    while (WaitForSingleObjectEx(done, 120000, TRUE) == WAIT_IO_COMPLETION) {
    }
    closesocket(bare.socket);
    closesocket(listener);
    return 0;
}

// --- Sender (parent process) ------------------------------------------------------

bool WaitArrival(LONG count)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 2000;)
        if (shared->count >= count) return true;
    return false;
}

struct Figures {
    double median = 0, p99 = 0, longMs = 0;
    int lost = 0;
};

Figures Measure(int samples, bool (*sendShort)(), bool (*sendLong)(const std::vector<BYTE> &))
{
    Figures f;
    shared->count = 0;
    shared->longGot = 0;
    shared->bareBytes = 0;
    std::vector<double> latencies;
    for (int i = 0; i < samples; ++i) {
        shared->sent[i] = Now();
        if (!sendShort() || !WaitArrival(i + 1 - f.lost)) {
            ++f.lost;
            continue;
        }
        latencies.push_back(Micro(shared->got[shared->count - 1] - shared->sent[i]));
        Sleep(GapMs);
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        f.median = latencies[latencies.size() / 2];
        f.p99 = latencies[latencies.size() * 99 / 100];
    }
    std::vector<BYTE> sysex(LongBytes);
    for (DWORD i = 0; i < LongBytes; ++i) sysex[i] = static_cast<BYTE>(i % 0x7F);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    Sleep(50);
    LONGLONG start = Now();
    if (sendLong(sysex))
        for (DWORD t = GetTickCount(); !shared->longGot && GetTickCount() - t < 30000;) Sleep(1);
    f.longMs = shared->longGot ? Micro(shared->longGot - start) / 1000 : -1;
    return f;
}

DWORD_PTR output;
SOCKET bareSender = INVALID_SOCKET;
DWORD bareSequence;

bool DriverShort() { return modMessage(0, MODM_DATA, output, 0x403C90, 0) == 0; }

bool DriverLong(const std::vector<BYTE> &bytes)
{
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<BYTE *>(bytes.data()));
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
    header.dwFlags = MHDR_PREPARED;
    return modMessage(0, MODM_LONGDATA, output, reinterpret_cast<DWORD_PTR>(&header),
                      sizeof header) == 0;
}

bool BareSend(const BYTE *data, DWORD count)
{
    BYTE packet[PacketSizeMax];
    EncodeHeader({0xBA5E, ++bareSequence, 0x352441C2, 5}, packet);
    memcpy(packet + PacketHeaderSize, data, count);
    int length = static_cast<int>(PacketHeaderSize + count);
    return send(bareSender, reinterpret_cast<char *>(packet), length, 0) == length;
}

bool BareShort()
{
    const BYTE note[] = {0x90, 0x3C, 0x40};
    return BareSend(note, 3);
}

bool BareLong(const std::vector<BYTE> &bytes)
{
    for (DWORD at = 0; at < bytes.size(); at += PacketDataMax)
        if (!BareSend(bytes.data() + at, std::min<DWORD>(PacketDataMax, bytes.size() - at)))
            return false;
    return true;
}

void Print(const char *name, const Figures &f)
{
    printf("  %-9s latency median %7.0f us  99th %7.0f us  lost %d   1 MiB sysex %8.1f ms\n",
           name, f.median, f.p99, f.lost, f.longMs);
}

int Send(int samples)
{
    WCHAR path[MAX_PATH], line[MAX_PATH + 16];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wsprintfW(line, L"\"%s\" receive", path);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child)) {
        fprintf(stderr, "bench_tcp: receiver did not start\n");
        return 2;
    }
    Figures driver, bareFigures;
    if (WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0) {
        Configure(false);
        MIDIOPENDESC desc = {};
        if (modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&output),
                       reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL) == 0) {
            Sleep(200);  // the receiver posts its receive after the accept
            driver = Measure(samples, DriverShort, DriverLong);
            modMessage(0, MODM_CLOSE, output, 0, 0);
        }
    }
    SetEvent(done);
    if (WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0) {
        bareSender = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        BOOL on = TRUE;
        setsockopt(bareSender, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&on), sizeof on);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(BarePort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(bareSender, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
            Sleep(200);
            bareFigures = Measure(samples, BareShort, BareLong);
        }
        closesocket(bareSender);
    }
    SetEvent(done);
    WaitForSingleObject(child.hProcess, 30000);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    printf("TCP, one output port to one input port in another process, %d samples\n", samples);
    Print("driver", driver);
    Print("bare", bareFigures);
    if (bareFigures.median > 0 && bareFigures.longMs > 0)
        printf("  ratio     latency %.2f (median)   1 MiB sysex %.2f\n",
               driver.median / bareFigures.median, driver.longMs / bareFigures.longMs);
    return driver.lost || bareFigures.lost || driver.longMs < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "bench_tcp: refusing to run outside a private network namespace\n");
        return 2;
    }
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(Shared), L"TessmarBenchTcp");
    shared = static_cast<Shared *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ready = CreateEventW(nullptr, FALSE, FALSE, L"TessmarBenchTcpReady");
    done = CreateEventW(nullptr, FALSE, FALSE, L"TessmarBenchTcpDone");
    if (!shared || !ready || !done || !DriverProcessAttach(GetModuleHandleW(nullptr))) return 2;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    // Both processes on one processor, as the input benchmark runs: waking
    // an idle processor costs more than the software path being measured.
    SetProcessAffinityMask(GetCurrentProcess(), 1);
    if (argc > 1 && lstrcmpA(argv[1], "receive") == 0) return Receive();
    int samples = argc > 1 ? atoi(argv[1]) : 500;
    if (samples < 10 || samples > MaxSamples) samples = 500;
    return Send(samples);
}
