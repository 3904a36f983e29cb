// Driving the Configurator and About dialogs as a user would: find the
// windows, click, type, answer message boxes, take screenshots and check
// the layout. The dialogs are modal on a session thread of their own; the
// test thread drives them with window messages.
#pragma once

#include <windows.h>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ui {

// Ids of the dialog controls.
enum : int {
    HelpAbout = 3,
    Add = 1001,
    Change = 1002,
    Delete = 1003,
    OutputList = 1004,
    Description = 1005,
    Direction = 1017,
    Transport = 1018,
    GroupFirst = 1020,
    ShowBox = 1052,
    InputList = 1053,
    TcpAddress = 1058,
    DebugLevelBox = 8429,
    HelpText = 1016,
    WebAddress = 1026,
    VersionBlock = 1298,
};

// A message box as the user sees it.
struct MessageBoxSeen {
    std::wstring title;
    std::wstring text;
    bool ok = false, yes = false, no = false, cancel = false;
    bool exclamation = false;  // shows the exclamation icon
    HWND owner = nullptr;
};

// The texts of message boxes, for failure messages.
std::wstring BoxTexts(const std::vector<MessageBoxSeen> &boxes);

// Runs `body` on a thread of its own (the session thread) and keeps its
// result; the modal dialogs it opens run their message loop there.
class SessionThread {
public:
    explicit SessionThread(std::function<LONG_PTR()> body);
    ~SessionThread();
    bool Wait(DWORD timeoutMs);  // true once the body has returned
    bool Finished() const { return finished_; }
    LONG_PTR Result() const { return result_; }
    DWORD ThreadId() const { return threadId_; }

private:
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<DWORD> threadId_{0};
    LONG_PTR result_ = 0;
};

// A visible top-level dialog of this process with the given title that
// holds a control with the given id (message boxes share titles with the
// dialogs, so the control tells them apart); null after the timeout.
HWND WaitForDialog(const wchar_t *title, int controlId, DWORD timeoutMs = 10000);
// A visible message box of this process, owned by `owner` when it is not
// null; null after the timeout.
HWND WaitForMessageBox(HWND owner, DWORD timeoutMs);
MessageBoxSeen ReadMessageBox(HWND box);
// Presses one of the box's buttons (IDOK, IDYES, ...) and waits until it is
// gone. False when the box has no such button or does not close.
bool AnswerMessageBox(HWND box, int button);
bool WaitUntilGone(HWND window, DWORD timeoutMs = 10000);

// Focuses a button of `dialog` and sends its WM_COMMAND from a helper
// thread, as a click would, and answers each message box that the command raises with
// the next of `answers` (IDOK when the answers run out). Returns the boxes
// in the order they appeared; `finished` tells whether the command
// returned within the timeout.
std::vector<MessageBoxSeen> Press(HWND dialog, int id, const std::vector<int> &answers = {},
                                  bool *finished = nullptr, DWORD timeoutMs = 15000);

// Moves the keyboard focus to a control, as a click or Tab does (the
// controls send their focus notifications).
void Focus(HWND dialog, int id);
// Typing into an edit control or the show box (WM_SETTEXT, which notifies
// the dialog as typing does).
void Type(HWND dialog, int id, const std::wstring &text);
std::wstring Text(HWND dialog, int id);
// Clicks line `line` of a list box (the selection and the notification the
// list sends).
void ClickLine(HWND dialog, int listId, int line);
std::vector<std::wstring> ListLines(HWND dialog, int listId);
std::vector<std::wstring> ComboEntries(HWND dialog, int comboId);
int ComboSelection(HWND dialog, int comboId);
// Picks an entry of a drop-down list as the user does (selection and the
// CBN_SELCHANGE notification).
void PickEntry(HWND dialog, int comboId, int index);
// Sets the group buttons to exactly the given mask by clicking them.
void SetGroups(HWND dialog, DWORD mask);
DWORD CheckedGroups(HWND dialog);

// Shift and Control as the dialog thread's GetKeyState sees them. The test
// thread shares the dialog thread's input state while a KeyState lives.
class KeyState {
public:
    KeyState(DWORD dialogThread, bool shift, bool control);
    ~KeyState();

private:
    DWORD dialogThread_;
    bool attached_;
};

// A plain top-level window at a given screen rectangle, run by a thread of
// its own with a message loop, to own the dialogs as an application's
// window would.
class OwnerWindow {
public:
    explicit OwnerWindow(RECT rect);
    ~OwnerWindow();
    HWND Window() const { return window_; }

private:
    std::thread thread_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> ready_{false};
};

// Screenshot of a window's screen area as a PNG file.
bool SaveScreenshot(HWND window, const std::wstring &path);

// Layout faults of a dialog: a child control outside the client area, or
// two controls that overlap (labels included). Empty when tidy.
std::vector<std::string> LayoutFaults(HWND dialog);

// Screen rectangle of a window.
RECT WindowRect(HWND window);

}  // namespace ui
