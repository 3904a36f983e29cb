// tessmar install, remove, repair and status: the driver's registration on
// this machine, piece by piece.
//
// The driver's own DRV_INSTALL copies the library into the system folder and
// enters it in Drivers32 and Cpls, each only where it is missing; DRV_REMOVE
// takes them out again. Around them this command keeps what current Windows
// needs besides: a root-enumerated device of the media class whose driver
// key names the library (without it Windows drops a Drivers32-only MIDI
// driver again), and an inbound firewall rule for the driver's port. One
// table lists the pieces with their checks, so status, repair and remove
// walk the same list.
#include "tools/tessmar/tessmar.h"
#include <setupapi.h>
#include <stdio.h>
#include <algorithm>

namespace {

const WCHAR DriverFile[] = L"Tessmar.dll";
const WCHAR Drivers32Path[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const WCHAR CplsPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
const WCHAR ProductKey[] = L"Software\\Kalvera\\Tessmar";
const WCHAR VendorKey[] = L"Software\\Kalvera";
const WCHAR SessionManagerPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// The media device class.
const GUID MediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const WCHAR DeviceClassName[] = L"TESSMAR";             // instance ROOT\TESSMAR\NNNN
const WCHAR HardwareId[] = L"ROOT\\TESSMAR\0";          // REG_MULTI_SZ
const WCHAR DeviceDescription[] = L"Tessmar network MIDI";
const WCHAR DriverSubkey[] = L"Drivers\\MIDI\\Tessmar.dll";
const char FirewallRule[] = "Tessmar MIDI";
const int DeleteMeNames = 200;  // C:\Tessmar<n>.deleteme, as DRV_REMOVE names them

std::wstring Folder(const std::wstring &path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring ToolFolder()
{
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return Folder(path);
}

std::wstring SystemCopy()
{
    WCHAR folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + DriverFile;
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The Drivers32 value (midiN) whose data names the driver, or "".
std::wstring DriverAlias()
{
    HKEY key;
    std::wstring alias;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Drivers32Path, 0, KEY_READ, &key) != ERROR_SUCCESS) return alias;
    for (DWORD i = 0; alias.empty(); ++i) {
        WCHAR name[256], data[MAX_PATH] = {};
        DWORD nameLength = 256, bytes = sizeof data - sizeof(WCHAR), type = 0;
        LONG status = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE *>(data), &bytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_SUCCESS && type == REG_SZ && _wcsnicmp(name, L"midi", 4) == 0 &&
            lstrcmpiW(data, DriverFile) == 0)
            alias = name;
    }
    RegCloseKey(key);
    return alias;
}

bool ValueExists(const WCHAR *path, const WCHAR *name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool found = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

// --- The device registration ----------------------------------------------------

// Our device in the media class (present or not); false when there is none.
bool FindDevice(HDEVINFO &set, SP_DEVINFO_DATA &device)
{
    set = SetupDiGetClassDevsW(&MediaClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return false;
    device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        WCHAR ids[256] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE *>(ids),
                                              sizeof ids - 2 * sizeof(WCHAR), nullptr) &&
            lstrcmpiW(ids, HardwareId) == 0)
            return true;
    }
    SetupDiDestroyDeviceInfoList(set);
    set = INVALID_HANDLE_VALUE;
    return false;
}

// The alias the device's driver key gives the library, or "".
std::wstring DeviceAlias()
{
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    if (!FindDevice(set, device)) return L"";
    std::wstring alias;
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
        WCHAR data[64] = {};
        DWORD bytes = sizeof data - sizeof(WCHAR);
        if (RegGetValueW(key, DriverSubkey, L"Alias", RRF_RT_REG_SZ, nullptr, data, &bytes) == ERROR_SUCCESS)
            alias = data;
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return alias;
}

// The device classes' keys, and the media class's, which Windows always has
// and Wine makes with the first device of the class.
const WCHAR ClassKeys[] = L"SYSTEM\\CurrentControlSet\\Control\\Class";
const WCHAR MediaClassKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}";

// Removes the device with its driver key: not every SetupAPI deletes a
// driver key that has subkeys.

void RemoveDevice()
{
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    while (FindDevice(set, device)) {
        WCHAR driver[128] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE *>(driver),
                                              sizeof driver - sizeof(WCHAR), nullptr)) {
            std::wstring path = std::wstring(ClassKeys) + L"\\" + driver;
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
        }
        bool removed = SetupDiRemoveDevice(set, &device);
        SetupDiDestroyDeviceInfoList(set);
        if (!removed) {
            Fail("cannot remove the device registration (error %lu)", GetLastError());
            return;
        }
    }
}

bool SetText(HKEY key, const WCHAR *name, const std::wstring &text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

// Writes the values that name the library into a device's driver key.
bool WriteDriverKey(HKEY key, const std::wstring &alias)
{
    // As a driver package would leave it: the driver key lists its MIDI
    // subclass, and the library's key its file, name and alias.
    HKEY subclasses = nullptr, drivers = nullptr;
    bool ok = RegCreateKeyExW(key, L"Drivers", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &subclasses, nullptr) ==
                  ERROR_SUCCESS &&
              SetText(subclasses, L"SubClasses", L"midi");
    if (subclasses) RegCloseKey(subclasses);
    ok = ok && RegCreateKeyExW(key, DriverSubkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &drivers, nullptr) ==
                   ERROR_SUCCESS &&
         SetText(drivers, L"Driver", DriverFile) && SetText(drivers, L"Description", DeviceDescription) &&
         SetText(drivers, L"Alias", alias);
    if (drivers) RegCloseKey(drivers);
    return ok;
}

// A root-enumerated media device whose driver key names the library as the
// MIDI driver of Drivers32 value `alias`. A device already there keeps its
// instance and gets its values back.
bool RegisterDevice(const std::wstring &alias)
{
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    bool ok = FindDevice(set, device);
    if (!ok) {
        set = SetupDiCreateDeviceInfoList(&MediaClass, nullptr);
        if (set == INVALID_HANDLE_VALUE) return false;
        device = {};
        device.cbSize = sizeof device;
        ok = SetupDiCreateDeviceInfoW(set, DeviceClassName, &MediaClass, DeviceDescription, nullptr, DICD_GENERATE_ID,
                                      &device) &&
             SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE *>(HardwareId), sizeof HardwareId) &&
             SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    }
    HKEY key = ok ? SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr)
                  : static_cast<HKEY>(INVALID_HANDLE_VALUE);
    ok = key != INVALID_HANDLE_VALUE && WriteDriverKey(key, alias);
    if (key != INVALID_HANDLE_VALUE) RegCloseKey(key);
    if (!ok) Fail("cannot register the device (error %lu)", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// --- Programs run for us ------------------------------------------------------------

// Runs a command line with no window and waits; its exit code, or -1 when it
// could not start (the system's error left in `error`). What it writes goes
// to `output` when one is given.
long RunProgram(const std::wstring &commandLine, DWORD &error, std::string *output = nullptr)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (output && !CreatePipe(&readEnd, &writeEnd, &inherit, 0)) output = nullptr;
    if (output) SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (output) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = writeEnd;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, output != nullptr, CREATE_NO_WINDOW, nullptr,
                                  nullptr, &startup, &process);
    error = started ? 0 : GetLastError();
    if (output) {
        CloseHandle(writeEnd);
        char block[4096];
        DWORD read = 0;
        while (started && ReadFile(readEnd, block, sizeof block, &read, nullptr) && read) output->append(block, read);
        CloseHandle(readEnd);
    }
    if (!started) return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<long>(code);
}

// netsh's firewall command with these words; prints the command first, so
// that what was asked is on record where netsh cannot carry it out.
long Firewall(const std::string &words, bool quiet)
{
    std::string command = "netsh advfirewall firewall " + words;
    if (!quiet) printf("  running: %s\n", command.c_str());
    DWORD error = 0;
    long code = RunProgram(Wide(command), error);
    if (code < 0 && !quiet) Fail("cannot run netsh (error %lu)", error);
    return code;
}

std::string RuleWords(const char *verb, const char *protocol)
{
    std::string words = std::string(verb) + " rule name=\"" + FirewallRule + "\"";
    if (protocol) words += std::string(" dir=in action=allow protocol=") + protocol + " localport=12555";
    return words;
}

// The 32-bit tool of the same package, for the 32-bit driver; "" when this is
// not the 64-bit tool of a package.
std::wstring Tool32()
{
    if (sizeof(void *) == 4) return L"";
    std::wstring tool = ToolFolder() + L"x86\\tessmar.exe";
    return Exists(tool) ? tool : L"";
}

// Runs the 32-bit tool's command and shows what it said. A system that
// cannot run 32-bit programs (see Check32) is told so, and the 64-bit driver
// stays registered.
bool Run32(const char *command)
{
    std::wstring tool = Tool32();
    if (tool.empty()) return true;
    printf("  running: x86\\tessmar.exe %s\n", command);
    fflush(stdout);
    DWORD error = 0;
    std::string output;
    long code = RunProgram(L"\"" + tool + L"\" " + Wide(command), error, &output);
    fputs(output.c_str(), stdout);
    if (code < 0 || output.empty()) {
        printf("warning: this system cannot run 32-bit programs: the 32-bit driver is left out\n");
        return true;
    }
    if (code != 0) Fail("the 32-bit %s failed (%s %ld)", command, code < 0 ? "error" : "exit code", code < 0 ? static_cast<long>(error) : code);
    return code == 0;
}

// The driver's installer adds its Control Panel entry to the Cpls key but
// does not make the key: Windows always has it, a fresh Wine prefix not.
// Made here when missing, and taken away again at a removal when it is left
// empty.
void MakeCplsKey()
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, CplsPath, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

// Deletes a key that holds neither values nor subkeys.
void DeleteIfEmpty(HKEY root, const WCHAR *path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD subkeys = 1, values = 1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    if (subkeys == 0 && values == 0) RegDeleteKeyW(root, path);
}

// --- The driver's own installer ---------------------------------------------------

// DRV_INSTALL or DRV_REMOVE through the library beside this tool (or the
// one given), from its folder: DRV_INSTALL copies ".\Tessmar.dll".
bool DriverInstaller(const std::string &dll, UINT message)
{
    std::wstring path = dll.empty() ? ToolFolder() + DriverFile : Wide(dll);
    if (!Exists(path)) {
        Fail("'%s' is missing: install from the folder that holds the driver, or name it with --dll",
             Utf8(path.c_str()).c_str());
        return false;
    }
    // Back to the folder we started in afterwards: a program run later
    // (netsh, the 32-bit tool, Wine's console host for them) would otherwise
    // hold the driver's folder as its own, and an uninstaller that removes
    // the folder right after us could not.
    WCHAR started[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, started);
    SetCurrentDirectoryW(Folder(path).c_str());
    if (message == DRV_INSTALL) MakeCplsKey();
    bool sent = SendToLibrary(Utf8(path.c_str()), message);
    SetCurrentDirectoryW(started);
    return sent;
}

// DRV_REMOVE moves the system copy aside for deletion at the next restart;
// a copy no program holds goes at once, with its entry in the restart list.
void DeleteMovedCopies()
{
    for (int n = 0; n < DeleteMeNames; ++n) {
        std::wstring name = L"C:\\Tessmar" + std::to_wstring(n) + L".deleteme";
        if (!Exists(name) || !DeleteFileW(name.c_str())) continue;
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionManagerPath, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
            continue;
        std::vector<WCHAR> list(65536, 0);
        DWORD bytes = static_cast<DWORD>((list.size() - 2) * sizeof(WCHAR)), type = 0;
        if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE *>(list.data()),
                             &bytes) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
            // Pairs of source and target; ours is "\??\C:\Tessmar<n>.deleteme" with an empty target.
            std::vector<WCHAR> kept;
            for (const WCHAR *at = list.data(); *at;) {
                const WCHAR *target = at + lstrlenW(at) + 1, *next = target + lstrlenW(target) + 1;
                std::wstring source = at;
                bool ours = source.size() >= name.size() && lstrcmpiW(source.c_str() + source.size() - name.size(), name.c_str()) == 0;
                if (!ours) kept.insert(kept.end(), at, next);
                at = next;
            }
            if (kept.empty()) {
                RegDeleteValueW(key, L"PendingFileRenameOperations");
            } else {
                kept.push_back(0);
                RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                               reinterpret_cast<const BYTE *>(kept.data()), static_cast<DWORD>(kept.size() * sizeof(WCHAR)));
            }
        }
        RegCloseKey(key);
    }
}

void DeleteConfiguration()
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, ProductKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, ProductKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, VendorKey);  // only when nothing else is left in it
}

// --- The pieces -----------------------------------------------------------------

enum Restore { ByDriver, ByDevice, ByFirewall, By32Bit };

struct Piece {
    const char *name;
    bool (*present)();
    Restore restore;
    const char *advice;  // what status says when it is missing
};

bool FilePresent() { return Exists(SystemCopy()); }
bool EntryPresent() { return !DriverAlias().empty(); }
bool AppletPresent() { return ValueExists(CplsPath, L"Tessmar"); }
// The device names the library under the alias Drivers32 gives it (any
// alias while Drivers32 has none: that entry is a piece of its own).
bool DevicePresent()
{
    std::wstring alias = DriverAlias(), named = DeviceAlias();
    return !named.empty() && (alias.empty() || named == alias);
}
// netsh lists a rule as "Rule Name:   <name>" (the label is translated, the
// name is not); anything else, an error text included, means no rule.
bool RulePresent()
{
    std::string output;
    DWORD error = 0;
    if (RunProgram(Wide("netsh advfirewall firewall " + RuleWords("show", nullptr)), error, &output) != 0) return false;
    const std::string name = FirewallRule;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string line = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.size() > name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0) {
            size_t label = line.find_last_not_of(' ', line.size() - name.size() - 1);
            if (label != std::string::npos && line[label] == ':') return true;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}
// The 32-bit driver, as the 32-bit tool's own status sees it.
enum class Side32 { NotPackaged, Present, Missing, CannotRun };

// A system without 32-bit support may refuse to start the tool, or (a
// 64-bit-only Wine) start it and end it at once without a word: the tool
// always writes its status, so silence means it did not run.
Side32 Check32()
{
    if (Tool32().empty()) return Side32::NotPackaged;
    DWORD error = 0;
    std::string output;
    long code = RunProgram(L"\"" + Tool32() + L"\" status", error, &output);
    if (code < 0 || output.empty()) return Side32::CannotRun;
    return code == 0 ? Side32::Present : Side32::Missing;
}

bool Driver32Present() { return Check32() != Side32::Missing; }

const Piece Pieces[] = {
    {"driver file in the system folder", FilePresent, ByDriver, "programs cannot load the driver"},
    {"MIDI driver entry (Drivers32)", EntryPresent, ByDriver, "programs do not see the ports"},
    {"Control Panel entry", AppletPresent, ByDriver, "the Configurator is not in the Control Panel"},
    {"device registration", DevicePresent, ByDevice, "Windows may drop the MIDI driver entry at its next update"},
    {"firewall rule for port 12555", RulePresent, ByFirewall, "other machines' MIDI may be blocked"},
    {"32-bit driver", Driver32Present, By32Bit, "32-bit programs do not see the ports"},
};

bool Restore(Restore how, const std::string &dll)
{
    switch (how) {
    case ByDriver:
        return DriverInstaller(dll, DRV_INSTALL);
    case ByDevice:
        printf("  registering the device\n");
        return RegisterDevice(DriverAlias());
    case ByFirewall:
        return Firewall(RuleWords("add", "UDP"), false) == 0 && Firewall(RuleWords("add", "TCP"), false) == 0;
    case By32Bit:
        return Run32("repair");
    }
    return false;
}

// The machine's MIDI mode, as the new MIDI service records it.
std::string MidiMode()
{
    DWORD mode = 0, bytes = sizeof mode;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, Drivers32Path, L"UseLegacyMidi", RRF_RT_REG_DWORD, nullptr, &mode,
                     &bytes) != ERROR_SUCCESS)
        return "no MIDI service setting (UseLegacyMidi not set): programs load the driver through winmm";
    switch (mode) {
    case 0: return "UseLegacyMidi = 0, the full MIDI service: programs that use winmm still load the driver";
    case 1: return "UseLegacyMidi = 1, legacy MIDI: programs load the driver through winmm";
    case 2: return "UseLegacyMidi = 2, hybrid: programs that use winmm load the driver";
    default: return "UseLegacyMidi = " + std::to_string(mode) + ", a mode this tool does not know";
    }
}

// Which pieces are missing, in table order.
std::vector<const Piece *> Missing()
{
    std::vector<const Piece *> missing;
    for (const Piece &piece : Pieces)
        if (!piece.present()) missing.push_back(&piece);
    return missing;
}

int Status(bool quiet)
{
    std::vector<const Piece *> missing = Missing();
    if (quiet) return missing.empty() ? ExitOk : ExitFailed;
    for (const Piece &piece : Pieces) {
        bool absent = std::find(missing.begin(), missing.end(), &piece) != missing.end();
        printf("%-34s %s\n", piece.name, absent ? "MISSING" : "present");
    }
    std::string alias = Utf8(DriverAlias().c_str());
    if (!alias.empty()) printf("Drivers32 value: %s = Tessmar.dll\n", alias.c_str());
    Side32 side = Check32();
    if (side == Side32::NotPackaged) printf("32-bit driver: no x86\\tessmar.exe beside this program to ask\n");
    if (side == Side32::CannotRun) printf("32-bit driver: not checked, this system cannot run 32-bit programs\n");
    printf("MIDI mode: %s\n", MidiMode().c_str());
    for (const Piece *piece : missing) printf("missing: %s: %s\n", piece->name, piece->advice);
    if (!missing.empty()) printf("Run `tessmar repair` as an administrator to put back what is missing.\n");
    return missing.empty() ? ExitOk : ExitFailed;
}

// Restores what is missing and only that; each kind of restore runs once.
// An installation also runs the driver's own installer when nothing of it
// is missing: that writes the first configuration where there is none.
int Repair(const std::string &dll, bool install)
{
    bool done[4] = {}, ok = true;
    for (const Piece &piece : Pieces) {
        bool force = install && (piece.restore == ByDriver || piece.restore == By32Bit);
        if (!force && piece.present()) continue;
        if (!force) printf("%s is missing\n", piece.name);
        if (done[piece.restore]) continue;
        done[piece.restore] = true;
        ok = Restore(piece.restore, dll) && ok;
    }
    std::vector<const Piece *> missing = Missing();
    for (const Piece *piece : missing)
        Fail("%s is still missing%s", piece->name,
             piece->restore == ByFirewall ? " (the firewall refused the rule or is not there)" : ": run it as an administrator");
    // The firewall is the one piece a machine may lack on purpose.
    bool onlyFirewall = missing.size() == 1 && missing[0]->restore == ByFirewall;
    if (onlyFirewall) return ExitOk;
    if (!missing.empty()) return ExitDriver;
    return ok ? ExitOk : ExitFailed;
}

int Remove(const std::string &dll)
{
    bool ok = Run32("remove");
    printf("  removing the MIDI driver entry, the Control Panel entry and the driver file\n");
    ok = DriverInstaller(dll, DRV_REMOVE) && ok;
    DeleteMovedCopies();
    printf("  removing the device registration and the configuration\n");
    RemoveDevice();
    DeleteIfEmpty(HKEY_LOCAL_MACHINE, MediaClassKey);
    DeleteIfEmpty(HKEY_LOCAL_MACHINE, CplsPath);
    DeleteConfiguration();
    Firewall(RuleWords("delete", nullptr), false);
    bool left = EntryPresent() || AppletPresent() || FilePresent() || DevicePresent();
    if (left) Fail("remove: something is still registered: run it as an administrator");
    return left ? ExitDriver : (ok ? ExitOk : ExitFailed);
}

}  // namespace

int SetupCommand(Args &args, const char *command)
{
    std::string dll;
    bool bad = false;
    TakeOption(args, "--dll", dll, bad);
    bool quiet = TakeFlag(args, "--quiet");
    if (bad || ReportUnknownOptions(args, command)) return ExitUsage;
    if (!args.words.empty()) {
        Fail("%s: unexpected '%s'", command, args.words[0].c_str());
        return ExitUsage;
    }
    std::string name = command;
    if (name == "status") return Status(quiet);
    if (name == "remove") return Remove(dll);
    printf("%s:\n", command);
    return Repair(dll, name == "install");
}

int InstallCommand(Args &args) { return SetupCommand(args, "install"); }
int RemoveCommand(Args &args) { return SetupCommand(args, "remove"); }
int RepairCommand(Args &args) { return SetupCommand(args, "repair"); }
int StatusCommand(Args &args) { return SetupCommand(args, "status"); }
