// Placeholder: replaced by the real implementation.
#include "configurator/configurator.h"

BOOL Configure(HWND, HINSTANCE) { return FALSE; }
void CloneUnits() {}
void UncloneUnits(INT_PTR) {}
