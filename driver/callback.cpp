// Placeholder: replaced by the real implementation.
#include "driver/driver.h"

void midiCallBack(MidiPort *, DWORD, DWORD_PTR, DWORD_PTR) {}
