// The Configurator dialog: lists, adds, changes and deletes ports in the
// session's working table, and sets the transport and the debug level.
#include "configurator/configurator.h"
#include "configurator/session.h"
#include "config/config.h"
#include "diag/log.h"
#include "resources/resource.h"

static const WCHAR Title[] = L"Tessmar Configurator";

// The TCP Address box shows and takes this many characters of the address,
// fewer than the address copies hold.
constexpr int EditedAddressLength = 112;

// Dialog state. The dialog is modal and only one session runs per process,
// so plain driver-wide values suffice.
static BOOL changed;
static BOOL insel;
static BOOL outsel;
static HWND GroupButtons[32];
static HFONT DialogFont;

static const int FontedControls[] = {IDC_DEBUG_LEVEL, IDC_INPUT_LIST, IDC_OUTPUT_LIST,
                                     IDC_DIRECTION,   IDC_SHOW,       IDC_TCP_ADDRESS,
                                     IDC_TRANSPORT};

static const WCHAR *const DebugLevelNames[] = {
    L"None",          L"Level 1",         L"Level 2",         L"Level 3",        L"All",
    L"Level 1 to file", L"Level 2 to file", L"Level 3 to file", L"All to file"};

const WCHAR *ShowName(unsigned n) { return n < ShowTableSize ? CommList[n] : L""; }

static const WCHAR *DescriptionOf(const Unit *unit)
{
    return unit->Description ? unit->Description : L"";
}

HFONT CreateDialogFont(HWND dialog)
{
    HDC dc = GetDC(dialog);
    int pixelsPerInch = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(dialog, dc);
    return CreateFontW(-(8 * pixelsPerInch) / 72, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, 0, 0,
                       PROOF_QUALITY, FF_SWISS | DEFAULT_PITCH, L"MS Shell Dlg");
}

static LRESULT Item(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    return SendDlgItemMessageW(dialog, id, message, wParam, lParam);
}

static int Box(HWND dialog, const WCHAR *text, UINT type)
{
    return MessageBoxW(dialog, text, Title, type | MB_ICONEXCLAMATION);
}

static DWORD CheckedGroups()
{
    DWORD mask = 0;
    for (int i = 0; i < 32; ++i)
        if (SendMessageW(GroupButtons[i], BM_GETCHECK, 0, 0) == BST_CHECKED) mask |= 1u << i;
    return mask;
}

// The lists show each record once: a record with the input bit goes to the
// input list, one with only the output bit to the output list.
static BOOL ListedAs(const Unit &unit, BOOL input)
{
    if (!unit.InUse) return FALSE;
    if (input) return (unit.Direction & DirectionInput) != 0;
    return (unit.Direction & (DirectionInput | DirectionOutput)) == DirectionOutput;
}

// ---------------------------------------------------------------------------
// Filling the controls
// ---------------------------------------------------------------------------

static void FillTransport(HWND dialog)
{
    if (TCPClientServer > 1) TCPClientServer = 0;
    WCHAR address[TcpAddressSize];
    CopyAddressText(address, TCPAddress, EditedAddressLength);
    SetDlgItemTextW(dialog, IDC_TCP_ADDRESS, address);
    // UDP needs no peer: the address is dropped, though the box still shows
    // it so that switching back to TCP and touching the box restores it.
    if (TCPClientServer == 0) TCPAddress[0] = 0;
    Item(dialog, IDC_TRANSPORT, CB_SETCURSEL, TCPClientServer);
}

static void FillPortLists(HWND dialog)
{
    for (int i = 0; i < ConfigurableUnits; ++i) {
        const Unit &unit = WorkUnits[i];
        if (!unit.InUse) continue;
        LOGW(2, L" found unit %d to load: %d %s", i, unit.CommUnit, DescriptionOf(&unit));
        LOGW(2, L"CommList[ pUnit->CommUnit ] = CommList[ %d ] = %s", unit.CommUnit,
             ShowName(unit.CommUnit));
        WCHAR line[256];
        FormatTextWF(line, 256, L"%s\t%s", ShowName(unit.CommUnit), DescriptionOf(&unit));
        if (ListedAs(unit, TRUE))
            Item(dialog, IDC_INPUT_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
        else if (ListedAs(unit, FALSE))
            Item(dialog, IDC_OUTPUT_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
        LOGW(2, L"  unit %d '%ls'", i, line);
    }
}

static void FillShows(HWND dialog)
{
    LOG(2, "CommCount = %d", static_cast<int>(CommCount));
    for (DWORD k = 0; k < CommCount && k < ShowTableSize; ++k) {
        unsigned n = static_cast<unsigned>(CommOrder[k]);
        LOGW(2, L"Combo_AddString %d %ls\n", CommOrder[k], ShowName(n));
        Item(dialog, IDC_SHOW, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ShowName(n)));
    }
}

static BOOL SetupDialog(HWND dialog)
{
    LOG(2, "SetupDialog start");
    INT tabStop = 20;
    Item(dialog, IDC_INPUT_LIST, LB_RESETCONTENT);
    Item(dialog, IDC_OUTPUT_LIST, LB_RESETCONTENT);
    Item(dialog, IDC_INPUT_LIST, LB_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
    Item(dialog, IDC_OUTPUT_LIST, LB_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
    Item(dialog, IDC_SHOW, CB_RESETCONTENT);
    Item(dialog, IDC_DIRECTION, CB_RESETCONTENT);
    Item(dialog, IDC_TRANSPORT, CB_RESETCONTENT);
    Item(dialog, IDC_DEBUG_LEVEL, CB_RESETCONTENT);

    Item(dialog, IDC_DIRECTION, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"        Input"));
    Item(dialog, IDC_DIRECTION, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"        Output"));
    Item(dialog, IDC_TRANSPORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"        UDP"));
    Item(dialog, IDC_TRANSPORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"        TCP"));
    for (const WCHAR *name : DebugLevelNames)
        Item(dialog, IDC_DEBUG_LEVEL, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    Item(dialog, IDC_DEBUG_LEVEL, CB_SETCURSEL, EncodeDebugLevel());
    Item(dialog, IDC_DESCRIPTION, EM_LIMITTEXT, 127);

    LOG(2, " loading listboxes");
    FillTransport(dialog);
    FillPortLists(dialog);
    FillShows(dialog);
    for (HWND button : GroupButtons) SendMessageW(button, BM_SETCHECK, BST_UNCHECKED, 0);
    insel = outsel = FALSE;
    LOG(2, "SetupDialog complete");
    return TRUE;
}

// ---------------------------------------------------------------------------
// Lines and records
// ---------------------------------------------------------------------------

// The working record shown on a line of the input or output list.
static Unit *GetUnit(BOOL input, int line)
{
    insel = outsel = FALSE;
    if (line < 0) return nullptr;
    int count = 0;
    for (int i = 0; i < ConfigurableUnits; ++i) {
        if (!ListedAs(WorkUnits[i], input)) continue;
        if (count++ != line) continue;
        if (input) insel = TRUE;
        else outsel = TRUE;
        LOG(2, "GetUnit: insel = %d, i = %d, pointer = %lx", insel, i,
            static_cast<unsigned>(reinterpret_cast<DWORD_PTR>(&WorkUnits[i])));
        return &WorkUnits[i];
    }
    return nullptr;
}

static void LoadSelection(HWND dialog, BOOL input)
{
    Item(dialog, IDC_DIRECTION, CB_SETCURSEL, static_cast<WPARAM>(-1));
    Item(dialog, input ? IDC_OUTPUT_LIST : IDC_INPUT_LIST, LB_SETCURSEL, static_cast<WPARAM>(-1));
    int line = static_cast<int>(Item(dialog, input ? IDC_INPUT_LIST : IDC_OUTPUT_LIST, LB_GETCURSEL));
    Unit *unit = GetUnit(input, line);
    if (!unit) return;
    LOGW(2, L" found unit to load: %d %s", unit->CommUnit, DescriptionOf(unit));
    LOGW(2, L"CommList[ pUnit->CommUnit ] = %s", ShowName(unit->CommUnit));
    for (DWORD k = 0; k < CommCount && k < ShowTableSize; ++k) {
        if (CommOrder[k] == unit->CommUnit) {
            Item(dialog, IDC_SHOW, CB_SETCURSEL, k);
            break;
        }
    }
    DWORD direction = unit->Direction & (DirectionInput | DirectionOutput);
    if (direction == DirectionInput) Item(dialog, IDC_DIRECTION, CB_SETCURSEL, 0);
    else if (direction == DirectionOutput) Item(dialog, IDC_DIRECTION, CB_SETCURSEL, 1);
    for (int i = 0; i < 32; ++i)
        SendMessageW(GroupButtons[i], BM_SETCHECK,
                     (unit->Groups >> i) & 1 ? BST_CHECKED : BST_UNCHECKED, 0);
    SetDlgItemTextW(dialog, IDC_DESCRIPTION, DescriptionOf(unit));
}

// The line loaded into the controls, or -1; `input` tells its list.
static int LoadedLine(HWND dialog, BOOL *input)
{
    *input = insel;
    if (insel) return static_cast<int>(Item(dialog, IDC_INPUT_LIST, LB_GETCURSEL));
    if (outsel) return static_cast<int>(Item(dialog, IDC_OUTPUT_LIST, LB_GETCURSEL));
    return -1;
}

// ---------------------------------------------------------------------------
// Shows and groups
// ---------------------------------------------------------------------------

// A show number for a new show: CommCount when no show and no record uses
// it, else the lowest such number. A record may name a show number that the
// show list lacks (its Show value had no Show%d); giving that number to a
// new show would rename that port's show, so those numbers count as used.
// Returns -1 when all 127 numbers are taken.
int FreeShowNumber(const Unit *units)
{
    BOOL used[ShowTableSize] = {};
    for (DWORD k = 0; k < CommCount && k < ShowTableSize; ++k)
        if (CommOrder[k] >= 0 && CommOrder[k] < ShowTableSize) used[CommOrder[k]] = TRUE;
    for (int i = 0; i < UnitTableSize; ++i)
        if (units[i].InUse && units[i].CommUnit < ShowTableSize) used[units[i].CommUnit] = TRUE;
    if (CommCount < UnitsInUse && !used[CommCount]) return static_cast<int>(CommCount);
    for (int n = 0; n < UnitsInUse; ++n)
        if (!used[n]) return n;
    return -1;
}

// The typed show name, selected or added as a new show. FALSE after a
// message box when the name is unusable or the show table is full.
static BOOL SelectTypedShow(HWND dialog, HWND combo)
{
    LOG(2, "new show name");
    WCHAR name[80] = {};
    GetWindowTextW(combo, name, 80);
    LOGW(2, L"new name is '%s'", name);
    int length = lstrlenW(name);
    int firstVisible = 0;
    while (firstVisible < 63 && name[firstVisible] && name[firstVisible] <= 32) ++firstVisible;
    LOGW(2, L"Valid %d, j = %d, i = %d, showname[0] = %2.2x", 1, firstVisible, length, name[0]);

    name[63] = 0;
    length = lstrlenW(name);
    while (length > 1 && name[length - 1] <= 32) name[--length] = 0;
    if (name[0] <= 32) {
        Box(dialog, L"A Show Name is required, and must start with an alphabetic character.",
            MB_OK);
        return FALSE;
    }
    for (DWORD k = 0; k < CommCount && k < ShowTableSize; ++k) {
        if (lstrcmpW(name, ShowName(static_cast<unsigned>(CommOrder[k]))) == 0) {
            Item(dialog, IDC_SHOW, CB_SETCURSEL, k);
            return TRUE;
        }
    }
    int number = CommCount < ShowTableSize ? FreeShowNumber(WorkUnits) : -1;
    if (number < 0) {
        Box(dialog, L"No more shows can be created: the show list is full.", MB_OK);
        return FALSE;
    }
    // The show table is driver-wide; port code of this process reads it.
    EnterCriticalSection(&mmDrvCritSec);
    lstrcpynW(CommList[number], name, ShowNameLength);
    CommOrder[CommCount] = static_cast<SHORT>(number);
    ++CommCount;
    LeaveCriticalSection(&mmDrvCritSec);
    LRESULT position = Item(dialog, IDC_SHOW, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    Item(dialog, IDC_SHOW, CB_SETCURSEL, position);
    return TRUE;
}

// Whether the show box's text is its selected entry. An editable combo box
// may keep an entry selected while the user types another name over it;
// the typed name is what the user means then.
static BOOL SelectionStands(HWND combo)
{
    LRESULT selected = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (selected == CB_ERR) return FALSE;
    WCHAR text[80] = {}, entry[ShowNameLength + 1] = {};
    GetWindowTextW(combo, text, 80);
    if (SendMessageW(combo, CB_GETLBTEXTLEN, selected, 0) > ShowNameLength) return FALSE;
    SendMessageW(combo, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(entry));
    return lstrcmpW(text, entry) == 0;
}

static BOOL CheckShowAndGroups(HWND dialog)
{
    HWND combo = GetDlgItem(dialog, IDC_SHOW);
    if (!SelectionStands(combo) && !SelectTypedShow(dialog, combo)) return FALSE;
    if (CheckedGroups() == 0) {
        Box(dialog, L"You must select at least one Group button.", MB_OK);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Add, change, delete
// ---------------------------------------------------------------------------

// Whether a record in use other than `skip` already has the typed
// description. Descriptions are device names, unique over the whole table.
static BOOL DupeCheck(HWND dialog, int skip)
{
    LOG(2, "DupeCheck");
    HWND edit = GetDlgItem(dialog, IDC_DESCRIPTION);
    int length = GetWindowTextLengthW(edit);
    WCHAR *text = static_cast<WCHAR *>(
        DriverHeap ? HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, (length + 1) * sizeof(WCHAR)) : nullptr);
    // Without memory the check cannot be made; refusing is the safe answer.
    if (!text) return TRUE;
    GetWindowTextW(edit, text, length + 1);
    LRESULT showSelection = Item(dialog, IDC_SHOW, CB_GETCURSEL);
    BOOL duplicate = FALSE;
    for (int i = 0; i < UnitTableSize && !duplicate; ++i) {
        const Unit &unit = WorkUnits[i];
        if (!unit.InUse || i == skip) continue;
        LOGW(2, L"DUPCHECK: i = %d, current = %d, %s vs %s", i, skip, text, DescriptionOf(&unit));
        LOGW(2, L"DUPCHECK: sni = %ld, pUnits[i].Description = %s",
             static_cast<int>(showSelection), DescriptionOf(&unit));
        int compare = lstrcmpW(text, DescriptionOf(&unit));
        LOGW(2, L"  Compare[%d]: %s - %s = %d", i, text, DescriptionOf(&unit), compare);
        if (compare == 0) {
            LOG(2, "  DUPLICATE");
            duplicate = TRUE;
        }
    }
    HeapFree(DriverHeap, 0, text);
    return duplicate;
}

// Writes the controls into one working record. ShowNumber is left 0: it is
// derived from the show name at the next load; the run-time fields come
// back from the live table at the commit.
static void StoreControls(HWND dialog, Unit *unit)
{
    DWORD keptDirection = unit->Direction;
    HeapFreeText(unit->Description);
    ZeroMemory(unit, sizeof *unit);
    unit->InUse = 1;
    LRESULT show = Item(dialog, IDC_SHOW, CB_GETCURSEL);
    if (show >= 0 && show < ShowTableSize) unit->CommUnit = static_cast<BYTE>(CommOrder[show]);
    LRESULT direction = Item(dialog, IDC_DIRECTION, CB_GETCURSEL);
    if (direction == 0) unit->Direction = DirectionInput;
    else if (direction == 1) unit->Direction = DirectionOutput;
    // A record with both direction bits loads with no direction shown;
    // a Change that sets none keeps what the record had.
    else unit->Direction = keptDirection;
    HWND edit = GetDlgItem(dialog, IDC_DESCRIPTION);
    int length = GetWindowTextLengthW(edit);
    unit->Description = static_cast<WCHAR *>(
        DriverHeap ? HeapAlloc(DriverHeap, HEAP_ZERO_MEMORY, (length + 1) * sizeof(WCHAR)) : nullptr);
    if (unit->Description) GetWindowTextW(edit, unit->Description, length + 1);
    unit->Groups = CheckedGroups();
}

static BOOL ParametersComplete(HWND dialog)
{
    return Item(dialog, IDC_DIRECTION, CB_GETCURSEL) != CB_ERR &&
           GetWindowTextLengthW(GetDlgItem(dialog, IDC_DESCRIPTION)) > 0 &&
           (Item(dialog, IDC_SHOW, CB_GETCURSEL) != CB_ERR ||
            GetWindowTextLengthW(GetDlgItem(dialog, IDC_SHOW)) > 0);
}

static void AddPort(HWND dialog)
{
    if (!ParametersComplete(dialog)) {
        Box(dialog, L"You must fill in all parameters to create a device.", MB_OK);
        return;
    }
    if (!CheckShowAndGroups(dialog)) {
        Box(dialog, L"The showname is not useable.", MB_OK);
        return;
    }
    if (DupeCheck(dialog, -1)) {
        Box(dialog, L"You have duplicated the port description.", MB_OK);
        return;
    }
    // A record deleted in this dialog keeps its description and is not
    // reused before the table is loaded again.
    for (int i = 0; i < ConfigurableUnits; ++i) {
        Unit *unit = &WorkUnits[i];
        if (unit->InUse || unit->Description) continue;
        LOG(2, "Creating new unit index %d", i);
        StoreControls(dialog, unit);
        SetupDialog(dialog);
        changed = TRUE;
        return;
    }
}

static void ChangePort(HWND dialog)
{
    BOOL input;
    int line = LoadedLine(dialog, &input);
    if (line < 0) {
        Box(dialog, L"You must select a device from the list to change.", MB_OK);
        return;
    }
    Unit *unit = GetUnit(input, line);
    if (!unit) return;
    int index = static_cast<int>(unit - WorkUnits);
    if (!CheckShowAndGroups(dialog)) return;
    // Unlike a silent refusal, the message tells the user why nothing
    // changed (it is the one Add gives).
    if (DupeCheck(dialog, index)) {
        Box(dialog, L"You have duplicated the port description.", MB_OK);
        return;
    }
    WCHAR question[80];
    FormatTextWF(question, 80, L"Modify Show %s Device %s?", ShowName(unit->CommUnit),
                 DescriptionOf(unit));
    if (Box(dialog, question, MB_YESNO) != IDYES) return;
    StoreControls(dialog, unit);
    SetupDialog(dialog);
    changed = TRUE;
}

static void DeletePort(HWND dialog)
{
    BOOL input;
    int line = LoadedLine(dialog, &input);
    Unit *unit = line < 0 ? nullptr : GetUnit(input, line);
    if (!unit) {
        Box(dialog, L"You must select a device from the list to delete.", MB_OK);
    } else {
        WCHAR question[80];
        FormatTextWF(question, 80, L"Do you really want to delete Show %s Device %s?",
                     ShowName(unit->CommUnit), DescriptionOf(unit));
        if (Box(dialog, question, MB_YESNO) == IDYES) {
            unit->InUse = 0;
            SetupDialog(dialog);
            changed = TRUE;
        }
    }
    insel = outsel = FALSE;
}

// ---------------------------------------------------------------------------
// Transport, debug level, Help/About
// ---------------------------------------------------------------------------

static void TransportChanged(HWND dialog)
{
    LRESULT selection = Item(dialog, IDC_TRANSPORT, CB_GETCURSEL);
    if (selection == CB_ERR) return;
    EnterCriticalSection(&mmDrvCritSec);
    TCPClientServer = static_cast<DWORD>(selection);
    if (TCPClientServer == 0) TCPAddress[0] = 0;
    LeaveCriticalSection(&mmDrvCritSec);
    LOG(2, "TCPClientServer = %d", static_cast<int>(TCPClientServer));
}

static void AddressChanged(HWND dialog)
{
    WCHAR address[TcpAddressSize] = {};
    GetDlgItemTextW(dialog, IDC_TCP_ADDRESS, address, TcpAddressSize);
    LOGW(2, L"TCPAddress %s", address);
    EnterCriticalSection(&mmDrvCritSec);
    CopyAddressText(TCPAddress, address, EditedAddressLength);
    LeaveCriticalSection(&mmDrvCritSec);
}

static void Done(HWND dialog)
{
    LRESULT level = Item(dialog, IDC_DEBUG_LEVEL, CB_GETCURSEL);
    // No entry is selected when the level was beyond the list (5 from the
    // Help/About shortcut with file output): keep the level as it is.
    if (level != CB_ERR) DecodeDebugLevel(static_cast<DWORD>(level));
    EndDialog(dialog, IDOK);
}

static void Cancel(HWND dialog)
{
    if (changed &&
        Box(dialog, L"You have changed the configuration.\nDo you really want to discard your changes?",
            MB_YESNO) != IDYES)
        return;
    EndDialog(dialog, IDCANCEL);
}

// Shift (with or without Control) turns the log off, Control alone sets
// level 5; either is stored for the next process instead of opening About.
// File output stays as it is in this process.
static void HelpAbout(HWND dialog)
{
    BOOL shift = (GetKeyState(VK_SHIFT) & 0x80) != 0;
    BOOL control = (GetKeyState(VK_CONTROL) & 0x80) != 0;
    if (!shift && !control) {
        DialogBoxParamW(SessionInstance, MAKEINTRESOURCEW(IDD_ABOUT), dialog, AboutDlgProc, 0);
        return;
    }
    DebugLevel = shift ? 0 : 5;
    WriteDebugLevelValue(static_cast<DWORD>(DebugLevel));
}

// ---------------------------------------------------------------------------
// Window placement and the dialog procedure
// ---------------------------------------------------------------------------

BOOL CenterWindow(HWND window, HWND parent)
{
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    int x, y;
    RECT parentRect;
    if (parent && GetWindowRect(parent, &parentRect)) {
        x = parentRect.left + (parentRect.right - parentRect.left - width) / 2;
        y = parentRect.top + (parentRect.bottom - parentRect.top - height) / 2;
        if (x + width > screenWidth) x = screenWidth - width;
        if (y + height > screenHeight) y = screenHeight - height;
    } else {
        x = (screenWidth - width) / 2;
        y = (screenHeight - height) / 2;
    }
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    MoveWindow(window, x, y, width, height, TRUE);
    return TRUE;
}

static BOOL InitDialog(HWND dialog)
{
    LOG(2, "ConfigDlgProc() - WM_INITDIALOG");
    if (!WorkUnits) {
        // Only a configure session has a table to edit.
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    DialogFont = CreateDialogFont(dialog);
    if (DialogFont)
        for (int id : FontedControls)
            Item(dialog, id, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont), FALSE);
    changed = FALSE;
    for (int i = 0; i < 32; ++i) GroupButtons[i] = GetDlgItem(dialog, IDC_GROUP_FIRST + i);
    SetupDialog(dialog);
    CenterWindow(dialog, GetParent(dialog));
    return TRUE;
}

static void Command(HWND dialog, int id, HWND control)
{
    switch (id) {
    case IDC_INPUT_LIST:
        LOG(2, "InputList %d", static_cast<int>(SendMessageW(control, LB_GETCURSEL, 0, 0)));
        LoadSelection(dialog, TRUE);
        break;
    case IDC_OUTPUT_LIST:
        LOG(2, "OutputList %d", static_cast<int>(SendMessageW(control, LB_GETCURSEL, 0, 0)));
        LoadSelection(dialog, FALSE);
        break;
    case IDC_TRANSPORT: TransportChanged(dialog); break;
    case IDC_TCP_ADDRESS: AddressChanged(dialog); break;
    case IDC_ADD:
        LOG(2, "New");
        AddPort(dialog);
        break;
    case IDC_CHANGE:
        LOG(2, "Change");
        ChangePort(dialog);
        break;
    case IDC_DELETE:
        LOG(2, "Delete");
        DeletePort(dialog);
        break;
    case IDOK: Done(dialog); break;
    case IDCANCEL: Cancel(dialog); break;
    case IDC_HELP_ABOUT: HelpAbout(dialog); break;
    default: break;
    }
}

INT_PTR CALLBACK ConfigDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return InitDialog(dialog);
    case WM_COMMAND:
        // The notification code is not examined: any notification of a list
        // (selection, focus) loads its selected line.
        if (WorkUnits) Command(dialog, LOWORD(wParam), reinterpret_cast<HWND>(lParam));
        return FALSE;
    case WM_DESTROY:
        if (DialogFont) DeleteObject(DialogFont);
        DialogFont = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}
