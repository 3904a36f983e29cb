// Placeholder: replaced by the real implementation.
#include "configurator/configurator.h"

INT_PTR CALLBACK ConfigDlgProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
BOOL CenterWindow(HWND, HWND) { return TRUE; }
