// Driving the Configurator and About dialogs as a user would, from the test
// thread with window messages (the modal dialogs run on a session thread):
// find windows, click, type, answer message boxes, screenshots, layout.
#pragma once

#include "resources/resource.h"
#include "support.h"
#include <cpl.h>
#include <functional>
#include <memory>

namespace ui {

extern const wchar_t ConfiguratorTitle[], AboutTitle[], AfterDoneText[];  // the last: the box after Done

struct MessageBoxSeen {
    std::wstring title, text;
    bool ok = false, yes = false, no = false, cancel = false, exclamation = false;  // buttons, icon
    HWND owner = nullptr;
};

// Runs `body` on a thread of its own (modal dialogs run their loop there).
class SessionThread {
public:
    explicit SessionThread(std::function<LONG_PTR()> body);
    ~SessionThread() { Wait(30000); CloseHandle(thread_); }  // a stuck dialog is left after 30 s
    bool Wait(DWORD ms) { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }  // the body returned
    LONG_PTR Result() const { return result_; }

private:
    std::function<LONG_PTR()> body_;
    LONG_PTR result_ = 0;
    HANDLE thread_;
};

// A visible dialog of a process (0: this one) with the title and control;
// a visible message box of this process owned by `owner` (null: any).
HWND WaitForDialog(const wchar_t *title, int controlId, DWORD timeoutMs = 10000, DWORD processId = 0);
HWND WaitForMessageBox(HWND owner, DWORD timeoutMs);
MessageBoxSeen ReadMessageBox(HWND box);
bool AnswerMessageBox(HWND box, int button);  // and waits until it is gone
bool WaitUntilGone(HWND window, DWORD timeoutMs = 10000);

// Clicks a button from a helper thread, answering each message box that it
// raises with the next of `answers` (then OK, or No). Returns the boxes.
std::vector<MessageBoxSeen> Press(HWND dialog, int id, const std::vector<int> &answers = {}, DWORD timeoutMs = 15000);
// A user's input, with its focus moves and notifications: typing (an edit
// control or the show box), a list line clicked, a combo box entry picked,
// group buttons clicked to give exactly `mask`.
void Type(HWND dialog, int id, const std::wstring &text);
void ClickLine(HWND dialog, int listId, int line);
void PickEntry(HWND dialog, int comboId, int index);
void SetGroups(HWND dialog, DWORD mask);
std::wstring Text(HWND dialog, int id);
std::vector<std::wstring> Items(HWND dialog, int id);  // of a list or combo box
int ComboSelection(HWND dialog, int comboId);
DWORD CheckedGroups(HWND dialog);
RECT WindowRect(HWND window);  // screen coordinates
bool SaveScreenshot(HWND window, const std::wstring &path);  // PNG

// Layout faults of a dialog made from template `templateId` of `module`,
// judged as drawn, one a line: a control outside the client area, a caption
// that its control cuts, or two controls that overlap where (or more than)
// their template rectangles do. Empty when tidy.
std::string LayoutFaults(HWND dialog, HMODULE module, int templateId);

// A configure session of the real library, opened as the Control Panel
// (CPL_DBLCLK, CPL_STARTWPARMSW) or an application (DRV_CONFIGURE, with an
// owner window at `ownerRect` made by the session thread) opens it.
class Configurator {
public:
    explicit Configurator(testsupport::DriverDll &dll) : dll_(dll) {}
    ~Configurator();  // cancels a session left open
    bool OpenApplet(UINT message = CPL_DBLCLK);  // false when no dialog came
    bool OpenConfigure(const RECT *ownerRect = nullptr);
    HWND Dialog() const { return dialog_; }
    HWND Owner() const { return owner_; }
    MessageBoxSeen Done();  // and OK to the box that follows
    // Cancel, answering the discard question.
    std::vector<MessageBoxSeen> Cancel(int answer = IDYES) { return Press(dialog_, IDCANCEL, {answer}); }
    // Waits for the session's end: CPlApplet's or DriverProc's answer, or -1.
    LONG_PTR Finished(DWORD ms = 10000) { return session_ && session_->Wait(ms) ? session_->Result() : -1; }

private:
    bool Open(std::function<LONG_PTR()> body);
    testsupport::DriverDll &dll_;
    std::unique_ptr<SessionThread> session_;
    HWND dialog_ = nullptr, owner_ = nullptr;
};

// A port as the edit controls take it: the show by entry, or typed when
// showIndex is -1; direction 0 input, 1 output, -1 none.
struct PortEdit {
    std::wstring description;
    int showIndex;
    std::wstring showName;
    int direction;
    DWORD groups;
};
void FillPort(HWND dialog, const PortEdit &port);

}  // namespace ui
