// Shared helpers of the test programs: the registry of the test prefix,
// the driver DLL loaded as winmm loads it, and UDP capture sockets.
#pragma once

#include "driver/driver.h"
#include <string>
#include <vector>

namespace testsupport {

// --- Registry (HKLM\Software\Kalvera\Tessmar of the test prefix) ---------

struct PortSpec {
    bool input;              // Server%d when true, Client%d otherwise
    DWORD show;              // Show value
    DWORD groups;            // Groups value
    std::wstring description;
};

void DeleteProductKey();
// Writes a configuration in the registry layout, values in the order
// Show, Groups, Description, independently of the driver's own saver.
void WriteConfig(const std::vector<PortSpec> &ports, const std::vector<std::wstring> &shows,
                 DWORD tcpClientServer = 0, const std::wstring &tcpAddress = L"");
void SetDebugLevelValue(DWORD stored);  // PrintDebugInfo
void DeleteDebugLevelValue();

// Creates (or opens) root\path with full access; null on failure.
HKEY CreateKey(HKEY root, const std::wstring &path);
void SetDword(HKEY key, const wchar_t *name, DWORD value);
// Writes the characters of text, with a terminator only when asked.
void SetString(HKEY key, const wchar_t *name, const std::wstring &text, bool terminator = true);
void SetRaw(HKEY key, const wchar_t *name, DWORD type, const void *data, DWORD size);
std::vector<std::wstring> SubkeyNames(HKEY key);
std::vector<std::wstring> ValueNames(HKEY key);

// --- The driver DLL, called the way winmm calls it -------------------------

struct DriverDll {
    HMODULE module = nullptr;
    LRESULT(CALLBACK *driverProc)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM) = nullptr;
    DWORD(APIENTRY *modMessage)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = nullptr;
    DWORD(APIENTRY *midMessage)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = nullptr;
    LONG(APIENTRY *cplApplet)(HWND, UINT, LPARAM, LPARAM) = nullptr;

    bool Load();              // LoadLibrary("Tessmar.dll") and resolve exports
    LRESULT Send(UINT message, LPARAM p1 = 0, LPARAM p2 = 0);  // DriverProc
    bool LoadDriver();        // DRV_LOAD, DRV_ENABLE, DRV_OPEN as winmm sends them
    void FreeDriver();        // DRV_CLOSE, DRV_DISABLE, DRV_FREE
    void Unload();            // FreeLibrary
    ~DriverDll() { Unload(); }
};

// --- Network (only inside the test's own namespace) -----------------------

// Port 12555 at a host-order IPv4 address (INADDR_ANY by default).
sockaddr_in NetworkPortAddress(DWORD address = INADDR_ANY);
// A UDP socket bound to port 12555 with address reuse, as an input port
// binds it: it sees every packet that an output port broadcasts.
SOCKET OpenCaptureSocket();
// One datagram, or -1 after timeoutMs without one.
int ReceiveDatagram(SOCKET s, BYTE *buffer, int size, int timeoutMs);
// Sends one datagram to 127.255.255.255:12555 (the loopback broadcast).
bool SendDatagram(const void *data, int length, DWORD address = 0x7FFFFFFF);
void WinsockUp();
void WinsockDown();

// --- MIDI data ------------------------------------------------------------

// A system exclusive message of `total` bytes, 0xF0 ... 0xF7, whose data
// byte i is (i * step + seed) & 0x7F, so that a torn or mixed copy shows.
std::vector<BYTE> SysexMessage(size_t total, unsigned seed = 0, unsigned step = 1);
// A prepared header over bytes, as a client hands it to MODM_LONGDATA.
MIDIHDR PreparedHeader(std::vector<BYTE> &bytes);

// --- Resources -------------------------------------------------------------

// Busy blocks on a heap (count, bytes), walking it.
struct HeapUse {
    size_t blocks = 0;
    size_t bytes = 0;
};
HeapUse MeasureHeap(HANDLE heap);

// --- Files -----------------------------------------------------------------

std::string ReadFileBytes(const std::wstring &path);
std::wstring LogFilePath(DWORD processId);

}  // namespace testsupport
