// One simulated machine of the two-machine demonstration (tools/demo.sh).
//
//   demo_peer send <own-address>      configures this machine's registry with
//                                     an output port, loads Tessmar.dll as
//                                     winmm does and plays a short phrase and
//                                     system-exclusive messages into it.
//   demo_peer receive <own-address>   configures three input ports (one that
//                                     shares the sender's show and a group,
//                                     one of the same show but other groups,
//                                     one of another show), prints what each
//                                     receives with its time stamp, and exits
//                                     0 only if exactly the expected MIDI
//                                     arrived on the first port and nothing
//                                     on the others.
//
// The own address goes into the configuration as the preferred address, so
// UDP output is broadcast on the subnet of that address. With --tcp PEER
// (sender) or --tcp (receiver) the machines use the TCP transport instead:
// the sender connects to PEER, and the receiver opens only its first port,
// since a process has one TCP connection. Runs only inside a private
// network namespace (TESSMAR_IN_NETNS=1).
#include "config/config.h"
#include "program_common.h"
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

namespace {

// --- What the sender plays and the receiver expects --------------------------

struct TimedMessage {
    DWORD packed;    // MODM_DATA message
    DWORD delayMs;   // pause before it
};

constexpr DWORD NoteOn(BYTE key) { return 0x90u | (key << 8) | (0x50u << 16); }
constexpr DWORD NoteOff(BYTE key) { return 0x80u | (key << 8) | (0x40u << 16); }

// The opening of a well-known melody, with a program change, the sustain
// pedal and a pitch bend around the last note.
const TimedMessage Phrase[] = {
    {0x0000C0, 0},      {0x7F40B0, 0},
    {NoteOn(64), 0},    {NoteOff(64), 160}, {NoteOn(64), 20},  {NoteOff(64), 160},
    {NoteOn(65), 20},   {NoteOff(65), 160}, {NoteOn(67), 20},  {NoteOff(67), 160},
    {NoteOn(67), 20},   {NoteOff(67), 160}, {NoteOn(65), 20},  {NoteOff(65), 160},
    {NoteOn(64), 20},   {NoteOff(64), 160}, {NoteOn(62), 20},  {NoteOff(62), 160},
    {NoteOn(60), 20},   {0x5000E0, 80},     {0x4000E0, 80},    {NoteOff(60), 160},
    {0x0040B0, 20},
};
const int PhraseLength = sizeof Phrase / sizeof Phrase[0];

// The packed form the receiver sees: MODM_DATA messages carry three bytes
// for status 0x8n..0xBn and 0xEn, two for 0xCn..0xDn.
DWORD Received(DWORD packed)
{
    BYTE status = packed & 0xFF;
    if (status >= 0xC0 && status < 0xE0) return packed & 0xFFFF;
    return packed & 0xFFFFFF;
}

// A universal reset, a 1000-byte dump (three packets on the wire) and a
// 16 KiB dump (43 packets).
const DWORD SysexLengths[] = {6, 1024, 65536};
const DWORD SysexCount = sizeof SysexLengths / sizeof SysexLengths[0];
constexpr DWORD SysexMax = 65536;

void FillSysex(BYTE *data, DWORD length, DWORD which)
{
    data[0] = 0xF0;
    for (DWORD i = 1; i + 1 < length; ++i) data[i] = static_cast<BYTE>((i * 3 + which) & 0x7F);
    if (which == 0 && length == 6) {
        const BYTE reset[6] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
        memcpy(data, reset, 6);
    }
    data[length - 1] = 0xF7;
}

// --- Registry -----------------------------------------------------------------

struct PortConfig {
    bool input;
    DWORD show;       // index into the show list
    DWORD groups;
    const WCHAR *name;
};

const WCHAR *const Shows[] = {L"Opera", L"Ballet"};
// Port names are device names: at most 31 characters.

// Saves the ports, the shows and UDP with the own address as the preferred
// address through the configuration store, as the Configurator would. The
// driver loaded afterwards reads them back.
// TCP instead of UDP: the sender's peer, or the receiver's own address.
bool tcp;
constexpr DWORD TcpSettleMs = 500;
constexpr DWORD TcpGapMs = 20;

void WriteConfiguration(const PortConfig *ports, int count, const WCHAR *address)
{
    for (int i = 0; i < count; ++i) {
        Unit &unit = pUnits[i];
        unit.InUse = 1;
        unit.Direction = ports[i].input ? DirectionInput : DirectionOutput;
        unit.CommUnit = static_cast<BYTE>(ports[i].show);
        unit.Groups = ports[i].groups;
        unit.Description = const_cast<WCHAR *>(ports[i].name);  // the save only reads it
    }
    CommCount = 0;
    for (const WCHAR *show : Shows) {
        lstrcpynW(CommList[CommCount], show, ShowNameLength);
        CommOrder[CommCount] = static_cast<SHORT>(CommCount);
        ++CommCount;
    }
    TCPClientServer = tcp ? 1 : 0;
    CopyAddressText(TCPAddress, address, TcpAddressSize - 1);
    SetPortInfo();
}

// --- The driver, loaded and called as winmm does ----------------------------------

typedef LRESULT(CALLBACK *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
typedef DWORD(APIENTRY *MessageFn)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct Driver {
    HMODULE module = nullptr;
    DriverProcFn driverProc = nullptr;
    MessageFn modMessage = nullptr;
    MessageFn midMessage = nullptr;

    bool Load()
    {
        module = LoadLibraryW(L"Tessmar.dll");
        if (!module) return false;
        driverProc = reinterpret_cast<DriverProcFn>(
            reinterpret_cast<void *>(GetProcAddress(module, "DriverProc")));
        modMessage = reinterpret_cast<MessageFn>(
            reinterpret_cast<void *>(GetProcAddress(module, "modMessage")));
        midMessage = reinterpret_cast<MessageFn>(
            reinterpret_cast<void *>(GetProcAddress(module, "midMessage")));
        if (!driverProc || !modMessage || !midMessage) return false;
        if (Send(DRV_LOAD) == 0) return false;
        Send(DRV_ENABLE);
        return Send(DRV_OPEN) != 0;
    }
    void Free()
    {
        Send(DRV_CLOSE);
        Send(DRV_DISABLE);
        Send(DRV_FREE);
        FreeLibrary(module);
    }
    LRESULT Send(UINT message) { return driverProc(1, reinterpret_cast<HDRVR>(module), message, 0, 0); }
};

double NowMs()
{
    static LARGE_INTEGER frequency, start;
    if (!frequency.QuadPart) {
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (now.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart;
}

void Describe(char *text, size_t size, DWORD packed)
{
    static const char *const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    BYTE status = packed & 0xFF, d1 = (packed >> 8) & 0xFF, d2 = (packed >> 16) & 0xFF;
    int channel = (status & 0x0F) + 1;
    switch (status & 0xF0) {
    case 0x90:
        snprintf(text, size, "note on   ch%d %s%d vel %d", channel, names[d1 % 12], d1 / 12 - 1, d2);
        break;
    case 0x80:
        snprintf(text, size, "note off  ch%d %s%d", channel, names[d1 % 12], d1 / 12 - 1);
        break;
    case 0xB0:
        snprintf(text, size, "control   ch%d #%d = %d", channel, d1, d2);
        break;
    case 0xC0:
        snprintf(text, size, "program   ch%d %d", channel, d1);
        break;
    case 0xE0:
        snprintf(text, size, "pitch bend ch%d %d", channel, (d1 | (d2 << 7)) - 8192);
        break;
    default:
        snprintf(text, size, "message   %06lx", static_cast<unsigned long>(packed));
        break;
    }
}

// --- Sender -------------------------------------------------------------------------

int Send(const WCHAR *address)
{
    const PortConfig ports[] = {{false, 0, 0x3, L"Stage out (Opera 1+2)"}};
    WriteConfiguration(ports, 1, address);
    Driver driver;
    if (!driver.Load()) {
        fprintf(stderr, "send: the driver did not load\n");
        return 2;
    }
    MIDIOPENDESC desc = {};
    DWORD_PTR port = 0;
    DWORD result = driver.modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&port),
                                     reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL);
    if (result != MMSYSERR_NOERROR) {
        fprintf(stderr, "send: MODM_OPEN failed with %lu\n", static_cast<unsigned long>(result));
        return 2;
    }
    printf("machine A: playing into 'Stage out' (show Opera, groups 1+2)%s\n",
           tcp ? " over TCP" : "");
    // TCP carries packets back to back with nothing that marks where one
    // ends, and the receiver takes each receive as one packet: messages
    // sent faster than the receiver takes them would merge. Over TCP the
    // phrase waits for the receiver's first receive and spaces its messages.
    const DWORD gapMs = tcp ? TcpGapMs : 0;
    if (tcp) Sleep(TcpSettleMs);
    NowMs();
    int failures = 0;
    for (int i = 0; i < PhraseLength; ++i) {
        DWORD delay = Phrase[i].delayMs > gapMs ? Phrase[i].delayMs : gapMs;
        if (delay) Sleep(delay);
        char text[64];
        Describe(text, sizeof text, Phrase[i].packed);
        if (driver.modMessage(0, MODM_DATA, port, Phrase[i].packed, 0) != MMSYSERR_NOERROR) ++failures;
        printf("  %7.1f ms  sent      %s\n", NowMs(), text);
    }
    for (DWORD which = 0; which < SysexCount; ++which) {
        Sleep(200);
        static BYTE data[SysexMax];
        DWORD length = SysexLengths[which];
        FillSysex(data, length, which);
        MIDIHDR header = {};
        header.lpData = reinterpret_cast<LPSTR>(data);
        header.dwBufferLength = length;
        header.dwFlags = MHDR_PREPARED;
        if (driver.modMessage(0, MODM_LONGDATA, port, reinterpret_cast<DWORD_PTR>(&header),
                              sizeof header) != MMSYSERR_NOERROR)
            ++failures;
        printf("  %7.1f ms  sent      system exclusive, %lu bytes\n", NowMs(),
               static_cast<unsigned long>(length));
    }
    driver.modMessage(0, MODM_CLOSE, port, 0, 0);
    driver.Free();
    fflush(stdout);
    return failures ? 1 : 0;
}

// --- Receiver ---------------------------------------------------------------------

constexpr int InputCount = 3;
constexpr int MaxEvents = 256;

struct Event {
    int port;
    DWORD message;
    DWORD param1;
    DWORD stamp;
    double wallMs;
    DWORD bytes;
    bool sysexMatches;
};

CRITICAL_SECTION eventLock;
Event events[MaxEvents];
volatile LONG eventCount;
DWORD_PTR openPorts[InputCount];
MessageFn inputMessage;

struct InputPort {
    int index;
    MIDIHDR headers[4];
    BYTE memory[4][SysexMax];
};
InputPort inputs[InputCount];

bool SysexMatches(const MIDIHDR *header)
{
    static BYTE expected[SysexMax];  // callers hold eventLock
    for (DWORD which = 0; which < SysexCount; ++which) {
        if (header->dwBytesRecorded != SysexLengths[which]) continue;
        FillSysex(expected, SysexLengths[which], which);
        return memcmp(expected, header->lpData, header->dwBytesRecorded) == 0;
    }
    return false;
}

void CALLBACK InputCallback(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    InputPort *input = reinterpret_cast<InputPort *>(instance);
    if (message != MIM_DATA && message != MIM_LONGDATA && message != MIM_ERROR &&
        message != MIM_LONGERROR)
        return;
    MIDIHDR *header = reinterpret_cast<MIDIHDR *>(p1);
    bool isLong = message == MIM_LONGDATA || message == MIM_LONGERROR;
    // A returned buffer with nothing in it (at reset) is not traffic.
    if (isLong && header->dwBytesRecorded == 0) return;
    EnterCriticalSection(&eventLock);
    if (eventCount < MaxEvents) {
        Event &event = events[eventCount];
        event.port = input->index;
        event.message = message;
        event.param1 = isLong ? 0 : static_cast<DWORD>(p1);
        event.stamp = static_cast<DWORD>(p2);
        event.wallMs = NowMs();
        event.bytes = isLong ? header->dwBytesRecorded : 0;
        event.sysexMatches = isLong && SysexMatches(header);
        InterlockedIncrement(&eventCount);
    }
    LeaveCriticalSection(&eventLock);
    if (isLong) {
        // Queue the buffer again, from the callback, as many programs do.
        header->dwBytesRecorded = 0;
        inputMessage(input->index, MIDM_ADDBUFFER, openPorts[input->index], p1, sizeof(MIDIHDR));
    }
}

void PrintEvent(const Event &event, const WCHAR *const *names)
{
    char text[80];
    if (event.message == MIM_DATA) Describe(text, sizeof text, event.param1);
    else if (event.message == MIM_LONGDATA)
        snprintf(text, sizeof text, "system exclusive, %lu bytes%s",
                 static_cast<unsigned long>(event.bytes), event.sysexMatches ? ", intact" : ", DAMAGED");
    else snprintf(text, sizeof text, "error report %04lx", static_cast<unsigned long>(event.message));
    printf("  %7lu ms  port %d %-26ls %s\n", static_cast<unsigned long>(event.stamp), event.port,
           names[event.port], text);
    fflush(stdout);
}

int Receive(const WCHAR *ownAddress, DWORD timeoutMs)
{
    const PortConfig ports[] = {{true, 0, 0x6, L"Monitor (Opera 2+3)"},
                                {true, 0, 0x8, L"Lights (Opera 4)"},
                                {true, 1, 0x3, L"Ballet desk (Ballet 1+2)"}};
    const WCHAR *names[InputCount] = {ports[0].name, ports[1].name, ports[2].name};
    WriteConfiguration(ports, InputCount, ownAddress);
    InitializeCriticalSection(&eventLock);
    Driver driver;
    if (!driver.Load()) {
        fprintf(stderr, "receive: the driver did not load\n");
        return 2;
    }
    inputMessage = driver.midMessage;
    const int opened = tcp ? 1 : InputCount;
    DWORD devices = driver.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0);
    if (devices != InputCount) {
        fprintf(stderr, "receive: %lu input devices, expected %d\n",
                static_cast<unsigned long>(devices), InputCount);
        return 2;
    }
    for (int i = 0; i < opened; ++i) {
        InputPort &input = inputs[i];
        input.index = i;
        MIDIOPENDESC desc = {};
        desc.dwCallback = reinterpret_cast<DWORD_PTR>(&InputCallback);
        desc.dwInstance = reinterpret_cast<DWORD_PTR>(&input);
        DWORD result = driver.midMessage(i, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&openPorts[i]),
                                         reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION);
        if (result != MMSYSERR_NOERROR) {
            fprintf(stderr, "receive: MIDM_OPEN %d failed with %lu\n", i,
                    static_cast<unsigned long>(result));
            return 2;
        }
        for (int b = 0; b < 4; ++b) {
            MIDIHDR &header = input.headers[b];
            header.lpData = reinterpret_cast<LPSTR>(input.memory[b]);
            header.dwBufferLength = sizeof input.memory[b];
            header.dwFlags = MHDR_PREPARED;
            driver.midMessage(i, MIDM_ADDBUFFER, openPorts[i], reinterpret_cast<DWORD_PTR>(&header),
                              sizeof header);
        }
        driver.midMessage(i, MIDM_START, openPorts[i], 0, 0);
    }
    NowMs();
    printf("machine B: listening on %d input port%s%s\n", opened, opened > 1 ? "s" : "",
           tcp ? " for one TCP connection" : "");
    printf("READY\n");
    fflush(stdout);

    // Print as events come; end when everything expected has arrived and
    // nothing more has come for a second and a half, or at the time-out.
    const int expected = PhraseLength + SysexCount;
    LONG printed = 0, seen = 0;
    DWORD start = GetTickCount(), lastChange = start;
    for (;;) {
        Sleep(50);
        LONG count = eventCount;
        for (; printed < count; ++printed) PrintEvent(events[printed], names);
        DWORD now = GetTickCount();
        if (count != seen) {
            seen = count;
            lastChange = now;
        }
        if (count >= expected && now - lastChange > 1500) break;
        if (now - start > timeoutMs) break;
    }
    for (int i = 0; i < opened; ++i) {
        driver.midMessage(i, MIDM_RESET, openPorts[i], 0, 0);
        driver.midMessage(i, MIDM_CLOSE, openPorts[i], 0, 0);
    }
    driver.Free();

    // The verdict: the phrase, then the system-exclusive messages, on port 0 only.
    LONG count = eventCount;
    int perPort[InputCount] = {};
    int phraseAt = 0, sysexAt = 0;
    bool ordered = true;
    for (LONG i = 0; i < count; ++i) {
        const Event &event = events[i];
        ++perPort[event.port];
        if (event.port != 0) continue;
        if (event.message == MIM_DATA && phraseAt < PhraseLength &&
            event.param1 == Received(Phrase[phraseAt].packed) && sysexAt == 0)
            ++phraseAt;
        else if (event.message == MIM_LONGDATA && event.sysexMatches && phraseAt == PhraseLength &&
                 sysexAt < (int)SysexCount && event.bytes == SysexLengths[sysexAt])
            ++sysexAt;
        else
            ordered = false;
    }
    printf("machine B: port 0 received %d of %d messages%s; port 1 received %d; port 2 received %d\n",
           perPort[0], expected, ordered ? ", all in order and intact" : ", NOT as sent",
           perPort[1], perPort[2]);
    bool ok = ordered && phraseAt == PhraseLength && sysexAt == (int)SysexCount && perPort[1] == 0 &&
              perPort[2] == 0;
    printf("%s\n", ok ? "RESULT: OK" : "RESULT: FAILED");
    fflush(stdout);
    return ok ? 0 : 1;
}

}  // namespace

int main()
{
    int argc = 0;
    WCHAR **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "demo_peer: refusing to run outside a private network namespace\n");
        return 2;
    }
    if (argc >= 3 && lstrcmpW(argv[1], L"send") == 0) {
        tcp = argc >= 5 && lstrcmpW(argv[3], L"--tcp") == 0;
        return Send(tcp ? argv[4] : argv[2]);
    }
    if (argc >= 3 && lstrcmpW(argv[1], L"receive") == 0) {
        tcp = argc >= 5 && lstrcmpW(argv[4], L"--tcp") == 0;
        return Receive(argv[2], argc >= 4 ? static_cast<DWORD>(_wtoi(argv[3])) : 30000);
    }
    fprintf(stderr, "usage: demo_peer send <own-address> [--tcp <peer>]\n"
                    "       demo_peer receive <own-address> [timeout-ms [--tcp]]\n");
    return 2;
}
