// The self-installer: the Drivers32 and Cpls entries, the library file in
// the system folder, and the default configuration of a first installation.
// Every step traces to the debugger output; the traces never reach the log
// file.
#include "install/install.h"
#include "config/config.h"
#include "diag/log.h"

static const WCHAR DriverFile[] = L"Tessmar.dll";
static const WCHAR Drivers32Path[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
static const WCHAR CplsPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
static const WCHAR CplValue[] = L"%SystemRoot%\\system32\\Tessmar.dll";

constexpr int SlotCount = 128;

BOOL FileExists(const WCHAR *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    CloseHandle(file);
    return TRUE;
}

static void Trace(const WCHAR *text) { OutputDebugStringW(text); }

// A trace built with the driver's formatter in a buffer of `size` characters.
template <int size> static void TraceF(const WCHAR *format, ...)
{
    WCHAR line[size];
    va_list args;
    va_start(args, format);
    FormatTextW(line, size, format, args);
    va_end(args);
    OutputDebugStringW(line);
}

// Writes text data exactly as counted, without its terminator. The registry
// counts a terminator in by itself when one follows the counted data, so the
// data is passed from a buffer in which none follows.
static LONG SetCountedText(HKEY key, const WCHAR *name, DWORD type, const WCHAR *text, DWORD bytes)
{
    WCHAR buffer[64];
    DWORD length = bytes / sizeof(WCHAR);
    if (length >= 64) return ERROR_INVALID_PARAMETER;
    CopyMemory(buffer, text, length * sizeof(WCHAR));
    buffer[length] = L' ';
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(buffer), bytes);
}

static WCHAR AsciiUpper(WCHAR c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; }

// The MIDI driver slot a Drivers32 value name stands for: "MIDI" in any
// case is slot 0, "MIDI" followed by a decimal number is that number's
// slot; -1 for any other name. Numbers too large for the table give -2, so
// that they are known to be slots without an entry.
static int SlotOfName(const WCHAR *name)
{
    static const WCHAR prefix[] = L"MIDI";
    for (int i = 0; i < 4; ++i)
        if (AsciiUpper(name[i]) != prefix[i]) return -1;
    if (name[4] == 0) return 0;
    if (name[4] < L'0' || name[4] > L'9') return -1;
    unsigned number = 0;
    for (const WCHAR *c = name + 4; *c >= L'0' && *c <= L'9'; ++c) {
        number = number * 10 + (*c - L'0');
        if (number >= SlotCount) return -2;
    }
    return static_cast<int>(number);
}

// Whether registry string data names the driver's file. The data may lack
// its terminator; `bytes` is its size.
static BOOL DataNamesDriver(DWORD type, const WCHAR *data, DWORD bytes)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ) return FALSE;
    WCHAR text[33] = {};
    DWORD length = bytes / sizeof(WCHAR);
    if (length > 32) length = 32;
    CopyMemory(text, data, length * sizeof(WCHAR));
    return lstrcmpiW(text, DriverFile) == 0;
}

static void MarkSlot(BOOL *used, int slot)
{
    if (slot < 0) return;
    if (used[slot])
        MessageBoxW(nullptr, L"Oops! Duplicate MIDI[n]", L"Tessmar Registry Error",
                    MB_OK | MB_ICONEXCLAMATION);
    used[slot] = TRUE;
}

// The scan's buffers take value names of 63 characters and data of 64
// bytes. A value that does not fit is another driver's (the driver's own
// data is shorter), but its slot is still taken: its name is read again
// with room for any registry name, so the installer never writes over it.
static void MarkOversizedValue(HKEY key, DWORD index, BOOL *used)
{
    WCHAR name[16384];
    DWORD nameLength = 16384;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
        return;
    MarkSlot(used, SlotOfName(name));
}

struct SlotScan {
    BOOL used[SlotCount];
    BOOL found;
    WCHAR foundName[64];
};

static void ScanDrivers32(HKEY key, SlotScan &scan)
{
    for (DWORD index = 0;; ++index) {
        WCHAR name[64];
        WCHAR data[33] = {};
        DWORD nameLength = 64, dataBytes = 64, type = 0;
        LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE *>(data), &dataBytes);
        if (status == ERROR_MORE_DATA) {
            MarkOversizedValue(key, index, scan.used);
            continue;
        }
        if (status != ERROR_SUCCESS) {
            LOG(2, "No more keys to enumerate");
            break;
        }
        int slot = SlotOfName(name);
        if (slot == -1) continue;
        MarkSlot(scan.used, slot);
        if (DataNamesDriver(type, data, dataBytes)) {
            TraceF<80>(L"** FOUND ME ** %s\n", name);
            scan.found = TRUE;
            lstrcpynW(scan.foundName, name, 64);
            break;
        }
    }
}

static int FirstMissingSlot(const SlotScan &scan)
{
    int firstMissing = -1, highest = 0;
    for (int slot = 0; slot < SlotCount; ++slot) {
        if (scan.used[slot]) highest = slot;
        else if (firstMissing < 0) firstMissing = slot;
    }
    LOG(3, "firstmissing = %d", firstMissing);
    if (firstMissing < 0) firstMissing = highest + 1;
    LOG(3, "final firstMissing = %d", firstMissing);
    return firstMissing;
}

static void AddDriverValue(HKEY key, const WCHAR *name)
{
    TraceF<80>(L"Installing %s aka Tessmar.dll\n", name);
    // A name beyond the slot table may exist already (midi128 when all 128
    // slots are taken): it belongs to another driver.
    LONG status = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS
                      ? ERROR_ALREADY_EXISTS
                      : SetCountedText(key, name, REG_SZ, DriverFile, 22);
    if (status != ERROR_SUCCESS)
        TraceF<80>(L"Failed to create drivers32 key! %d\n", static_cast<int>(status));
}

static void UpdateDrivers32(BOOL install)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Drivers32Path, 0, KEY_READ | KEY_WRITE, &key) !=
        ERROR_SUCCESS)
        return;
    Trace(L"Found HKLM\\SOFTWARE{\\Wow6432Node}\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32\n");
    SlotScan scan = {};
    ScanDrivers32(key, scan);
    int firstMissing = FirstMissingSlot(scan);
    TraceF<80>(L"firstmissing MIDI found is %d\n", firstMissing);
    WCHAR valueName[20];
    FormatTextWF(valueName, 20, L"midi%d", firstMissing);
    if (!scan.found && install) {
        AddDriverValue(key, valueName);
    } else if (scan.found && !install) {
        TraceF<80>(L"Removing %s aka Tessmar.dll\n", scan.foundName);
        LONG status = RegDeleteValueW(key, scan.foundName);
        if (status != ERROR_SUCCESS)
            TraceF<80>(L"Failed to delete drivers32 key! %d\n", static_cast<int>(status));
    }
    RegCloseKey(key);
}

static void UpdateCpls(BOOL install)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CplsPath, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    Trace(L"cpls key found\n");
    BOOL found = FALSE;
    for (DWORD index = 0;; ++index) {
        WCHAR name[64];
        DWORD nameLength = 64;
        LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // too long to be ours
        if (status != ERROR_SUCCESS) break;
        if (lstrcmpiW(name, L"Tessmar") == 0) {
            Trace(L"Found Tessmar value\n");
            Trace(L"Found my CPL\n");
            found = TRUE;
            break;
        }
    }
    if (found && !install) {
        Trace(L"if ( foundTS && !INSTALL_remove )\n");
        LONG status = RegDeleteValueW(key, L"Tessmar");
        if (status != ERROR_SUCCESS)
            TraceF<160>(L"Failed to delete Tessmar cpl key! %d\n", static_cast<int>(status));
    } else if (!found && install) {
        Trace(L"if ( !foundTS && INSTALL_remove )\n");
        LONG status = SetCountedText(key, L"Tessmar", REG_EXPAND_SZ, CplValue, 66);
        if (status != ERROR_SUCCESS)
            TraceF<160>(L"Failed to create Tessmar key! %d\n", static_cast<int>(status));
    } else {
        Trace(L"Nothing to do. Move on to Copy\n");
    }
    RegCloseKey(key);
}

static void CopyIntoSystem(const WCHAR *target)
{
    if (CopyFileW(L".\\Tessmar.dll", target, FALSE)) return;
    DWORD error = GetLastError();
    WCHAR directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    TraceF<560>(L"Copy from %s\\%s to %s failed %d\n", directory, DriverFile, target,
                static_cast<int>(error));
}

// A loaded library cannot be deleted, but it can be renamed: it goes to the
// first free C:\Tessmar<n>.deleteme and disappears at the next restart.
static void MoveAside(const WCHAR *target)
{
    WCHAR name[MAX_PATH];
    FormatTextWF(name, MAX_PATH, L"C:\\%s%d.deleteme", L"Tessmar", 0);
    TraceF<560>(L"Moving %s to %s\n", target, name);
    for (int number = 0; number < 200; ++number) {
        FormatTextWF(name, MAX_PATH, L"C:\\%s%d.deleteme", L"Tessmar", number);
        if (!MoveFileW(target, name)) continue;
        if (MoveFileExW(name, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
            Trace(L"Tessmar.dllwill be gone after the next boot.");
        else
            Trace(L"Failed to delete the moved file.\n");
        return;
    }
    Trace(L"After twenty move tries it is time to reboot!\n");
}

// Returns FALSE when the installation ends here (a removal).
static BOOL UpdateLibraryFile(BOOL install, const WCHAR *systemDirectory)
{
    WCHAR target[MAX_PATH + 16];
    FormatTextWF(target, MAX_PATH + 16, L"%s\\%s", systemDirectory, DriverFile);
    TraceF<560>(L"System32: %s\n", target);
    BOOL exists = FileExists(target);
    if (!exists && install) {
        Trace(L"if ( !FileExists() && INSTALL_remove )\n");
        CopyIntoSystem(target);
    } else if (exists && !install) {
        Trace(L"if ( !FileExists() && INSTALL_remove )\n");
        MoveAside(target);
        return FALSE;
    } else {
        Trace(L"Nothing to do!\n");
    }
    return install;
}

static HKEY CreateSubkey(HKEY parent, const WCHAR *name)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr);
    LOGW(2, L" creating key %s, result %x", name, static_cast<int>(status));
    return status == ERROR_SUCCESS ? key : nullptr;
}

static WCHAR DefaultDescription[] = L"Configure Me";
static const WCHAR DefaultShow[] = L"My Config Show";

static void WriteDefaultPort(HKEY product, const WCHAR *name)
{
    HKEY key = CreateSubkey(product, name);
    if (!key) return;
    Unit port = {};
    port.Description = DefaultDescription;
    port.CommUnit = 0;
    port.Groups = 1;
    SetUnitValues(key, &port);
    RegCloseKey(key);
}

// One input and one output port "Configure Me" in show 0 "My Config Show",
// group 1, UDP, written with the configuration store's writers. An existing
// configuration is never overwritten.
static void WriteDefaultConfiguration()
{
    HKEY product;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &product, &disposition) != ERROR_SUCCESS)
        return;
    if (disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(product);
        return;
    }
    WriteDefaultPort(product, L"Server0");
    WriteDefaultPort(product, L"Client0");
    if (HKEY key = CreateSubkey(product, L"TCPInfo")) {
        WCHAR wideAddress[TcpAddressSize];
        SetTransportValues(key, 0, "", wideAddress);
        RegCloseKey(key);
    }
    if (HKEY key = CreateSubkey(product, L"Shows")) {
        LOG(1, "storing %d bytes\n", static_cast<int>(sizeof DefaultShow));
        if (SetShowValue(key, 0, DefaultShow) != ERROR_SUCCESS)
            LOG(2, " error setting Show0 value!");
        RegCloseKey(key);
    }
    RegCloseKey(product);
}

void InstallRemove(BOOL install)
{
    Trace(install ? L"Install\n" : L"Remove\n");
    WCHAR systemDirectory[MAX_PATH] = {};
    GetSystemDirectoryW(systemDirectory, MAX_PATH);
    UpdateDrivers32(install);
    UpdateCpls(install);
    if (!UpdateLibraryFile(install, systemDirectory)) return;
    WriteDefaultConfiguration();
}
