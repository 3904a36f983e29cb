// Helpers of the input-side tests: a recorder of the notifications that an
// input port delivers, a bare input port record driven on the test thread
// (parser and acceptance tests), and client buffers.
#pragma once

#include "driver/driver.h"
#include "input/input.h"
#include "net/net.h"
#include "support.h"
#include <functional>
#include <string>
#include <vector>

namespace inputtest {

// One notification as the client saw it; for MIM_LONGDATA/MIM_LONGERROR the
// buffer's recorded bytes and flags are copied at the time of the call.
struct Note {
    DWORD message = 0;
    DWORD_PTR param1 = 0;
    DWORD_PTR param2 = 0;
    std::vector<BYTE> bytes;
    DWORD flags = 0;
    DWORD threadId = 0;
};

// Collects notifications from any thread; waits are bounded.
struct Recorder {
    CRITICAL_SECTION lock;
    HANDLE changed;
    std::vector<Note> notes;
    // Runs inside the callback, after the note is recorded (may call the driver).
    std::function<void(const Note &)> hook;

    Recorder();
    ~Recorder();
    void Add(DWORD message, DWORD_PTR p1, DWORD_PTR p2);
    std::vector<Note> Take();     // removes and returns what was recorded
    std::vector<Note> Snapshot();
    size_t Count();
    // Waits until at least `count` notes are recorded; false on time-out.
    bool WaitFor(size_t count, DWORD timeoutMs = 3000);
    // Waits until the latest note satisfies `predicate` (cheap with many notes).
    bool WaitForLast(const std::function<bool(const Note &)> &predicate, DWORD timeoutMs);
    // Waits until `predicate` holds for the recorded notes.
    bool WaitUntil(const std::function<bool(const std::vector<Note> &)> &predicate,
                   DWORD timeoutMs = 3000);
};

// The driver's private callback type: the driver calls this itself.
void CALLBACK DirectCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                             DWORD_PTR p2);
// CALLBACK_FUNCTION, delivered through winmm's DriverCallback.
void CALLBACK FunctionCallback(HMIDIIN device, UINT message, DWORD_PTR instance, DWORD_PTR p1,
                               DWORD_PTR p2);

// Only the messages of received MIDI (MIM_DATA to MIM_LONGERROR).
std::vector<Note> MidiNotes(const std::vector<Note> &notes);
std::string Describe(const std::vector<Note> &notes);

// A prepared client buffer that owns its memory.
struct ClientBuffer {
    MIDIHDR header = {};
    std::vector<char> memory;
    explicit ClientBuffer(DWORD size);
    ClientBuffer(const ClientBuffer &) = delete;
    ClientBuffer(ClientBuffer &&) = default;  // the memory moves with its header
};

// An input port record built the way the open builds it, with the client
// callback going to a Recorder, but run by the test thread itself: the
// test thread stands in for the port's MidiThread.
struct BarePort {
    MidiPort *port = nullptr;
    Unit unit = {};
    Recorder recorder;
    SOCKET socket = INVALID_SOCKET;
    SOCKET sender = INVALID_SOCKET;
    sockaddr_in address = {};   // where the socket listens (127.0.0.1, own port)

    BarePort(DWORD show = 0x1234, DWORD groups = 0x5);
    ~BarePort();
    void Feed(const std::vector<BYTE> &bytes);  // straight into ParseMidiByte
    DWORD Command(DWORD command, DWORD_PTR argument);  // as the port thread runs it
    DWORD Add(ClientBuffer &buffer) { return Command(CmdAddBuffer, (DWORD_PTR)&buffer.header); }

    // Real receive path: a UDP socket on a loopback port of its own, the
    // port's receive posted with midiInPutBuffer, datagrams completed by
    // InOvl during the test thread's alertable waits, then midiFlush.
    bool OpenSocket();
    bool StartReceiving();     // Started, time base, first receive posted
    // Sends one datagram to the port and handles it; false if the receive
    // did not complete.
    bool Deliver(const std::vector<BYTE> &datagram);
    bool SendOnly(const std::vector<BYTE> &datagram);  // sent, not waited for
    bool Complete();  // waits for the posted receive to complete and be handled
    void StopReceiving();      // cancels the posted receive and waits for it
};

// A packet of the wire format.
std::vector<BYTE> Packet(DWORD senderId, DWORD sequence, DWORD show, DWORD groups,
                         const std::vector<BYTE> &data);

using testsupport::HeapUse;
using testsupport::MeasureHeap;

}  // namespace inputtest

namespace inputtest {

typedef DWORD(APIENTRY *MessageProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// An input port opened through midMessage as winmm opens it, with its
// notifications going to a Recorder (CALLBACK_DIRECT by default).
struct InputClient {
    MessageProc proc;
    UINT deviceId;
    Recorder recorder;
    DWORD_PTR instance = 0;
    DWORD openResult = MMSYSERR_ERROR;

    InputClient(MessageProc proc, UINT deviceId, DWORD callbackType = CALLBACK_DIRECT);
    ~InputClient();   // resets and closes if still open
    bool open() const { return openResult == MMSYSERR_NOERROR; }
    MidiPort *port() const { return reinterpret_cast<MidiPort *>(instance); }
    DWORD Send(UINT message, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0);
    DWORD Add(ClientBuffer &buffer) { return Send(MIDM_ADDBUFFER, (DWORD_PTR)&buffer.header, sizeof(MIDIHDR)); }
    DWORD Close();
};

// Broadcasts one packet to port 12555 of the loopback network.
bool Broadcast(DWORD senderId, DWORD sequence, DWORD show, DWORD groups,
               const std::vector<BYTE> &data);

}  // namespace inputtest
