#include "input_harness.h"
#include "support.h"
#include <stdio.h>

namespace inputtest {

Recorder::Recorder()
{
    InitializeCriticalSection(&lock);
    changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

Recorder::~Recorder()
{
    CloseHandle(changed);
    DeleteCriticalSection(&lock);
}

void Recorder::Add(DWORD message, DWORD_PTR p1, DWORD_PTR p2)
{
    Note note;
    note.message = message;
    note.param1 = p1;
    note.param2 = p2;
    note.threadId = GetCurrentThreadId();
    if ((message == MIM_LONGDATA || message == MIM_LONGERROR) && p1) {
        const MIDIHDR *header = reinterpret_cast<const MIDIHDR *>(p1);
        note.flags = header->dwFlags;
        DWORD recorded = header->dwBytesRecorded;
        if (recorded > header->dwBufferLength) recorded = header->dwBufferLength;
        note.bytes.assign(header->lpData, header->lpData + recorded);
    }
    EnterCriticalSection(&lock);
    notes.push_back(note);
    LeaveCriticalSection(&lock);
    SetEvent(changed);
    if (hook) hook(note);
}

std::vector<Note> Recorder::Take()
{
    EnterCriticalSection(&lock);
    std::vector<Note> taken;
    taken.swap(notes);
    LeaveCriticalSection(&lock);
    return taken;
}

std::vector<Note> Recorder::Snapshot()
{
    EnterCriticalSection(&lock);
    std::vector<Note> copy = notes;
    LeaveCriticalSection(&lock);
    return copy;
}

size_t Recorder::Count()
{
    EnterCriticalSection(&lock);
    size_t count = notes.size();
    LeaveCriticalSection(&lock);
    return count;
}

bool Recorder::WaitFor(size_t count, DWORD timeoutMs)
{
    return WaitUntil([count](const std::vector<Note> &n) { return n.size() >= count; },
                     timeoutMs);
}

bool Recorder::WaitUntil(const std::function<bool(const std::vector<Note> &)> &predicate,
                         DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (predicate(Snapshot())) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        WaitForSingleObject(changed, timeoutMs - elapsed < 50 ? timeoutMs - elapsed : 50);
    }
}

bool Recorder::WaitForLast(const std::function<bool(const Note &)> &predicate, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        EnterCriticalSection(&lock);
        bool done = !notes.empty() && predicate(notes.back());
        LeaveCriticalSection(&lock);
        if (done) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        WaitForSingleObject(changed, timeoutMs - elapsed < 50 ? timeoutMs - elapsed : 50);
    }
}

void CALLBACK DirectCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                             DWORD_PTR p2)
{
    // The driver passes no device handle to its own callback type.
    if (device != nullptr) message |= 0x80000000u;
    reinterpret_cast<Recorder *>(instance)->Add(message, p1, p2);
}

void CALLBACK FunctionCallback(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                               DWORD_PTR p2)
{
    reinterpret_cast<Recorder *>(instance)->Add(message, p1, p2);
}

std::vector<Note> MidiNotes(const std::vector<Note> &notes)
{
    std::vector<Note> midi;
    for (const Note &note : notes)
        if (note.message >= MIM_DATA && note.message <= MIM_LONGERROR) midi.push_back(note);
    return midi;
}

std::string Describe(const std::vector<Note> &notes)
{
    std::string text;
    char line[96];
    for (const Note &note : notes) {
        snprintf(line, sizeof line, "[%x p1=%llx p2=%llu n=%u] ", static_cast<unsigned>(note.message),
                 static_cast<unsigned long long>(note.param1),
                 static_cast<unsigned long long>(note.param2),
                 static_cast<unsigned>(note.bytes.size()));
        text += line;
    }
    return text;
}

ClientBuffer::ClientBuffer(DWORD size) : memory(size)
{
    header.lpData = memory.data();
    header.dwBufferLength = size;
    header.dwFlags = MHDR_PREPARED;
}

BarePort::BarePort(DWORD show, DWORD groups)
{
    port = static_cast<MidiPort *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, InputPortSize));
    unit.ShowNumber = show;
    unit.Groups = groups;
    unit.Direction = DirectionInput;
    port->DeviceType = MidiInDevice;
    port->pUnit = &unit;
    port->pIn = &port->In;
    port->In.Buffer.Owner = port;
    port->In.Parser.Started = 1;
    port->Socket = INVALID_SOCKET;
    port->AcceptSocket = INVALID_SOCKET;
    port->WorkSocket = INVALID_SOCKET;
    port->dwCallback = reinterpret_cast<DWORD_PTR>(&DirectCallback);
    port->dwInstance = reinterpret_cast<DWORD_PTR>(&recorder);
    port->dwFlags = CALLBACK_DIRECT;
}

BarePort::~BarePort()
{
    StopReceiving();
    if (socket != INVALID_SOCKET) closesocket(socket);
    if (sender != INVALID_SOCKET) closesocket(sender);
    FreeHeldBlocks(port);
    HeapFree(GetProcessHeap(), 0, port);
}

void BarePort::Feed(const std::vector<BYTE> &bytes)
{
    for (BYTE b : bytes) ParseMidiByte(port, b);
}

DWORD BarePort::Command(DWORD command, DWORD_PTR argument)
{
    // The test thread is this record's only thread: no lock is needed.
    BOOL closing = FALSE;
    return RunPortCommand(port, command, argument, &closing);
}

bool BarePort::OpenSocket()
{
    testsupport::WinsockUp();
    socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket == INVALID_SOCKET) return false;
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return false;
    int length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) return false;
    port->Socket = socket;
    return true;
}

bool BarePort::StartReceiving()
{
    if (socket == INVALID_SOCKET && !OpenSocket()) return false;
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    port->CounterFrequency = value.QuadPart;
    QueryPerformanceCounter(&value);
    port->StartCounter = value.QuadPart;
    port->In.Parser.Started = 1;
    port->In.Bad = 0;
    return midiInPutBuffer(&port->In.Buffer, port) == MMSYSERR_NOERROR;
}

bool BarePort::SendOnly(const std::vector<BYTE> &datagram)
{
    if (sender == INVALID_SOCKET) sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    int sent = sendto(sender, reinterpret_cast<const char *>(datagram.data()),
                      static_cast<int>(datagram.size()), 0,
                      reinterpret_cast<const sockaddr *>(&address), sizeof address);
    return sent == static_cast<int>(datagram.size());
}

bool BarePort::Deliver(const std::vector<BYTE> &datagram)
{
    if (!SendOnly(datagram)) return false;
    return Complete();
}

bool BarePort::Complete()
{
    // The completion routine handles the packet itself (UDP); what it left
    // queued, the thread's own midiFlush after the wait takes.
    for (int i = 0; i < 300; ++i) {
        if (SleepEx(10, TRUE) == WAIT_IO_COMPLETION) {
            midiFlush(port);
            return true;
        }
    }
    return false;
}

void BarePort::StopReceiving()
{
    port->In.Parser.Started = 0;
    port->In.RecvQueue = nullptr;
    if (!port->In.Posted) return;
    CancelIo(reinterpret_cast<HANDLE>(socket));
    for (int i = 0; i < 300 && port->In.Posted; ++i) SleepEx(10, TRUE);
    port->In.Buffer.Done = 0;
}

std::vector<BYTE> Packet(DWORD senderId, DWORD sequence, DWORD show, DWORD groups,
                         const std::vector<BYTE> &data)
{
    std::vector<BYTE> packet(16 + data.size());
    DWORD words[4] = {senderId, sequence, show, groups};
    memcpy(packet.data(), words, sizeof words);
    if (!data.empty()) memcpy(packet.data() + 16, data.data(), data.size());
    return packet;
}


InputClient::InputClient(MessageProc proc, UINT deviceId, DWORD callbackType)
    : proc(proc), deviceId(deviceId)
{
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(0x4321);
    desc.dwCallback = callbackType == CALLBACK_DIRECT
                          ? reinterpret_cast<DWORD_PTR>(&DirectCallback)
                          : reinterpret_cast<DWORD_PTR>(&FunctionCallback);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(&recorder);
    openResult = proc(deviceId, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&instance),
                      reinterpret_cast<DWORD_PTR>(&desc), callbackType);
}

InputClient::~InputClient()
{
    recorder.hook = nullptr;
    if (!open()) return;
    Send(MIDM_RESET);
    Close();
}

DWORD InputClient::Send(UINT message, DWORD_PTR p1, DWORD_PTR p2)
{
    return proc(deviceId, message, instance, p1, p2);
}

DWORD InputClient::Close()
{
    DWORD result = Send(MIDM_CLOSE);
    if (result == MMSYSERR_NOERROR) openResult = MMSYSERR_ERROR;
    return result;
}

bool Broadcast(DWORD senderId, DWORD sequence, DWORD show, DWORD groups,
               const std::vector<BYTE> &data)
{
    std::vector<BYTE> packet = Packet(senderId, sequence, show, groups, data);
    return testsupport::SendDatagram(packet.data(), static_cast<int>(packet.size()));
}

}  // namespace inputtest
