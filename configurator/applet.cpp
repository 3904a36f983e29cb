// The Control Panel applet: one applet whose double-click opens the
// Configurator.
#include "configurator/configurator.h"
#include "configurator/session.h"
#include "resources/resource.h"
#include <cpl.h>

static const WCHAR FallbackName[] = L"Tessmar Configuration";

// The applet finds its resources by file name: loaded under another name it
// has no icon and falls back to the fixed text.
static HMODULE AppletModule() { return GetModuleHandleW(L"Tessmar.dll"); }

static void LoadAppletText(HMODULE module, UINT id, WCHAR *target, int size)
{
    WCHAR text[64] = {};
    if (!module || LoadStringW(module, id, text, size) == 0) lstrcpynW(text, FallbackName, size);
    lstrcpynW(target, text, size);
}

static void FillNewInquire(NEWCPLINFOW *info)
{
    HMODULE module = AppletModule();
    info->dwHelpContext = 0;
    info->lData = 0;
    info->hIcon = module ? LoadIconW(module, MAKEINTRESOURCEW(IDI_APPLET)) : nullptr;
    LoadAppletText(module, IDS_APPLET_NAME, info->szName, 32);
    LoadAppletText(module, IDS_APPLET_INFO, info->szInfo, 64);
}

extern "C" LONG APIENTRY CPlApplet(HWND, UINT message, LPARAM, LPARAM param2)
{
    switch (message) {
    case CPL_INIT:
    case CPL_GETCOUNT:
        return 1;
    case CPL_INQUIRE: {
        CPLINFO *info = reinterpret_cast<CPLINFO *>(param2);
        if (!info) return 0;
        info->idIcon = IDI_APPLET;
        info->idName = IDS_APPLET_NAME;
        info->idInfo = IDS_APPLET_INFO;
        info->lData = 0;
        return 0;
    }
    case CPL_NEWINQUIRE:
        if (param2) FillNewInquire(reinterpret_cast<NEWCPLINFOW *>(param2));
        return 0;
    case CPL_DBLCLK:
    case CPL_STARTWPARMSW:
        // The Control Panel's window is not used as owner.
        AppletSession(AppletModule());
        return 0;
    default:
        return 0;
    }
}
