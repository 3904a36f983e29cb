// State shared by the configure session, the Configurator dialog and the
// About box. One session exists per process at a time.
#pragma once

#include "config/config.h"

// The Configurator lists and creates ports only among the first records.
constexpr int ConfigurableUnits = 112;

// The session's working copy of pUnits (UnitTableSize records), from
// CloneUnits until UncloneUnits; null outside a session.
extern Unit *WorkUnits;
// Module that holds the dialogs, kept for the About box.
extern HINSTANCE SessionInstance;

// The applet's session: reloads the configuration from the registry and
// runs the Configurator with no owner window.
BOOL AppletSession(HINSTANCE instance);

// Font of both dialogs: "MS Shell Dlg" 8 points at the dialog's resolution.
HFONT CreateDialogFont(HWND dialog);

// Name of show number n, or an empty text for a number beyond the table.
const WCHAR *ShowName(unsigned n);

// A show number for a new show, given the records of `units`
// (UnitTableSize of them) and the show list; -1 when all are taken.
int FreeShowNumber(const Unit *units);

// Copy of a wide text on DriverHeap (length + 1 characters), or null.
WCHAR *HeapCopyText(const WCHAR *text);
void HeapFreeText(WCHAR *text);
