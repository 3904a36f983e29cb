// The UDP transport: every output port broadcasts each packet as one
// datagram to port 12555 of its subnet, and every input port hears them on
// a socket bound to 12555 with address reuse. Nothing waits and nothing is
// connected.
#include "net/net.h"
#include "diag/log.h"

namespace {

constexpr int InterfaceRecordSize = 76;  // INTERFACE_INFO on both architectures
constexpr int InterfaceRecordCount = 20;
static_assert(sizeof(INTERFACE_INFO) == InterfaceRecordSize, "interface record");
// Bounds the datagrams thrown away at a start (a socket buffer's worth).
constexpr int MaxDiscards = 4096;
constexpr LONGLONG DiscardMs = 5;
constexpr int ReceiveBufferBytes = 4 << 20;

// A receive gets a second buffer for whatever a datagram has beyond 400
// bytes. Without it an oversized datagram already waiting when the receive
// is posted fails the post (WSAEMSGSIZE) and would leave the port broken;
// with it the datagram completes like any other and is cut to 400 bytes.
// The bytes that land here are never read, so every port may share it.
BYTE OverflowSink[65536 - PacketSizeMax];

bool BuildOutput(MidiPort *port)
{
    LOG(2, "socketRebuild: UDP output");
    return CreateWorkSocket(port, SOCK_DGRAM, IPPROTO_UDP, "Tessmar2: drvutil: socket()")
        && SetWorkOption(port, SOL_SOCKET, SO_BROADCAST, 2, "Tessmar: UDP setsockopt() %d")
        && BindWorkSocket(port, 0, "Tessmar: drvutil: UDP bind() %d");
}

// Several input ports, in this process and others, share port 12555, hence
// SO_REUSEADDR.
bool BuildInput(MidiPort *port)
{
    LOG(2, "UDP input");
    return CreateWorkSocket(port, SOCK_DGRAM, IPPROTO_UDP, "socket pooped %d")
        && SetWorkOption(port, SOL_SOCKET, SO_BROADCAST, 2, "setsocket BROADCAST pooped %d")
        && SetWorkOption(port, SOL_SOCKET, SO_REUSEADDR, 2, "socket REUSE %d")
        && BindWorkSocket(port, NetworkPort, "Fail: DoUdpServer bind: %d");
}

bool BuildSocket(MidiPort *port)
{
    return port->DeviceType == MidiOutDevice ? BuildOutput(port) : BuildInput(port);
}

DWORD ClassfulBroadcast(DWORD address)
{
    if ((address & 0x80000000) == 0) return address | 0x00FFFFFF;            // class A
    if ((address & 0xC0000000) == 0x80000000) return address | 0x0000FFFF;   // class B
    return address | 0x000000FF;
}

// First IPv4 address of a host entry, in host order; false if none.
bool FirstAddress(const hostent *host, DWORD *address)
{
    if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0])
        return false;
    u_long network;
    CopyMemory(&network, host->h_addr_list[0], sizeof network);
    *address = ntohl(network);
    return true;
}

}  // namespace

// The address UDP output is broadcast to (network order), from the host's
// own address, the configured TCP address and the interface list of
// `socket`, any UDP socket of this machine. False when the host's name does
// not resolve.
bool FindBroadcastAddress(SOCKET socket, u_long *broadcast)
{
    char hostName[256];
    if (gethostname(hostName, 255) != 0) return false;
    DWORD hostAddress = 0;
    FirstAddress(gethostbyname(hostName), &hostAddress);

    DWORD preferred = 0;
    if (TCPAddress[0]) preferred = ntohl(inet_addr(TCPAddress));

    BYTE list[InterfaceRecordSize * InterfaceRecordCount];
    ZeroMemory(list, sizeof list);
    DWORD returned = 0;
    int ret = WSAIoctl(socket, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &returned,
                       nullptr, nullptr);
    int count = static_cast<int>(returned / InterfaceRecordSize);

    DWORD secondLookup = 0;
    if (!FirstAddress(gethostbyname(hostName), &secondLookup)) return false;
    if (preferred == 0 && ret == 0 && count >= 2) preferred = secondLookup;

    LOG(1, "ret %d, returned %d num %d error %d", ret, returned, count, WSAGetLastError());

    const INTERFACE_INFO *interfaces = reinterpret_cast<const INTERFACE_INFO *>(list);
    *broadcast = htonl(ComputeBroadcastAddress(hostAddress, preferred, interfaces, ret == 0 ? count : 0));
    return true;
}

namespace {

// Works out the port's BroadcastAddress.
DWORD PrepareOpen(MidiPort *port)
{
    char hostName[256];
    if (gethostname(hostName, 255) != 0) {
        LOG(2, " sdnOpenDev %d failed.", port->DeviceId);
        return MMSYSERR_BADDEVICEID;
    }
    u_long broadcast = 0;
    if (!FindBroadcastAddress(port->Socket, &broadcast)) return MMSYSERR_INVALPARAM;
    port->BroadcastAddress = broadcast;
    return MMSYSERR_NOERROR;
}

DWORD Send(MidiPort *port, const char *packet, int length)
{
    port->PeerAddress.sin_family = AF_INET;
    port->PeerAddress.sin_port = htons(NetworkPort);
    port->PeerAddress.sin_addr.s_addr = port->BroadcastAddress;
    if (sendto(port->Socket, packet, length, 0,
               reinterpret_cast<const sockaddr *>(&port->PeerAddress),
               sizeof port->PeerAddress) == SOCKET_ERROR)
        return FailedSend(port);
    return MMSYSERR_NOERROR;
}

int PostReceive(MidiPort *port, RecvBuffer *buffer, bool *posted)
{
    LOG(2, "UDP receive queueing");
    // The system copies the buffer list at the call.
    WSABUF buffers[2] = {port->RecvWsaBuf, {sizeof OverflowSink, (char *)OverflowSink}};
    *posted = true;
    return WSARecvFrom(port->Socket, buffers, 2, &buffer->BytesReceived, &buffer->RecvFlags,
                       reinterpret_cast<sockaddr *>(&buffer->From), &buffer->FromLength,
                       &buffer->Overlapped, InOvl);
}

// One receive is posted at a time, so a burst (a long system-exclusive
// message cut into packets) waits in the socket while the thread handles
// each packet; the system's default room holds only about 160 packets. The
// system caps the request at its own limit.
void EnlargeReceiveBuffer(MidiPort *port)
{
    int size = ReceiveBufferBytes;
    setsockopt(port->Socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size),
               sizeof size);
}

// Datagrams that arrived while input was stopped (or before the first
// start) wait in the socket; they belong to no started stream. A start must
// not wait on a flood, so this gives up after a few milliseconds: what is
// left then goes through acceptance like any later datagram.
void DiscardWaitingDatagrams(MidiPort *port)
{
    LARGE_INTEGER start, now, frequency;
    QueryPerformanceCounter(&start);
    QueryPerformanceFrequency(&frequency);
    LONGLONG budget = frequency.QuadPart * DiscardMs / 1000;
    for (int i = 0; i < MaxDiscards; ++i) {
        QueryPerformanceCounter(&now);
        if (now.QuadPart - start.QuadPart > budget) return;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(port->Socket, &readable);
        timeval noWait = {0, 0};
        if (select(0, &readable, nullptr, nullptr, &noWait) != 1) return;
        char scratch[PacketSizeMax];
        if (recv(port->Socket, scratch, sizeof scratch, 0) == SOCKET_ERROR &&
            WSAGetLastError() != WSAEMSGSIZE)
            return;
    }
}

void PrepareStart(MidiPort *port)
{
    EnlargeReceiveBuffer(port);
    DiscardWaitingDatagrams(port);
}

bool NeverWait() { return false; }

}  // namespace

// UDP: the packet is handled inside its completion routine, on the port
// thread, rather than after the wait has returned; that return costs about
// as much as the rest of the input path under Wine.
const Transport UdpTransport = {BuildSocket, PrepareOpen, Send, PostReceive, PrepareStart,
                                true, false, NeverWait};

DWORD ComputeBroadcastAddress(DWORD hostAddress, DWORD preferred,
                              const INTERFACE_INFO *interfaces, int count)
{
    DWORD broadcast = ClassfulBroadcast(hostAddress);
    for (int i = 0; i < count; ++i) {
        const INTERFACE_INFO &record = interfaces[i];
        if (record.iiNetmask.Address.sa_family != AF_INET) continue;
        DWORD mask = ntohl(record.iiNetmask.AddressIn.sin_addr.s_addr);
        DWORD address = ntohl(record.iiAddress.AddressIn.sin_addr.s_addr);
        if ((address & mask) == (preferred & mask)) return ~mask | preferred;
        LOG(1, "0x%08.8x 0x%08.8x \n", address & mask, mask & 0xC0A80012);
    }
    return broadcast;
}
