// The driver's entry points and the routines of the top layer: device
// numbering, port open and close, client notification and the message
// dispatch. The records they work on live below (config/config.h for the
// port table, input/port.h for open ports); nothing below includes this file.
#pragma once

#include "config/config.h"
#include "diag/log.h"
#include "net/net.h"

constexpr DWORD CALLBACK_DIRECT = 0x00060000;  // driver-private callback type
constexpr DWORD CallbackTypeMask = 0x00070000;

// Private port-table messages of modMessage / midMessage.
enum : UINT {
    MODM_PORTTABLEPROBE = 32,
    MODM_PORTTABLEQUERY = 33,
    MIDM_PORTTABLEPROBE = 64,
    MIDM_PORTTABLEQUERY = 65,
};

extern DWORD opencount;           // opens less closes, for the log
extern BYTE SafeForNetworking;    // DRV_LOAD's decision for this process

// ---------------------------------------------------------------------------
// Driver entry and lifecycle (driver/entry.cpp)
// ---------------------------------------------------------------------------

// Process attach/detach work of the library entry; tests that link the
// static library call these themselves.
BOOL DriverProcessAttach(HINSTANCE module);
void DriverProcessDetach();

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                       LPARAM param1, LPARAM param2);
extern "C" DWORD APIENTRY modMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2);
extern "C" DWORD APIENTRY midMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2);

// Inputs of the decision whether this process may run the driver.
struct SafetyFacts {
    BOOL userNameRead;
    const WCHAR *userName;
    DWORD version;        // GetVersion() value
    BOOL foundExplorer;
    BOOL foundLogonUI;
};
BOOL DecideSafeForNetworking(const SafetyFacts &facts);
BOOL QuerySafeForNetworking();

// ---------------------------------------------------------------------------
// Device numbering and capabilities (driver/devices.cpp)
// ---------------------------------------------------------------------------

DWORD CountDevices(DWORD deviceType);
Unit *IndexToUnit(DWORD deviceId, DWORD deviceType);
DWORD GetDevCaps(DWORD deviceId, DWORD deviceType, void *caps, DWORD size);
DWORD PortTableQuery(DWORD deviceId, DWORD deviceType, void *buffer, DWORD size);

// ---------------------------------------------------------------------------
// Port open and close (driver/ports.cpp)
// ---------------------------------------------------------------------------

DWORD midiOpen(DWORD deviceType, DWORD deviceId, DWORD_PTR *instance,
               const MIDIOPENDESC *desc, DWORD flags);
DWORD sndOpenDev(DWORD deviceType, DWORD deviceId, SOCKET *socket, MidiPort *port);
void midiCleanUp(MidiPort *port);
// A client call's hold on its port record: null for a value that is not the
// record of an open port of that type (it is not read), else the record,
// which stays allocated until LeavePort even if the port closes meanwhile.
// The last call to leave a closed record frees it.
MidiPort *EnterPort(DWORD_PTR user, DWORD deviceType);
void LeavePort(MidiPort *port);


// winmm exports DriverCallback but the platform headers do not declare it.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice,
                                      DWORD dwMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                      DWORD_PTR dwParam2);

// ---------------------------------------------------------------------------
// Output and input driver messages (driver/output.cpp, driver/input.cpp)
// ---------------------------------------------------------------------------

int ShortMessageLength(MidiPort *port, BYTE status);

// The header fields the driver reads and writes end with `reserved` (the
// size of the first MIDIHDR, which old programs still pass). MIDM_ADDBUFFER
// and MODM_LONGDATA refuse a smaller cbMidiHdr before reading any field:
// past it may lie memory the client does not have.
constexpr DWORD_PTR MidiHeaderSizeMin = offsetof(MIDIHDR, dwOffset);
