// Helpers for the output-side tests: ports configured straight into the
// static library's table, opens made as winmm makes them, notification
// recording, packet capture and driver-heap accounting.
#pragma once

#include "driver/driver.h"
#include "support.h"
#include <string>
#include <vector>

namespace netsupport {

typedef DWORD(APIENTRY *DriverMessageProc)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// --- The static library's port table ---------------------------------------

struct UnitSpec {
    DWORD direction;    // DirectionInput and/or DirectionOutput
    DWORD showNumber;
    DWORD groups;
};

// Replaces the whole table by these ports, in slot order, as the
// configuration loader would leave it. ClearUnits empties it again.
void SetUnits(const std::vector<UnitSpec> &units);
void ClearUnits();

// --- Notifications ----------------------------------------------------------

struct Notification {
    HDRVR device;
    UINT message;
    DWORD_PTR instance;
    DWORD_PTR param1;
    DWORD_PTR param2;
    DWORD threadId;
};

// Collects what a CALLBACK_FUNCTION or CALLBACK_DIRECT client receives. The
// recorder's own address is the client instance value.
struct Recorder {
    CRITICAL_SECTION lock;
    std::vector<Notification> seen;
    Recorder();
    ~Recorder();
    std::vector<Notification> Take();
    std::vector<UINT> Messages();
};
void CALLBACK RecordingCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                DWORD_PTR param2);

// MODM_OPEN as winmm sends it: the instance location, the open description
// and the flags. callback 0 asks for no notifications.
DWORD OpenPort(DriverMessageProc proc, UINT message, UINT deviceId, DWORD_PTR *instance,
               DWORD_PTR callback, DWORD_PTR clientInstance, DWORD flags,
               HMIDI handle = reinterpret_cast<HMIDI>(0x1234));
DWORD OpenOutput(UINT deviceId, DWORD_PTR *instance, Recorder *recorder = nullptr);
MidiPort *OpenOutputPort(UINT deviceId, Recorder *recorder = nullptr);  // asserts success
DWORD Send(MidiPort *port, UINT message, DWORD_PTR param1 = 0, DWORD_PTR param2 = 0);
DWORD SendShort(MidiPort *port, BYTE status, BYTE data1 = 0, BYTE data2 = 0);
DWORD ClosePort(MidiPort *port);

// --- Packets ----------------------------------------------------------------

struct Packet {
    DWORD senderId;
    DWORD sequence;
    DWORD showNumber;
    DWORD groups;
    std::vector<BYTE> data;
    int length;          // whole datagram, header included
};

// A capture socket (port 12555, address reuse) with a large receive buffer.
class Capture {
public:
    Capture();
    ~Capture();
    bool ok() const { return socket_ != INVALID_SOCKET; }
    // Every packet that arrives until none has come for quietMs.
    std::vector<Packet> Drain(int quietMs = 300);
    // One packet, or false after timeoutMs.
    bool Next(Packet *packet, int timeoutMs = 2000);
    SOCKET socket() const { return socket_; }

private:
    SOCKET socket_;
};

// --- Resources --------------------------------------------------------------

using HeapUsage = testsupport::HeapUse;
inline HeapUsage BusyBlocks(HANDLE heap) { return testsupport::MeasureHeap(heap); }
DWORD HandleCount();

}  // namespace netsupport
