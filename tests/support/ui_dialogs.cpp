#include "ui_dialogs.h"
#include <algorithm>
#include <stdio.h>

namespace ui {

const wchar_t ConfiguratorTitle[] = L"Tessmar Configurator";
const wchar_t AboutTitle[] = L"About Tessmar Driver";
const wchar_t AfterDoneText[] =
    L"If any programs that use Tessmar are open,\nthese changes will not take effect until the "
    L"program is closed and reopened.";

// Wine's message box: the text static and the icon static.
constexpr int MessageBoxTextId = 0xFFFF;
constexpr int MessageBoxIconId = 0x0440;

SessionThread::SessionThread(std::function<LONG_PTR()> body) : body_(body)
{
    auto run = [](void *self) -> DWORD {
        static_cast<SessionThread *>(self)->result_ = static_cast<SessionThread *>(self)->body_();
        return 0;
    };
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

static std::wstring WindowText(HWND window)
{
    WCHAR text[8192] = {};
    GetWindowTextW(window, text, 8192);
    return text;
}

std::wstring Text(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

// A visible top-level dialog of a process that `match` accepts.
static HWND WaitForTopLevel(DWORD processId, std::function<bool(HWND)> match, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount();; Sleep(20)) {
        for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", nullptr));) {
            DWORD process = 0;
            GetWindowThreadProcessId(w, &process);
            if (process == (processId ? processId : GetCurrentProcessId()) && IsWindowVisible(w) && match(w))
                return w;
        }
        if (GetTickCount() - start >= timeoutMs) return nullptr;
    }
}

HWND WaitForDialog(const wchar_t *title, int controlId, DWORD timeoutMs, DWORD processId)
{
    auto match = [&](HWND w) { return WindowText(w) == title && GetDlgItem(w, controlId); };
    return WaitForTopLevel(processId, match, timeoutMs);
}

HWND WaitForMessageBox(HWND owner, DWORD timeoutMs)
{
    auto match = [&](HWND w) {
        return GetDlgItem(w, MessageBoxTextId) && (!owner || GetWindow(w, GW_OWNER) == owner);
    };
    return WaitForTopLevel(0, match, timeoutMs);
}

MessageBoxSeen ReadMessageBox(HWND box)
{
    auto shown = [box](int id) { return GetDlgItem(box, id) && IsWindowVisible(GetDlgItem(box, id)); };
    LRESULT icon = SendDlgItemMessageW(box, MessageBoxIconId, STM_GETICON, 0, 0);
    return {WindowText(box), Text(box, MessageBoxTextId), shown(IDOK), shown(IDYES), shown(IDNO), shown(IDCANCEL),
            icon && icon == reinterpret_cast<LRESULT>(LoadIconW(nullptr, IDI_EXCLAMATION)), GetWindow(box, GW_OWNER)};
}

bool WaitUntilGone(HWND window, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); IsWindow(window) && IsWindowVisible(window); Sleep(10))
        if (GetTickCount() - start >= timeoutMs) return false;
    return true;
}

bool AnswerMessageBox(HWND box, int button)
{
    HWND control = GetDlgItem(box, button);
    if (!control || !IsWindowVisible(control)) return false;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return WaitUntilGone(box);
}

// Moves the keyboard focus to a control, as a click or Tab does.
static void Focus(HWND dialog, int id)
{
    if (HWND control = GetDlgItem(dialog, id)) SendMessageW(dialog, WM_NEXTDLGCTL, WPARAM(control), TRUE);
}

// What a control tells its dialog.
static void Notify(HWND dialog, int id, int code)
{
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::vector<MessageBoxSeen> Press(HWND dialog, int id, const std::vector<int> &answers, DWORD timeoutMs)
{
    std::vector<MessageBoxSeen> seen;
    Focus(dialog, id);
    SessionThread sender([=] { return Notify(dialog, id, BN_CLICKED), LONG_PTR(0); });
    for (DWORD start = GetTickCount(); !sender.Wait(10) && GetTickCount() - start < timeoutMs;) {
        if (HWND box = WaitForMessageBox(dialog, 0)) {
            seen.push_back(ReadMessageBox(box));
            int fallback = seen.back().ok ? IDOK : IDNO;
            if (!AnswerMessageBox(box, seen.size() <= answers.size() ? answers[seen.size() - 1] : fallback))
                AnswerMessageBox(box, fallback);
        }
    }
    return seen;
}

void Type(HWND dialog, int id, const std::wstring &text)
{
    Focus(dialog, id);
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// Selects an item as a click does: the focus, the selection, the notification.
static void Select(HWND dialog, int id, UINT message, int index, int code)
{
    Focus(dialog, id);
    SendDlgItemMessageW(dialog, id, message, index, 0);
    Notify(dialog, id, code);
}

void ClickLine(HWND dialog, int listId, int line) { Select(dialog, listId, LB_SETCURSEL, line, LBN_SELCHANGE); }
void PickEntry(HWND dialog, int comboId, int index) { Select(dialog, comboId, CB_SETCURSEL, index, CBN_SELCHANGE); }

std::vector<std::wstring> Items(HWND dialog, int id)
{
    WCHAR kind[16] = {};
    GetClassNameW(GetDlgItem(dialog, id), kind, 16);
    bool combo = lstrcmpiW(kind, L"ComboBox") == 0;
    LRESULT count = SendDlgItemMessageW(dialog, id, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0);
    std::vector<std::wstring> texts(std::max<LRESULT>(count, 0));
    for (size_t i = 0; i < texts.size(); ++i) {
        WCHAR text[512] = {};
        SendDlgItemMessageW(dialog, id, combo ? CB_GETLBTEXT : LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        texts[i] = text;
    }
    return texts;
}

int ComboSelection(HWND dialog, int id) { return int(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0)); }

DWORD CheckedGroups(HWND dialog)
{
    DWORD mask = 0;
    for (int i = 0; i < 32; ++i)
        mask |= DWORD(SendDlgItemMessageW(dialog, IDC_GROUP_FIRST + i, BM_GETCHECK, 0, 0) == BST_CHECKED) << i;
    return mask;
}

void SetGroups(HWND dialog, DWORD mask)
{
    for (int i = 0; i < 32; ++i) {
        bool checked = SendDlgItemMessageW(dialog, IDC_GROUP_FIRST + i, BM_GETCHECK, 0, 0) == BST_CHECKED;
        if (checked == ((mask >> i) & 1)) continue;
        Focus(dialog, IDC_GROUP_FIRST + i);
        SendDlgItemMessageW(dialog, IDC_GROUP_FIRST + i, BM_CLICK, 0, 0);
    }
}

RECT WindowRect(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

// GDI+ is loaded when needed, so that programs without screenshots do not
// depend on it.
static bool SavePng(HBITMAP bitmap, const std::wstring &path)
{
    using testsupport::Proc;
    HMODULE gdiplus = LoadLibraryW(L"gdiplus.dll");
    auto startup = Proc<int(WINAPI *)(ULONG_PTR *, const void *, void *)>(gdiplus, "GdiplusStartup");
    auto fromBitmap = Proc<int(WINAPI *)(HBITMAP, HPALETTE, void **)>(gdiplus, "GdipCreateBitmapFromHBITMAP");
    auto save = Proc<int(WINAPI *)(void *, const WCHAR *, const CLSID *, const void *)>(gdiplus,
                                                                                       "GdipSaveImageToFile");
    auto dispose = Proc<int(WINAPI *)(void *)>(gdiplus, "GdipDisposeImage");
    auto shutdown = Proc<void(WINAPI *)(ULONG_PTR)>(gdiplus, "GdiplusShutdown");
    static const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    struct { UINT32 version = 1; void *callback = nullptr; BOOL noThread = FALSE, noCodecs = FALSE; } input;
    ULONG_PTR token = 0;
    void *image = nullptr;
    bool saved = startup && fromBitmap && save && dispose && shutdown && startup(&token, &input, nullptr) == 0;
    if (saved) {
        saved = fromBitmap(bitmap, nullptr, &image) == 0 && save(image, path.c_str(), &png, nullptr) == 0;
        if (image) dispose(image);
        shutdown(token);
    }
    if (gdiplus) FreeLibrary(gdiplus);
    return saved;
}

bool SaveScreenshot(HWND window, const std::wstring &path)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    RECT r = WindowRect(window);
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, r.right - r.left, r.bottom - r.top);
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool copied = BitBlt(memory, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    bool saved = copied && SavePng(bitmap, path);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

// --- Layout ----------------------------------------------------------------

// Skips a text or ordinal field of a dialog template.
static const WORD *SkipField(const WORD *p)
{
    if (*p == 0xFFFF) return p + 2;
    while (*p) ++p;
    return p + 1;
}

// Identifier and rectangle (dialog units) of each control of a DIALOGEX
// template, in template order.
static std::vector<std::pair<int, RECT>> TemplateControls(HMODULE module, int templateId)
{
    std::vector<std::pair<int, RECT>> controls;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(templateId), RT_DIALOG);
    const WORD *p = found ? static_cast<const WORD *>(LockResource(LoadResource(module, found))) : nullptr;
    if (!p || p[1] != 0xFFFF) return controls;
    bool font = p[6] & DS_SETFONT;
    int count = p[8];
    p = SkipField(SkipField(SkipField(p + 13)));   // menu, class, title
    if (font) p = SkipField(p + 3);                 // size, weight, italic and charset, face
    for (int i = 0; i < count; ++i) {
        p = reinterpret_cast<const WORD *>((reinterpret_cast<ULONG_PTR>(p) + 3) & ~ULONG_PTR(3));
        const short *at = reinterpret_cast<const short *>(p + 6);
        controls.push_back({static_cast<short>(p[10]), {at[0], at[1], at[0] + at[2], at[1] + at[3]}});
        p = SkipField(SkipField(p + 12));  // class, caption
        p = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(p + 1) + *p);  // extra data
    }
    return controls;
}

struct Control {
    HWND window;
    std::string name;
    RECT drawn, planned;  // dialog client coordinates
};

// A caption that its control cuts: statics wrap words, buttons keep one line.
static bool CaptionCut(HWND window, const std::wstring &kind)
{
    std::wstring text = WindowText(window);
    LONG style = GetWindowLongW(window, GWL_STYLE);
    bool label = kind == L"Static" && (style & SS_TYPEMASK) <= SS_RIGHT;
    if (text.empty() || (!label && kind != L"Button")) return false;
    RECT room;
    GetClientRect(window, &room);
    if (!label) InflateRect(&room, -2, 0);  // the button's frame
    RECT need = {0, 0, room.right - room.left, 0};
    HDC dc = GetDC(window);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(SYSTEM_FONT));
    UINT flags = label ? DT_WORDBREAK | (style & SS_NOPREFIX ? DT_NOPREFIX : 0) : DT_SINGLELINE;
    DrawTextW(dc, text.c_str(), -1, &need, DT_CALCRECT | flags);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return need.right > room.right - room.left || need.bottom > room.bottom - room.top;
}

static std::string Describe(const Control &c)
{
    char text[160];
    snprintf(text, sizeof text, "%s at (%ld,%ld)-(%ld,%ld)", c.name.c_str(), c.drawn.left, c.drawn.top,
             c.drawn.right, c.drawn.bottom);
    return text;
}

static bool Inside(const RECT &inner, const RECT &outer)
{
    RECT both;
    return UnionRect(&both, &inner, &outer) && EqualRect(&both, &outer);
}

std::string LayoutFaults(HWND dialog, HMODULE module, int templateId)
{
    std::vector<std::pair<int, RECT>> plan = TemplateControls(module, templateId);
    std::vector<Control> controls;
    std::string faults;
    RECT client;
    GetClientRect(dialog, &client);
    for (HWND w = GetWindow(dialog, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT)) {
        size_t i = controls.size();
        WCHAR kind[32] = {};
        GetClassNameW(w, kind, 32);
        std::string name(kind, kind + lstrlenW(kind));
        Control c{w, name + " " + std::to_string(GetDlgCtrlID(w)), WindowRect(w), RECT{}};
        if (i >= plan.size() || plan[i].first != GetDlgCtrlID(w)) return c.name + " is not in the template there\n";
        c.planned = plan[i].second;
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&c.drawn), 2);
        MapDialogRect(dialog, &c.planned);
        // A combo box's template height includes its closed drop-down list.
        if (name == "ComboBox") c.planned.bottom = c.planned.top + (c.drawn.bottom - c.drawn.top);
        if (!Inside(c.drawn, client)) faults += Describe(c) + " leaves the client area\n";
        if (CaptionCut(w, kind)) faults += Describe(c) + " cuts its caption\n";
        // The template may let controls overlap a little (a list box's last
        // line under the next label); drawn they may overlap no more.
        for (const Control &b : controls) {
            RECT drawn, planned;
            if (IntersectRect(&drawn, &c.drawn, &b.drawn) &&
                !(IntersectRect(&planned, &c.planned, &b.planned) && Inside(drawn, planned)))
                faults += Describe(b) + " overlaps " + Describe(c) + "\n";
        }
        controls.push_back(c);
    }
    return controls.size() == plan.size() ? faults : faults + "controls of the template are missing\n";
}

// --- Configure sessions ----------------------------------------------------

Configurator::~Configurator()
{
    // A session left open is cancelled without saving, so its thread ends.
    if (session_ && !session_->Wait(0) && IsWindow(dialog_)) Cancel();
}

bool Configurator::Open(std::function<LONG_PTR()> body)
{
    // The test thread's window state and the common controls first: under
    // Wine a thread's first window call racing with the session's load of
    // the common controls can deadlock the two.
    static HMODULE commonControls = LoadLibraryW(L"comctl32.dll");
    (void)commonControls;
    EnumWindows([](HWND, LPARAM) -> BOOL { return TRUE; }, 0);
    session_.reset(new SessionThread(body));
    dialog_ = WaitForDialog(ConfiguratorTitle, IDC_INPUT_LIST);
    return dialog_ != nullptr;
}

bool Configurator::OpenApplet(UINT message)
{
    auto applet = dll_.cplApplet;
    return Open([applet, message] { return LONG_PTR(applet(nullptr, message, 0, 0)); });
}

bool Configurator::OpenConfigure(const RECT *ownerRect)
{
    RECT r = ownerRect ? *ownerRect : RECT{};
    return Open([this, r, ownerRect] {
        // The owner belongs to the session thread, whose modal loop runs it.
        if (ownerRect)
            owner_ = CreateWindowExW(0, L"Static", L"Owner", WS_POPUP | WS_VISIBLE, r.left, r.top, r.right - r.left,
                                     r.bottom - r.top, nullptr, nullptr, nullptr, nullptr);
        LONG_PTR result = dll_.Send(DRV_CONFIGURE, reinterpret_cast<LPARAM>(owner_), 0);
        if (owner_) DestroyWindow(owner_);
        return result;
    });
}

MessageBoxSeen Configurator::Done()
{
    Press(dialog_, IDOK);
    HWND box = WaitForMessageBox(owner_, 10000);
    MessageBoxSeen seen = box ? ReadMessageBox(box) : MessageBoxSeen();
    if (box) AnswerMessageBox(box, IDOK);
    return seen;
}

void FillPort(HWND dialog, const PortEdit &port)
{
    Type(dialog, IDC_DESCRIPTION, port.description);
    if (port.showIndex >= 0) PickEntry(dialog, IDC_SHOW, port.showIndex);
    else Type(dialog, IDC_SHOW, port.showName);
    if (port.direction >= 0) PickEntry(dialog, IDC_DIRECTION, port.direction);
    SetGroups(dialog, port.groups);
}

}  // namespace ui
