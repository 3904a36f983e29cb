// Helpers of the port tests: the port table filled straight into the static
// library, ports opened as winmm opens them with every notification
// recorded, packets on port 12555, and resource accounting.
#pragma once

#include <gtest/gtest.h>
#include "driver/driver.h"
#include "support.h"
#include <functional>
#include <string>
#include <vector>

namespace netsupport {

typedef DWORD(APIENTRY *MessageProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct UnitSpec {
    DWORD direction, showNumber, groups;  // direction: DirectionInput and/or DirectionOutput
};
// Replaces the port table by these ports in slot order, as the
// configuration loader leaves it; ClearUnits empties it.
void SetUnits(const std::vector<UnitSpec> &units);
void ClearUnits();

// One notification as the client saw it; for MIM_LONGDATA and MIM_LONGERROR
// the buffer's recorded bytes and flags are copied during the call.
struct Note {
    HDRVR device = nullptr;
    DWORD message = 0;
    DWORD_PTR instance = 0, param1 = 0, param2 = 0;
    std::vector<BYTE> bytes;
    DWORD flags = 0, threadId = 0;
};

// Collects notifications from any thread; waits are bounded.
struct Recorder {
    std::function<void(const Note &)> hook;  // runs inside the callback, may call the driver
    Recorder() { InitializeCriticalSection(&lock_); }
    ~Recorder() { CloseHandle(changed_); DeleteCriticalSection(&lock_); }
    void Add(HDRVR device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
    std::vector<Note> Take();  // removes what was recorded
    std::vector<DWORD> Messages();  // takes, messages only
    bool WaitUntil(const std::function<bool(const std::vector<Note> &)> &done, DWORD timeoutMs);
    // Waits for `count` notes of received MIDI; returns those recorded.
    std::vector<Note> WaitMidi(size_t count, DWORD timeoutMs = 3000);

private:
    CRITICAL_SECTION lock_;
    HANDLE changed_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // set at each note while someone waits
    volatile LONG waiters_ = 0;
    std::vector<Note> notes_;
};
// For CALLBACK_FUNCTION and CALLBACK_DIRECT alike; the instance is a Recorder.
void CALLBACK RecordingCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);
std::vector<Note> MidiNotes(const std::vector<Note> &notes);  // MIM_DATA to MIM_LONGERROR
std::string Describe(const std::vector<Note> &notes);

// A prepared client buffer that owns its memory.
struct ClientBuffer {
    std::vector<BYTE> memory;
    MIDIHDR header;
    explicit ClientBuffer(DWORD size = 64) : memory(size), header(testsupport::PreparedHeader(memory)) {}
    ClientBuffer(ClientBuffer &&) = default;  // the memory moves with its header
    std::vector<BYTE> Recorded() const { return {memory.begin(), memory.begin() + header.dwBytesRecorded}; }
};

// MODM_OPEN or MIDM_OPEN as winmm sends it, notifying `recorder` (nothing
// when it is null, whatever the flags say).
DWORD OpenPort(MessageProc proc, bool input, UINT device, DWORD_PTR *instance,
               Recorder *recorder, DWORD flags = CALLBACK_FUNCTION);

// A client's port; reset and closed when it goes, if still open.
struct Client {
    Recorder recorder;  // first: the open notifies
    MessageProc proc;
    bool input;
    UINT device;
    DWORD_PTR instance = 0;
    DWORD openResult;

    Client(MessageProc proc, bool input, UINT device, DWORD flags = CALLBACK_FUNCTION)
        : proc(proc), input(input), device(device),
          openResult(OpenPort(proc, input, device, &instance, &recorder, flags)) {}
    ~Client();
    bool open() const { return openResult == MMSYSERR_NOERROR; }
    DWORD Send(UINT m, DWORD_PTR a = 0, DWORD_PTR b = 0) { return proc(device, m, instance, a, b); }
    DWORD Add(ClientBuffer &c) { return Send(MIDM_ADDBUFFER, (DWORD_PTR)&c.header, sizeof c.header); }
    DWORD Long(MIDIHDR &h) { return Send(MODM_LONGDATA, (DWORD_PTR)&h, sizeof h); }
    DWORD Close();
};

struct Datagram {
    DWORD senderId = 0, sequence = 0, showNumber = 0, groups = 0;  // the header, in order
    std::vector<BYTE> data;
    int length = 0;        // header included
    u_short fromPort = 0;  // host order
};

// A socket on port 12555 with address reuse, as an input port binds it, and
// a large receive buffer: it sees every packet that an output port broadcasts.
struct Capture {
    SOCKET socket;
    Capture();
    ~Capture() { closesocket(socket); }
    bool ok() const { return socket != INVALID_SOCKET; }
    bool Next(Datagram *packet, int timeoutMs = 2000);
    std::vector<Datagram> Drain(int quietMs = 300);  // until quiet for quietMs
};

std::vector<BYTE> PacketBytes(DWORD senderId, DWORD sequence, DWORD show, DWORD groups,
                              const std::vector<BYTE> &data);
// One packet to port 12555 of the loopback network's broadcast address.
bool Broadcast(DWORD senderId, DWORD sequence, DWORD show, DWORD groups, const std::vector<BYTE> &data);

// A test of UDP ports (no TCP address) with a Winsock reference of its own
// for its sockets; it fills the port table itself, and the table is emptied after it.
class PortTest : public testing::Test {
protected:
    void SetUp() override { testsupport::WinsockUp(); UseUdp(); }
    void TearDown() override { ClearUnits(); UseUdp(); testsupport::WinsockDown(); }
    static void UseUdp() { TCPClientServer = 0; TCPAddress[0] = 0; }
};

// Driver heap (busy blocks and their bytes), process handles, the driver's Winsock references.
struct Resources {
    size_t blocks = 0, bytes = 0;
    DWORD handles = 0;
    LONG winsock = 0;
};
Resources Measure();
// Expects them back as before (with some handles of slack for what the
// system makes lazily) and the driver heap intact.
void ExpectUnchanged(const Resources &before, DWORD handleSlack = 0);

}  // namespace netsupport
