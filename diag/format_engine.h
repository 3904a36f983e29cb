// The formatting engines with a report of unreadable arguments, for the log.
#pragma once

#include "diag/log.h"

// As FormatText/FormatTextW; *bad is set when the format or a string argument
// could not be read (the output then stops at that point).
int FormatTextChecked(char *buffer, int size, const char *format, va_list args, bool *bad);
int FormatTextWChecked(WCHAR *buffer, int size, const WCHAR *format, va_list args, bool *bad);
