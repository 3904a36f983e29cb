// An input port's thread and its receive loop, around the port's command
// block: the thread's start (StartInputThread), the synchronous command
// (threadcall), the thread body (MidiThread), the commands it carries out
// (RunPortCommand), and its end (StopInputThread). The thread also owns the
// port's one overlapped receive, whose completion routine InOvl runs on it
// during its alertable waits, and hands each packet to input processing.
//
// Every receive of a port is posted on its own thread, and every piece of
// receive-side state (InState, the RecvBuffer, ClientBuffers) is touched by
// that thread alone; commands that change it run with mmDrvCritSec held.
//
// What a client may do from inside a callback (which runs on this thread,
// sometimes with mmDrvCritSec held):
// - add a buffer, start, stop or reset the port: the command runs at once,
//   inline, without threadCritSec (another caller may hold that while it
//   waits for this very thread) and without touching the command block; the
//   work it interrupted (a command or midiFlush) finishes afterwards;
// - close the port: refused with MIDIERR_STILLPLAYING, because the close
//   waits for this thread to end;
// - send on an output port: the writer takes mmDrvCritSec, which is
//   recursive, so a callback made under it does not deadlock.
// A port started again from inside a callback of the packet being handled
// is not posted twice (Flushing and Posted), and a command that waits on
// the command event is seen between completions even under a flood.
#include "net/net.h"
#include "input/input.h"
#include "diag/log.h"

namespace {

// A cancelled receive reports back through InOvl; this bounds the wait.
constexpr int CancelWaits = 200;  // 200 x 10 ms
// A receive still outstanding when its port closes is cancelled by the
// socket's close; this bounds the wait for the cancellation to land.
constexpr int ReceiveDrainWaits = 200;  // 200 x 10 ms
constexpr int MaxClientBuffers = 101;

// Only one receive may be outstanding on the port's one buffer, and the
// buffer must not be handed back to the heap with a receive still on it.
// CancelIo reaches the receives this thread posted, which are all of them.
void EndOutstandingReceive(MidiPort *port)
{
    InState *in = port->pIn;
    if (!in->Posted) return;
    CancelIo(reinterpret_cast<HANDLE>(port->Socket));
    for (int i = 0; i < CancelWaits && in->Posted; ++i) SleepEx(10, TRUE);
    if (in->Posted) LOG(1, "receive on port %d did not end", port->DeviceId);
}

// Stop and reset end reception: what is still posted or completed is not
// processed, and the buffer is idle (Done 0) for the next start.
void StopReceiving(MidiPort *port)
{
    InState *in = port->pIn;
    in->RecvQueue = nullptr;
    EndOutstandingReceive(port);
    if (!in->Posted) in->Buffer.Done = 0;
}

void QueueReceiveBuffer(InState *in, RecvBuffer *buffer)
{
    buffer->Next = nullptr;
    RecvBuffer **link = &in->RecvQueue;
    while (*link) {
        if (*link == buffer) return;
        link = &(*link)->Next;
    }
    *link = buffer;
}

DWORD StartReceiving(MidiPort *port)
{
    InState *in = port->pIn;
    RecvBuffer *buffer = &in->Buffer;
    if (in->Posted) {
        // A receive that could not be cancelled at stop: take its
        // completion as the first packet instead of posting a second one.
        QueueReceiveBuffer(in, buffer);
        return MMSYSERR_NOERROR;
    }
    // Started from a client callback while midiFlush handles this very
    // buffer: midiFlush posts it again when it is done with it.
    if (in->Flushing) return MMSYSERR_NOERROR;
    port->Transport->PrepareStart(port);
    return midiInPutBuffer(buffer, port);
}

DWORD SetState(MidiPort *port, DWORD_PTR state)
{
    InState *in = port->pIn;
    DWORD result = 0;
    switch (state) {
    case StateStop:
        if (!in->Parser.Started) break;
        in->Parser.Started = 0;
        result = midiFlushLocked(port, 0);
        StopReceiving(port);
        ClearMessageState(&in->Parser);
        // Last: the client's callback may start the port again.
        if (result == 0) ReturnPartialLongBuffer(port);
        break;
    case StateStart:
        if (in->Parser.Started || in->Bad) break;
        ClearMessageState(&in->Parser);
        LOG(2, "midiThread initial midiInPutBuffer call: %d", 0);
        result = StartReceiving(port);
        LOG(2, "\treturned: %d recued: %d", result, recued);
        if (result != 0) in->Bad = 1;
        result = midiFlushLocked(port, 0);
        if (result != 0) in->Bad = 1;
        else in->Parser.Started = 1;
        break;
    case StateReset:
        if (in->Parser.Started) {
            in->Parser.Started = 0;
            LOG(2, "This message SHOULD not appear, I believe think.");
            result = midiFlushLocked(port, 0);
            StopReceiving(port);
            if (result == 0) {
                in->Bad = 0;
                ClearMessageState(&in->Parser);
                ReturnPartialLongBuffer(port);
            }
        }
        ClearMessageState(&in->Parser);
        LOG(2, "Freeing the buffers queue.");
        ReturnAllLongBuffers(port);
        break;
    default:
        break;
    }
    return result;
}

// Appends a client buffer. The list checks run here, on the thread that
// owns ClientBuffers, because the parser takes buffers off the list
// without mmDrvCritSec after a receive completes.
DWORD QueueClientBuffer(MidiPort *port, MIDIHDR *header)
{
    MIDIHDR **link = &port->ClientBuffers;
    int passed = 0;
    for (MIDIHDR *entry = port->ClientBuffers; entry; entry = entry->lpNext) {
        if (entry == header) {
            LOG(1, "Where did a reentry go foopy doopy? %x %x %d",
                (unsigned)(DWORD_PTR)entry, (unsigned)(DWORD_PTR)header, passed);
            return MIDIERR_STILLPLAYING;
        }
        if (++passed >= MaxClientBuffers) return MIDIERR_STILLPLAYING;
        link = &entry->lpNext;
    }
    header->reserved = reinterpret_cast<DWORD_PTR>(port);
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    header->lpNext = nullptr;
    *link = header;
    return MMSYSERR_NOERROR;
}


// The command section: carries out the command waiting in the block under
// mmDrvCritSec, then signals its sender. True when a Close ends the thread.
bool RunCommand(MidiPort *port)
{
    LOG(2, "MidiThread EnterCriticalSection");
    EnterCriticalSection(&mmDrvCritSec);
    LOG(2, "   EnteredCriticalSection");
    BOOL closing = FALSE;
    port->CommandPending = 0;
    port->CommandResult = 0;
    port->CommandResult = RunPortCommand(port, port->Command, port->CommandArg, &closing);
    port->Command = 0;
    midiFlush(port);
    if (closing) {
        // The record is freed once AuxEvent2 is set: nothing of this
        // port may stay in flight, and its held blocks go back now.
        port->pIn->Parser.Started = 0;
        StopReceiving(port);
        FreeHeldBlocks(port);
        port->ThreadEnded = 1;
    }
    SetEvent(port->AuxEvent2);
    LeaveCriticalSection(&mmDrvCritSec);
    return closing;
}

// Waits alertably for the next command, handling completed receives
// meanwhile. An alertable wait runs completion routines for as long as any
// are queued and only then looks at the event; under a flood of datagrams,
// with each completion posting the next receive, it would never return. So
// a completion that finds a command pending leaves its packet to the
// command section, and the wait is left as soon as a command is pending.
void WaitForCommand(MidiPort *port)
{
    while (WaitForSingleObjectEx(port->AuxEvent1, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
        if (port->CommandPending) {
            WaitForSingleObject(port->AuxEvent1, INFINITE);
            return;
        }
        LOG(2, "WSOE %d", recued);
        if (port->Transport->CompletionsWait()) {
            LOG(2, "WSOE when recued");
        } else {
            LOG(2, "WSOE call midiFlush!");
            midiFlush(port);
        }
    }
}

// (counter ticks) x 10^7 / frequency without overflowing 64 bits after a
// few weeks of uptime.
ULONGLONG TicksToHundredNanoseconds(ULONGLONG ticks, ULONGLONG frequency)
{
    if (!frequency) return 0;
    return ticks / frequency * 10000000ull + ticks % frequency * 10000000ull / frequency;
}

void Repost(MidiPort *port, RecvBuffer *buffer)
{
    InState *in = port->pIn;
    if (!in->Parser.Started) {
        LOG(2, " midi not started on port");
        return;
    }
    // A client that stopped and started the port from a callback during
    // this buffer's parse may already have it posted again.
    if (in->Posted || in->Bad) return;
    LOG(2, " midi started, requeuing buffer");
    if (midiInPutBuffer(buffer, port) != MMSYSERR_NOERROR) in->Bad = 1;
}

bool OnPortThread(const MidiPort *port) { return port->ThreadId == GetCurrentThreadId(); }

HANDLE CreateAutoResetEvent() { return CreateEventW(nullptr, FALSE, FALSE, nullptr); }

}  // namespace

DWORD RunPortCommand(MidiPort *port, DWORD command, DWORD_PTR argument, BOOL *closing)
{
    switch (command) {
    case CmdAddBuffer:
        return QueueClientBuffer(port, reinterpret_cast<MIDIHDR *>(argument));
    case CmdSetState:
        return SetState(port, argument);
    case CmdClose:
        if (port->ClientBuffers) {
            LOG(2, "Buffer queue not empty.");
            return MIDIERR_STILLPLAYING;
        }
        LOG(2, "Closing midi thread.");
        *closing = TRUE;
        return MMSYSERR_NOERROR;
    case CmdMidiConnect:
        MidiConnect();
        return MMSYSERR_NOERROR;
    default:
        AssertFail("FALSE", "TSMIDIDD", 2628);
        return MMSYSERR_NOERROR;
    }
}

void MidiThread(DWORD_PTR argument)
{
    MidiPort *port = reinterpret_cast<MidiPort *>(argument);
    port->ThreadId = GetCurrentThreadId();
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetEvent(port->AuxEvent2);
    WaitForSingleObject(port->AuxEvent1, INFINITE);

    for (;;) {
        if (RunCommand(port)) {
            LOG(2, "In port closed.");
            return;
        }
        WaitForCommand(port);
    }
}

void PrepareReceive(MidiPort *port, RecvBuffer *buffer)
{
    port->RecvWsaBuf.len = PacketSizeMax;
    port->RecvWsaBuf.buf = reinterpret_cast<char *>(buffer->Packet);
    buffer->BytesReceived = 0;
    buffer->FromLength = sizeof buffer->From;
    buffer->RecvFlags = 0;
    HANDLE event = buffer->Overlapped.hEvent;
    ZeroMemory(&buffer->Overlapped, sizeof buffer->Overlapped);
    buffer->Overlapped.hEvent = event;
}

DWORD midiInPutBuffer(RecvBuffer *buffer, MidiPort *port)
{
    if (buffer->Done != 0) AssertFail("pHdr->Done == 0", "TSMIDIDD", 1768);
    LOG(2, "PutBuffer read on buffer %x socket %x", (unsigned)(DWORD_PTR)buffer,
        (unsigned)port->Socket);
    PrepareReceive(port, buffer);

    bool posted = false;
    int result = port->Transport->PostReceive(port, buffer, &posted);
    if (result == PostFailed) return MMSYSERR_ERROR;  // the buffer is not queued
    int error = result ? WSAGetLastError() : 0;
    LOG(2, "midiInPutBuffer: WSARecv() Result %d by %d", result, error);
    if (result != 0 && error != WSA_IO_PENDING) {
        LOG(2, "midiInPutBuffer ReadFileEx failed, error = %d", error);
        WSASetLastError(error);
        return sndTranslateStatus();
    }
    if (posted) port->pIn->Posted = 1;
    QueueReceiveBuffer(port->pIn, buffer);
    return MMSYSERR_NOERROR;
}

void CALLBACK InOvl(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD)
{
    RecvBuffer *buffer = CONTAINING_RECORD(overlapped, RecvBuffer, Overlapped);
    MidiPort *port = buffer->Owner;
    LOG(2, "InOvl last bytes %d", bytes);
    if (port->DeviceType != MidiInDevice)
        AssertFail("pMid->DeviceType == MidiInDevice", "TSMIDIDD", 2040);
    LOG(2, "InOvl error %d", error);

    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    buffer->ArrivalTime = TicksToHundredNanoseconds(
        static_cast<ULONGLONG>(now.QuadPart) - port->StartCounter, port->CounterFrequency);
    if (bytes > static_cast<DWORD>(PacketSizeMax)) bytes = PacketSizeMax;
    buffer->BytesReceived = bytes;
    buffer->Done = 1;

    const BYTE *data = buffer->Packet + PacketHeaderSize;
    LOG(1, "InOvl buffer %x done with %d bytes  %02.2x  %02.2x  %02.2x  %02.2x  %02.2x  %02.2x",
        (unsigned)(DWORD_PTR)buffer, bytes, data[0], data[1], data[2], data[3], data[4], data[5]);
    if (DebugLevel >= 2) {
        PacketHeader header = {};
        DecodeHeader(buffer->Packet, PacketSizeMax, &header);
        LogPrint("   (%x)  for group %x", data[0], header.Groups);
    }
    if (bytes == 0) buffer->Done = 2;
    port->pIn->Posted = 0;
    // UDP handles the packet here, on the port thread, rather than after its
    // wait has returned; that return costs about as much as the rest of the
    // input path under Wine. The thread's own midiFlush after the wait then
    // finds nothing left. With a command pending the packet waits for the
    // command section (see WaitForCommand). TCP keeps the wait's rule that
    // packets wait while a connection is made.
    if (port->Transport->HandleInCompletion && !port->CommandPending) midiFlush(port);
}

void midiFlush(MidiPort *port)
{
    LOG(2, "Input entry %d", port->DeviceType);
    if (port->DeviceType != MidiInDevice) return;
    InState *in = port->pIn;
    // A client callback made from the parser can come back here through a
    // command run on this thread; the outer call finishes the queue.
    if (in->Flushing) return;
    in->Flushing = 1;
    for (;;) {
        RecvBuffer *buffer = in->RecvQueue;
        if (!buffer || buffer->Done == 0) break;
        // An empty datagram is possible on UDP; only TCP reads it as the
        // peer closing the connection.
        if (buffer->Done == 2 && port->Transport->EmptyReceiveIsLoss) {
            connected = 0;
            teardown = 1;
        }
        in->RecvQueue = buffer->Next;
        buffer->Done = 0;
        in->Parser.CurrentTime = static_cast<DWORD>(buffer->ArrivalTime / 10000);
        LOG(2, "midiFlush buffer %x size %d bad %d", (unsigned)(DWORD_PTR)buffer,
            buffer->BytesReceived, in->Bad);
        if (in->Bad) continue;
        const BYTE *data = buffer->Packet + PacketHeaderSize;
        LOG(2, "Midi Data %02.2x %02.2x %02.2x %02.2x %02.2x %02.2x", data[0], data[1], data[2],
            data[3], data[4], data[5]);
        AcceptReceived(port, buffer->Packet, buffer->BytesReceived);
        Repost(port, buffer);
    }
    in->Flushing = 0;
}

DWORD midiFlushLocked(MidiPort *port, DWORD_PTR)
{
    EnterCriticalSection(&mmDrvCritSec);
    midiFlush(port);
    LeaveCriticalSection(&mmDrvCritSec);
    return 0;
}

// The receive event, the command handshake events and the port's thread,
// which signals AuxEvent2 once it runs.
DWORD StartInputThread(MidiPort *port)
{
    port->Event = CreateAutoResetEvent();
    if (!port->Event) return MMSYSERR_NOMEM;
    port->AuxEvent1 = CreateAutoResetEvent();
    if (!port->AuxEvent1) return MMSYSERR_NOMEM;
    port->AuxEvent2 = CreateAutoResetEvent();
    if (!port->AuxEvent2) return MMSYSERR_NOMEM;
    port->In.Buffer.Overlapped.hEvent = port->Event;

    if (mmTaskCreate(MidiThread, &port->ThreadHandle, reinterpret_cast<DWORD_PTR>(port)) !=
        MMSYSERR_NOERROR) {
        LOG(2, " task create failed");
        port->ThreadHandle = nullptr;
        return MMSYSERR_NOMEM;
    }
    WaitForSingleObject(port->AuxEvent2, INFINITE);
    return MMSYSERR_NOERROR;
}

// A request made on the port's own thread (a client callback that adds a
// buffer, stops or resets the port) cannot wait for that thread: it runs
// here at once, without threadCritSec, which another caller may hold while
// it waits for this very thread. The callback may have interrupted a
// command or a midiFlush, so the command uses its own result and leaves the
// command block alone; the interrupted work finishes the queue afterwards.
DWORD threadcall(DWORD command, DWORD_PTR argument, MidiPort *port)
{
    if (OnPortThread(port)) {
        if (command == CmdClose) return MIDIERR_STILLPLAYING;
        BOOL closing = FALSE;
        EnterCriticalSection(&mmDrvCritSec);
        DWORD result = RunPortCommand(port, command, argument, &closing);
        LeaveCriticalSection(&mmDrvCritSec);
        return result;
    }
    EnterCriticalSection(&threadCritSec);
    // The connection thread may send MidiConnect to a port whose close has
    // just ended its thread: nobody would carry the command out.
    if (port->ThreadEnded) {
        LeaveCriticalSection(&threadCritSec);
        return MMSYSERR_ERROR;
    }
    port->Command = command;
    port->CommandArg = argument;
    port->CommandPending = 1;
    SetEvent(port->AuxEvent1);
    WaitForSingleObject(port->AuxEvent2, INFINITE);
    DWORD result = port->CommandResult;
    LeaveCriticalSection(&threadCritSec);
    return result;
}

DWORD StopInputThread(MidiPort *port)
{
    // The close waits for the port's thread to end, which the thread itself
    // cannot do: a close from inside one of its callbacks is refused and
    // leaves the port open, as a close with buffers queued does.
    if (OnPortThread(port)) return MIDIERR_STILLPLAYING;
    if (threadcall(CmdClose, 0, port) != MMSYSERR_NOERROR) {
        LOG(2, "MIDM_CLOSE threadcall returns %d - returning MIDIERR_STILLPLAYING", 1);
        return MIDIERR_STILLPLAYING;
    }
    LOG(2, " waiting for aux thread to terminate.");
    WaitForSingleObject(port->ThreadHandle, INFINITE);
    CloseHandle(port->ThreadHandle);
    port->ThreadHandle = nullptr;
    LOG(2, "  aux thread ended.");
    return MMSYSERR_NOERROR;
}

// Closing the socket cancels a receive still posted into the record's
// buffer, but the system writes its final status into the record when the
// cancellation lands. Wait for that before the record is freed.
bool ReceiveHasEnded(MidiPort *port)
{
    if (!port->In.Posted) return true;
    for (int i = 0; i < ReceiveDrainWaits; ++i) {
        if (HasOverlappedIoCompleted(&port->In.Buffer.Overlapped)) {
            port->In.Posted = 0;
            return true;
        }
        Sleep(10);
    }
    return false;
}
