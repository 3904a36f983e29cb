// Placeholder: replaced by the real implementation.
#include "diag/log.h"

volatile LONG DebugLevel;
volatile BYTE nomore = 1;
DWORD DriverVersion = InitialDriverVersion;
WCHAR VersionText[16] = L"1.0.0.0";

void LogPrint(const char *, ...) {}
void LogPrintW(const WCHAR *, ...) {}
void AssertFail(const char *, const char *, int) {}
void DecodeDebugLevel(DWORD) {}
void LogClose() {}
