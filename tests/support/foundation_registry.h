// Registry and port-table helpers of the foundation tests: hand-made keys in
// the test prefix's HKLM\Software\Kalvera\Tessmar, reading back what the
// driver saved, and filling the in-process port table.
#pragma once

#include "driver/driver.h"
#include "support.h"
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

using testsupport::SetDword;
using testsupport::SetRaw;
using testsupport::SetString;
using testsupport::SubkeyNames;
using testsupport::ValueNames;
bool ReadDword(HKEY key, const wchar_t *name, DWORD &value);
bool ReadString(HKEY key, const wchar_t *name, std::wstring &value);

// Fills one slot of pUnits as the Configurator would.
void PutUnit(int slot, DWORD direction, const std::wstring &description, BYTE show,
             DWORD groups);
// Names of the configured ports of one direction in device order.
std::vector<std::wstring> DeviceNames(DWORD deviceType);

}  // namespace foundation
