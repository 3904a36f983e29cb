// Prints every datagram that reaches UDP port 12555 in this network
// namespace, one line each: its sequence number and its MIDI bytes in hex.
//
//   packet_capture.exe COUNT SECONDS
//
// Says "capturing" on standard error once bound; exits 0 after COUNT
// datagrams (or, with COUNT 0, when SECONDS pass), 1 when SECONDS pass
// first. Refuses to run outside a private network namespace.
#include "core/packet.h"
#include "tools/programs/program_common.h"
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3 || !InsidePrivateNamespace()) {
        fprintf(stderr, "usage: packet_capture COUNT SECONDS (in a private namespace)\n");
        return 2;
    }
    int wanted = atoi(argv[1]);
    DWORD deadline = GetTickCount() + static_cast<DWORD>(atoi(argv[2])) * 1000;
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = OpenMidiPortListener();
    if (s == INVALID_SOCKET) return 2;
    fprintf(stderr, "capturing\n");
    int seen = 0;
    while (wanted == 0 || seen < wanted) {
        long left = static_cast<long>(deadline - GetTickCount());
        if (left <= 0) break;
        DWORD timeout = static_cast<DWORD>(left);
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
        uint8_t packet[2048];
        int length = recv(s, reinterpret_cast<char *>(packet), sizeof packet, 0);
        PacketHeader header;
        if (length <= 0 || !DecodeHeader(packet, static_cast<size_t>(length), &header)) continue;
        printf("seq=%u", header.Sequence);
        for (int i = PacketHeaderSize; i < length; ++i) printf(" %02X", packet[i]);
        printf("\n");
        fflush(stdout);
        ++seen;
    }
    closesocket(s);
    WSACleanup();
    return wanted == 0 || seen >= wanted ? 0 : 1;
}
