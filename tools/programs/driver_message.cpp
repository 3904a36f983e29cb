// Sends one installable-driver message to Tessmar.dll as winmm would, for
// tests that watch a separate process (its debugger output, say):
//   driver_message install | remove | configure
// Exit code: the DriverProc result, or 100 when the library cannot be used.
#include <windows.h>
#include <mmsystem.h>
#include <stdio.h>

using DriverProcFn = LRESULT(CALLBACK *)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: driver_message install|remove|configure\n");
        return 100;
    }
    UINT message = 0;
    if (lstrcmpA(argv[1], "install") == 0) message = DRV_INSTALL;
    else if (lstrcmpA(argv[1], "remove") == 0) message = DRV_REMOVE;
    else if (lstrcmpA(argv[1], "configure") == 0) message = DRV_CONFIGURE;
    else return 100;
    HMODULE module = LoadLibraryW(L"Tessmar.dll");
    if (!module) return 100;
    auto driverProc = reinterpret_cast<DriverProcFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "DriverProc")));
    if (!driverProc) return 100;
    LRESULT result = driverProc(1, reinterpret_cast<HDRVR>(module), message, 0, 0);
    FreeLibrary(module);
    return static_cast<int>(result);
}
