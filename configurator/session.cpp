// The configure session: the Configurator edits a private copy of the port
// table, which is committed to the live table and the registry on Done and
// thrown away otherwise.
#include "configurator/configurator.h"
#include "configurator/session.h"
#include "config/config.h"
#include "diag/log.h"
#include "resources/resource.h"

Unit *WorkUnits;
HINSTANCE SessionInstance;

// Thread that runs the session, 0 when none runs. There is one working
// table per process, so a second session (a DRV_CONFIGURE from another
// thread while the Control Panel's session is open, say) is refused
// rather than made to wait: waiting would block that caller for as long
// as a user keeps the first dialog open.
static volatile LONG SessionThread;

static const WCHAR ConfiguratorTitle[] = L"Tessmar Configurator";

WCHAR *HeapCopyText(const WCHAR *text)
{
    if (!text || !DriverHeap) return nullptr;
    int length = lstrlenW(text);
    WCHAR *copy = static_cast<WCHAR *>(HeapAlloc(DriverHeap, 0, (length + 1) * sizeof(WCHAR)));
    if (copy) CopyMemory(copy, text, (length + 1) * sizeof(WCHAR));
    return copy;
}

void HeapFreeText(WCHAR *text)
{
    if (text && DriverHeap) HeapFree(DriverHeap, 0, text);
}

static BOOL BeginSession()
{
    return InterlockedCompareExchange(&SessionThread, static_cast<LONG>(GetCurrentThreadId()),
                                      0) == 0;
}

static void EndSession() { InterlockedExchange(&SessionThread, 0); }

static void RefuseSecondSession(HWND parent)
{
    LOG(1, "Configure refused: a configure session is already running");
    MessageBoxW(parent, L"The Tessmar Configurator is already open.", ConfiguratorTitle,
                MB_OK | MB_ICONEXCLAMATION);
}

static void FreeWorkingDescriptions()
{
    for (int i = 0; i < ConfigurableUnits; ++i) {
        HeapFreeText(WorkUnits[i].Description);
        WorkUnits[i].Description = nullptr;
    }
}

void CloneUnits()
{
    WorkUnits = nullptr;
    if (!DriverHeap) return;
    Unit *table = static_cast<Unit *>(
        HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, sizeof(Unit) * UnitTableSize));
    if (!table) return;
    // Port code of this process may be opening or closing a port: copy a
    // consistent table.
    EnterCriticalSection(&mmDrvCritSec);
    CopyMemory(table, pUnits, sizeof(Unit) * UnitTableSize);
    BOOL complete = TRUE;
    for (int i = 0; i < ConfigurableUnits; ++i) {
        if (!table[i].Description) continue;
        LOG(2, "CloneUnits copying desc for unit %d", i);
        table[i].Description = HeapCopyText(pUnits[i].Description);
        if (!table[i].Description) complete = FALSE;
    }
    LeaveCriticalSection(&mmDrvCritSec);
    WorkUnits = table;
    if (!complete) {
        // A working table that lost a description would drop that port at
        // the commit: better no session at all.
        LOG(1, "CloneUnits out of memory");
        FreeWorkingDescriptions();
        HeapFree(DriverHeap, 0, WorkUnits);
        WorkUnits = nullptr;
    }
}

// Commit: the configurable records take the dialog's edits but keep the
// live run-time fields, since ports of this process may be open. Records
// 112 to 127 cannot be edited here and stay exactly as the live table holds
// them now (not as they were copied when the session began), so a port
// opened or closed there during the session keeps its state and its
// description. The driver lock keeps port code from seeing a half-written
// table.
static void CommitWorkingTable()
{
    EnterCriticalSection(&mmDrvCritSec);
    for (int i = 0; i < ConfigurableUnits; ++i) {
        Unit &live = pUnits[i];
        Unit &work = WorkUnits[i];
        HeapFreeText(live.Description);
        live.Description = nullptr;
        work.OpenHandle = live.OpenHandle;
        work.OpenInput = live.OpenInput;
        work.OpenOutput = live.OpenOutput;
        live = work;
    }
    HeapFree(DriverHeap, 0, WorkUnits);
    WorkUnits = nullptr;
    LOG(2, "UncloneUnits saving port info");
    SetPortInfo();
    LeaveCriticalSection(&mmDrvCritSec);
}

void UncloneUnits(INT_PTR result)
{
    if (!WorkUnits) return;
    if (result == IDOK) {
        CommitWorkingTable();
        return;
    }
    FreeWorkingDescriptions();
    LOG(2, "UncloneUnits discarding cancelled changes");
    HeapFree(DriverHeap, 0, WorkUnits);
    WorkUnits = nullptr;
}

// The body of Configure, run while this thread owns the session.
static BOOL RunConfigure(HWND parent, HINSTANCE instance)
{
    HMODULE commonControls = LoadLibraryW(L"comctl32.dll");
    LOG(2, "Configure starting");
    if (!commonControls) {
        LOG(2, "LoadLibrary failed!");
        LOG(2, "Configure ending");
        return FALSE;
    }
    CloneUnits();
    SessionInstance = instance;
    INT_PTR result = -1;
    if (WorkUnits)
        result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CONFIG), parent, ConfigDlgProc, 0);
    LOG(2, "Configure dialog box returned with %x", static_cast<int>(result));
    UncloneUnits(result);
    if (result == IDOK)
        MessageBoxW(parent,
                    L"If any programs that use Tessmar are open,\nthese changes will not take "
                    L"effect until the program is closed and reopened.",
                    ConfiguratorTitle, MB_OK | MB_ICONEXCLAMATION);
    FreeLibrary(commonControls);
    LOG(2, "Configure ending");
    return result == IDOK;
}

BOOL Configure(HWND parent, HINSTANCE instance)
{
    if (!BeginSession()) {
        RefuseSecondSession(parent);
        return FALSE;
    }
    BOOL done = RunConfigure(parent, instance);
    EndSession();
    return done;
}

// The applet reloads the configuration, which clears every record. A port
// of this process that is open keeps its run-time fields across the reload,
// as it does across a commit; the driver lock keeps port code from reading
// the table half-loaded.
static void ReloadKeepingOpenPorts()
{
    struct RunTime {
        SOCKET OpenHandle;
        BYTE OpenInput, OpenOutput;
    };
    static RunTime kept[UnitTableSize];
    EnterCriticalSection(&mmDrvCritSec);
    for (int i = 0; i < UnitTableSize; ++i)
        kept[i] = {pUnits[i].OpenHandle, pUnits[i].OpenInput, pUnits[i].OpenOutput};
    InitPortInfo();
    for (int i = 0; i < UnitTableSize; ++i) {
        if (!kept[i].OpenInput && !kept[i].OpenOutput) continue;
        pUnits[i].OpenHandle = kept[i].OpenHandle;
        pUnits[i].OpenInput = kept[i].OpenInput;
        pUnits[i].OpenOutput = kept[i].OpenOutput;
    }
    LeaveCriticalSection(&mmDrvCritSec);
}

BOOL AppletSession(HINSTANCE instance)
{
    if (!BeginSession()) {
        RefuseSecondSession(nullptr);
        return FALSE;
    }
    ReloadKeepingOpenPorts();
    BOOL done = RunConfigure(nullptr, instance);
    EndSession();
    return done;
}
