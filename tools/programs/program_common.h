// What the helper programs that drive a port directly have in common.
#pragma once

#include "driver/driver.h"
#include "config/config.h"
#include "core/packet.h"
#include <stdio.h>

// These programs open sockets: they run only where the test run made a
// private network namespace and said so.
inline bool InsidePrivateNamespace()
{
    char inside[8] = {};
    return GetEnvironmentVariableA("TESSMAR_IN_NETNS", inside, sizeof inside) &&
           lstrcmpA(inside, "1") == 0;
}

// A socket that hears every datagram to the MIDI port in this namespace,
// beside any input port (address reuse); INVALID_SOCKET when the bind fails.
inline SOCKET OpenMidiPortListener()
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(NetworkPort);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Whether a socket has something to read (or, listening, a connection to
// accept) within `ms`.
inline bool Readable(SOCKET s, DWORD ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait = {long(ms / 1000), long(ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) == 1;
}

// The next connection on a listening socket within `ms`, or INVALID_SOCKET.
inline SOCKET AcceptWithin(SOCKET listener, DWORD ms)
{
    return Readable(listener, ms) ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
}

// Starts the driver as its library's load would, with the log off (the
// shipped default), and fills the port table: `outputs` output ports, then
// `inputs` input ports, all of one show and group mask, UDP.
inline void StartDriverWithPorts(int outputs, int inputs, DWORD show, DWORD groups)
{
    DriverProcessAttach(GetModuleHandleW(nullptr));
    DebugLevel = 0;
    for (int slot = 0; slot < outputs + inputs && slot < UnitsInUse; ++slot) {
        Unit &unit = pUnits[slot];
        unit.InUse = 1;
        unit.Direction = slot < outputs ? DirectionOutput : DirectionInput;
        unit.ShowNumber = show;
        unit.Groups = groups;
        unit.OpenHandle = INVALID_SOCKET;
    }
    TCPClientServer = 0;
}

// Configures slot 0 as one UDP output port, as the configuration loader
// would leave it, and opens it as winmm would. Null (after saying why) when
// the open fails.
inline MidiPort *OpenFirstOutputPort(DWORD_PTR *instance)
{
    pUnits[0].InUse = 1;
    pUnits[0].Direction = DirectionOutput;
    pUnits[0].ShowNumber = 0x352441C2;
    pUnits[0].Groups = 5;
    pUnits[0].OpenHandle = INVALID_SOCKET;
    TCPClientServer = 0;
    MIDIOPENDESC desc = {};
    DWORD opened = modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(instance),
                              reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL);
    if (opened != MMSYSERR_NOERROR) {
        fprintf(stderr, "open failed: %lu\n", static_cast<unsigned long>(opened));
        return nullptr;
    }
    return reinterpret_cast<MidiPort *>(*instance);
}
