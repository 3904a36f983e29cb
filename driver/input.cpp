// The MIDI input driver entry: winmm calls midMessage for every operation
// on one of the driver's input ports.
#include "driver/driver.h"
#include "diag/log.h"

extern "C" DWORD APIENTRY midMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2)
{
    (void)user;
    switch (message) {
    case MIDM_GETNUMDEVS:
        OutputDebugStringW(L"MIDM_GETNUMDEVS\n");
        LOG(2, "MIDM_GETNUMDEVS");
        return CountDevices(MidiInDevice);
    case MIDM_GETDEVCAPS:
        LOG(2, "MIDM_GETDEVCAPS");
        OutputDebugStringW(L"MIDM_GETDEVCAPS\n");
        return GetDevCaps(deviceId, MidiInDevice, reinterpret_cast<void *>(param1),
                          static_cast<DWORD>(param2));
    case MIDM_PORTTABLEPROBE:
        return MMSYSERR_NOERROR;
    case MIDM_PORTTABLEQUERY:
        if (!param1 || !param2) return MMSYSERR_NOTSUPPORTED;
        return PortTableQuery(deviceId, MidiInDevice, reinterpret_cast<void *>(param1),
                              static_cast<DWORD>(param2));
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}
