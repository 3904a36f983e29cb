#include "foundation_child.h"
#include "driver/driver.h"
#include "diag/log.h"
#include <shellapi.h>

namespace foundation {

std::wstring OwnExePath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

static std::wstring FolderOf(const std::wstring &path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

std::wstring DllPath() { return FolderOf(OwnExePath()) + L"\\Tessmar.dll"; }

std::wstring CopyOwnExe(const std::wstring &name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"tessmar_foundation";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring target = folder + L"\\" + name;
    if (!CopyFileW(OwnExePath().c_str(), target.c_str(), FALSE)) return L"";
    return target;
}

HANDLE StartChild(const std::wstring &exe, const std::wstring &arguments, DWORD *processId)
{
    std::wstring line = L"\"" + exe + L"\" --foundation-child " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    if (processId) *processId = info.dwProcessId;
    return info.hProcess;
}

DWORD RunChild(const std::wstring &exe, const std::wstring &arguments, DWORD timeoutMs,
               DWORD *processId)
{
    HANDLE process = StartChild(exe, arguments, processId);
    if (!process) return 0xFFFFFFFF;
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    else
        TerminateProcess(process, 1);
    CloseHandle(process);
    return code;
}

namespace {

using DriverProcFn = LRESULT(CALLBACK *)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
using MessageFn = DWORD(APIENTRY *)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

template <typename T> T Export(HMODULE module, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

DWORD LoadMode(const wchar_t *dll, bool exercise)
{
    HMODULE module = LoadLibraryW(dll);
    if (!module) return 90;
    auto driverProc = Export<DriverProcFn>(module, "DriverProc");
    auto modMessageFn = Export<MessageFn>(module, "modMessage");
    if (!driverProc || !modMessageFn) return 91;
    HDRVR handle = reinterpret_cast<HDRVR>(module);
    LRESULT loaded = driverProc(1, handle, DRV_LOAD, 0, 0);
    if (!exercise) return static_cast<DWORD>(100 * loaded + LOBYTE(LOWORD(GetVersion())));
    modMessageFn(0, MODM_GETNUMDEVS, 0, 0, 0);
    MIDIOUTCAPSW caps;
    modMessageFn(0, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps);
    driverProc(1, handle, DRV_FREE, 0, 0);
    FreeLibrary(module);
    return 0;
}

DWORD AssertMode()
{
    if (!DriverProcessAttach(GetModuleHandleW(nullptr))) return 92;
    DecodeDebugLevel(1);
    AssertFail("unit->InUse", ".\\TSMIDIDD", 77);
    return 42;
}

// In a folder without the DLL: the version cannot be read, so every line
// written to file carries the initial version.
DWORD VersionMode()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
    if (!DriverProcessAttach(GetModuleHandleW(nullptr))) return 92;
    DecodeDebugLevel(6);
    LogPrint("first line");
    LogPrintW(L"second line");
    bool unread = DriverVersion == InitialDriverVersion && lstrcmpW(VersionText, L"1.0.0.0") == 0;
    DriverProcessDetach();
    return unread ? 43 : 44;
}

// Runs before main when the program was started as a child.
struct ChildDispatch {
    ChildDispatch()
    {
        int count = 0;
        wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &count);
        if (!argv) return;
        if (count >= 3 && lstrcmpW(argv[1], L"--foundation-child") == 0) {
            const wchar_t *mode = argv[2];
            const wchar_t *argument = count >= 4 ? argv[3] : L"";
            DWORD code = 99;
            if (lstrcmpW(mode, L"wait") == 0) {
                Sleep(static_cast<DWORD>(_wtoi(argument)));
                code = 0;
            } else if (lstrcmpW(mode, L"load") == 0) {
                code = LoadMode(argument, false);
            } else if (lstrcmpW(mode, L"log") == 0) {
                code = LoadMode(argument, true);
            } else if (lstrcmpW(mode, L"version") == 0) {
                code = VersionMode();
            } else if (lstrcmpW(mode, L"assert") == 0) {
                code = AssertMode();
            }
            ExitProcess(code);
        }
        LocalFree(argv);
    }
} childDispatch;

}  // namespace
}  // namespace foundation
