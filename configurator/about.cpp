// The About box: version, help text, picture and the project's web address.
#include "configurator/configurator.h"
#include "configurator/session.h"
#include "diag/log.h"
#include "resources/resource.h"
#include <shellapi.h>

constexpr int HelpTextBlock = 5261;  // characters, terminator included

static HFONT AboutFont;
static const int FontedControls[] = {IDC_HELP_TEXT, IDC_VERSION, IDOK};

static const WCHAR HelpText[] =
    L"                     About Tessmar\r\n"
    L"\r\n"
    L"Tessmar connects MIDI programs over the local network. Its input ports receive "
    L"what the output ports send, on this computer and on the other computers of the "
    L"network that run Tessmar; its output ports send to the input ports there.\r\n"
    L"\r\n"
    L"Shows: every port belongs to one show. Only ports of the same show share data, so "
    L"several productions can use one network without hearing each other. A show name "
    L"must match on all machines, in spelling and in upper and lower case.\r\n"
    L"\r\n"
    L"Groups: groups are virtual MIDI cables. An output port sends to each of its groups "
    L"and an input port receives from each of its groups. Every port needs at least one "
    L"group. An output and an input on the same groups form a loopback: what a program "
    L"plays comes straight back to it, and a program that passes its input on to its "
    L"output then causes MIDI feedback.\r\n"
    L"\r\n"
    L"         To create a new Tessmar port:\r\n"
    L"Type a description: it becomes the port's name in your MIDI programs and must differ "
    L"from the description of every other port. Pick a show from the Show Name list or "
    L"type a new show name, choose Input or Output under Direction, click the group "
    L"buttons the port should use and press Add.\r\n"
    L"\r\n"
    L"         To modify an existing Tessmar port:\r\n"
    L"Click the port in the Receiving or Sending list. Its settings appear below the "
    L"lists: change them, press Change and confirm.\r\n"
    L"\r\n"
    L"         To delete an existing Tessmar port:\r\n"
    L"Click the port in its list, press Delete and confirm.\r\n"
    L"\r\n"
    L"         To select UDP or the new TCP mode:\r\n"
    L"Choose UDP or TCP under UDP/TCP. UDP is the broadcast mode: every computer of the "
    L"network hears every output port. TCP is a point-to-point, reliable mode between two "
    L"computers. Only one MIDI input and one MIDI output may be configured in TCP "
    L"mode.\r\n"
    L"\r\n"
    L"         To select correspondant address in TCP mode:\r\n"
    L"Type the other computer's host name or dotted address (such as 192.168.1.20) under "
    L"TCP Address. UDP does not need an address; TCP requires it, and both ends must be "
    L"set to each other's address.\r\n"
    L"\r\n"
    L"         NOTES:\r\n"
    L"Cancel discards all changes. Nothing is changed until you close the Configurator "
    L"with Done. A port that is open in a program when you change or delete it keeps its "
    L"old settings until the program closes and reopens it.\r\n";

static_assert(sizeof HelpText / sizeof HelpText[0] < HelpTextBlock, "help text too long");

// Fills the version line of the credits: the static's caption is the
// template, with the version text in place of its %s.
static void SetVersionText(HWND dialog)
{
    WCHAR format[256] = {}, text[256];
    GetDlgItemTextW(dialog, IDC_VERSION, format, 256);
    FormatTextWF(text, 256, format, ReadDriverVersion() ? VersionText : L"UNKNOWN!");
    SetDlgItemTextW(dialog, IDC_VERSION, text);
}

static void SetHelpText(HWND dialog)
{
    WCHAR *block = static_cast<WCHAR *>(
        DriverHeap ? HeapAlloc(DriverHeap, 0, HelpTextBlock * sizeof(WCHAR)) : nullptr);
    if (!block) {
        SetDlgItemTextW(dialog, IDC_HELP_TEXT, HelpText);
        return;
    }
    lstrcpynW(block, HelpText, HelpTextBlock);
    SetDlgItemTextW(dialog, IDC_HELP_TEXT, block);
    HeapFree(DriverHeap, 0, block);
}

static BOOL InitAbout(HWND dialog)
{
    LOGW(2, L"TSAbout OnInitDialog");
    SetVersionText(dialog);
    LOG(2, "AboutDlgProc() - WM_INITDIALOG");
    AboutFont = CreateDialogFont(dialog);
    if (AboutFont) {
        for (int id : FontedControls)
            SendDlgItemMessageW(dialog, id, WM_SETFONT, reinterpret_cast<WPARAM>(AboutFont), FALSE);
    }
    SetHelpText(dialog);
    CenterWindow(dialog, GetParent(dialog));
    return TRUE;
}

// The button's caption is the address; one that does not fit the
// 40-character buffer with room to spare is not opened.
static void OpenWebAddress(HWND dialog)
{
    WCHAR address[40] = {};
    GetDlgItemTextW(dialog, IDC_WEB_ADDRESS, address, 40);
    if (lstrlenW(address) < 39)
        ShellExecuteW(nullptr, L"open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return InitAbout(dialog);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: EndDialog(dialog, IDOK); break;
        case IDCANCEL: EndDialog(dialog, IDCANCEL); break;
        case IDC_WEB_ADDRESS: OpenWebAddress(dialog); break;
        default: break;
        }
        return FALSE;
    case WM_DESTROY:
        if (AboutFont) DeleteObject(AboutFont);
        AboutFont = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}
