// Placeholder: replaced by the real implementation.
#include "configurator/configurator.h"

INT_PTR CALLBACK AboutDlgProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
