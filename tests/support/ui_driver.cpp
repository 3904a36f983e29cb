#include "ui_driver.h"
#include <memory>
#include <stdio.h>

namespace ui {

// Wine's message box: the text static and the icon static.
constexpr int MessageBoxTextId = 0xFFFF;
constexpr int MessageBoxIconId = 0x0440;

std::wstring BoxTexts(const std::vector<MessageBoxSeen> &boxes)
{
    std::wstring texts;
    for (const MessageBoxSeen &box : boxes) texts += L"[" + box.text + L"] ";
    return texts;
}

SessionThread::SessionThread(std::function<LONG_PTR()> body)
{
    thread_ = std::thread([this, body] {
        threadId_ = GetCurrentThreadId();
        result_ = body();
        finished_ = true;
    });
    while (threadId_ == 0) Sleep(1);
}

SessionThread::~SessionThread()
{
    if (thread_.joinable()) {
        if (Wait(30000)) thread_.join();
        else thread_.detach();  // a stuck dialog must not take the test program down
    }
}

bool SessionThread::Wait(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!finished_) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

static std::wstring ClassOf(HWND window)
{
    WCHAR name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

static std::wstring WindowText(HWND window)
{
    int length = GetWindowTextLengthW(window);
    std::wstring text(length + 1, L'\0');
    GetWindowTextW(window, &text[0], length + 1);
    text.resize(lstrlenW(text.c_str()));
    return text;
}

std::wstring Text(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

struct Search {
    std::function<bool(HWND)> match;
    HWND found = nullptr;
};

static BOOL CALLBACK SearchWindow(HWND window, LPARAM param)
{
    Search *search = reinterpret_cast<Search *>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
    if (ClassOf(window) != L"#32770" || !search->match(window)) return TRUE;
    search->found = window;
    return FALSE;
}

static HWND WaitForTopLevel(std::function<bool(HWND)> match, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        Search search{match};
        EnumWindows(SearchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(20);
    }
}

HWND WaitForDialog(const wchar_t *title, int controlId, DWORD timeoutMs)
{
    return WaitForTopLevel(
        [&](HWND window) { return WindowText(window) == title && GetDlgItem(window, controlId); },
        timeoutMs);
}

static bool IsMessageBox(HWND window) { return GetDlgItem(window, MessageBoxTextId) != nullptr; }

HWND WaitForMessageBox(HWND owner, DWORD timeoutMs)
{
    return WaitForTopLevel(
        [&](HWND window) {
            return IsMessageBox(window) && (!owner || GetWindow(window, GW_OWNER) == owner);
        },
        timeoutMs);
}

static bool ButtonShown(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    return button && IsWindowVisible(button);
}

MessageBoxSeen ReadMessageBox(HWND box)
{
    MessageBoxSeen seen;
    seen.title = WindowText(box);
    seen.text = Text(box, MessageBoxTextId);
    seen.ok = ButtonShown(box, IDOK);
    seen.yes = ButtonShown(box, IDYES);
    seen.no = ButtonShown(box, IDNO);
    seen.cancel = ButtonShown(box, IDCANCEL);
    HICON icon = reinterpret_cast<HICON>(
        SendDlgItemMessageW(box, MessageBoxIconId, STM_GETICON, 0, 0));
    seen.exclamation = icon && icon == LoadIconW(nullptr, IDI_EXCLAMATION);
    seen.owner = GetWindow(box, GW_OWNER);
    return seen;
}

bool WaitUntilGone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

bool AnswerMessageBox(HWND box, int button)
{
    HWND control = GetDlgItem(box, button);
    if (!control || !IsWindowVisible(control)) return false;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    return WaitUntilGone(box);
}

std::vector<MessageBoxSeen> Press(HWND dialog, int id, const std::vector<int> &answers,
                                  bool *finished, DWORD timeoutMs)
{
    std::vector<MessageBoxSeen> seen;
    auto done = std::make_shared<std::atomic<bool>>(false);
    HWND button = GetDlgItem(dialog, id);
    if (button) Focus(dialog, id);
    std::thread sender([dialog, id, button, done] {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
        *done = true;
    });
    DWORD start = GetTickCount();
    size_t next = 0;
    while (!*done && GetTickCount() - start < timeoutMs) {
        HWND box = WaitForMessageBox(dialog, 0);
        if (!box) {
            Sleep(10);
            continue;
        }
        MessageBoxSeen info = ReadMessageBox(box);
        seen.push_back(info);
        int answer = next < answers.size() ? answers[next++] : (info.ok ? IDOK : IDNO);
        if (!AnswerMessageBox(box, answer)) AnswerMessageBox(box, info.ok ? IDOK : IDNO);
    }
    if (finished) *finished = *done;
    if (*done) sender.join();
    else sender.detach();
    return seen;
}

void Focus(HWND dialog, int id)
{
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}

void Type(HWND dialog, int id, const std::wstring &text)
{
    Focus(dialog, id);
    SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void ClickLine(HWND dialog, int listId, int line)
{
    HWND list = GetDlgItem(dialog, listId);
    Focus(dialog, listId);
    SendMessageW(list, LB_SETCURSEL, line, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(listId, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

// The texts of a list box's lines or a combo box's entries, by the control's
// own count, length and text messages.
static std::vector<std::wstring> ItemTexts(HWND control, UINT countMessage, UINT lengthMessage,
                                           UINT textMessage)
{
    std::vector<std::wstring> texts;
    int count = static_cast<int>(SendMessageW(control, countMessage, 0, 0));
    for (int i = 0; i < count; ++i) {
        int length = static_cast<int>(SendMessageW(control, lengthMessage, i, 0));
        std::wstring text(length + 1, L'\0');
        SendMessageW(control, textMessage, i, reinterpret_cast<LPARAM>(&text[0]));
        text.resize(length);
        texts.push_back(text);
    }
    return texts;
}

std::vector<std::wstring> ListLines(HWND dialog, int listId)
{
    return ItemTexts(GetDlgItem(dialog, listId), LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
}

std::vector<std::wstring> ComboEntries(HWND dialog, int comboId)
{
    return ItemTexts(GetDlgItem(dialog, comboId), CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
}

int ComboSelection(HWND dialog, int comboId)
{
    return static_cast<int>(SendDlgItemMessageW(dialog, comboId, CB_GETCURSEL, 0, 0));
}

void PickEntry(HWND dialog, int comboId, int index)
{
    HWND combo = GetDlgItem(dialog, comboId);
    Focus(dialog, comboId);
    SendMessageW(combo, CB_SETCURSEL, index, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(comboId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

void SetGroups(HWND dialog, DWORD mask)
{
    for (int i = 0; i < 32; ++i) {
        HWND button = GetDlgItem(dialog, GroupFirst + i);
        bool want = (mask >> i) & 1;
        bool checked = SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
        if (want == checked) continue;
        Focus(dialog, GroupFirst + i);
        SendMessageW(button, BM_CLICK, 0, 0);
    }
}

DWORD CheckedGroups(HWND dialog)
{
    DWORD mask = 0;
    for (int i = 0; i < 32; ++i)
        if (SendDlgItemMessageW(dialog, GroupFirst + i, BM_GETCHECK, 0, 0) == BST_CHECKED)
            mask |= 1u << i;
    return mask;
}

static void SetModifiers(bool shift, bool control)
{
    BYTE keys[256];
    GetKeyboardState(keys);
    BYTE shiftState = shift ? 0x80 : 0, controlState = control ? 0x80 : 0;
    keys[VK_SHIFT] = keys[VK_LSHIFT] = shiftState;
    keys[VK_CONTROL] = keys[VK_LCONTROL] = controlState;
    SetKeyboardState(keys);
}

KeyState::KeyState(DWORD dialogThread, bool shift, bool control) : dialogThread_(dialogThread)
{
    attached_ = AttachThreadInput(GetCurrentThreadId(), dialogThread_, TRUE) != FALSE;
    SetModifiers(shift, control);
}

KeyState::~KeyState()
{
    SetModifiers(false, false);
    if (attached_) AttachThreadInput(GetCurrentThreadId(), dialogThread_, FALSE);
}

OwnerWindow::OwnerWindow(RECT rect)
{
    thread_ = std::thread([this, rect] {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"TessmarTestOwner";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowExW(0, L"TessmarTestOwner", L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      rect.left, rect.top, rect.right - rect.left,
                                      rect.bottom - rect.top, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        window_ = window;
        ready_ = true;
        MSG message;
        while (window && GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == window && message.message == WM_APP) {
                DestroyWindow(window);
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    });
    while (!ready_) Sleep(1);
}

OwnerWindow::~OwnerWindow()
{
    if (window_) PostMessageW(window_, WM_APP, 0, 0);
    thread_.join();
}

RECT WindowRect(HWND window)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

// GDI+ is loaded when needed, so that test programs without screenshots
// do not depend on it.
struct GdiplusStartupInput {
    UINT32 GdiplusVersion;
    void *DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;
};
using StartupFn = int(WINAPI *)(ULONG_PTR *, const GdiplusStartupInput *, void *);
using ShutdownFn = void(WINAPI *)(ULONG_PTR);
using FromHbitmapFn = int(WINAPI *)(HBITMAP, HPALETTE, void **);
using SaveFn = int(WINAPI *)(void *, const WCHAR *, const CLSID *, const void *);
using DisposeFn = int(WINAPI *)(void *);

template <typename T> static T Proc(HMODULE module, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

static bool SaveBitmapPng(HBITMAP bitmap, const std::wstring &path)
{
    HMODULE gdiplus = LoadLibraryW(L"gdiplus.dll");
    if (!gdiplus) return false;
    auto startup = Proc<StartupFn>(gdiplus, "GdiplusStartup");
    auto shutdown = Proc<ShutdownFn>(gdiplus, "GdiplusShutdown");
    auto fromHbitmap = Proc<FromHbitmapFn>(gdiplus, "GdipCreateBitmapFromHBITMAP");
    auto save = Proc<SaveFn>(gdiplus, "GdipSaveImageToFile");
    auto dispose = Proc<DisposeFn>(gdiplus, "GdipDisposeImage");
    bool saved = false;
    ULONG_PTR token = 0;
    GdiplusStartupInput input = {1, nullptr, FALSE, FALSE};
    if (startup && shutdown && fromHbitmap && save && dispose && startup(&token, &input, nullptr) == 0) {
        void *image = nullptr;
        if (fromHbitmap(bitmap, nullptr, &image) == 0) {
            // The PNG encoder of GDI+.
            static const CLSID png = {0x557cf406, 0x1a04, 0x11d3,
                                      {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
            saved = save(image, path.c_str(), &png, nullptr) == 0;
            dispose(image);
        }
        shutdown(token);
    }
    FreeLibrary(gdiplus);
    return saved;
}

bool SaveScreenshot(HWND window, const std::wstring &path)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    RECT rect = WindowRect(window);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BOOL copied = BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    bool saved = copied && SaveBitmapPng(bitmap, path);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

struct Child {
    HWND window;
    int id;
    std::wstring kind;
    RECT rect;  // client coordinates of the dialog
};

static BOOL CALLBACK CollectChild(HWND window, LPARAM param)
{
    auto *children = reinterpret_cast<std::vector<HWND> *>(param);
    children->push_back(window);
    return TRUE;
}

static std::string Describe(const Child &child)
{
    char text[160];
    std::string kind(child.kind.begin(), child.kind.end());
    snprintf(text, sizeof text, "%s %d at (%ld,%ld)-(%ld,%ld)", kind.c_str(), child.id,
             child.rect.left, child.rect.top, child.rect.right, child.rect.bottom);
    return text;
}

std::vector<std::string> LayoutFaults(HWND dialog)
{
    std::vector<HWND> windows;
    EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&windows));
    std::vector<Child> children;
    for (HWND window : windows) {
        if (GetParent(window) != dialog || !IsWindowVisible(window)) continue;
        Child child{window, GetDlgCtrlID(window), ClassOf(window), WindowRect(window)};
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT *>(&child.rect), 2);
        children.push_back(child);
    }
    std::vector<std::string> faults;
    RECT client;
    GetClientRect(dialog, &client);
    for (size_t i = 0; i < children.size(); ++i) {
        const RECT &r = children[i].rect;
        if (r.left < client.left || r.top < client.top || r.right > client.right ||
            r.bottom > client.bottom)
            faults.push_back(Describe(children[i]) + " leaves the client area");
        for (size_t j = i + 1; j < children.size(); ++j) {
            RECT overlap;
            if (IntersectRect(&overlap, &r, &children[j].rect))
                faults.push_back(Describe(children[i]) + " overlaps " + Describe(children[j]));
        }
    }
    return faults;
}

}  // namespace ui
