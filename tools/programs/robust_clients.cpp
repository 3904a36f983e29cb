// Careless clients against the driver: the driver's own code, linked
// statically and reached through modMessage and midMessage as winmm would,
// with real callbacks; MIDI goes from the driver's output ports to its input
// ports in this process over UDP broadcast on port 12555. Run by
// tools/robust-clients.sh inside a private network namespace; refuses to run
// outside one.
//
//   robust_clients.exe [--rounds N] [--seed S] [--slow MS]
//
// Five rounds (the default, and the test run's) take about a minute; --slow
// prints every call slower than MS milliseconds.
//
// Every round runs each case once (case "reentry" once per action and
// trigger); sixteen churn threads and a device-query thread run for the
// whole run beside them:
//   reentry        input callbacks (MIM_DATA, or MIM_LONGDATA) that add a
//                  buffer, stop, reset, close (refused: MIDIERR_STILLPLAYING),
//                  stop and start, reset and add, send MODM_DATA or
//                  MODM_LONGDATA on an output port; a MIM_OPEN callback that
//                  adds a buffer and starts; every MIM_LONGDATA re-adds its
//                  buffer. Then the port must still deliver, reset and close.
//   done-resend    MOM_DONE callbacks that send the buffer again (4 deep) and
//                  a short message: five MOM_DONE per round.
//   bad-headers    unprepared, added twice (flag set, then cleared), length
//                  0, null data, cbMidiHdr too small (header at the end of a
//                  readable page), buffers of 1, 2 and 3 bytes (data at the
//                  end of a readable page), headers freed (made unreadable)
//                  right after MIDM_RESET returned them, then more traffic.
//   close-queued   MIDM_CLOSE with buffers queued and no reset, started or
//                  not: MIDIERR_STILLPLAYING, buffers still queued and used;
//                  then reset returns them all and the close succeeds.
//   close-racing   MODM_CLOSE while another thread sends on the port (the
//                  sender stops when its "winmm handle" is gone, as winmm
//                  would refuse it); the driver heap must stay valid.
//   churn          16 threads opening, sending and closing output and input
//                  ports in random order (MMSYSERR_ALLOCATED when taken).
//   device-queries MODM/MIDM_GETNUMDEVS and GETDEVCAPS, without pause.
//
// Every call is timed: one that takes longer than 2 s is a hang; one still
// running after 30 s stops the run (a deadlock). A crash is reported by the
// exception filter. Exit 0 only when every call answered as expected, none
// hung, the run completed and handles, the driver heap and Winsock
// references are back where they started (private bytes within 4 MiB).
#include "driver/driver.h"
#include "diag/log.h"
#include "net/net.h"
#include "process_figures.h"
#include "program_common.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

constexpr DWORD Show = 0x352441C2;
constexpr LONGLONG HangMs = 2000;
constexpr LONGLONG DeadlockMs = 30000;
constexpr DWORD WaitMs = 3000;          // for a callback that must come
constexpr int ChurnThreads = 16;
constexpr int ChurnUnits = 8;
constexpr SIZE_T PrivateSlack = 4 << 20;
constexpr DWORD HandleSlack = 2;
constexpr int ResultKinds = 72;         // MMRESULT values 0..70, then "other"
constexpr int MaxReports = 20;          // lines of detail about wrong answers
constexpr DWORD PageSize = 4096;

// Slots of the port table; device identifiers are dense per direction.
enum : UINT {
    OutTraffic = 0, OutEcho = 1, OutResend = 2, OutRacing = 3, OutChurn = 4,  // output ids
    InCase = 0, InEcho = 1, InChurn = 2,                                      // input ids
};
enum : DWORD { GroupCase = 1, GroupEcho = 2, GroupChurn = 4, GroupNobody = 8 };

constexpr DWORD TriggerNote = 0x7F7F90, EndNote = 0x7F7E90, PlainNote = 0x401090;

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

LONGLONG Ms(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return ticks * 1000 / frequency.QuadPart;
}

// --- Figures of one case ------------------------------------------------------------

struct Figures {
    const char *name;
    volatile LONG calls = 0, delivered = 0, done = 0, hangs = 0, wrong = 0;
    volatile LONG slowest = 0;  // ms of its slowest call
    volatile LONG results[ResultKinds] = {};
};

Figures reentry = {"reentry"}, doneResend = {"done-resend"}, badHeaders = {"bad-headers"},
        closeQueued = {"close-queued"}, closeRacing = {"close-racing"}, churn = {"churn"},
        queries = {"device-queries"}, setup = {"setup"};
Figures *const allFigures[] = {&reentry, &doneResend, &badHeaders, &closeQueued,
                               &closeRacing, &churn, &queries, &setup};
volatile LONG reports;
LONGLONG slowReport;  // --slow MS: print every call slower than this

const char *ResultName(int result)
{
    static const char *const names[] = {"NOERROR", "ERROR", "BADDEVICEID", "NOTENABLED",
                                        "ALLOCATED", "INVALHANDLE", "NODRIVER", "NOMEM",
                                        "NOTSUPPORTED", "BADERRNUM", "INVALFLAG", "INVALPARAM"};
    if (result >= 0 && result < 12) return names[result];
    if (result == MIDIERR_UNPREPARED) return "UNPREPARED";
    if (result == MIDIERR_STILLPLAYING) return "STILLPLAYING";
    return "other";
}

// A call that did not answer as this client's rules say.
void Expect(Figures &f, bool holds, const char *what, DWORD result = 0)
{
    if (holds) return;
    InterlockedIncrement(&f.wrong);
    if (InterlockedIncrement(&reports) <= MaxReports)
        printf("wrong: %s: %s (result %lu)\n", f.name, what, static_cast<unsigned long>(result));
}

DWORD ExpectResult(Figures &f, DWORD result, DWORD expected, const char *what)
{
    Expect(f, result == expected, what, result);
    return result;
}

// --- Timed calls and the watchdog -----------------------------------------------------

// What one thread is inside of: its outermost driver call. A slot is held
// for the length of that call only, so the many port threads that come and
// go reuse a few slots.
struct CallSlot {
    volatile LONG owner;      // thread id, 0 when free
    volatile LONGLONG since;  // start of the outermost call
    const char *what;
    Figures *figures;
    int depth;
};
constexpr int CallSlots = 256;
CallSlot callSlots[CallSlots];
DWORD slotIndex = TLS_OUT_OF_INDEXES;  // the slot of this thread while in a call

CallSlot *EnterCall(Figures &f, const char *what, LONGLONG start)
{
    CallSlot *slot = static_cast<CallSlot *>(TlsGetValue(slotIndex));
    if (slot) {
        ++slot->depth;
        return slot;
    }
    LONG self = LONG(GetCurrentThreadId());
    for (int i = 0;; i = (i + 1) % CallSlots) {
        if (InterlockedCompareExchange(&callSlots[i].owner, self, 0) != 0) continue;
        slot = &callSlots[i];
        slot->depth = 1;
        slot->what = what;
        slot->figures = &f;
        slot->since = start;
        TlsSetValue(slotIndex, slot);
        return slot;
    }
}

void LeaveCall(CallSlot *slot)
{
    if (--slot->depth) return;
    slot->since = 0;
    TlsSetValue(slotIndex, nullptr);
    InterlockedExchange(&slot->owner, 0);
}

template <typename Call> DWORD Timed(Figures &f, const char *what, Call call, bool isCount = false)
{
    LONGLONG start = Now();
    CallSlot *slot = EnterCall(f, what, start);
    DWORD result = call();
    LONGLONG took = Ms(Now() - start);
    LeaveCall(slot);
    InterlockedIncrement(&f.calls);
    int kind = isCount ? 0 : (result < DWORD(ResultKinds - 1) ? int(result) : ResultKinds - 1);
    InterlockedIncrement(&f.results[kind]);
    for (LONG seen = f.slowest; took > seen; seen = f.slowest)
        if (InterlockedCompareExchange(&f.slowest, LONG(took), seen) == seen) break;
    if (slowReport && took > slowReport) printf("slow: %s: %s took %lld ms\n", f.name, what, took);
    if (took > HangMs) {
        InterlockedIncrement(&f.hangs);
        printf("hang: %s: %s took %lld ms\n", f.name, what, took);
    }
    return result;
}

const char *MessageName(UINT message)
{
    switch (message) {
    case MODM_GETNUMDEVS: case MIDM_GETNUMDEVS: return "GETNUMDEVS";
    case MODM_GETDEVCAPS: case MIDM_GETDEVCAPS: return "GETDEVCAPS";
    case MODM_OPEN: return "MODM_OPEN";
    case MODM_CLOSE: return "MODM_CLOSE";
    case MODM_DATA: return "MODM_DATA";
    case MODM_LONGDATA: return "MODM_LONGDATA";
    case MODM_RESET: return "MODM_RESET";
    case MIDM_OPEN: return "MIDM_OPEN";
    case MIDM_CLOSE: return "MIDM_CLOSE";
    case MIDM_ADDBUFFER: return "MIDM_ADDBUFFER";
    case MIDM_START: return "MIDM_START";
    case MIDM_STOP: return "MIDM_STOP";
    case MIDM_RESET: return "MIDM_RESET";
    default: return "message";
    }
}

void PrintFigures();

// Stops the run when a call has not come back for DeadlockMs, naming every
// call that has been running for more than HangMs by then.
DWORD WINAPI Watchdog(void *)
{
    for (;;) {
        Sleep(250);
        LONGLONG now = Now();
        bool stuck = false;
        for (CallSlot &slot : callSlots) {
            LONGLONG since = slot.since;
            stuck |= slot.owner && since && Ms(now - since) >= DeadlockMs;
        }
        if (!stuck) continue;
        for (CallSlot &slot : callSlots) {
            LONGLONG since = slot.since;
            if (!slot.owner || !since || Ms(now - since) < HangMs) continue;
            printf("deadlock: %s: %s on thread %lu has not returned for %lld ms\n",
                   slot.figures->name, slot.what, static_cast<unsigned long>(slot.owner),
                   Ms(now - since));
            InterlockedIncrement(&slot.figures->hangs);
        }
        PrintFigures();
        printf("verdict: FAIL (deadlock)\n");
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 4);
    }
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS *pointers)
{
    const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
    CallSlot *slot = static_cast<CallSlot *>(TlsGetValue(slotIndex));
    printf("crash: exception %08lx at %p (address %p) on thread %lu, in %s %s\n",
           static_cast<unsigned long>(record->ExceptionCode), record->ExceptionAddress,
           record->NumberParameters > 1 ? reinterpret_cast<void *>(record->ExceptionInformation[1])
                                        : nullptr,
           static_cast<unsigned long>(GetCurrentThreadId()),
           slot && slot->since ? slot->figures->name : "-", slot && slot->since ? slot->what : "");
    printf("verdict: FAIL (crash)\n");
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

// --- Clients ------------------------------------------------------------------------------

enum Action {
    ActAdd, ActStop, ActReset, ActClose, ActSendShort, ActSendLong, ActStopStart, ActResetAdd,
    ActOpenStart, ActionCount
};
const char *const ActionNames[] = {"add", "stop", "reset", "close", "send-short", "send-long",
                                   "stop-start", "reset-add", "open-start"};

// A client buffer and its prepared header.
struct Buffer {
    std::vector<char> memory;
    MIDIHDR header;
    explicit Buffer(DWORD size = 64) : memory(size), header()
    {
        header.lpData = memory.data();
        header.dwBufferLength = size;
        header.dwFlags = MHDR_PREPARED;
    }
};

// One port as a client holds it. The callback finds it through its instance.
struct Client {
    Figures *figures;
    bool input;
    UINT device;
    DWORD_PTR instance = 0;
    bool isOpen = false;
    // Behaviour of the callback.
    int action = -1;           // reentry: what the trigger does
    int trigger = 0;           // 0: TriggerNote (MIM_DATA), 1: first filled MIM_LONGDATA
    bool readd = true;         // MIM_LONGDATA/MIM_LONGERROR with bytes: add it again
    bool countsForCase = false;  // deliveries count for echoFigures (the echo listener)
    volatile bool closing = false;
    int resendDepth = 0;       // done-resend: MOM_DONE sends again this many times
    volatile LONG acted = 0, stopped = 0, endSeen = 0, opens = 0, closes = 0;
    volatile LONG filled = 0, returned = 0, dones = 0;
    Buffer a, b, spare;
    Client(Figures *f, bool in, UINT id) : figures(f), input(in), device(id) {}
};

Client *echoOut;                 // where reentry's callbacks send
Figures *volatile echoFigures = &setup;  // who the echo listener counts for
std::vector<char> echoSysex;     // what they send long

DWORD Message(Client &c, UINT message, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0)
{
    return Timed(*c.figures, MessageName(message), [&] {
        return (c.input ? midMessage : modMessage)(c.device, message, c.instance, p1, p2);
    });
}

DWORD Add(Client &c, MIDIHDR &header, DWORD size = sizeof(MIDIHDR))
{
    return Message(c, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&header), size);
}

DWORD SendLong(Client &c, MIDIHDR &header, DWORD size = sizeof(MIDIHDR))
{
    return Message(c, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header), size);
}

void CALLBACK OnMessage(HDRVR, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);

DWORD Open(Client &c)
{
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(&c);
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&OnMessage);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(&c);
    UINT message = c.input ? MIDM_OPEN : MODM_OPEN;
    DWORD result = Timed(*c.figures, MessageName(message), [&] {
        return (c.input ? midMessage : modMessage)(c.device, message,
                                                   reinterpret_cast<DWORD_PTR>(&c.instance),
                                                   reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION);
    });
    c.isOpen = result == MMSYSERR_NOERROR;
    return result;
}

DWORD CloseClient(Client &c)
{
    c.closing = true;
    DWORD result = Message(c, c.input ? MIDM_CLOSE : MODM_CLOSE);
    if (result == MMSYSERR_NOERROR) c.isOpen = false;
    return result;
}

// The careful end of an input port: reset (no buffer is added again), close.
void ResetAndClose(Client &c)
{
    c.closing = true;
    Expect(*c.figures, Message(c, MIDM_RESET) == 0, "reset before close");
    DWORD result = CloseClient(c);
    Expect(*c.figures, result == 0, "close after reset", result);
    for (Buffer *buffer : {&c.a, &c.b, &c.spare})
        Expect(*c.figures, !(buffer->header.dwFlags & MHDR_INQUEUE), "buffer queued after close");
}

bool WaitFor(volatile LONG &flag, DWORD ms = WaitMs)
{
    for (DWORD waited = 0; !flag && waited < ms; waited += 2) Sleep(2);
    return flag != 0;
}

// The reentry case's action, on the port's thread inside a callback.
void Act(Client &c)
{
    Figures &f = *c.figures;
    DWORD r = 0;
    switch (c.action) {
    case ActAdd:
        ExpectResult(f, Add(c, c.spare.header), 0, "add from a callback");
        break;
    case ActStop:
        ExpectResult(f, Message(c, MIDM_STOP), 0, "stop from a callback");
        c.stopped = 1;
        break;
    case ActReset:
        ExpectResult(f, Message(c, MIDM_RESET), 0, "reset from a callback");
        c.stopped = 1;
        break;
    case ActClose:
        r = Message(c, MIDM_CLOSE);
        Expect(f, r == MIDIERR_STILLPLAYING, "close from a callback is refused", r);
        if (r == 0) c.isOpen = false;
        break;
    case ActSendShort:
        ExpectResult(f, Message(*echoOut, MODM_DATA, 0x403C91), 0, "short send from a callback");
        break;
    case ActSendLong: {
        Buffer out(0);
        out.header.lpData = echoSysex.data();
        out.header.dwBufferLength = DWORD(echoSysex.size());
        ExpectResult(f, SendLong(*echoOut, out.header), 0, "long send from a callback");
        break;
    }
    case ActStopStart:
        ExpectResult(f, Message(c, MIDM_STOP), 0, "stop from a callback");
        ExpectResult(f, Message(c, MIDM_START), 0, "start again from a callback");
        break;
    case ActResetAdd:
        ExpectResult(f, Message(c, MIDM_RESET), 0, "reset from a callback");
        ExpectResult(f, Add(c, c.a.header), 0, "add after a reset from a callback");
        c.stopped = 1;
        break;
    default:
        break;
    }
    c.acted = 1;
}

void OnInput(Client &c, UINT message, DWORD_PTR p1)
{
    Figures &f = c.countsForCase ? *echoFigures : *c.figures;
    switch (message) {
    case MIM_OPEN:
        ++c.opens;
        if (c.action == ActOpenStart) {
            DWORD r = Add(c, c.a.header);
            Expect(f, r == 0, "add from the open callback", r);
            ExpectResult(f, Message(c, MIDM_START), 0, "start from the open callback");
            c.acted = 1;
        }
        return;
    case MIM_CLOSE:
        ++c.closes;
        return;
    case MIM_DATA:
    case MIM_ERROR:
        InterlockedIncrement(&f.delivered);
        if (p1 == EndNote) c.endSeen = 1;
        if (c.action >= 0 && c.trigger == 0 && p1 == TriggerNote && !c.acted) Act(c);
        return;
    case MIM_LONGDATA:
    case MIM_LONGERROR: {
        MIDIHDR *header = reinterpret_cast<MIDIHDR *>(p1);
        Expect(f, (header->dwFlags & (MHDR_DONE | MHDR_INQUEUE)) == MHDR_DONE,
               "a returned buffer is done and not queued", header->dwFlags);
        if (header->dwBytesRecorded == 0) {
            InterlockedIncrement(&c.returned);
            return;
        }
        InterlockedIncrement(&f.delivered);
        InterlockedIncrement(&c.filled);
        if (c.readd && !c.closing) {
            DWORD r = Add(c, *header);
            Expect(f, r == 0, "re-add from MIM_LONGDATA", r);
        }
        if (c.action >= 0 && c.trigger == 1 && !c.acted) Act(c);
        return;
    }
    default:
        return;
    }
}

void OnOutput(Client &c, UINT message, DWORD_PTR p1)
{
    if (message == MOM_OPEN) ++c.opens;
    if (message == MOM_CLOSE) ++c.closes;
    if (message != MOM_DONE) return;
    InterlockedIncrement(&c.figures->done);
    LONG depth = InterlockedIncrement(&c.dones);
    if (depth > c.resendDepth) return;
    MIDIHDR *header = reinterpret_cast<MIDIHDR *>(p1);
    DWORD r = SendLong(c, *header);
    Expect(*c.figures, r == 0, "long send again from MOM_DONE", r);
    ExpectResult(*c.figures, Message(c, MODM_DATA, 0x403C92), 0, "short send from MOM_DONE");
}

void CALLBACK OnMessage(HDRVR, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR)
{
    Client &c = *reinterpret_cast<Client *>(instance);
    if (c.input) OnInput(c, message, p1);
    else OnOutput(c, message, p1);
}

// --- Traffic ----------------------------------------------------------------------------------

Client *traffic;  // output port of the case group

std::vector<char> Sysex(size_t total, int seed)
{
    std::vector<char> bytes(total);
    for (size_t i = 0; i < total; ++i) bytes[i] = char((i * 7 + seed) & 0x7F);
    bytes.front() = char(0xF0);
    bytes.back() = char(0xF7);
    return bytes;
}

void SendBytes(Figures &f, Client &out, std::vector<char> bytes)
{
    Buffer buffer(0);
    buffer.header.lpData = bytes.data();
    buffer.header.dwBufferLength = DWORD(bytes.size());
    traffic->figures = &f;
    DWORD r = SendLong(out, buffer.header);
    Expect(f, r == 0, "traffic send", r);
}

void SendShortTraffic(Figures &f, DWORD message)
{
    traffic->figures = &f;
    DWORD r = Message(*traffic, MODM_DATA, message);
    Expect(f, r == 0, "traffic send", r);
}

// --- Pages a driver must not touch ------------------------------------------------------------

// A header (of `headerBytes`, at the end of its page) and its data (at the
// end of another page), each followed by a page without access: the driver
// reading or writing past either faults at once.
struct Guarded {
    BYTE *base = nullptr;
    MIDIHDR *header = nullptr;
    Guarded(DWORD dataBytes, DWORD headerBytes = sizeof(MIDIHDR), bool nullData = false)
    {
        base = static_cast<BYTE *>(VirtualAlloc(nullptr, 4 * PageSize, MEM_RESERVE | MEM_COMMIT,
                                                PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base + PageSize, PageSize, PAGE_NOACCESS, &old);
        VirtualProtect(base + 3 * PageSize, PageSize, PAGE_NOACCESS, &old);
        header = reinterpret_cast<MIDIHDR *>(base + PageSize - headerBytes);
        if (headerBytes < sizeof(MIDIHDR)) return;  // only its size is given
        header->lpData = nullData ? nullptr : reinterpret_cast<char *>(base + 3 * PageSize - dataBytes);
        header->dwBufferLength = dataBytes;
        header->dwFlags = MHDR_PREPARED;
    }
    // As if the client had freed it: any access by the driver now faults.
    void Forget()
    {
        DWORD old;
        VirtualProtect(base, 4 * PageSize, PAGE_NOACCESS, &old);
    }
    Guarded(const Guarded &) = delete;
    ~Guarded() { VirtualFree(base, 0, MEM_RELEASE); }
};

// --- The cases --------------------------------------------------------------------------------

void ReentryOnce(int action, int trigger, int round)
{
    Figures &f = reentry;
    echoFigures = &f;
    echoOut->figures = &f;
    Client c(&f, true, InCase);
    c.action = action;
    c.trigger = trigger;
    DWORD r = Open(c);
    Expect(f, r == 0, "open", r);
    if (r != 0) return;
    if (action != ActOpenStart) {
        Expect(f, Add(c, c.a.header) == 0, "add");
        Expect(f, Add(c, c.b.header) == 0, "add");
        Expect(f, Message(c, MIDM_START) == 0, "start");
    }
    SendShortTraffic(f, PlainNote);
    SendBytes(f, *traffic, Sysex(8, round));
    if (trigger == 0) SendShortTraffic(f, TriggerNote);
    SendBytes(f, *traffic, Sysex(12, round + 1));
    SendShortTraffic(f, PlainNote + 0x100);
    Expect(f, WaitFor(c.acted), ActionNames[action]);
    if (c.stopped) Expect(f, Message(c, MIDM_START) == 0, "start after the callback stopped");
    SendShortTraffic(f, EndNote);
    Expect(f, WaitFor(c.endSeen), "the port delivers after the callback's command");
    if (c.isOpen) ResetAndClose(c);
    Expect(f, c.opens == 1 && c.closes == 1, "one MIM_OPEN and one MIM_CLOSE");
}

void DoneResend()
{
    Figures &f = doneResend;
    echoFigures = &f;
    Client c(&f, false, OutResend);
    c.resendDepth = 4;
    DWORD r = Open(c);
    Expect(f, r == 0, "open", r);
    if (r != 0) return;
    std::vector<char> bytes = Sysex(20, 3);
    Buffer buffer(0);
    buffer.header.lpData = bytes.data();
    buffer.header.dwBufferLength = DWORD(bytes.size());
    ExpectResult(f, SendLong(c, buffer.header), 0, "long send");
    Expect(f, c.dones == 5, "five MOM_DONE", DWORD(c.dones));
    Expect(f, (buffer.header.dwFlags & MHDR_DONE) != 0, "the buffer is done");
    Expect(f, CloseClient(c) == 0, "close");
    Expect(f, c.opens == 1 && c.closes == 1, "one MOM_OPEN and one MOM_CLOSE");
}

// Output: refusals of headers that cannot be sent, and no touch past cbMidiHdr.
void BadOutputHeaders()
{
    Figures &f = badHeaders;
    traffic->figures = &f;
    DWORD r;
    Buffer unprepared(8);
    unprepared.header.dwFlags = 0;
    ExpectResult(f, SendLong(*traffic, unprepared.header), MIDIERR_UNPREPARED, "unprepared long send");
    ExpectResult(f, Message(*traffic, MODM_LONGDATA, 0, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM, "long send without a header");
    Guarded nullData(0, sizeof(MIDIHDR), true);
    nullData.header->dwBufferLength = 10;
    r = SendLong(*traffic, *nullData.header);
    Expect(f, r == 0 || r == MMSYSERR_INVALPARAM, "long send of null data", r);
    Guarded empty(0);
    ExpectResult(f, SendLong(*traffic, *empty.header), 0, "long send of nothing");
    for (DWORD size : {DWORD(0), DWORD(4), DWORD(offsetof(MIDIHDR, dwFlags)), DWORD(offsetof(MIDIHDR, dwOffset) - 1)}) {
        Guarded small(8, size);
        ExpectResult(f, SendLong(*traffic, *small.header, size), MMSYSERR_INVALPARAM, "long send with a short cbMidiHdr");
    }
}

void BadInputHeaders(int round)
{
    Figures &f = badHeaders;
    Client c(&f, true, InCase);
    c.readd = false;
    DWORD r = Open(c);
    Expect(f, r == 0, "open", r);
    if (r != 0) return;
    Buffer unprepared(8);
    unprepared.header.dwFlags = 0;
    ExpectResult(f, Add(c, unprepared.header), MIDIERR_UNPREPARED, "unprepared add");
    Guarded tiny[3] = {Guarded(1), Guarded(2), Guarded(3)};
    for (Guarded &g : tiny) ExpectResult(f, Add(c, *g.header), 0, "add a tiny buffer");
    ExpectResult(f, Add(c, *tiny[0].header), MIDIERR_STILLPLAYING, "add twice");
    tiny[0].header->dwFlags &= ~MHDR_INQUEUE;
    ExpectResult(f, Add(c, *tiny[0].header), MIDIERR_STILLPLAYING, "add twice, flag cleared");
    tiny[0].header->dwFlags |= MHDR_INQUEUE;
    Guarded empty(0), nullData(16, sizeof(MIDIHDR), true);
    ExpectResult(f, Add(c, *empty.header), MMSYSERR_INVALPARAM, "add of length 0");
    ExpectResult(f, Add(c, *nullData.header), MMSYSERR_INVALPARAM, "add of null data");
    for (DWORD size : {DWORD(0), DWORD(4), DWORD(offsetof(MIDIHDR, dwFlags)), DWORD(offsetof(MIDIHDR, dwOffset) - 1)}) {
        Guarded small(8, size);
        ExpectResult(f, Add(c, *small.header, size), MMSYSERR_INVALPARAM, "add with a short cbMidiHdr");
    }
    Expect(f, Message(c, MIDM_START) == 0, "start");
    // 1, 2 and 3 bytes of one message fill the three; the rest has no buffer.
    SendBytes(f, *traffic, {char(0xF0), 1, 2, 3, 4, 5, 6, char(0xF7)});
    for (DWORD waited = 0; c.filled < 3 && waited < WaitMs; waited += 2) Sleep(2);
    Expect(f, c.filled == 3, "three tiny buffers filled", DWORD(c.filled));
    for (int i = 0; i < 3; ++i)
        Expect(f, tiny[i].header->dwBytesRecorded == DWORD(i + 1), "tiny buffer holds its length");

    // Headers freed as soon as the reset has handed them back.
    Guarded later[3] = {Guarded(16), Guarded(16), Guarded(16)};
    for (Guarded &g : later) Expect(f, Add(c, *g.header) == 0, "add");
    SendBytes(f, *traffic, {char(0xF0), 0x11, 0x22});
    Sleep(5);
    LONG before = c.filled + c.returned;
    ExpectResult(f, Message(c, MIDM_RESET), 0, "reset");
    Expect(f, c.filled + c.returned - before == 3, "reset hands back all three");
    for (Guarded &g : later) g.Forget();
    Expect(f, Message(c, MIDM_START) == 0, "start after reset");
    SendBytes(f, *traffic, Sysex(40, round));
    SendShortTraffic(f, PlainNote);
    Expect(f, Message(c, MIDM_STOP) == 0, "stop");
    Expect(f, Message(c, MIDM_START) == 0, "start");
    SendShortTraffic(f, EndNote);
    Expect(f, WaitFor(c.endSeen), "the port delivers after freed headers");
    Expect(f, Message(c, MIDM_RESET) == 0, "reset");
    ExpectResult(f, CloseClient(c), 0, "close");
}

void CloseQueued(int round)
{
    Figures &f = closeQueued;
    Client c(&f, true, InCase);
    c.readd = false;
    DWORD r = Open(c);
    Expect(f, r == 0, "open", r);
    if (r != 0) return;
    for (Buffer *buffer : {&c.a, &c.b, &c.spare}) Expect(f, Add(c, buffer->header) == 0, "add");
    bool started = round % 2 == 0;
    if (started) Expect(f, Message(c, MIDM_START) == 0, "start");
    ExpectResult(f, CloseClient(c), MIDIERR_STILLPLAYING, "close with buffers queued");
    for (Buffer *buffer : {&c.a, &c.b, &c.spare})
        Expect(f, (buffer->header.dwFlags & MHDR_INQUEUE) != 0, "still queued after a refused close");
    Expect(f, c.closes == 0, "no MIM_CLOSE for a refused close");
    if (started) {
        c.closing = false;
        SendBytes(f, *traffic, Sysex(10, round));
        Expect(f, WaitFor(c.filled), "the port still delivers after a refused close");
        Expect(f, c.a.header.dwBytesRecorded == 10, "the first buffer holds the message");
    }
    ResetAndClose(c);
    Expect(f, c.returned == (started ? 2 : 3), "reset hands back the rest", DWORD(c.returned));
    Expect(f, c.closes == 1, "one MIM_CLOSE");
}

// The sender stops when its handle is gone, as winmm refuses a closed
// handle; a send already inside the driver when the close runs is the
// driver's to survive.
struct Racing {
    Client *client;
    volatile LONG handleOpen;
};

DWORD WINAPI RacingSender(void *context)
{
    Racing &race = *static_cast<Racing *>(context);
    std::vector<char> bytes = Sysex(1000, 5);
    for (int i = 0; race.handleOpen; ++i) {
        DWORD r;
        if (i % 8 == 7) {
            Buffer buffer(0);
            buffer.header.lpData = bytes.data();
            buffer.header.dwBufferLength = DWORD(bytes.size());
            r = SendLong(*race.client, buffer.header);
        } else {
            r = Message(*race.client, MODM_DATA, 0x403C90 + (i & 0x7F00));
        }
        // Sent before the close, or refused as a port that is not open;
        // anything else came from a port closed under the send.
        Expect(closeRacing, r == 0 || r == MMSYSERR_ERROR, "a send racing the close", r);
    }
    return 0;
}

void CloseRacing(DWORD random)
{
    Figures &f = closeRacing;
    Client c(&f, false, OutRacing);
    DWORD r = Open(c);
    Expect(f, r == 0, "open", r);
    if (r != 0) return;
    Racing race = {&c, 1};
    HANDLE sender = CreateThread(nullptr, 0, RacingSender, &race, 0, nullptr);
    Sleep(random % 4);
    ExpectResult(f, CloseClient(c), 0, "close while another thread sends");
    race.handleOpen = 0;
    Expect(f, WaitForSingleObject(sender, DWORD(DeadlockMs)) == WAIT_OBJECT_0, "the sender ends");
    CloseHandle(sender);
    Expect(f, HeapValidate(DriverHeap, 0, nullptr) != 0, "the driver heap is valid");
}

// --- Background threads ---------------------------------------------------------------------

volatile LONG stopBackground;

DWORD NextRandom(DWORD &seed)
{
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
}

void ChurnOutput(Client &c, DWORD &seed)
{
    std::vector<char> bytes = Sysex(30 + NextRandom(seed) % 900, int(seed));
    for (DWORD k = NextRandom(seed) % 6; k > 0; --k) {
        if (NextRandom(seed) % 3 == 0) {
            Buffer buffer(0);
            buffer.header.lpData = bytes.data();
            buffer.header.dwBufferLength = DWORD(bytes.size());
            Expect(churn, SendLong(c, buffer.header) == 0, "churn long send");
        } else {
            Expect(churn, Message(c, MODM_DATA, 0x403C90 + k) == 0, "churn short send");
        }
    }
    if (NextRandom(seed) % 4 == 0) Expect(churn, Message(c, MODM_RESET) == 0, "churn output reset");
    Expect(churn, CloseClient(c) == 0, "churn output close");
}

void ChurnInput(Client &c, DWORD &seed)
{
    DWORD buffers = NextRandom(seed) % 3;
    if (buffers > 0) Expect(churn, Add(c, c.a.header) == 0, "churn add");
    if (buffers > 1) Expect(churn, Add(c, c.b.header) == 0, "churn add");
    if (NextRandom(seed) % 4) Expect(churn, Message(c, MIDM_START) == 0, "churn start");
    Sleep(NextRandom(seed) % 4);
    if (NextRandom(seed) % 3 == 0) Expect(churn, Message(c, MIDM_STOP) == 0, "churn stop");
    // Careless: a close first, whatever is queued.
    c.closing = true;
    DWORD r = CloseClient(c);
    // Refused only with buffers queued (one may come back filled meanwhile);
    // a close that succeeds leaves none queued.
    bool queued = (c.a.header.dwFlags | c.b.header.dwFlags) & MHDR_INQUEUE;
    Expect(churn, r == 0 ? !queued : r == MIDIERR_STILLPLAYING && buffers > 0,
           "churn close answers by the queue", r);
    if (r != 0) ResetAndClose(c);
}

DWORD WINAPI ChurnThread(void *context)
{
    DWORD seed = DWORD(reinterpret_cast<DWORD_PTR>(context));
    while (!stopBackground) {
        bool input = NextRandom(seed) % 2;
        UINT device = (input ? InChurn : OutChurn) + NextRandom(seed) % ChurnUnits;
        Client c(&churn, input, device);
        DWORD r = Open(c);
        Expect(churn, r == 0 || r == MMSYSERR_ALLOCATED, "churn open", r);
        if (r == 0) {
            if (input) ChurnInput(c, seed);
            else ChurnOutput(c, seed);
            Expect(churn, c.opens == 1 && c.closes == 1, "churn open and close notified once");
        }
        Sleep(NextRandom(seed) % 3);
    }
    return 0;
}

DWORD WINAPI QueryThread(void *)
{
    Figures &f = queries;
    for (DWORD loops = 0; !stopBackground; ++loops) {
        for (bool input : {false, true}) {
            DWORD (APIENTRY *proc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = input ? midMessage : modMessage;
            UINT numDevs = input ? MIDM_GETNUMDEVS : MODM_GETNUMDEVS;
            UINT getCaps = input ? MIDM_GETDEVCAPS : MODM_GETDEVCAPS;
            DWORD count = Timed(f, "GETNUMDEVS", [&] { return proc(0, numDevs, 0, 0, 0); }, true);
            Expect(f, count == (input ? InChurn : OutChurn) + ChurnUnits, "device count", count);
            for (UINT id = 0; id <= count; ++id) {
                MIDIOUTCAPSW caps;  // larger than each of the four records
                for (DWORD size : {DWORD(input ? sizeof(MIDIINCAPSW) : sizeof(MIDIOUTCAPSW)),
                                   DWORD(input ? sizeof(MIDIINCAPSA) : sizeof(MIDIOUTCAPSA)), DWORD(4)}) {
                    DWORD r = Timed(f, "GETDEVCAPS", [&] {
                        return proc(id, getCaps, 0, reinterpret_cast<DWORD_PTR>(&caps), size);
                    });
                    DWORD expected = id == count ? MMSYSERR_BADDEVICEID
                                                 : size == 4 ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
                    Expect(f, r == expected, "device capabilities", r);
                }
            }
        }
        if (loops % 16 == 15) Sleep(1);
    }
    return 0;
}

// --- Process figures -------------------------------------------------------------------------------

struct Sample {
    DWORD handles;
    SIZE_T privateBytes, heapBytes;
    size_t heapBlocks;
};

Sample Take()
{
    Sample s = {};
    s.handles = OwnHandleCount();
    s.privateBytes = PrivateBytes();
    s.heapBytes = HeapBusyBytes(DriverHeap, &s.heapBlocks);
    return s;
}

Sample peak;
CRITICAL_SECTION peakLock;

void NotePeak(const Sample &s)
{
    EnterCriticalSection(&peakLock);
    if (s.handles > peak.handles) peak.handles = s.handles;
    if (s.privateBytes > peak.privateBytes) peak.privateBytes = s.privateBytes;
    if (s.heapBytes > peak.heapBytes) peak.heapBytes = s.heapBytes, peak.heapBlocks = s.heapBlocks;
    LeaveCriticalSection(&peakLock);
}

volatile LONG stopSampler;

DWORD WINAPI Sampler(void *)
{
    while (!stopSampler) {
        NotePeak(Take());
        Sleep(200);
    }
    return 0;
}

void PrintFigures()
{
    printf("%-15s %8s %9s %6s %8s %6s %6s  results\n", "case", "calls", "delivered", "done",
           "slowest", "hangs", "wrong");
    for (Figures *f : allFigures) {
        printf("%-15s %8ld %9ld %6ld %5ld ms %6ld %6ld ", f->name, f->calls, f->delivered, f->done,
               f->slowest, f->hangs, f->wrong);
        for (int kind = 0; kind < ResultKinds; ++kind)
            if (f->results[kind])
                printf(" %s %ld", f == &queries && kind == 0 ? "NOERROR/count" : ResultName(kind),
                       f->results[kind]);
        printf("\n");
    }
}

void ConfigureUnits()
{
    struct Slot {
        DWORD direction, groups;
    } slots[] = {{DirectionOutput, GroupCase}, {DirectionInput, GroupCase},
                 {DirectionOutput, GroupEcho}, {DirectionInput, GroupEcho},
                 {DirectionOutput, GroupEcho}, {DirectionOutput, GroupNobody}};
    int used = 0;
    for (const Slot &slot : slots) {
        pUnits[used].InUse = 1;
        pUnits[used].Direction = slot.direction;
        pUnits[used].Groups = slot.groups;
        pUnits[used].ShowNumber = Show;
        pUnits[used++].OpenHandle = INVALID_SOCKET;
    }
    for (int i = 0; i < ChurnUnits; ++i, ++used) {
        pUnits[used].InUse = 1;
        pUnits[used].Direction = DirectionInput | DirectionOutput;
        pUnits[used].Groups = GroupChurn;
        pUnits[used].ShowNumber = Show;
        pUnits[used].OpenHandle = INVALID_SOCKET;
    }
    TCPClientServer = 0;
}

// Lazily made system objects (Winsock, the first thread of a kind, the
// debug-output mutex of the device queries) come before the first figures.
void WarmUp()
{
    MIDIOUTCAPSW caps;
    modMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
    for (DWORD size : {sizeof(MIDIINCAPSW), sizeof(MIDIINCAPSA)})
        midMessage(0, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), size);
    Client out(&setup, false, OutTraffic), in(&setup, true, InCase);
    Expect(setup, Open(out) == 0 && Open(in) == 0, "warm-up open");
    Add(in, in.a.header);
    Message(in, MIDM_START);
    traffic = &out;
    SendShortTraffic(setup, PlainNote);
    SendBytes(setup, out, Sysex(10, 1));
    WaitFor(in.filled);
    Message(in, MIDM_STOP);
    ResetAndClose(in);
    CloseClient(out);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "refusing to run outside a private network namespace\n");
        return 2;
    }
    int rounds = 5;  // the short run
    DWORD seed = GetTickCount();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--seed")) seed = DWORD(strtoul(argv[i + 1], nullptr, 10));
        else if (!strcmp(argv[i], "--slow")) slowReport = atoi(argv[i + 1]);
    }
    if (rounds < 1) rounds = 1;
    setvbuf(stdout, nullptr, _IONBF, 0);
    slotIndex = TlsAlloc();
    InitializeCriticalSection(&peakLock);
    SetUnhandledExceptionFilter(OnCrash);
    DriverProcessAttach(GetModuleHandleW(nullptr));
    DebugLevel = 0;
    ConfigureUnits();
    LONGLONG started = Now();
    printf("careless clients: %d rounds, seed %lu, %d churn threads\n", rounds,
           static_cast<unsigned long>(seed), ChurnThreads);

    WarmUp();
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    Sample before = Take();
    peak = before;
    HANDLE sampler = CreateThread(nullptr, 0, Sampler, nullptr, 0, nullptr);

    Client trafficPort(&setup, false, OutTraffic), echoPort(&setup, false, OutEcho);
    Client echoListener(&setup, true, InEcho);
    echoListener.countsForCase = true;
    traffic = &trafficPort;
    echoOut = &echoPort;
    echoSysex = Sysex(50, 9);
    Expect(setup, Open(trafficPort) == 0 && Open(echoPort) == 0 && Open(echoListener) == 0, "open");
    Expect(setup, Add(echoListener, echoListener.a.header) == 0 && Message(echoListener, MIDM_START) == 0,
           "echo listener start");

    std::vector<HANDLE> background;
    for (int i = 0; i < ChurnThreads; ++i)
        background.push_back(CreateThread(nullptr, 0, ChurnThread,
                                          reinterpret_cast<void *>(DWORD_PTR(seed + 7919 * i)), 0, nullptr));
    background.push_back(CreateThread(nullptr, 0, QueryThread, nullptr, 0, nullptr));

    DWORD random = seed;
    for (int round = 0; round < rounds; ++round) {
        for (int action = 0; action < ActionCount; ++action)
            ReentryOnce(action, round % 2, round);
        DoneResend();
        BadOutputHeaders();
        BadInputHeaders(round);
        CloseQueued(round);
        CloseRacing(NextRandom(random));
        if ((round + 1) % 10 == 0 || round + 1 == rounds)
            printf("round %d done, %lld s\n", round + 1, Ms(Now() - started) / 1000);
    }

    stopBackground = 1;
    DWORD joined = WaitForMultipleObjects(DWORD(background.size()), background.data(), TRUE, DWORD(DeadlockMs));
    Expect(setup, joined != WAIT_TIMEOUT, "the background threads end");
    for (HANDLE thread : background) CloseHandle(thread);
    ResetAndClose(echoListener);
    Expect(setup, CloseClient(trafficPort) == 0 && CloseClient(echoPort) == 0, "close");
    stopSampler = 1;
    WaitForSingleObject(sampler, INFINITE);
    CloseHandle(sampler);
    Sleep(200);  // threads that just ended let go of their stacks
    Sample after = Take();
    NotePeak(after);

    // The echo listener counts for the case that sent; its own line is "setup".
    PrintFigures();
    printf("%-24s %14s %14s %14s\n", "process", "before", "peak", "after");
    printf("%-24s %14lu %14lu %14lu\n", "handles", static_cast<unsigned long>(before.handles),
           static_cast<unsigned long>(peak.handles), static_cast<unsigned long>(after.handles));
    auto row = [](const char *name, unsigned long long a, unsigned long long b, unsigned long long c) {
        printf("%-24s %14llu %14llu %14llu\n", name, a, b, c);
    };
    row("private bytes", before.privateBytes, peak.privateBytes, after.privateBytes);
    row("driver heap bytes", before.heapBytes, peak.heapBytes, after.heapBytes);
    row("driver heap blocks", before.heapBlocks, peak.heapBlocks, after.heapBlocks);
    printf("%-24s %14d %14s %14ld\n", "driver Winsock refs", 0, "-", wsacount);

    LONG hangs = 0, wrong = 0;
    for (Figures *f : allFigures) hangs += f->hangs, wrong += f->wrong;
    bool leakFree = after.heapBytes == before.heapBytes && after.heapBlocks == before.heapBlocks &&
                    after.handles <= before.handles + HandleSlack && wsacount == 0 &&
                    after.privateBytes <= before.privateBytes + PrivateSlack;
    printf("run time %lld s\n", Ms(Now() - started) / 1000);
    printf("verdict: completes yes, hangs %ld, wrong answers %ld, leak %s -> %s\n", hangs, wrong,
           leakFree ? "none" : "FOUND", hangs == 0 && wrong == 0 && leakFree ? "PASS" : "FAIL");
    TerminateThread(watchdog, 0);
    CloseHandle(watchdog);
    return hangs == 0 && wrong == 0 && leakFree ? 0 : 1;
}
