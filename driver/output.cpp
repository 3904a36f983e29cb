// The MIDI output driver entry: winmm calls modMessage for every operation
// an application performs on one of the driver's output ports.
#include "driver/driver.h"
#include "diag/log.h"

extern "C" DWORD APIENTRY modMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2)
{
    (void)user;
    switch (message) {
    case MODM_GETNUMDEVS:
        LOG(2, "MODM_GETNUMDEVS");
        return CountDevices(MidiOutDevice);
    case MODM_GETDEVCAPS:
        LOG(2, "MODM_GETDEVCAPS");
        return GetDevCaps(deviceId, MidiOutDevice, reinterpret_cast<void *>(param1),
                          static_cast<DWORD>(param2));
    case MODM_PORTTABLEPROBE:
        return MMSYSERR_NOERROR;
    case MODM_PORTTABLEQUERY:
        if (!param1 || !param2) return MMSYSERR_NOTSUPPORTED;
        return PortTableQuery(deviceId, MidiOutDevice, reinterpret_cast<void *>(param1),
                              static_cast<DWORD>(param2));
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}
