// Registry and port-table helpers of the foundation tests: hand-made keys in
// the test prefix's HKLM\Software\Kalvera\Tessmar, reading back what the
// driver saved, and filling the in-process port table.
#pragma once

#include "driver/driver.h"
#include <string>
#include <vector>

namespace foundation {

// An open key that closes itself.
struct Key {
    HKEY handle = nullptr;
    Key() = default;
    explicit Key(HKEY h) : handle(h) {}
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key()
    {
        if (handle) RegCloseKey(handle);
    }
    explicit operator bool() const { return handle != nullptr; }
};

// Creates (or opens) a subkey of the product key; "" opens the product key.
HKEY CreateProductSubkey(const std::wstring &name);
HKEY OpenProductSubkey(const std::wstring &name);  // read only, null when absent

void SetDword(HKEY key, const wchar_t *name, DWORD value);
// Writes the characters of text, with a terminator only when asked.
void SetString(HKEY key, const wchar_t *name, const std::wstring &text, bool terminator = true);
void SetRaw(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size);

std::vector<std::wstring> SubkeyNames(HKEY key);
std::vector<std::wstring> ValueNames(HKEY key);
bool ReadDword(HKEY key, const wchar_t *name, DWORD &value);
bool ReadString(HKEY key, const wchar_t *name, std::wstring &value);

// Fills one slot of pUnits as the Configurator would.
void PutUnit(int slot, DWORD direction, const std::wstring &description, BYTE show,
             DWORD groups);
// Names of the configured ports of one direction in device order.
std::vector<std::wstring> DeviceNames(DWORD deviceType);

}  // namespace foundation
