// Shared helpers of the test programs: the registry of the test prefix, the
// port table of the program's own driver state, the driver DLL loaded as
// winmm loads it, processes and files, UDP datagrams and MIDI data.
#pragma once

#include "driver/driver.h"
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// --- Registry (paths below HKEY_LOCAL_MACHINE) ------------------------------

struct RegValue {
    DWORD type = REG_NONE;  // REG_NONE: no value
    std::vector<BYTE> data;
    bool operator==(const RegValue &o) const { return type == o.type && data == o.data; }
};
using ValueMap = std::map<std::wstring, RegValue>;
using KeyTree = std::map<std::wstring, ValueMap>;  // keys by path below the root ("": the root)

RegValue Dword(DWORD value);
// Text data: with a terminator as the driver's saver writes it, or as given.
RegValue Text(const std::wstring &text, bool terminator = true, DWORD type = REG_SZ);
std::wstring AsText(const RegValue &value);  // without terminators
ValueMap PortValues(DWORD show, DWORD groups, const std::wstring &description);  // a port subkey

std::wstring ProductPath(const std::wstring &subkey = L"");  // Software\Kalvera\Tessmar[\subkey]
// Creates the key if needed and writes the value (none when REG_NONE).
bool SetValue(const std::wstring &path, const std::wstring &name, const RegValue &value);
void DeleteValue(const std::wstring &path, const std::wstring &name);
ValueMap ReadValues(const std::wstring &path);
KeyTree ReadTree(const std::wstring &path);  // empty when the key is missing

// Keeps a key's values and puts them back when it goes out of scope (values
// added meanwhile are removed; a key that was missing is deleted).
class SavedKey {
public:
    explicit SavedKey(const std::wstring &path);
    ~SavedKey();

private:
    std::wstring path_;
    ValueMap values_;
    bool existed_;
};

struct PortSpec {
    bool input;  // Server%d when true, Client%d otherwise
    DWORD show, groups;
    std::wstring description;
};
void DeleteProductKey();
// Writes a configuration in the registry layout, values in the order
// Show, Groups, Description, independently of the driver's own saver.
void WriteConfig(const std::vector<PortSpec> &ports, const std::vector<std::wstring> &shows,
                 DWORD tcpClientServer = 0, const std::wstring &tcpAddress = L"");
void SetDebugLevelValue(DWORD stored);  // PrintDebugInfo

// --- The port table of this program's own driver state ---------------------

// Fills one slot of pUnits as the Configurator would.
void PutUnit(int slot, DWORD direction, const std::wstring &description, BYTE show, DWORD groups);
std::vector<std::wstring> DeviceNames(DWORD deviceType);  // in device order

// --- The driver DLL, called the way winmm calls it -------------------------

struct DriverDll {
    HMODULE module = nullptr;
    LRESULT(CALLBACK *driverProc)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM) = nullptr;
    DWORD(APIENTRY *modMessage)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = nullptr;
    DWORD(APIENTRY *midMessage)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = nullptr;
    LONG(APIENTRY *cplApplet)(HWND, UINT, LPARAM, LPARAM) = nullptr;

    bool Load(const std::wstring &path = L"Tessmar.dll");  // LoadLibrary, the four exports
    LRESULT Send(UINT message, LPARAM p1 = 0, LPARAM p2 = 0)  // DriverProc
    {
        return driverProc(1, reinterpret_cast<HDRVR>(module), message, p1, p2);
    }
    bool LoadDriver();  // DRV_LOAD, DRV_ENABLE, DRV_OPEN as winmm sends them
    void FreeDriver() { Send(DRV_CLOSE); Send(DRV_DISABLE); Send(DRV_FREE); }  // as winmm sends them
    void Unload() { if (module) FreeLibrary(module); module = nullptr; }
    ~DriverDll() { Unload(); }
};

// An export as a typed function pointer (GetProcAddress's generic one through void *).
template <typename T> T Proc(HMODULE module, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

HANDLE StartProcess(std::wstring commandLine, DWORD *processId = nullptr);
std::wstring ProgramFolder();  // the test build folder: Tessmar.dll, screenshots
std::wstring DllPath();        // Tessmar.dll there

// --- Network (only inside the test's own namespace) -----------------------

sockaddr_in NetworkPortAddress(DWORD address = INADDR_ANY);  // port 12555, host-order address
// Sends one datagram to 127.255.255.255:12555 (the loopback broadcast).
bool SendDatagram(const void *data, int length);
inline void WinsockUp() { WSADATA data; WSAStartup(MAKEWORD(2, 2), &data); }
inline void WinsockDown() { WSACleanup(); }

// --- MIDI data and files ------------------------------------------------------

// A system exclusive message of `total` bytes, 0xF0 ... 0xF7, whose data
// byte i is (i * step + seed) & 0x7F, so that a torn or mixed copy shows.
std::vector<BYTE> SysexMessage(size_t total, unsigned seed = 0, unsigned step = 1);
// A prepared header over bytes, as a client hands it to MODM_LONGDATA.
MIDIHDR PreparedHeader(std::vector<BYTE> &bytes);

std::string ReadFileBytes(const std::wstring &path);
bool WriteFileBytes(const std::wstring &path, const std::string &bytes);
std::wstring LogFilePath(DWORD processId);
std::wstring SystemDirectory();

}  // namespace testsupport
