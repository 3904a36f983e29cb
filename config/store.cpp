// The configuration store: loads the port table, the show table and the
// transport settings from HKLM\Software\Kalvera\Tessmar and writes them back.
//
// Every outcome goes to the log at level 2; callers get no result.
#include "config/config.h"
#include "core/packet.h"
#include "diag/log.h"

WCHAR CommList[ShowTableSize][ShowNameLength];
SHORT CommOrder[ShowTableSize];
DWORD CommCount;
const WCHAR ProductKeyPath[] = L"Software\\Kalvera\\Tessmar";

namespace {

constexpr DWORD NameBufferLength = 64;  // units, for subkey and value names
constexpr DWORD DataBufferSize = 64;    // bytes of value data the loader reads
constexpr DWORD UnitNumberLimit = 127;  // Server%d/Client%d and Show%d numbers
// A port subkey holds three values; a key with more than this many is read
// only this far, as if the next read had failed.
constexpr DWORD MaxValuesPerKey = 64;

bool StartsWith(const WCHAR *name, const WCHAR *prefix)
{
    while (*prefix)
        if (*name++ != *prefix++) return false;
    return true;
}

// The number after a key's prefix, digit or not, in wrapping 32-bit
// arithmetic: "Show" alone gives 0.
DWORD ParseUnitNumber(const WCHAR *digits)
{
    DWORD n = 0;
    for (; *digits; ++digits) n = n * 10 + static_cast<DWORD>(*digits - L'0');
    return n;
}

// Copies registry string data that may lack a terminator or hold an odd
// byte: at most capacity - 1 units, always terminated.
void CopyRegistryString(WCHAR *target, DWORD capacity, const BYTE *data, DWORD bytes)
{
    DWORD units = bytes / sizeof(WCHAR);
    const WCHAR *source = reinterpret_cast<const WCHAR *>(data);
    DWORD i = 0;
    for (; i < units && i < capacity - 1 && source[i]; ++i) target[i] = source[i];
    target[i] = 0;
}

// Lowest free port slot; the 128th record takes what does not fit.
int FreeSlot()
{
    for (int i = 0; i < UnitsInUse; ++i)
        if (!pUnits[i].InUse) return i;
    return UnitTableSize - 1;
}

void ClearTable()
{
    for (int i = 0; i < UnitTableSize; ++i) {
        if (pUnits[i].Description) HeapFree(DriverHeap, 0, pUnits[i].Description);
        ZeroMemory(&pUnits[i], sizeof pUnits[i]);
        pUnits[i].OpenHandle = INVALID_SOCKET;
    }
}

// One value of a subkey as read by RegEnumValueW.
struct ValueRead {
    LONG status;
    DWORD index;
    DWORD type;
    DWORD size;
    WCHAR name[NameBufferLength];
    BYTE data[DataBufferSize + sizeof(WCHAR)];  // room for a terminator
};

LONG ReadValue(HKEY key, DWORD index, ValueRead &value)
{
    ZeroMemory(&value, sizeof value);
    value.index = index;
    DWORD nameLength = NameBufferLength;
    value.size = DataBufferSize;
    value.status = RegEnumValueW(key, index, value.name, &nameLength, nullptr, &value.type,
                                 value.data, &value.size);
    if (value.status == ERROR_MORE_DATA) {
        // Only the data was too big: learn the name, so the value can still
        // be placed in the order below.
        nameLength = NameBufferLength;
        if (RegEnumValueW(key, index, value.name, &nameLength, nullptr, &value.type, nullptr,
                          nullptr) != ERROR_SUCCESS)
            value.name[0] = 0;
    }
    return value.status;
}

DWORD AsDword(const ValueRead &value)
{
    DWORD v;
    CopyMemory(&v, value.data, sizeof v);
    return v;
}

enum class KeyKind { Server, Client, TcpInfo };

// Applies one understood value; false ends the subkey (wrong type or a
// unit number out of range), with *result set as the loader reports it.
bool ApplyPortValue(KeyKind kind, const WCHAR *keyName, const ValueRead &value, BOOL &result,
                    bool &exitLogged)
{
    if (kind == KeyKind::TcpInfo) {
        if (lstrcmpW(value.name, L"TCPClientServer") == 0) {
            if (value.type != REG_DWORD) {
                LOG(2, "   TCPClientServer value isn't DWORD!");
                return false;
            }
            TCPClientServer = LOWORD(AsDword(value));
            LOG(2, "   TCPClientServer %d", TCPClientServer);
        } else if (lstrcmpW(value.name, L"TCPAddress") == 0) {
            if (value.type != REG_SZ) {
                LOG(2, "   TCPAddress value isn't string!");
                return false;
            }
            CopyRegistryString(WTCPAddress, TcpAddressSize, value.data, value.size);
            LOGW(2, L"   WTCPAddress %s", WTCPAddress);
            CopyAddressText(TCPAddress, WTCPAddress, TcpAddressSize - 1);
        } else {
            LOGW(2, L"   unknown subkey '%s'", value.name);
            result = FALSE;
        }
        return true;
    }

    LOGW(2, L"  entry %d = %s", value.index, value.name);
    if (ParseUnitNumber(keyName + 6) >= UnitNumberLimit) {
        LOGW(2, L" invalid unit # '%s'", keyName);
        result = FALSE;
        exitLogged = true;  // this refusal ends the subkey without "GetPortInfo exit"
        return false;
    }
    int slot = FreeSlot();
    Unit &unit = pUnits[slot];
    unit.Direction |= (kind == KeyKind::Server) ? DirectionInput : DirectionOutput;

    if (lstrcmpW(value.name, L"Show") == 0) {
        if (value.type != REG_DWORD) {
            LOG(2, "   Show value isn't DWORD!");
            return false;
        }
        unit.CommUnit = static_cast<BYTE>(AsDword(value) & 0xFF);
        LOG(2, "   unit %d Show %d", slot, unit.CommUnit);
        // Show numbers past the show table name no show: such a port gets
        // the empty name and show number 0.
        unit.ShowNumber =
            unit.CommUnit < ShowTableSize ? ComputeShowNumber(CommList[unit.CommUnit]) : 0;
        LOG(2, "ShowNumber = %lx\n", unit.ShowNumber);
    } else if (lstrcmpW(value.name, L"Groups") == 0) {
        if (value.type != REG_DWORD) {
            LOG(2, "   Groups value isn't DWORD!");
            return false;
        }
        unit.Groups = AsDword(value);
        LOG(2, "   Groups %d %x", slot, unit.Groups);
    } else if (lstrcmpW(value.name, L"Description") == 0) {
        if (value.type != REG_SZ) {
            LOG(2, "   Description value isn't string!");
            return false;
        }
        if (unit.Description) HeapFree(DriverHeap, 0, unit.Description);
        // One unit more than the data holds, so data without a terminator
        // still ends in one.
        DWORD units = value.size / sizeof(WCHAR) + 1;
        unit.Description =
            static_cast<WCHAR *>(HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, units * sizeof(WCHAR)));
        if (!unit.Description) return true;
        CopyRegistryString(unit.Description, units, value.data, value.size);
        LOGW(2, L"   description %d %s", slot, unit.Description);
        unit.InUse = 1;
    } else {
        LOGW(2, L"   unknown subkey '%s'", value.name);
        result = FALSE;
    }
    return true;
}

}  // namespace

DWORD ComputeShowNumber(const WCHAR *name)
{
    static_assert(sizeof(WCHAR) == sizeof(char16_t), "show names are UTF-16");
    return ShowNumberOf(reinterpret_cast<const char16_t *>(name));
}

BOOL LoadShows(HKEY shows)
{
    LOG(2, " searching for value keys for Shows");
    for (DWORD index = 0;; ++index) {
        ValueRead value;
        if (ReadValue(shows, index, value) != ERROR_SUCCESS) {
            LOG(2, " got error %d on show RegEnumValue", value.status);
            LOG(2, " loaded all shows");
            return TRUE;
        }
        LOGW(2, L"  entry %d = %s", index, value.name);
        if (!StartsWith(value.name, L"Show")) {
            LOGW(2, L" invalid key '%s', s/b Unit", value.name);
            return FALSE;
        }
        DWORD n = ParseUnitNumber(value.name + 4);
        if (n >= UnitNumberLimit) {
            LOGW(2, L" invalid unit # '%s'", value.name);
            return FALSE;
        }
        CopyRegistryString(CommList[n], ShowNameLength, value.data, value.size);
        if (CommCount >= static_cast<DWORD>(ShowTableSize)) {
            // The list is full (only repeated numbers can get here): the
            // name is kept for the ports that use it but not listed again.
            LOGW(2, L" show list full, '%s' not listed", value.name);
            continue;
        }
        CommOrder[CommCount] = static_cast<SHORT>(n);
        LOGW(2, L" Show %d = '%s', max shows = %d", n, CommList[n], CommCount + 1);
        ++CommCount;
    }
}

// Values are read first and applied afterwards, every value in the order
// listed except Description, which comes last. Windows lists values in
// creation order (Show, Groups, Description as the saver writes them) but
// Wine lists them by name; applying Description last keeps each port's values
// in one slot on both, since a Description is what marks its slot taken.
// A value whose data did not fit stops the subkey at its place in that order.
BOOL GetPortInfo(HKEY subkey, const WCHAR *name)
{
    LOGW(2, L" opened '%s' subkey", name);
    KeyKind kind;
    if (StartsWith(name, L"Server")) {
        kind = KeyKind::Server;
    } else if (StartsWith(name, L"Client")) {
        kind = KeyKind::Client;
    } else if (lstrcmpW(name, L"Shows") == 0) {
        LOG(2, " found and ignoring Shows key");
        return TRUE;
    } else if (lstrcmpW(name, L"TCPInfo") == 0) {
        kind = KeyKind::TcpInfo;
    } else {
        LOGW(2, L" invalid key '%s', s/b Client or Server", name);
        return FALSE;
    }
    LOGW(2, L" searching for value keys for %s", name);
    BOOL result = TRUE;

    ValueRead *values = static_cast<ValueRead *>(
        HeapAlloc(DriverHeap, 0, sizeof(ValueRead) * (MaxValuesPerKey + 1)));
    if (!values) {
        LOG(2, "GetPortInfo exit");
        return FALSE;
    }
    // Read up to the end of the list or the first value that cannot be read;
    // a Description too big to read does not stop the reading, since on
    // Windows it would have been the last value of the key anyway.
    DWORD count = 0;
    for (;;) {
        ValueRead &value = values[count];
        LONG status;
        if (count < MaxValuesPerKey) {
            status = ReadValue(subkey, count, value);
        } else {
            ZeroMemory(&value, sizeof value);
            status = value.status = ERROR_MORE_DATA;
        }
        ++count;
        if (status == ERROR_SUCCESS) continue;
        if (status == ERROR_MORE_DATA && count < MaxValuesPerKey &&
            lstrcmpW(value.name, L"Description") == 0)
            continue;
        break;
    }

    // Application order: the values other than Description as listed, then
    // the Descriptions, then the Descriptions that could not be read, then
    // the read that ended the list.
    DWORD order[MaxValuesPerKey + 1];
    DWORD n = 0;
    auto isDescription = [&](DWORD i) { return lstrcmpW(values[i].name, L"Description") == 0; };
    for (DWORD i = 0; i + 1 < count; ++i)
        if (values[i].status == ERROR_SUCCESS && !isDescription(i)) order[n++] = i;
    for (DWORD i = 0; i + 1 < count; ++i)
        if (values[i].status == ERROR_SUCCESS && isDescription(i)) order[n++] = i;
    for (DWORD i = 0; i + 1 < count; ++i)
        if (values[i].status != ERROR_SUCCESS) order[n++] = i;
    order[n++] = count - 1;

    bool exitLogged = false;
    for (DWORD k = 0; k < n; ++k) {
        const ValueRead &value = values[order[k]];
        LOG(2, "status = %d", value.status);
        if (value.status != ERROR_SUCCESS) break;
        if (!ApplyPortValue(kind, name, value, result, exitLogged)) {
            if (result) result = FALSE;
            break;
        }
    }
    HeapFree(DriverHeap, 0, values);
    if (!exitLogged) LOG(2, "GetPortInfo exit");
    return result;
}

void InitPortInfo()
{
    LOG(2, "InitPortInfo start");
    CommCount = 0;
    ClearTable();
    for (int i = 0; i < ShowTableSize; ++i) CommOrder[i] = -1;

    HKEY product;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath, 0, KEY_READ, &product) !=
        ERROR_SUCCESS) {
        LOG(2, "InitPortInfo unable to open key HKLM\\Software\\Kalvera\\Tessmar key");
        return;
    }
    LOG(2, "Opened HKLM\\Software\\Kalvera\\Tessmar key");

    HKEY shows;
    if (RegOpenKeyExW(product, L"Shows", 0, KEY_READ, &shows) == ERROR_SUCCESS) {
        LoadShows(shows);
        RegCloseKey(shows);
    }

    for (DWORD index = 0;; ++index) {
        WCHAR nameBuf[NameBufferLength];
        DWORD length = NameBufferLength;
        if (RegEnumKeyExW(product, index, nameBuf, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY subkey;
        if (RegOpenKeyExW(product, nameBuf, 0, KEY_READ, &subkey) != ERROR_SUCCESS) continue;
        LOG(2, "nameBuf = %ls", nameBuf);
        GetPortInfo(subkey, nameBuf);
        RegCloseKey(subkey);
        LOG(2, "Key closed");
    }
    LOG(2, "No more keys to enumerate");
    RegCloseKey(product);
    LOG(2, " loaded units from the registry");
}

// Every record is emptied, the 128th as well, so that a port the loader put
// there does not keep its Description block.
void FreePortInfo()
{
    LOG(2, "FreePortInfo killing all ports");
    ClearTable();
}

void SetUnitValues(HKEY subkey, const Unit *unit)
{
    DWORD show = unit->CommUnit;
    if (RegSetValueExW(subkey, L"Show", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&show),
                       sizeof show) != ERROR_SUCCESS)
        LOG(2, " error setting Show value!");
    DWORD groups = unit->Groups;
    if (RegSetValueExW(subkey, L"Groups", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&groups),
                       sizeof groups) != ERROR_SUCCESS)
        LOG(2, " error setting Groups value!");
    const WCHAR *text = unit->Description ? unit->Description : L"";
    DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR));
    if (RegSetValueExW(subkey, L"Description", 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                       bytes) != ERROR_SUCCESS)
        LOG(2, " error setting Description value!");
}

void SetTransportValues(HKEY subkey, DWORD mode, const char *address, WCHAR *wideAddress)
{
    if (RegSetValueExW(subkey, L"TCPClientServer", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&mode), sizeof mode) != ERROR_SUCCESS)
        LOG(2, " error setting TCPClientServer value!");
    int length = CopyAddressText(wideAddress, address, TcpAddressSize - 1);
    LOG(2, "Setting TCPAddress %s", address);
    if (RegSetValueExW(subkey, L"TCPAddress", 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(wideAddress),
                       static_cast<DWORD>((length + 1) * sizeof(WCHAR))) != ERROR_SUCCESS)
        LOG(2, " error setting TCPAddress value!");
}

LONG SetShowValue(HKEY subkey, int number, const WCHAR *name)
{
    WCHAR valueName[NameBufferLength];
    FormatTextWF(valueName, NameBufferLength, L"Show%d", number);
    return RegSetValueExW(subkey, valueName, 0, REG_SZ, reinterpret_cast<const BYTE *>(name),
                          static_cast<DWORD>((lstrlenW(name) + 1) * sizeof(WCHAR)));
}

namespace {

// Removes every subkey of the product key. A subkey that refuses plain
// deletion (it has subkeys of its own) is deleted as a tree; one that still
// cannot go (no delete access) is stepped over, so the walk always ends.
void DeleteAllSubkeys(HKEY product)
{
    DWORD index = 0;
    for (;;) {
        WCHAR name[NameBufferLength];
        DWORD length = NameBufferLength;
        if (RegEnumKeyExW(product, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (RegDeleteKeyW(product, name) == ERROR_SUCCESS) continue;
        if (RegDeleteTreeW(product, name) == ERROR_SUCCESS &&
            RegDeleteKeyW(product, name) == ERROR_SUCCESS)
            continue;
        LOGW(2, L" cannot delete key '%s', left in place", name);
        ++index;
    }
}

void SavePorts(HKEY product, DWORD direction, const WCHAR *format, const char *message,
               bool usedShows[ShowTableSize])
{
    int k = 0;
    for (int slot = 0; slot < UnitsInUse; ++slot) {
        const Unit &unit = pUnits[slot];
        if (!unit.InUse || !(unit.Direction & direction)) continue;
        WCHAR name[NameBufferLength];
        FormatTextWF(name, NameBufferLength, format, k);
        ++k;
        HKEY subkey;
        LONG status = RegCreateKeyExW(product, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &subkey, nullptr);
        LOG(2, message, k - 1, status);
        if (status != ERROR_SUCCESS) continue;
        if (unit.CommUnit < ShowTableSize) usedShows[unit.CommUnit] = true;
        SetUnitValues(subkey, &unit);
        RegCloseKey(subkey);
    }
}

void SaveTransport(HKEY product)
{
    HKEY subkey;
    LONG status = RegCreateKeyExW(product, L"TCPInfo", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &subkey, nullptr);
    LOG(2, " creating key TCPInfo, result %x", status);
    if (status != ERROR_SUCCESS) return;
    SetTransportValues(subkey, TCPClientServer, TCPAddress, WTCPAddress);
    RegCloseKey(subkey);
}

void SaveShows(HKEY product, const bool usedShows[ShowTableSize])
{
    HKEY subkey;
    if (RegCreateKeyExW(product, L"Shows", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &subkey, nullptr) != ERROR_SUCCESS)
        return;
    DWORD count = CommCount < static_cast<DWORD>(ShowTableSize) ? CommCount : ShowTableSize;
    for (DWORD i = 0; i < count; ++i) {
        int n = CommOrder[i];
        if (n < 0 || n >= ShowTableSize || !usedShows[n]) continue;
        WCHAR text[ShowNameLength];
        lstrcpynW(text, CommList[n], ShowNameLength);
        SetShowValue(subkey, n, text);
    }
    RegCloseKey(subkey);
}

}  // namespace

void SetPortInfo()
{
    bool usedShows[ShowTableSize] = {};
    LOG(2, "SetPortInfo start");
    HKEY product;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &product,
                                  nullptr);
    LOG(2, "RegCreateKeyEx returned %x", status);
    if (status != ERROR_SUCCESS) {
        LOG(2, "RegCreateKeyEx failed!");
        return;
    }
    LOG(2, "Opened or created HKLM\\Software\\Kalvera\\Tessmar key");
    DeleteAllSubkeys(product);
    SavePorts(product, DirectionInput, L"Server%d", " creating key Server%d, result %x",
              usedShows);
    SavePorts(product, DirectionOutput, L"Client%d", " creating key Client%d, result %x",
              usedShows);
    SaveTransport(product);
    SaveShows(product, usedShows);
    RegCloseKey(product);
}
