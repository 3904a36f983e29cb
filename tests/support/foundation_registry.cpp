#include "foundation_registry.h"
#include "config/config.h"

namespace foundation {

static std::wstring Path(const std::wstring &name)
{
    std::wstring path = ProductKeyPath;
    if (!name.empty()) path += L"\\" + name;
    return path;
}

HKEY CreateProductSubkey(const std::wstring &name)
{
    return testsupport::CreateKey(HKEY_LOCAL_MACHINE, Path(name));
}

HKEY OpenProductSubkey(const std::wstring &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool ReadDword(HKEY key, const wchar_t *name, DWORD &value)
{
    DWORD type = 0, size = sizeof value;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

bool ReadString(HKEY key, const wchar_t *name, std::wstring &value)
{
    wchar_t text[1024] = {};
    DWORD type = 0, size = sizeof text - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    value = text;
    return true;
}

void PutUnit(int slot, DWORD direction, const std::wstring &description, BYTE show,
             DWORD groups)
{
    Unit &unit = pUnits[slot];
    if (unit.Description) HeapFree(DriverHeap, 0, unit.Description);
    unit.Description = static_cast<WCHAR *>(
        HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, (description.size() + 1) * sizeof(WCHAR)));
    CopyMemory(unit.Description, description.c_str(), description.size() * sizeof(WCHAR));
    unit.Direction = direction;
    unit.CommUnit = show;
    unit.Groups = groups;
    unit.InUse = 1;
}

std::vector<std::wstring> DeviceNames(DWORD deviceType)
{
    std::vector<std::wstring> names;
    for (DWORD id = 0;; ++id) {
        Unit *unit = IndexToUnit(id, deviceType);
        if (!unit) break;
        names.push_back(unit->Description ? unit->Description : L"(none)");
    }
    return names;
}

}  // namespace foundation
