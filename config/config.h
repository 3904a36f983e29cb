// Port configuration store: the port table, the show table and the
// transport settings, and their layout in the registry.
#pragma once

#include "driver/driver.h"

constexpr int ShowTableSize = 128;
constexpr int ShowNameLength = 64;
// Units of either copy of the TCP address (TCPAddress, WTCPAddress), the
// terminator included.
constexpr int TcpAddressSize = 128;

extern WCHAR CommList[ShowTableSize][ShowNameLength];
extern SHORT CommOrder[ShowTableSize];
extern DWORD CommCount;

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
