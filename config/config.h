// Port configuration store: the port table, the show table and the
// transport settings, and their layout in the registry.
#pragma once

#include "driver/driver.h"

constexpr int ShowTableSize = 128;
constexpr int ShowNameLength = 64;

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
void SetUnitValues(HKEY subkey, const Unit *unit);
