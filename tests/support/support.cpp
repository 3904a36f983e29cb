#include "support.h"
#include <stdio.h>

namespace testsupport {

static const WCHAR kProductKey[] = L"Software\\Kalvera\\Tessmar";

void DeleteProductKey()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey);
}

void SetRaw(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size)
{
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size);
}

void SetDword(HKEY key, const wchar_t *name, DWORD value)
{
    SetRaw(key, name, REG_DWORD, &value, sizeof value);
}

void SetString(HKEY key, const wchar_t *name, const std::wstring &text, bool terminator)
{
    DWORD units = static_cast<DWORD>(text.size() + (terminator ? 1 : 0));
    SetRaw(key, name, REG_SZ, text.c_str(), units * sizeof(wchar_t));
}

HKEY CreateKey(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// The names of a key's subkeys (subkeys true) or values, in the order listed.
static std::vector<std::wstring> Names(HKEY key, bool subkeys)
{
    std::vector<std::wstring> names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        LONG status = subkeys ? RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)
                              : RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

std::vector<std::wstring> SubkeyNames(HKEY key) { return Names(key, true); }
std::vector<std::wstring> ValueNames(HKEY key) { return Names(key, false); }

void WriteConfig(const std::vector<PortSpec> &ports, const std::vector<std::wstring> &shows,
                 DWORD tcpClientServer, const std::wstring &tcpAddress)
{
    DeleteProductKey();
    HKEY product = CreateKey(HKEY_LOCAL_MACHINE, kProductKey);
    if (!product) return;
    int servers = 0, clients = 0;
    for (const PortSpec &port : ports) {
        WCHAR name[32];
        wsprintfW(name, port.input ? L"Server%d" : L"Client%d",
                  port.input ? servers++ : clients++);
        HKEY key = CreateKey(product, name);
        if (!key) continue;
        SetDword(key, L"Show", port.show);
        SetDword(key, L"Groups", port.groups);
        SetString(key, L"Description", port.description);
        RegCloseKey(key);
    }
    if (HKEY key = CreateKey(product, L"TCPInfo")) {
        SetDword(key, L"TCPClientServer", tcpClientServer);
        SetString(key, L"TCPAddress", tcpAddress);
        RegCloseKey(key);
    }
    if (HKEY key = CreateKey(product, L"Shows")) {
        for (size_t i = 0; i < shows.size(); ++i) {
            WCHAR name[32];
            wsprintfW(name, L"Show%d", static_cast<int>(i));
            SetString(key, name, shows[i]);
        }
        RegCloseKey(key);
    }
    RegCloseKey(product);
}

void SetDebugLevelValue(DWORD stored)
{
    if (HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kProductKey)) {
        SetDword(key, L"PrintDebugInfo", stored);
        RegCloseKey(key);
    }
}

void DeleteDebugLevelValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"PrintDebugInfo");
        RegCloseKey(key);
    }
}

// GetProcAddress gives a generic function pointer; go through void * so the
// conversion to the real signature is explicit.
template <typename T> static void Resolve(HMODULE module, const char *name, T &target)
{
    target = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

bool DriverDll::Load()
{
    module = LoadLibraryW(L"Tessmar.dll");
    if (!module) return false;
    Resolve(module, "DriverProc", driverProc);
    Resolve(module, "modMessage", modMessage);
    Resolve(module, "midMessage", midMessage);
    Resolve(module, "CPlApplet", cplApplet);
    return driverProc && modMessage && midMessage && cplApplet;
}

LRESULT DriverDll::Send(UINT message, LPARAM p1, LPARAM p2)
{
    return driverProc(1, reinterpret_cast<HDRVR>(module), message, p1, p2);
}

bool DriverDll::LoadDriver()
{
    if (Send(DRV_LOAD) == 0) return false;
    Send(DRV_ENABLE);
    return Send(DRV_OPEN) != 0;
}

void DriverDll::FreeDriver()
{
    Send(DRV_CLOSE);
    Send(DRV_DISABLE);
    Send(DRV_FREE);
}

void DriverDll::Unload()
{
    if (module) FreeLibrary(module);
    module = nullptr;
}

void WinsockUp()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void WinsockDown() { WSACleanup(); }

sockaddr_in NetworkPortAddress(DWORD address)
{
    sockaddr_in result = {};
    result.sin_family = AF_INET;
    result.sin_port = htons(NetworkPort);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

SOCKET OpenCaptureSocket()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return s;
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_in address = NetworkPortAddress();
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

int ReceiveDatagram(SOCKET s, BYTE *buffer, int size, int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &tv) != 1) return -1;
    return recv(s, reinterpret_cast<char *>(buffer), size, 0);
}

bool SendDatagram(const void *data, int length, DWORD address)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_in to = NetworkPortAddress(address);
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

HeapUse MeasureHeap(HANDLE heap)
{
    HeapUse use;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            use.blocks += 1;
            use.bytes += entry.cbData;
        }
    }
    HeapUnlock(heap);
    return use;
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

std::wstring LogFilePath(DWORD processId)
{
    WCHAR path[64];
    wsprintfW(path, L"c:\\KVD_DEBUG\\Tessmar_%d.txt", static_cast<int>(processId));
    return path;
}

}  // namespace testsupport
