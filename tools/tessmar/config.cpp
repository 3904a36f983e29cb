// tessmar config: the stored configuration, read and written through the
// driver's own configuration store (the same code the driver and the
// Configurator run), with the Configurator's rules and its messages.
#include "tools/tessmar/tessmar.h"
#include "tools/tessmar/text.h"
#include "config/config.h"
#include "configurator/session.h"
#include "diag/log.h"
#include <stdio.h>

namespace {

constexpr size_t DescriptionMax = 127;  // the Configurator's Description box
constexpr size_t DeviceNameMax = 31;    // what programs see of a name
constexpr size_t AddressMax = 112;      // the Configurator's TCP Address box
constexpr DWORD DebugLevelMax = 8;

bool IsPort(const Unit &unit, DWORD direction)
{
    return unit.InUse && (LOWORD(unit.Direction) & direction);
}

// Port slots of the loaded table by their names (all directions; names are
// unique over the table).
std::vector<int> NamedSlots(std::vector<std::string> &names)
{
    std::vector<int> slots;
    for (int slot = 0; slot < UnitsInUse; ++slot) {
        if (!pUnits[slot].InUse) continue;
        slots.push_back(slot);
        names.push_back(Utf8(pUnits[slot].Description ? pUnits[slot].Description : L""));
    }
    return slots;
}

int FindSlot(const std::string &wanted)
{
    std::vector<std::string> names;
    std::vector<int> slots = NamedSlots(names);
    size_t index = 0;
    std::vector<size_t> candidates;
    NameMatch match = MatchPortName(names, wanted, index, candidates);
    if (match == NameMatch::Found) return slots[index];
    std::string list;
    for (size_t candidate : candidates) list += (list.empty() ? "'" : ", '") + names[candidate] + "'";
    Fail("config: %s port '%s'%s%s", match == NameMatch::Ambiguous ? "more than one" : "no",
         wanted.c_str(), list.empty() ? "" : "; the ports are: ", list.c_str());
    return -1;
}

// "1,2,5-8" to a mask; 0 after a reason.
DWORD ParseGroups(const std::string &text)
{
    DWORD mask = 0;
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t dash = item.find('-', 1);
        long long first = 0, last = 0;
        if (!ParseNumberArg(item.substr(0, dash), 1, 32, "group", first)) return 0;
        last = first;
        if (dash != std::string::npos && !ParseNumberArg(item.substr(dash + 1), first, 32, "group", last))
            return 0;
        for (long long g = first; g <= last; ++g) mask |= 1u << (g - 1);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return mask;
}

// The show of that name, made if it is new: its number, or -1 after the
// Configurator's reason. Trailing blanks go; a leading blank is refused.
int ShowNumberFor(const std::string &typed)
{
    std::wstring name = Wide(typed).substr(0, ShowNameLength - 1);
    while (name.size() > 1 && name.back() <= 32) name.pop_back();
    if (name.empty() || name[0] <= 32) {
        Fail("config: A Show Name is required, and must start with an alphabetic character.");
        return -1;
    }
    for (DWORD k = 0; k < CommCount && k < ShowTableSize; ++k)
        if (CommOrder[k] >= 0 && lstrcmpW(name.c_str(), CommList[CommOrder[k]]) == 0) return CommOrder[k];
    int number = CommCount < ShowTableSize ? FreeShowNumber(pUnits) : -1;
    if (number < 0) {
        Fail("config: No more shows can be created: the show list is full.");
        return -1;
    }
    lstrcpynW(CommList[number], name.c_str(), ShowNameLength);
    CommOrder[CommCount++] = static_cast<SHORT>(number);
    return number;
}

// A port name that the Configurator would take, unique except for `skip`.
bool CheckDescription(const std::string &name, int skip)
{
    std::wstring wide = Wide(name);
    if (wide.empty()) {
        Fail("config: You must fill in all parameters to create a device.");
        return false;
    }
    if (wide.size() > DescriptionMax) {
        Fail("config: a port name has at most %zu characters", DescriptionMax);
        return false;
    }
    for (int slot = 0; slot < UnitTableSize; ++slot) {
        const Unit &unit = pUnits[slot];
        if (slot == skip || !unit.InUse || !unit.Description) continue;
        if (lstrcmpW(wide.c_str(), unit.Description) == 0) {
            Fail("config: You have duplicated the port description.");
            return false;
        }
    }
    if (wide.size() > DeviceNameMax)
        fprintf(stderr, "note: programs see the first %zu characters of the name\n", DeviceNameMax);
    return true;
}

bool SetDescription(Unit &unit, const std::string &name)
{
    WCHAR *copy = HeapCopyText(Wide(name).c_str());
    if (!copy) return false;
    HeapFreeText(unit.Description);
    unit.Description = copy;
    return true;
}

// The store reports no failure of its own: the key is opened for writing
// here first, so that a refusal (no administrator rights) has a reason.
int Save()
{
    HKEY product;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProductKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &product, nullptr);
    if (status != ERROR_SUCCESS) {
        Fail("config: cannot write HKLM\\Software\\Kalvera\\Tessmar (error %ld)%s", status,
             status == ERROR_ACCESS_DENIED ? ": run it as an administrator" : "");
        return ExitDriver;
    }
    RegCloseKey(product);
    SetPortInfo();
    return ExitOk;
}

int Add(Args &args)
{
    std::string show, groups;
    bool bad = false;
    bool hasShow = TakeOption(args, "--show", show, bad), hasGroups = TakeOption(args, "--groups", groups, bad);
    if (bad || ReportUnknownOptions(args, "config")) return ExitUsage;
    if (args.words.size() != 3 || !hasShow || !hasGroups ||
        (args.words[1] != "in" && args.words[1] != "out")) {
        Fail("config: You must fill in all parameters to create a device. "
             "(config add in|out NAME --show SHOW --groups LIST)");
        return ExitUsage;
    }
    const std::string &name = args.words[2];
    DWORD mask = ParseGroups(groups);
    if (!CheckDescription(name, -1) || !mask) return ExitUsage;
    int slot = 0;
    while (slot < ConfigurableUnits && (pUnits[slot].InUse || pUnits[slot].Description)) ++slot;
    if (slot == ConfigurableUnits) {
        Fail("config: no room for another port (the Configurator keeps at most %d)", ConfigurableUnits);
        return ExitUsage;
    }
    int number = ShowNumberFor(show);
    if (number < 0) return ExitUsage;
    Unit &unit = pUnits[slot];
    if (!SetDescription(unit, name)) return ExitDriver;
    unit.InUse = 1;
    unit.Direction = args.words[1] == "in" ? DirectionInput : DirectionOutput;
    unit.CommUnit = static_cast<BYTE>(number);
    unit.Groups = mask;
    int code = Save();
    if (code == ExitOk) printf("added %s port '%s'\n", args.words[1] == "in" ? "input" : "output", name.c_str());
    return code;
}

int Change(Args &args)
{
    std::string rename, show, groups;
    bool bad = false;
    bool hasName = TakeOption(args, "--name", rename, bad), hasShow = TakeOption(args, "--show", show, bad),
         hasGroups = TakeOption(args, "--groups", groups, bad);
    if (bad || ReportUnknownOptions(args, "config")) return ExitUsage;
    if (args.words.size() != 2 || (!hasName && !hasShow && !hasGroups)) {
        Fail("config: change NAME needs --name, --show or --groups");
        return ExitUsage;
    }
    int slot = FindSlot(args.words[1]);
    if (slot < 0) return ExitUsage;
    Unit &unit = pUnits[slot];
    DWORD mask = hasGroups ? ParseGroups(groups) : unit.Groups;
    if (!mask || (hasName && !CheckDescription(rename, slot))) return ExitUsage;
    int number = hasShow ? ShowNumberFor(show) : unit.CommUnit;
    if (number < 0) return ExitUsage;
    std::string old = Utf8(unit.Description);
    if (hasName && !SetDescription(unit, rename)) return ExitDriver;
    unit.CommUnit = static_cast<BYTE>(number);
    unit.Groups = mask;
    int code = Save();
    if (code == ExitOk) printf("changed port '%s'\n", old.c_str());
    return code;
}

int Remove(Args &args)
{
    if (ReportUnknownOptions(args, "config")) return ExitUsage;
    if (args.words.size() != 2) {
        Fail("config: remove NAME names one port");
        return ExitUsage;
    }
    int slot = FindSlot(args.words[1]);
    if (slot < 0) return ExitUsage;
    std::string old = Utf8(pUnits[slot].Description);
    HeapFreeText(pUnits[slot].Description);
    pUnits[slot] = {};
    pUnits[slot].OpenHandle = INVALID_SOCKET;
    int code = Save();
    if (code == ExitOk) printf("removed port '%s'\n", old.c_str());
    return code;
}

bool IsAscii(const std::string &text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 33 || static_cast<unsigned char>(c) > 126) return false;
    return true;
}

int Transport(Args &args)
{
    const std::vector<std::string> &w = args.words;
    bool tcp = w.size() >= 2 && w[1] == "tcp";
    if (w.size() < 2 || w.size() > 3 || (w[1] != "udp" && !tcp) || (tcp && w.size() != 3)) {
        Fail("config: transport udp [ADDRESS] or transport tcp ADDRESS");
        return ExitUsage;
    }
    std::string address = w.size() == 3 ? w[2] : "";
    if (address.size() > AddressMax || !IsAscii(address)) {
        Fail("config: an address is a host name or dotted address of at most %zu plain characters",
             AddressMax);
        return ExitUsage;
    }
    TCPClientServer = tcp ? 1 : 0;
    CopyAddressText(TCPAddress, address.c_str(), TcpAddressSize - 1);
    int code = Save();
    if (code == ExitOk) printf("transport: %s\n", TransportText().c_str());
    return code;
}

int Debug(Args &args)
{
    long long level = 0;
    if (args.words.size() != 2) {
        Fail("config: debug LEVEL, 0 to %lu", static_cast<unsigned long>(DebugLevelMax));
        return ExitUsage;
    }
    if (!ParseNumberArg(args.words[1], 0, DebugLevelMax, "debug level", level)) return ExitUsage;
    WriteDebugLevelValue(static_cast<DWORD>(level));
    if (ReadDebugLevelValue() != level) {
        Fail("config: cannot write the debug level: run it as an administrator");
        return ExitDriver;
    }
    printf("debug level %lld\n", level);
    return ExitOk;
}

void PrintPorts(DWORD direction, const char *title)
{
    printf("%s:\n", title);
    int device = 0;
    for (int slot = 0; slot < UnitsInUse; ++slot) {
        if (!IsPort(pUnits[slot], direction)) continue;
        printf("  %3d  %-32s %s\n", device++, Utf8(pUnits[slot].Description).c_str(),
               PortDetails(pUnits[slot].CommUnit, pUnits[slot].Groups).c_str());
    }
    if (device == 0) printf("  (none)\n");
}

int Show()
{
    PrintPorts(DirectionOutput, "Output ports");
    PrintPorts(DirectionInput, "Input ports");
    printf("Transport: %s\n", TransportText().c_str());
    DWORD level = ReadDebugLevelValue();
    printf("Debug level: %lu%s\n", static_cast<unsigned long>(level),
           level == 0 ? " (off)" : level <= 4 ? " (debugger output)" : " (debugger output and a file)");
    return ExitOk;
}

struct Subcommand {
    const char *name;
    int (*run)(Args &args);
};

const Subcommand Subcommands[] = {
    {"add", Add}, {"change", Change}, {"remove", Remove}, {"transport", Transport}, {"debug", Debug},
};

}  // namespace

bool LoadConfiguration()
{
    if (!DriverHeap) {
        DriverHeap = HeapCreate(0, 0, 0);
        InitializeCriticalSection(&LogLock);
        InitializeCriticalSection(&mmDrvCritSec);
    }
    InitPortInfo();
    return DriverHeap != nullptr;
}

std::string GroupsText(DWORD mask)
{
    std::string text;
    for (int g = 0; g < 32; ++g) {
        if (!(mask & (1u << g))) continue;
        int last = g;
        while (last + 1 < 32 && (mask & (1u << (last + 1)))) ++last;
        text += (text.empty() ? "" : ",") + std::to_string(g + 1);
        if (last > g) text += (last > g + 1 ? "-" : ",") + std::to_string(last + 1);
        g = last;
    }
    return text.empty() ? "none" : text;
}

std::string PortDetails(unsigned show, DWORD groups)
{
    return "show '" + Utf8(ShowName(show)) + "', groups " + GroupsText(groups);
}

std::string TransportText()
{
    std::string address = TCPAddress;
    if (TCPClientServer == 0)
        return address.empty() ? "UDP broadcast" : "UDP broadcast, network card chosen by " + address;
    return "TCP, output ports connect to " + (address.empty() ? std::string("(no address)") : address) +
           " port 12555; input ports accept one connection on port 12555";
}

int ConfigCommand(Args &args)
{
    // The stored configuration is the same whichever way programs reach the
    // driver: --dll is taken so that scripts may pass it to every command.
    std::string dll;
    bool bad = false;
    TakeOption(args, "--dll", dll, bad);
    if (bad) return ExitUsage;
    if (!LoadConfiguration()) {
        Fail("config: out of memory");
        return ExitDriver;
    }
    if (args.words.empty()) return Show();
    for (const Subcommand &sub : Subcommands)
        if (args.words[0] == sub.name) return sub.run(args);
    Fail("config: unknown subcommand '%s' (see tessmar config --help)", args.words[0].c_str());
    return ExitUsage;
}
