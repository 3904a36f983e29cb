// Opens an output port in the current network namespace and checks where
// its packets go: the port's broadcast address, and the local address they
// leave from, as a socket bound to port 12555 sees them.
//
//   broadcast_probe.exe <TCP address or -> <expected broadcast> <expected source>
//
// Run by tools/subnet-broadcast.sh inside a namespace it builds; refuses to
// run outside a private namespace. Exit code 0 when both match.
#include "driver/driver.h"
#include "diag/log.h"
#include "net/net.h"
#include "program_common.h"
#include <stdio.h>
#include <string.h>

namespace {

// One datagram within two seconds; its length, or -1.
int Receive(SOCKET s, BYTE *buffer, int size, sockaddr_in *from)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {2, 0};
    if (select(0, &set, nullptr, nullptr, &timeout) != 1) return -1;
    int fromLength = sizeof *from;
    return recvfrom(s, reinterpret_cast<char *>(buffer), size, 0,
                    reinterpret_cast<sockaddr *>(from), &fromLength);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!InsidePrivateNamespace()) {
        fprintf(stderr, "refusing to run outside a private network namespace\n");
        return 2;
    }
    if (argc != 4) {
        fprintf(stderr, "usage: broadcast_probe <TCP address or -> <broadcast> <source>\n");
        return 2;
    }
    DriverProcessAttach(GetModuleHandleW(nullptr));
    DebugLevel = 0;

    lstrcpynA(TCPAddress, strcmp(argv[1], "-") ? argv[1] : "", sizeof TCPAddress);

    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET capture = OpenMidiPortListener();
    if (capture == INVALID_SOCKET) {
        fprintf(stderr, "cannot bind port 12555\n");
        return 1;
    }

    DWORD_PTR instance = 0;
    MidiPort *port = OpenFirstOutputPort(&instance);
    if (!port) return 1;
    in_addr broadcast;
    broadcast.s_addr = port->BroadcastAddress;
    char broadcastText[32];
    lstrcpynA(broadcastText, inet_ntoa(broadcast), sizeof broadcastText);

    DWORD sent = modMessage(0, MODM_DATA, instance, 0x403C90, 0);
    BYTE packet[512];
    sockaddr_in from = {};
    int length = Receive(capture, packet, sizeof packet, &from);
    char sourceText[32] = "none";
    if (length >= 0) lstrcpynA(sourceText, inet_ntoa(from.sin_addr), sizeof sourceText);
    modMessage(0, MODM_CLOSE, instance, 0, 0);

    bool ok = sent == MMSYSERR_NOERROR && length == 19 && packet[16] == 0x90 &&
              strcmp(broadcastText, argv[2]) == 0 && strcmp(sourceText, argv[3]) == 0;
    printf("TCPAddress '%s': broadcast %s (expected %s), packet of %d bytes from %s "
           "(expected %s): %s\n",
           TCPAddress, broadcastText, argv[2], length, sourceText, argv[3], ok ? "PASS" : "FAIL");
    closesocket(capture);
    WSACleanup();
    return ok ? 0 : 1;
}
