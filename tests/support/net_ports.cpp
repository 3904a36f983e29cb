#include "net_ports.h"
#include <algorithm>
#include <stdio.h>
#include "tools/programs/process_figures.h"

namespace netsupport {

void ClearUnits()
{
    EnterCriticalSection(&mmDrvCritSec);
    for (Unit &unit : pUnits) {
        if (unit.Description) HeapFree(DriverHeap, 0, unit.Description);
        ZeroMemory(&unit, sizeof unit);
        unit.OpenHandle = INVALID_SOCKET;
    }
    LeaveCriticalSection(&mmDrvCritSec);
}

void SetUnits(const std::vector<UnitSpec> &units)
{
    ClearUnits();
    EnterCriticalSection(&mmDrvCritSec);
    for (size_t i = 0; i < units.size() && i < UnitsInUse; ++i) {
        testsupport::PutUnit(int(i), units[i].direction, L"test port", 0, units[i].groups);
        pUnits[i].ShowNumber = units[i].showNumber;
    }
    LeaveCriticalSection(&mmDrvCritSec);
}

void Recorder::Add(HDRVR device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    Note note = {device, message, instance, p1, p2, {}, 0, GetCurrentThreadId()};
    if ((message == MIM_LONGDATA || message == MIM_LONGERROR) && p1) {
        const MIDIHDR *header = reinterpret_cast<const MIDIHDR *>(p1);
        note.flags = header->dwFlags;
        DWORD recorded = std::min(header->dwBytesRecorded, header->dwBufferLength);
        note.bytes.assign(header->lpData, header->lpData + recorded);
    }
    EnterCriticalSection(&lock_);
    notes_.push_back(note);
    LeaveCriticalSection(&lock_);
    if (waiters_) SetEvent(changed_);  // a system call: only when someone waits
    if (hook) hook(note);
}

std::vector<Note> Recorder::Take()
{
    std::vector<Note> taken;
    EnterCriticalSection(&lock_);
    taken.swap(notes_);
    LeaveCriticalSection(&lock_);
    return taken;
}

std::vector<DWORD> Recorder::Messages()
{
    std::vector<DWORD> messages;
    for (const Note &note : Take()) messages.push_back(note.message);
    return messages;
}

bool Recorder::WaitUntil(const std::function<bool(const std::vector<Note> &)> &done, DWORD timeoutMs)
{
    InterlockedIncrement(&waiters_);
    for (DWORD start = GetTickCount();;) {
        EnterCriticalSection(&lock_);
        bool finished = done(notes_);  // no copy: cheap with many notes
        LeaveCriticalSection(&lock_);
        DWORD elapsed = GetTickCount() - start;
        if (finished || elapsed >= timeoutMs) {
            InterlockedDecrement(&waiters_);
            return finished;
        }
        WaitForSingleObject(changed_, std::min<DWORD>(timeoutMs - elapsed, 50));
    }
}

std::vector<Note> Recorder::WaitMidi(size_t count, DWORD timeoutMs)
{
    std::vector<Note> midi;
    WaitUntil([&](const std::vector<Note> &n) { return (midi = MidiNotes(n)).size() >= count; }, timeoutMs);
    return midi;
}

void CALLBACK RecordingCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
{
    reinterpret_cast<Recorder *>(instance)->Add(device, message, instance, p1, p2);
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
    for (const Note &note : notes) {
        char line[96];
        snprintf(line, sizeof line, "[%x p1=%llx p2=%llu n=%u] ", unsigned(note.message),
                 (unsigned long long)note.param1, (unsigned long long)note.param2,
                 unsigned(note.bytes.size()));
        text += line;
    }
    return text;
}

DWORD OpenPort(MessageProc proc, bool input, UINT device, DWORD_PTR *instance, Recorder *recorder, DWORD flags)
{
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(0x4321);
    if (recorder) {
        desc.dwCallback = reinterpret_cast<DWORD_PTR>(&RecordingCallback);
        desc.dwInstance = reinterpret_cast<DWORD_PTR>(recorder);
    }
    return proc(device, input ? MIDM_OPEN : MODM_OPEN, reinterpret_cast<DWORD_PTR>(instance),
                reinterpret_cast<DWORD_PTR>(&desc), flags);
}

Client::~Client()
{
    recorder.hook = nullptr;
    if (open() && (!input || Send(MIDM_RESET) == 0)) Close();
}

DWORD Client::Close()
{
    DWORD result = Send(input ? MIDM_CLOSE : MODM_CLOSE);
    if (result == MMSYSERR_NOERROR) openResult = MMSYSERR_ERROR;
    return result;
}

Capture::Capture() : socket(::socket(AF_INET, SOCK_DGRAM, 0))
{
    BOOL on = TRUE;
    int size = 4 << 20;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size), sizeof size);
    sockaddr_in address = testsupport::NetworkPortAddress();
    if (bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        closesocket(socket);
        socket = INVALID_SOCKET;
    }
}

bool Capture::Next(Datagram *packet, int timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {timeoutMs / 1000, timeoutMs % 1000 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) != 1) return false;
    BYTE buffer[2048];
    sockaddr_in from = {};
    int fromLength = sizeof from;
    int got = recvfrom(socket, reinterpret_cast<char *>(buffer), sizeof buffer, 0,
                       reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (got < 0) return false;
    *packet = Datagram();
    packet->length = got;
    packet->fromPort = ntohs(from.sin_port);
    int header = std::min(got, static_cast<int>(PacketHeaderSize));
    CopyMemory(&packet->senderId, buffer, header);  // the four header words
    packet->data.assign(buffer + header, buffer + got);
    return true;
}

std::vector<Datagram> Capture::Drain(int quietMs)
{
    std::vector<Datagram> packets;
    for (Datagram packet; Next(&packet, quietMs);) packets.push_back(packet);
    return packets;
}

std::vector<BYTE> PacketBytes(DWORD senderId, DWORD sequence, DWORD show, DWORD groups,
                              const std::vector<BYTE> &data)
{
    DWORD words[4] = {senderId, sequence, show, groups};
    std::vector<BYTE> packet(PacketHeaderSize + data.size());
    memcpy(packet.data(), words, sizeof words);
    std::copy(data.begin(), data.end(), packet.begin() + PacketHeaderSize);
    return packet;
}

bool Broadcast(DWORD senderId, DWORD sequence, DWORD show, DWORD groups, const std::vector<BYTE> &data)
{
    std::vector<BYTE> packet = PacketBytes(senderId, sequence, show, groups, data);
    return testsupport::SendDatagram(packet.data(), static_cast<int>(packet.size()));
}

Resources Measure()
{
    Resources now;
    now.bytes = HeapBusyBytes(DriverHeap, &now.blocks);
    now.handles = OwnHandleCount();
    now.winsock = wsacount;
    return now;
}

void ExpectUnchanged(const Resources &before, DWORD handleSlack)
{
    Resources now = Measure();
    EXPECT_TRUE(HeapValidate(DriverHeap, 0, nullptr));
    EXPECT_EQ(now.blocks, before.blocks);
    EXPECT_EQ(now.bytes, before.bytes);
    EXPECT_LE(now.handles, before.handles + handleSlack);
    EXPECT_EQ(now.winsock, before.winsock);
}

}  // namespace netsupport
