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
// Units of either copy of the TCP address (TCPAddress, WTCPAddress), the
// terminator included.
constexpr int TcpAddressSize = 128;

extern WCHAR CommList[ShowTableSize][ShowNameLength];
extern SHORT CommOrder[ShowTableSize];
extern DWORD CommCount;

// Transport: one set for the whole driver.
extern DWORD TCPClientServer;  // 0 UDP broadcast, 1 TCP
extern WCHAR WTCPAddress[TcpAddressSize];
extern char TCPAddress[TcpAddressSize];

extern const WCHAR ProductKeyPath[];  // L"Software\\Kalvera\\Tessmar"

void InitPortInfo();
void FreePortInfo();
void SetPortInfo();
DWORD ComputeShowNumber(const WCHAR *name);
BOOL LoadShows(HKEY shows);
BOOL GetPortInfo(HKEY subkey, const WCHAR *name);

// Writers of the values of one subkey, shared by the save and the
// installer's first configuration. Failures are logged, not returned,
// except by SetShowValue, whose callers decide.
void SetUnitValues(HKEY subkey, const Unit *unit);
// TCPClientServer and TCPAddress of the TCPInfo subkey. The address comes
// narrow and is written wide, from wideAddress (TcpAddressSize units),
// which keeps that wide copy.
void SetTransportValues(HKEY subkey, DWORD mode, const char *address, WCHAR *wideAddress);
// The value Show<number> of the Shows subkey.
LONG SetShowValue(HKEY subkey, int number, const WCHAR *name);

// The stored debug level, PrintDebugInfo of the product key (decoded by
// DecodeDebugLevel): 0 when the key or a 4-byte value is missing.
DWORD ReadDebugLevelValue();
// Writes it, creating the product key if need be; nothing when that fails.
void WriteDebugLevelValue(DWORD stored);

// Copies the TCP address from one of its copies to the other, one unit per
// character: a narrow copy keeps the low byte of each wide unit, a wide copy
// widens each byte. At most `length` characters, always terminated; returns
// the number of characters copied.
template <typename To, typename From> int CopyAddressText(To *target, const From *source, int length)
{
    int i = 0;
    for (; i < length && source[i]; ++i)
        target[i] = static_cast<To>(static_cast<BYTE>(source[i]));
    target[i] = 0;
    return i;
}
