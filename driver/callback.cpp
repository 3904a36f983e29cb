// Client notification: every message the driver gives a client (open,
// close, buffer done, received MIDI) leaves through midiCallBack.
#include "driver/driver.h"
#include "diag/log.h"

// The driver's own callback type is not known to winmm, so the driver calls
// the client's function itself, with the platform's callback convention.
typedef void(CALLBACK *DirectCallbackProc)(HDRVR device, UINT message, DWORD_PTR instance,
                                           DWORD_PTR param1, DWORD_PTR param2);

void midiCallBack(MidiPort *port, DWORD message, DWORD_PTR param1, DWORD_PTR param2)
{
    LOG(2, "midiCallBack - sending message back to host.");
    if (!port->dwCallback) return;

    if ((port->dwFlags & CallbackTypeMask) == CALLBACK_DIRECT) {
        // No device handle: a direct client talks to the driver, not to winmm.
        DirectCallbackProc proc = reinterpret_cast<DirectCallbackProc>(port->dwCallback);
        proc(nullptr, message, port->dwInstance, param1, param2);
        return;
    }

    // The whole high word goes through: winmm's DCB_* values are the
    // CALLBACK_* types shifted down by 16 bits.
    DriverCallback(port->dwCallback, HIWORD(port->dwFlags), reinterpret_cast<HDRVR>(port->hMidi),
                   message, port->dwInstance, param1, param2);
}
