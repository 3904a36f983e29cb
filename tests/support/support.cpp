#include "support.h"
#include <stdio.h>

namespace testsupport {

static const WCHAR kProductKey[] = L"Software\\Kalvera\\Tessmar";

RegValue Dword(DWORD value)
{
    const BYTE *bytes = reinterpret_cast<const BYTE *>(&value);
    return {REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof value)};
}

RegValue Text(const std::wstring &text, bool terminator, DWORD type)
{
    const BYTE *bytes = reinterpret_cast<const BYTE *>(text.c_str());
    return {type, std::vector<BYTE>(bytes, bytes + (text.size() + terminator) * sizeof(WCHAR))};
}

std::wstring AsText(const RegValue &value)
{
    std::wstring text(reinterpret_cast<const WCHAR *>(value.data.data()), value.data.size() / sizeof(WCHAR));
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

ValueMap PortValues(DWORD show, DWORD groups, const std::wstring &description)
{
    return {{L"Show", Dword(show)}, {L"Groups", Dword(groups)}, {L"Description", Text(description)}};
}

std::wstring ProductPath(const std::wstring &subkey)
{
    return subkey.empty() ? kProductKey : std::wstring(kProductKey) + L"\\" + subkey;
}

bool SetValue(const std::wstring &path, const std::wstring &name, const RegValue &value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return false;
    LONG status = value.type == REG_NONE ? 0 : RegSetValueExW(key, name.c_str(), 0, value.type, value.data.data(),
                                                              static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void DeleteValue(const std::wstring &path, const std::wstring &name)
{
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str());
}

static void DeleteKey(const std::wstring &path)  // with its subkeys
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

// The values of a key, and the names of its subkeys; false when it is missing.
static bool ReadKey(const std::wstring &path, ValueMap &values, std::vector<std::wstring> *subkeys = nullptr)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    WCHAR name[16384];
    DWORD length = 16384, type = 0, size = 0;
    for (DWORD i = 0; !RegEnumValueW(key, i, name, &length, nullptr, &type, nullptr, &size); ++i, length = 16384) {
        RegValue &value = values[name];
        value.type = type;
        value.data.resize(size);
        RegQueryValueExW(key, name, nullptr, nullptr, value.data.data(), &size);
    }
    for (DWORD i = 0; subkeys && !RegEnumKeyW(key, i, name, 16384); ++i) subkeys->push_back(name);
    RegCloseKey(key);
    return true;
}

ValueMap ReadValues(const std::wstring &path)
{
    ValueMap values;
    ReadKey(path, values);
    return values;
}

KeyTree ReadTree(const std::wstring &path)
{
    KeyTree tree;
    std::vector<std::wstring> subkeys;
    if (!ReadKey(path, tree[L""], &subkeys)) return {};
    for (const std::wstring &subkey : subkeys)
        for (auto &below : ReadTree(path + L"\\" + subkey))
            tree[below.first.empty() ? subkey : subkey + L"\\" + below.first] = below.second;
    return tree;
}

SavedKey::SavedKey(const std::wstring &path) : path_(path), existed_(ReadKey(path, values_)) {}

SavedKey::~SavedKey()
{
    if (!existed_) DeleteKey(path_);  // then nothing is left to compare or put back
    for (auto &value : ReadValues(path_))
        if (!values_.count(value.first)) DeleteValue(path_, value.first);
    for (auto &value : values_) SetValue(path_, value.first, value.second);
}

void DeleteProductKey() { DeleteKey(kProductKey); }

void WriteConfig(const std::vector<PortSpec> &ports, const std::vector<std::wstring> &shows,
                 DWORD tcpClientServer, const std::wstring &tcpAddress)
{
    DeleteProductKey();
    int servers = 0, clients = 0;
    for (const PortSpec &port : ports) {
        std::wstring key = ProductPath((port.input ? L"Server" : L"Client") +
                                       std::to_wstring(port.input ? servers++ : clients++));
        SetValue(key, L"Show", Dword(port.show));
        SetValue(key, L"Groups", Dword(port.groups));
        SetValue(key, L"Description", Text(port.description));
    }
    SetValue(ProductPath(L"TCPInfo"), L"TCPClientServer", Dword(tcpClientServer));
    SetValue(ProductPath(L"TCPInfo"), L"TCPAddress", Text(tcpAddress));
    SetValue(ProductPath(L"Shows"), L"", RegValue());  // the key, even without shows
    for (size_t i = 0; i < shows.size(); ++i)
        SetValue(ProductPath(L"Shows"), L"Show" + std::to_wstring(i), Text(shows[i]));
}

void SetDebugLevelValue(DWORD stored) { SetValue(kProductKey, L"PrintDebugInfo", Dword(stored)); }

void PutUnit(int slot, DWORD direction, const std::wstring &description, BYTE show, DWORD groups)
{
    Unit &unit = pUnits[slot];
    if (unit.Description) HeapFree(DriverHeap, 0, unit.Description);
    size_t bytes = (description.size() + 1) * sizeof(WCHAR);
    unit.Description = static_cast<WCHAR *>(HeapAlloc(DriverHeap, 0, bytes));
    CopyMemory(unit.Description, description.c_str(), bytes);
    unit.Direction = direction;
    unit.CommUnit = show;
    unit.Groups = groups;
    unit.InUse = 1;
}

std::vector<std::wstring> DeviceNames(DWORD deviceType)
{
    std::vector<std::wstring> names;
    for (DWORD id = 0; Unit *unit = IndexToUnit(id, deviceType); ++id)
        names.push_back(unit->Description ? unit->Description : L"(none)");
    return names;
}

HANDLE StartProcess(std::wstring line, DWORD *processId)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    if (processId) *processId = info.dwProcessId;
    return info.hProcess;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path).substr(0, std::wstring(path).find_last_of(L"\\/"));
}

std::wstring DllPath() { return ProgramFolder() + L"\\Tessmar.dll"; }

bool DriverDll::Load(const std::wstring &path)
{
    module = LoadLibraryW(path.c_str());
    if (!module) return false;
    driverProc = Proc<decltype(driverProc)>(module, "DriverProc");
    modMessage = Proc<decltype(modMessage)>(module, "modMessage");
    midMessage = Proc<decltype(midMessage)>(module, "midMessage");
    cplApplet = Proc<decltype(cplApplet)>(module, "CPlApplet");
    return driverProc && modMessage && midMessage && cplApplet;
}

bool DriverDll::LoadDriver()
{
    if (Send(DRV_LOAD) == 0) return false;
    Send(DRV_ENABLE);
    return Send(DRV_OPEN) != 0;
}

sockaddr_in NetworkPortAddress(DWORD address)
{
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    result.sin_port = htons(NetworkPort);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

bool SendDatagram(const void *data, int length)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_in to = NetworkPortAddress(0x7FFFFFFF);
    int sent = sendto(s, static_cast<const char *>(data), length, 0,
                      reinterpret_cast<sockaddr *>(&to), sizeof to);
    closesocket(s);
    return sent == length;
}

std::vector<BYTE> SysexMessage(size_t total, unsigned seed, unsigned step)
{
    std::vector<BYTE> bytes(total);
    bytes[0] = 0xF0;
    for (size_t i = 1; i + 1 < total; ++i) bytes[i] = static_cast<BYTE>((i * step + seed) & 0x7F);
    bytes[total - 1] = 0xF7;
    return bytes;
}

MIDIHDR PreparedHeader(std::vector<BYTE> &bytes)
{
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(bytes.data());
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
    header.dwFlags = MHDR_PREPARED;
    return header;
}

std::string ReadFileBytes(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring &path, const std::string &bytes)
{
    FILE *file = _wfopen(path.c_str(), L"wb");
    bool written = file && fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return file && fclose(file) == 0 && written;
}

std::wstring SystemDirectory()
{
    WCHAR path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring LogFilePath(DWORD processId)
{
    WCHAR path[64];
    wsprintfW(path, L"c:\\KVD_DEBUG\\Tessmar_%d.txt", static_cast<int>(processId));
    return path;
}

}  // namespace testsupport
