// tessmar monitor: one line per message that arrives at an input port.
// The driver's callback only queues what arrived (and gives a filled buffer
// straight back); the main thread prints, counts and watches the clock.
#include "tools/tessmar/tessmar.h"
#include "tools/tessmar/text.h"
#include <stdio.h>
#include <deque>

namespace {

constexpr int BufferCount = 8;
constexpr DWORD BufferBytes = 65536;
// A system-exclusive message longer than this is shown as incomplete: the
// driver itself holds no more than a few MiB for one sender.
constexpr size_t JoinLimit = 16u << 20;

struct Arrived {
    Arrival kind;
    uint32_t stamp;
    uint32_t packed;
    std::vector<uint8_t> bytes;
};

struct Monitor {
    const Backend *backend;
    OpenPort port;
    MIDIHDR headers[BufferCount];
    std::vector<uint8_t> memory[BufferCount];
    // Guards queue, joining, joinStamp and closing; taken by the driver's
    // callback and by the main thread, never around a call into the driver.
    CRITICAL_SECTION lock;
    std::deque<Arrived> queue;
    std::vector<uint8_t> joining;  // a system-exclusive message still arriving
    uint32_t joinStamp;
    bool closing;
    HANDLE arrived;  // set when the queue grows
};

void Push(Monitor &monitor, Arrived &&item)
{
    monitor.queue.push_back(std::move(item));
    SetEvent(monitor.arrived);
}

// A filled buffer: system exclusive that does not end in it goes on in the
// next one, so the parts are joined into one message here.
void TakeLong(Monitor &monitor, UINT message, const MIDIHDR *header, uint32_t stamp)
{
    const uint8_t *data = reinterpret_cast<const uint8_t *>(header->lpData);
    DWORD length = header->dwBytesRecorded;
    if (message == MIM_LONGERROR) {
        Push(monitor, {Arrival::LongError, stamp, 0, std::vector<uint8_t>(data, data + length)});
        monitor.joining.clear();
        return;
    }
    if (monitor.joining.empty()) monitor.joinStamp = stamp;
    monitor.joining.insert(monitor.joining.end(), data, data + length);
    bool ended = data[length - 1] == 0xF7;
    if (!ended && monitor.joining.size() < JoinLimit) return;
    Push(monitor, {Arrival::Long, monitor.joinStamp, 0, std::move(monitor.joining)});
    monitor.joining.clear();
}

void CALLBACK OnInput(HANDLE, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
{
    Monitor &monitor = *reinterpret_cast<Monitor *>(instance);
    uint32_t stamp = static_cast<uint32_t>(param2);
    bool isLong = message == MIM_LONGDATA || message == MIM_LONGERROR;
    if (message != MIM_DATA && message != MIM_ERROR && !isLong) return;
    EnterCriticalSection(&monitor.lock);
    bool closing = monitor.closing;
    MIDIHDR *header = reinterpret_cast<MIDIHDR *>(param1);
    if (!isLong)
        Push(monitor, {message == MIM_DATA ? Arrival::Short : Arrival::Error, stamp,
                       static_cast<uint32_t>(param1), {}});
    else if (header->dwBytesRecorded)
        TakeLong(monitor, message, header, stamp);
    LeaveCriticalSection(&monitor.lock);
    // Buffers come back empty at a reset; those stay with the monitor.
    if (isLong && !closing) {
        header->dwBytesRecorded = 0;
        monitor.backend->AddBuffer(monitor.port, header);
    }
}

struct MonitorOptions {
    long long count = 0;       // 0: no limit
    long long timeoutMs = -1;  // -1: none
    bool json = false;
};

bool TakeMonitorOptions(Args &args, MonitorOptions &options)
{
    std::string value;
    bool bad = false;
    if (TakeOption(args, "--count", value, bad) &&
        !ParseNumberArg(value, 1, 1000000000, "--count", options.count))
        return false;
    long long seconds = 0;
    if (TakeOption(args, "--timeout", value, bad)) {
        if (!ParseNumberArg(value, 0, 86400 * 365, "--timeout", seconds)) return false;
        options.timeoutMs = seconds * 1000;
    }
    options.json = TakeFlag(args, "--json");
    return !bad;
}

bool OpenMonitor(Monitor &monitor, const PortEntry &entry)
{
    MMRESULT result = monitor.backend->OpenInput(entry.id, OnInput,
                                                 reinterpret_cast<DWORD_PTR>(&monitor), monitor.port);
    for (int i = 0; i < BufferCount && result == MMSYSERR_NOERROR; ++i) {
        monitor.memory[i].assign(BufferBytes, 0);
        MIDIHDR &header = monitor.headers[i];
        header = {};
        header.lpData = reinterpret_cast<LPSTR>(monitor.memory[i].data());
        header.dwBufferLength = BufferBytes;
        result = monitor.backend->AddBuffer(monitor.port, &header);
    }
    if (result == MMSYSERR_NOERROR) result = monitor.backend->Start(monitor.port);
    if (result == MMSYSERR_NOERROR) return true;
    Fail("cannot open input port '%s': %s", entry.name.c_str(), ResultText(result).c_str());
    if (monitor.port.handle) monitor.backend->Close(monitor.port);
    return false;
}

void CloseMonitor(Monitor &monitor)
{
    EnterCriticalSection(&monitor.lock);
    monitor.closing = true;
    LeaveCriticalSection(&monitor.lock);
    monitor.backend->Close(monitor.port);
}

// Prints what is queued; returns the number of MIDI messages among it
// (error reports are shown but not counted).
long long PrintQueued(Monitor &monitor, bool json, long long wanted)
{
    std::deque<Arrived> taken;
    EnterCriticalSection(&monitor.lock);
    taken.swap(monitor.queue);
    LeaveCriticalSection(&monitor.lock);
    long long messages = 0;
    for (const Arrived &item : taken) {
        if (wanted && messages >= wanted) break;
        Received received;
        received.kind = item.kind;
        received.stamp = item.stamp;
        received.packed = item.packed;
        received.data = item.bytes.data();
        received.length = item.bytes.size();
        std::string line = json ? MonitorJson(received) : MonitorText(received);
        fwrite(line.data(), 1, line.size(), stdout);
        fputc('\n', stdout);
        if (item.kind == Arrival::Short || item.kind == Arrival::Long) ++messages;
    }
    fflush(stdout);
    return messages;
}

int Watch(Monitor &monitor, const MonitorOptions &options)
{
    double start = NowMs();
    long long seen = 0;
    HANDLE events[2] = {monitor.arrived, StopEvent};
    for (;;) {
        seen += PrintQueued(monitor, options.json, options.count ? options.count - seen : 0);
        if (options.count && seen >= options.count) return ExitOk;
        double left = options.timeoutMs < 0 ? INFINITE : start + options.timeoutMs - NowMs();
        if (left <= 0) {
            Fail("monitor: %lld message%s before the time-out", seen, seen == 1 ? "" : "s");
            return ExitFailed;
        }
        DWORD wait = options.timeoutMs < 0 ? INFINITE : static_cast<DWORD>(left) + 1;
        DWORD which = WaitForMultipleObjects(2, events, FALSE, wait);
        if (which == WAIT_OBJECT_0 + 1) {
            seen += PrintQueued(monitor, options.json, options.count ? options.count - seen : 0);
            return options.count && seen < options.count ? ExitFailed : ExitOk;
        }
    }
}

}  // namespace

int MonitorCommand(Args &args)
{
    MonitorOptions options;
    std::string wanted;
    int code = ExitUsage;
    if (!TakeMonitorOptions(args, options)) return ExitUsage;
    const Backend *backend = ConnectForPort(args, "monitor", wanted, code);
    if (!backend) return code;
    if (!args.words.empty()) {
        Fail("monitor: unexpected '%s' (see tessmar monitor --help)", args.words[0].c_str());
        DisconnectDriver(backend);
        return ExitUsage;
    }
    PortEntry entry;
    if (!FindPort(backend, true, wanted, entry)) {
        DisconnectDriver(backend);
        return ExitUsage;
    }
    Monitor *monitor = new Monitor();
    monitor->backend = backend;
    InitializeCriticalSection(&monitor->lock);
    monitor->arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    code = ExitDriver;
    if (OpenMonitor(*monitor, entry)) {
        fprintf(stderr, "monitoring '%s'%s\n", entry.name.c_str(),
                options.count ? "" : " (Ctrl+C ends)");
        code = Watch(*monitor, options);
        CloseMonitor(*monitor);
    }
    DisconnectDriver(backend);
    CloseHandle(monitor->arrived);
    DeleteCriticalSection(&monitor->lock);
    delete monitor;
    return code;
}
