// Child processes of the foundation tests. Every test program that links the
// support library can be started again as a child with
//   <program> --foundation-child <mode> [argument]
// which runs the mode before main and exits with its result:
//   wait <ms>        sleeps, then exits 0 (stands in for a named process)
//   load <dll path>  loads the DLL as winmm does and sends DRV_LOAD; exits
//                    with 100 * result + the major system version
//   log <dll path>   loads the DLL, DRV_LOAD, a device count and caps query,
//                    DRV_FREE, unload; exits 0
//   version          (run from a folder without the DLL) attaches the driver
//                    state with file output and logs two lines; exits 43
//                    when the version stayed unread
//   assert           attaches the driver state at level 1 and reports a
//                    failed check; exits 42 if the process lived on
#pragma once

#include <windows.h>
#include <string>

namespace foundation {

// This program's full path, and the folder of Tessmar.dll beside it.
std::wstring OwnExePath();
std::wstring DllPath();

// Copies this program to %TEMP%\tessmar_foundation\<name> (the folder is
// made if needed) and returns the copy's path, or "" on failure.
std::wstring CopyOwnExe(const std::wstring &name);

// Starts exe with the child arguments; returns the process handle (caller
// closes) or null. processId receives the child's identifier.
HANDLE StartChild(const std::wstring &exe, const std::wstring &arguments, DWORD *processId = nullptr);
// Runs exe to its end; returns the exit code, or 0xFFFFFFFF after timeoutMs.
DWORD RunChild(const std::wstring &exe, const std::wstring &arguments, DWORD timeoutMs = 30000,
               DWORD *processId = nullptr);

}  // namespace foundation
