#include "ui_session.h"
#include <cpl.h>

namespace ui {

const wchar_t ConfiguratorTitle[] = L"Tessmar Configurator";
const wchar_t AfterDoneText[] =
    L"If any programs that use Tessmar are open,\nthese changes will not take effect until the "
    L"program is closed and reopened.";

Configurator::~Configurator()
{
    // A test that failed half-way leaves the dialog open: close it without
    // saving so the session thread can end.
    if (session_ && !session_->Finished() && dialog_ && IsWindow(dialog_)) {
        PostMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
        if (HWND box = WaitForMessageBox(dialog_, 2000)) AnswerMessageBox(box, IDYES);
        session_->Wait(5000);
    }
}

static BOOL CALLBACK Nothing(HWND, LPARAM) { return TRUE; }

// The test thread's window state and the common controls are set up before
// a session thread starts: under Wine a thread's first window call racing
// with the session's load of the common controls can deadlock the two.
static void PrepareTestThread()
{
    static HMODULE commonControls = LoadLibraryW(L"comctl32.dll");
    (void)commonControls;
    EnumWindows(Nothing, 0);
}

bool Configurator::OpenApplet(UINT message)
{
    PrepareTestThread();
    auto applet = dll_.cplApplet;
    session_.reset(new SessionThread([applet, message] {
        return static_cast<LONG_PTR>(applet(nullptr, message, 0, 0));
    }));
    dialog_ = WaitForDialog(ConfiguratorTitle, InputList);
    return dialog_ != nullptr;
}

bool Configurator::OpenConfigure(HWND parent)
{
    PrepareTestThread();
    parent_ = parent;
    testsupport::DriverDll *dll = &dll_;
    session_.reset(new SessionThread([dll, parent] {
        return static_cast<LONG_PTR>(dll->Send(DRV_CONFIGURE, reinterpret_cast<LPARAM>(parent), 0));
    }));
    dialog_ = WaitForDialog(ConfiguratorTitle, InputList);
    return dialog_ != nullptr;
}

MessageBoxSeen Configurator::Done()
{
    Press(dialog_, IDOK);
    MessageBoxSeen seen;
    HWND box = WaitForMessageBox(parent_, 10000);
    if (box && !GetDlgItem(box, InputList)) {
        seen = ReadMessageBox(box);
        AnswerMessageBox(box, IDOK);
    }
    return seen;
}

std::vector<MessageBoxSeen> Configurator::Cancel(int answer)
{
    return Press(dialog_, IDCANCEL, {answer});
}

bool Configurator::Finished(LONG_PTR *result, DWORD timeoutMs)
{
    if (!session_ || !session_->Wait(timeoutMs)) return false;
    *result = session_->Result();
    return true;
}

void FillPort(HWND dialog, const PortEdit &port)
{
    Type(dialog, Description, port.description);
    if (port.showIndex >= 0) PickEntry(dialog, ShowBox, port.showIndex);
    else Type(dialog, ShowBox, port.showName);
    if (port.direction >= 0) PickEntry(dialog, Direction, port.direction);
    SetGroups(dialog, port.groups);
}

}  // namespace ui
