// The receive loop of an input port: MidiThread carries out the port's
// commands one at a time and owns its one overlapped receive, whose
// completion routine InOvl runs on this thread during its alertable wait.
//
// Every receive of a port is posted on its own thread, and every piece of
// receive-side state (InState, the RecvBuffer, ClientBuffers) is touched by
// that thread alone; commands that change it run with mmDrvCritSec held.
#include "net/net.h"
#include "input/input.h"
#include "config/config.h"
#include "diag/log.h"

namespace {

// A cancelled receive reports back through InOvl; this bounds the wait.
constexpr int CancelWaits = 200;  // 200 x 10 ms
// Bounds the datagrams thrown away at a start (a socket buffer's worth).
constexpr int MaxDiscards = 4096;
constexpr int ReceiveBufferBytes = 4 << 20;

// A UDP receive gets a second buffer for whatever a datagram has beyond
// 400 bytes. Without it an oversized datagram already waiting when the
// receive is posted fails the post (WSAEMSGSIZE) and would leave the port
// broken; with it the datagram completes like any other and is cut to 400
// bytes. The bytes that land here are never read, so every port may share it.
BYTE OverflowSink[65536 - PacketSizeMax];

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

// A new start begins a new stream: nothing from before the stop may
// complete a message after it.
void ClearParserState(InState *in)
{
    in->ShortMessage = 0;
    in->RunningStatus = 0;
    in->InSysex = 0;
    in->DataNeeded = 0;
    in->DataIndex = 0;
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

// One receive is posted at a time, so a burst (a long system-exclusive
// message cut into packets) waits in the socket while the thread handles
// each packet; the system's default room holds only about 160 packets. The
// system caps the request at its own limit.
void EnlargeReceiveBuffer(MidiPort *port)
{
    if (TCPClientServer != 0) return;
    int size = ReceiveBufferBytes;
    setsockopt(port->Socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size),
               sizeof size);
}

// Datagrams that arrived while input was stopped (or before the first
// start) wait in the socket; they belong to no started stream.
void DiscardWaitingDatagrams(MidiPort *port)
{
    if (TCPClientServer != 0) return;
    for (int i = 0; i < MaxDiscards; ++i) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(port->Socket, &readable);
        timeval now = {0, 0};
        if (select(0, &readable, nullptr, nullptr, &now) != 1) return;
        char scratch[PacketSizeMax];
        if (recv(port->Socket, scratch, sizeof scratch, 0) == SOCKET_ERROR &&
            WSAGetLastError() != WSAEMSGSIZE)
            return;
    }
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
    EnlargeReceiveBuffer(port);
    DiscardWaitingDatagrams(port);
    return midiInPutBuffer(buffer, port);
}

DWORD SetState(MidiPort *port, DWORD_PTR state)
{
    InState *in = port->pIn;
    DWORD result = 0;
    switch (state) {
    case StateStop:
        if (!in->Started) break;
        in->Started = 0;
        result = midiFlushLocked(port, 0);
        StopReceiving(port);
        ClearParserState(in);
        // Last: the client's callback may start the port again.
        if (result == 0) ReturnPartialLongBuffer(port);
        break;
    case StateStart:
        if (in->Started || in->Bad) break;
        ClearParserState(in);
        LOG(2, "midiThread initial midiInPutBuffer call: %d", 0);
        result = StartReceiving(port);
        LOG(2, "\treturned: %d recued: %d", result, recued);
        if (result != 0) in->Bad = 1;
        result = midiFlushLocked(port, 0);
        if (result != 0) in->Bad = 1;
        else in->Started = 1;
        break;
    case StateReset:
        if (in->Started) {
            in->Started = 0;
            LOG(2, "This message SHOULD not appear, I believe think.");
            result = midiFlushLocked(port, 0);
            StopReceiving(port);
            if (result == 0) {
                in->Bad = 0;
                ClearParserState(in);
                ReturnPartialLongBuffer(port);
            }
        }
        ClearParserState(in);
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

// TCP: after an accept the connection thread has this thread post the
// receive that midiInPutBuffer queued when it started the connection.
void MidiConnect()
{
    MidiPort *port = connport;
    RecvBuffer *buffer = connbuffer;
    if (!port || !buffer) return;
    unsigned portWord = (unsigned)(DWORD_PTR)port;
    unsigned bufferWord = (unsigned)(DWORD_PTR)buffer;
    unsigned eventWord = (unsigned)(DWORD_PTR)&port->AuxEvent1;
    LOG(2, "recue: MidiConnect Msg 0x%lx 0x%lx 0x%lx 0x%lx", portWord, bufferWord, bufferWord,
        eventWord);
    PrepareReceive(port, buffer);
    LOG(2, "recue: recue read 0x%lx 0x%lx 0x%lx 0x%lx 0x%lx", portWord, bufferWord, bufferWord,
        eventWord, (unsigned)port->Socket);
    int result = WSARecv(port->Socket, &port->RecvWsaBuf, 1, &buffer->BytesReceived,
                         &buffer->RecvFlags, &buffer->Overlapped, InOvl);
    int error = result ? WSAGetLastError() : 0;
    LOG(2, "recue:  Result %d by %d", result, error);
    if (result != 0 && error != WSA_IO_PENDING) return;
    port->pIn->Posted = 1;
    const WCHAR *show = port->pUnit ? CommList[port->pUnit->CommUnit % ShowTableSize] : L"";
    LOGW(2, L"recue: Read to show '%s'  0x%lx 0x%lx 0x%lx 0x%lx", show, portWord, bufferWord,
         bufferWord, eventWord);
    if (result != 0) LOG(2, "recue: request recued %d", recued);
}

// (counter ticks) x 10^7 / frequency without overflowing 64 bits after a
// few weeks of uptime.
ULONGLONG TicksToHundredNanoseconds(ULONGLONG ticks, ULONGLONG frequency)
{
    if (!frequency) return 0;
    return ticks / frequency * 10000000ull + ticks % frequency * 10000000ull / frequency;
}

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
        LOG(2, "MidiThread EnterCriticalSection");
        EnterCriticalSection(&mmDrvCritSec);
        LOG(2, "   EnteredCriticalSection");
        BOOL closing = FALSE;
        port->CommandResult = 0;
        port->CommandResult = RunPortCommand(port, port->Command, port->CommandArg, &closing);
        port->Command = 0;
        midiFlush(port);
        if (closing) {
            // The record is freed once AuxEvent2 is set: nothing of this
            // port may stay in flight, and its held blocks go back now.
            port->pIn->Started = 0;
            StopReceiving(port);
            FreeHeldBlocks(port);
        }
        SetEvent(port->AuxEvent2);
        LeaveCriticalSection(&mmDrvCritSec);
        if (closing) {
            LOG(2, "In port closed.");
            return;
        }

        for (;;) {
            DWORD wait = WaitForSingleObjectEx(port->AuxEvent1, INFINITE, TRUE);
            if (wait != WAIT_IO_COMPLETION) break;
            LOG(2, "WSOE %d", recued);
            if (TCPClientServer != 0 && recued && !connected) {
                LOG(2, "WSOE when recued");
                continue;
            }
            LOG(2, "WSOE call midiFlush!");
            midiFlush(port);
        }
    }
}

DWORD midiInPutBuffer(RecvBuffer *buffer, MidiPort *port)
{
    if (buffer->Done != 0) AssertFail("pHdr->Done == 0", "TSMIDIDD", 1768);
    LOG(2, "PutBuffer read on buffer %x socket %x", (unsigned)(DWORD_PTR)buffer,
        (unsigned)port->Socket);
    PrepareReceive(port, buffer);

    int result = 0;
    int error = 0;
    bool posted = true;
    if (TCPClientServer == 0) {
        LOG(2, "UDP receive queueing");
        // The system copies the buffer list at the call.
        WSABUF buffers[2] = {port->RecvWsaBuf, {sizeof OverflowSink, (char *)OverflowSink}};
        result = WSARecvFrom(port->Socket, buffers, 2, &buffer->BytesReceived,
                             &buffer->RecvFlags, reinterpret_cast<sockaddr *>(&buffer->From),
                             &buffer->FromLength, &buffer->Overlapped, InOvl);
        error = result ? WSAGetLastError() : 0;
    } else {
        LOG(2, "TCP receive queueing");
        if (connected) {
            result = WSARecv(port->Socket, &port->RecvWsaBuf, 1, &buffer->BytesReceived,
                             &buffer->RecvFlags, &buffer->Overlapped, InOvl);
            error = result ? WSAGetLastError() : 0;
            LOG(2, "For jollies: wsaerror = %d", error);
            if (result != 0 &&
                (error == WSAECONNABORTED || error == WSAECONNRESET || error == WSAEDISCON)) {
                connected = 0;
                teardown = 1;
            }
        }
        if (!connected) {
            if (teardown) {
                socketCleanUp(port);
                socketRebuild(&port->Socket, port);
            }
            connbuffer = buffer;
            connport = port;
            if (!StartConnectionThread(port)) {
                LOG(1, "Connection thread create failed %ld", GetLastError());
                return MMSYSERR_ERROR;
            }
            LOG(1, "Connection thread recued!");
            // Queued but not posted: the MidiConnect command posts it.
            result = SOCKET_ERROR;
            error = WSA_IO_PENDING;
            WSASetLastError(WSA_IO_PENDING);
            posted = false;
        }
    }
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
    LOG(2, "   (%x)  for group %x", data[0],
        reinterpret_cast<const MidiPacket *>(buffer->Packet)->Groups);
    if (bytes == 0) buffer->Done = 2;
    port->pIn->Posted = 0;
    // UDP: the packet is handled here, on the port thread, rather than after
    // its wait has returned; that return costs about as much as the rest of
    // the input path under Wine (the benchmark's latency goal needs it). The
    // thread's own midiFlush after the wait then finds nothing left. TCP
    // keeps the wait's rule that packets wait while a connection is made.
    if (TCPClientServer == 0) midiFlush(port);
}
