// Self-installer: Drivers32 and Cpls entries, the library file, defaults.
#pragma once

#include <windows.h>

void InstallRemove(BOOL install);
BOOL FileExists(const WCHAR *path);
