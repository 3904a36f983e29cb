// Port configuration store: the port table, the show table and the
// transport settings, and their layout in the registry.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Every Description, every open port's record and every held block of
// MIDI bytes comes from this private heap (made at process attach).
extern HANDLE DriverHeap;

// The driver-wide lock. Guards the port table and every Unit, every open
// port's MidiPort, the TCP connection state and the configuration globals
// below. Recursive. It may be held while LogLock is taken, never the other
// way round; a command to an input port's thread (threadcall) is never
// sent while holding it, because that thread takes it to run the command.
extern CRITICAL_SECTION mmDrvCritSec;

constexpr int UnitTableSize = 128;  // records in pUnits
constexpr int UnitsInUse = 127;     // slots 0..126 are ports; 127 is overflow only
constexpr DWORD DirectionInput = 0x4000;   // Server%d subkey
constexpr DWORD DirectionOutput = 0x8000;  // Client%d subkey

// One configured port.
struct Unit {
    WCHAR *Description;   // on DriverHeap, or null
    DWORD Direction;      // DirectionInput | DirectionOutput (low 16 bits tested)
    SOCKET OpenHandle;    // run-time: socket of the open port, INVALID_SOCKET when closed
    DWORD ShowNumber;     // ComputeShowNumber of the show name
    DWORD Groups;         // bit k = group k + 1
    BYTE CommUnit;        // show number: index into CommList
    BYTE InUse : 1;
    BYTE OpenInput : 1;   // run-time
    BYTE OpenOutput : 1;  // run-time
};

extern Unit pUnits[UnitTableSize];

constexpr int ShowTableSize = 128;
constexpr int ShowNameLength = 64;

extern WCHAR CommList[ShowTableSize][ShowNameLength];
extern SHORT CommOrder[ShowTableSize];
extern DWORD CommCount;

// Transport: one set for the whole driver.
extern DWORD TCPClientServer;  // 0 UDP broadcast, 1 TCP
extern WCHAR WTCPAddress[128];
extern char TCPAddress[128];

extern const WCHAR ProductKeyPath[];  // L"Software\\Kalvera\\Tessmar"

void InitPortInfo();
void FreePortInfo();
void SetPortInfo();
DWORD ComputeShowNumber(const WCHAR *name);
BOOL LoadShows(HKEY shows);
BOOL GetPortInfo(HKEY subkey, const WCHAR *name);
void SetUnitValues(HKEY subkey, const Unit *unit);
