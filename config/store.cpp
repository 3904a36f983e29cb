// Placeholder: replaced by the real implementation.
#include "config/config.h"

WCHAR CommList[ShowTableSize][ShowNameLength];
SHORT CommOrder[ShowTableSize];
DWORD CommCount;
const WCHAR ProductKeyPath[] = L"Software\\Kalvera\\Tessmar";

void InitPortInfo() {}
void FreePortInfo() {}
void SetPortInfo() {}
DWORD ComputeShowNumber(const WCHAR *) { return 0; }
BOOL LoadShows(HKEY) { return FALSE; }
BOOL GetPortInfo(HKEY, const WCHAR *) { return FALSE; }
void SetUnitValues(HKEY, const Unit *) {}
