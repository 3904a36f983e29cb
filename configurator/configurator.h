// Control Panel applet, configure session, Configurator dialog, About box.
#pragma once

#include "config/config.h"

extern "C" LONG APIENTRY CPlApplet(HWND window, UINT message, LPARAM param1, LPARAM param2);

BOOL Configure(HWND parent, HINSTANCE instance);
void CloneUnits();
void UncloneUnits(INT_PTR result);

INT_PTR CALLBACK ConfigDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
BOOL CenterWindow(HWND window, HWND parent);
