// tessmar list: the driver's ports as programs see them, with what the
// stored configuration says of each, and where output goes.
#include "tools/tessmar/tessmar.h"
#include "config/config.h"
#include "net/net.h"
#include <stdio.h>

namespace {

// The configured ports of one direction in slot order: the driver numbers
// its devices the same way.
std::vector<const Unit *> ConfiguredPorts(DWORD direction)
{
    std::vector<const Unit *> units;
    for (int slot = 0; slot < UnitsInUse; ++slot)
        if (pUnits[slot].InUse && (LOWORD(pUnits[slot].Direction) & direction)) units.push_back(&pUnits[slot]);
    return units;
}

void PrintDirection(const Backend *backend, bool input)
{
    std::vector<PortEntry> ports = ListPorts(backend, input);
    std::vector<const Unit *> units = ConfiguredPorts(input ? DirectionInput : DirectionOutput);
    printf("%s ports:\n", input ? "Input" : "Output");
    for (const PortEntry &port : ports) {
        std::string details = "(not in the stored configuration: reloaded at the next start of the program)";
        if (port.driverIndex < units.size()) {
            const Unit &unit = *units[port.driverIndex];
            details = PortDetails(unit.CommUnit, unit.Groups);
        }
        printf("  %3u  %-32s %s\n", port.id, port.name.c_str(), details.c_str());
    }
    if (ports.empty()) printf("  (none)\n");
}

// Where UDP output of this machine is broadcast, as an output port works
// it out at its open.
std::string BroadcastText()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return "unknown (no network)";
    std::string text = "unknown (this machine's name does not resolve)";
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    u_long broadcast = 0;
    if (probe != INVALID_SOCKET && FindBroadcastAddress(probe, &broadcast)) {
        in_addr address;
        address.s_addr = broadcast;
        text = std::string(inet_ntoa(address)) + " port 12555";
    }
    if (probe != INVALID_SOCKET) closesocket(probe);
    WSACleanup();
    return text;
}

}  // namespace

int ListCommand(Args &args)
{
    bool bad = false;
    const Backend *backend = ConnectDriver(args, bad);
    if (!backend) return bad ? ExitUsage : ExitDriver;
    if (ReportUnknownOptions(args, "list") || !args.words.empty()) {
        if (!args.words.empty() && args.words[0][0] != '-') Fail("list: unexpected '%s'", args.words[0].c_str());
        DisconnectDriver(backend);
        return ExitUsage;
    }
    LoadConfiguration();
    PrintDirection(backend, false);
    PrintDirection(backend, true);
    if (ListPorts(backend, false).empty() && ListPorts(backend, true).empty() && backend == SystemBackend())
        fprintf(stderr, "note: the system lists no Tessmar port: is the driver installed? "
                        "(--dll PATH loads it directly)\n");
    printf("Transport: %s\n", TransportText().c_str());
    if (TCPClientServer == 0) printf("Output is broadcast to %s\n", BroadcastText().c_str());
    DisconnectDriver(backend);
    return ExitOk;
}
