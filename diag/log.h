// Debug log, formatting engines, driver version and assertion reports.
#pragma once

#include <windows.h>
#include <stdarg.h>

// Serialises the debug log (its buffers and file). Taken inside
// mmDrvCritSec where both are held; nothing is locked while holding it.
extern CRITICAL_SECTION LogLock;

extern volatile LONG DebugLevel;  // 0 off, 1..4 (5 shows like 4)
extern volatile BYTE nomore;      // nonzero: no file output
extern DWORD DriverVersion;       // packed a.b.c.d; 0x10011 until read
extern WCHAR VersionText[16];

constexpr DWORD InitialDriverVersion = 0x10011;

// Formatting engines: write at most size - 1 characters and a terminator
// (the buffer is cleared first); return the number of characters written.
int FormatText(char *buffer, int size, const char *format, va_list args);
int FormatTextW(WCHAR *buffer, int size, const WCHAR *format, va_list args);
int FormatTextF(char *buffer, int size, const char *format, ...);
int FormatTextWF(WCHAR *buffer, int size, const WCHAR *format, ...);

void LogPrint(const char *format, ...);
void LogPrintW(const WCHAR *format, ...);
void AssertFail(const char *expression, const char *file, int line);
BOOL ReadDriverVersion();

// The stored form of the debug level (PrintDebugInfo, and the entries of the
// Configurator's debug box): 0 off, 1 to 4 that level to the debugger only,
// 5 to 8 levels 1 to 4 also to the log file. Decode sets DebugLevel and
// nomore from a stored value; Encode gives the stored value of the current
// ones.
void DecodeDebugLevel(DWORD stored);
DWORD EncodeDebugLevel();

// Closes the log file at process detach.
void LogClose();

// Every call site tests the level first, so a disabled log evaluates no
// argument and takes no lock.
#define LOG(level, ...)                                                        \
    do {                                                                       \
        if (DebugLevel >= (level)) LogPrint(__VA_ARGS__);                     \
    } while (0)
#define LOGW(level, ...)                                                       \
    do {                                                                       \
        if (DebugLevel >= (level)) LogPrintW(__VA_ARGS__);                    \
    } while (0)
