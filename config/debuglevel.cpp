// The stored debug level: the value PrintDebugInfo of the product key, read
// when the library enters a process and written by the Configurator's
// Help/About shortcut. What the number means is the log's business
// (DecodeDebugLevel).
#include "config/config.h"

namespace {

const WCHAR DebugLevelValue[] = L"PrintDebugInfo";

}  // namespace

DWORD ReadDebugLevelValue()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD stored = 0, size = sizeof stored;
    // Any type of exactly four bytes counts.
    if (RegQueryValueExW(key, DebugLevelValue, nullptr, nullptr,
                         reinterpret_cast<BYTE *>(&stored), &size) != ERROR_SUCCESS ||
        size != sizeof stored)
        stored = 0;
    RegCloseKey(key);
    return stored;
}

void WriteDebugLevelValue(DWORD stored)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, DebugLevelValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&stored),
                   sizeof stored);
    RegCloseKey(key);
}
