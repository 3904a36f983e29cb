// The library's life in a process: attach and detach, the installable-driver
// entry DriverProc, and the decision whether this process may run the driver.
#include "driver/driver.h"
#include "config/config.h"
#include "configurator/configurator.h"
#include "diag/log.h"
#include "install/install.h"
#include <psapi.h>

namespace {

constexpr SIZE_T DriverHeapInitialSize = 0x10000;
constexpr DWORD ProcessTableSize = 1024;
constexpr DWORD ModuleTableBytes = 1024;
constexpr DWORD UserNameLength = 1024;
constexpr DWORD ProcessQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

void ClearUnitTable()
{
    ZeroMemory(pUnits, sizeof pUnits);
    for (Unit &unit : pUnits) unit.OpenHandle = INVALID_SOCKET;
}

bool TableIsEmpty()
{
    for (int i = 0; i < UnitsInUse; ++i)
        if (pUnits[i].Description) return false;
    return true;
}

// Looks at one process: its executable's name tells whether it is the
// interactive shell or the logon screen.
void InspectProcess(DWORD processId, BOOL &foundExplorer, BOOL &foundLogonUI)
{
    WCHAR name[MAX_PATH];
    ZeroMemory(name, sizeof name);
    HANDLE process = OpenProcess(ProcessQueryAccess, FALSE, processId);
    if (process) {
        GetModuleBaseNameW(process, nullptr, name, MAX_PATH);
        HMODULE modules[ModuleTableBytes / sizeof(HMODULE)];
        DWORD needed = 0;
        if (EnumProcessModules(process, modules, ModuleTableBytes, &needed)) {
            WCHAR executable[MAX_PATH];
            ZeroMemory(executable, sizeof executable);
            GetModuleBaseNameW(process, modules[0], executable, MAX_PATH);
            if (_wcsnicmp(executable, L"explorer.exe", 12) == 0) foundExplorer = TRUE;
            if (_wcsnicmp(executable, L"logonui.exe", 11) == 0) foundLogonUI = TRUE;
        }
    }
    SetLastError(0);
    LOGW(4, L"Found process ID %d named %s", processId, name);
    LOGW(4, L"%s (Process ID: %u)", name, processId);
    if (process) CloseHandle(process);
}

bool IsServiceAccount(const WCHAR *name)
{
    return lstrcmpiW(name, L"SYSTEM") == 0 || lstrcmpiW(name, L"LOCAL SERVICE") == 0 ||
           lstrcmpiW(name, L"NETWORK SERVICE") == 0;
}

// From major version 6 on, the process scan does not count.
void ApplyVersionRule(DWORD version, BOOL &foundExplorer, BOOL &foundLogonUI)
{
    if (LOBYTE(LOWORD(version)) >= 6) {
        foundExplorer = TRUE;
        foundLogonUI = FALSE;
    }
}

}  // namespace

BOOL DecideSafeForNetworking(const SafetyFacts &facts)
{
    if (!facts.userNameRead || !facts.userName) return FALSE;
    BOOL explorer = facts.foundExplorer, logonui = facts.foundLogonUI;
    ApplyVersionRule(facts.version, explorer, logonui);
    return !IsServiceAccount(facts.userName) && explorer && !logonui;
}

BOOL QuerySafeForNetworking()
{
    SafeForNetworking = 0;
    LOG(4, "QuerySafeForNetworking EnterCriticalSection( &mmDrvCritSec )");
    EnterCriticalSection(&mmDrvCritSec);

    DWORD processes[ProcessTableSize];
    DWORD bytes = 0;
    if (!EnumProcesses(processes, sizeof processes, &bytes)) {
        LeaveCriticalSection(&mmDrvCritSec);
        LOG(4, "QuerySafeForNetworking LeaveCriticalSection( &mmDrvCritSec ) 1");
        OutputDebugStringW(L"Cannot enum processes!\n");
        return FALSE;
    }
    SafetyFacts facts = {};
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i)
        InspectProcess(processes[i], facts.foundExplorer, facts.foundLogonUI);

    // The buffer is our own and large enough, so GetUserNameW cannot fault
    // here; a plain failure takes the "Username failed!" path below.
    static WCHAR userName[UserNameLength];
    DWORD length = UserNameLength;
    facts.userNameRead = GetUserNameW(userName, &length);
    DWORD userError = facts.userNameRead ? 0 : GetLastError();
    if (!facts.userNameRead) length = 0;
    if (length >= UserNameLength) length = UserNameLength - 1;
    userName[length] = 0;
    facts.userName = userName;
    LOGW(1, L"Found username %s", userName);

    facts.version = GetVersion();
    LOG(4, "Got version %x", facts.version);
    LOG(4, "Windows version %d file %d", LOBYTE(LOWORD(facts.version)),
        FileExists(L"c:\\Program Files (x86)") ? 1 : 0);
    BOOL explorer = facts.foundExplorer, logonui = facts.foundLogonUI;
    ApplyVersionRule(facts.version, explorer, logonui);
    LOG(4, "foundexplorer = %d, foundlogonui = %d", explorer, logonui);

    if (facts.userNameRead) {
        LOGW(4, L"Username %ls", userName);
        if (DecideSafeForNetworking(facts)) {
            LOG(3, "SafeForNetworking");
            LeaveCriticalSection(&mmDrvCritSec);
            LOG(4, "QuerySafeForNetworking LeaveCriticalSection( &mmDrvCritSec ) 3");
            SafeForNetworking = 1;
            return TRUE;
        }
        LOG(4, "Username is SYSTEM");
        LeaveCriticalSection(&mmDrvCritSec);
        LOG(4, "QuerySafeForNetworking LeaveCriticalSection( &mmDrvCritSec ) 2");
        return FALSE;
    }
    LOG(3, "Username failed! %x (%d), we don't gamble", userError, userError);
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(4, "QuerySafeForNetworking LeaveCriticalSection( &mmDrvCritSec ) 4");
    return FALSE;
}

BOOL DriverProcessAttach(HINSTANCE module)
{
    DriverHeap = HeapCreate(0, DriverHeapInitialSize, 0);
    if (!DriverHeap) return FALSE;
    InitializeCriticalSection(&LogLock);
    InitializeCriticalSection(&mmDrvCritSec);
    InitializeCriticalSection(&threadCritSec);
    DisableThreadLibraryCalls(module);

    opencount = 0;
    DecodeDebugLevel(ReadDebugLevelValue());
    LOG(2, "Starting, debug level=%d", DebugLevel);
    // The attach routine stands for the library's entry in this line: the
    // entry itself only forwards here.
    LOG(2, "Starting, debug level = %d nomore = %d @ 0x%08.8x", DebugLevel, nomore,
        static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(&DriverProcessAttach)));
    ClearUnitTable();
    return TRUE;
}

// threadCritSec is deleted with the other locks: nothing uses it once the
// library is leaving the process.
void DriverProcessDetach()
{
    LOG(2, "Tessmar Ending");
    DeleteCriticalSection(&mmDrvCritSec);
    DeleteCriticalSection(&threadCritSec);
    LogClose();
    DeleteCriticalSection(&LogLock);
    HeapDestroy(DriverHeap);
    DriverHeap = nullptr;
}

namespace {

LRESULT DriverLoad()
{
    OutputDebugStringW(L"DRV_LOAD");
    EnterCriticalSection(&mmDrvCritSec);
    QuerySafeForNetworking();
    LOG(2, " calling InitPortInfo");
    if (TableIsEmpty()) {
        InitPortInfo();
        if (SafeForNetworking) {
            connected = 0;
            recued = 0;
            connthread = nullptr;
            teardown = 0;
            wsacount = 0;
        }
    }
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(3, "DRV_LOAD complete with SafeForNetworking = %d", SafeForNetworking);
    return SafeForNetworking;
}

}  // namespace

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                       LPARAM param1, LPARAM param2)
{
    switch (message) {
    case DRV_LOAD:
        return DriverLoad();
    case DRV_ENABLE:
        OutputDebugStringW(L"DRV_ENABLE");
        LOG(2, "DRV_ENABLE");
        return 1;
    case DRV_OPEN:
        OutputDebugStringW(L"DRV_OPEN");
        return 1;
    case DRV_CLOSE:
        OutputDebugStringW(L"DRV_CLOSE");
        return 1;
    case DRV_DISABLE:
        OutputDebugStringW(L"DRV_DISABLE");
        return 1;
    case DRV_FREE:
        OutputDebugStringW(L"DRV_FREE");
        LOG(2, " calling FreePortInfo");
        EnterCriticalSection(&mmDrvCritSec);
        FreePortInfo();
        LeaveCriticalSection(&mmDrvCritSec);
        return 1;
    case DRV_CONFIGURE: {
        LOG(2, "DRV_CONFIGURE");
        HMODULE module = GetDriverModuleHandle(driver);
        if (!module) module = reinterpret_cast<HMODULE>(driver);
        return Configure(reinterpret_cast<HWND>(param1), module) ? 1 : 0;
    }
    case DRV_QUERYCONFIGURE:
        LOG(2, "DRV_QUERYCONFIGURE");
        return 1;
    case DRV_INSTALL:
        LOG(2, "DRV_INSTALL");
        EnterCriticalSection(&mmDrvCritSec);
        InstallRemove(TRUE);
        LeaveCriticalSection(&mmDrvCritSec);
        return 1;
    case DRV_REMOVE:
        LOG(2, "DRV_REMOVE");
        EnterCriticalSection(&mmDrvCritSec);
        InstallRemove(FALSE);
        LeaveCriticalSection(&mmDrvCritSec);
        return 1;
    default:
        return DefDriverProc(driverId, driver, message, param1, param2);
    }
}
