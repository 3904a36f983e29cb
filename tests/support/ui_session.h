// A configure session of the real library, opened as the Control Panel
// (CPL_DBLCLK, CPL_STARTWPARMSW) or an application (DRV_CONFIGURE) opens
// it, on a thread of its own, with the Configurator found and ready.
#pragma once

#include "support.h"
#include "ui_driver.h"
#include <memory>

namespace ui {

extern const wchar_t ConfiguratorTitle[];  // "Tessmar Configurator"
extern const wchar_t AfterDoneText[];      // the box after Done

class Configurator {
public:
    explicit Configurator(testsupport::DriverDll &dll) : dll_(dll) {}
    ~Configurator();

    // Start the session and wait for the dialog; false when it did not show.
    bool OpenApplet(UINT message = 5 /* CPL_DBLCLK */);
    bool OpenConfigure(HWND parent = nullptr);  // DRV_CONFIGURE

    HWND Dialog() const { return dialog_; }
    DWORD ThreadId() const { return session_ ? session_->ThreadId() : 0; }

    // Done: presses the button and answers the box that follows with OK.
    // Returns that box (its text is empty when none came).
    MessageBoxSeen Done();
    // Cancel, answering the discard question (if any) with `answer`.
    // Returns the boxes seen; the dialog stays open when the answer is No.
    std::vector<MessageBoxSeen> Cancel(int answer = IDYES);
    // Waits for the session to end and gives CPlApplet's or DriverProc's answer.
    bool Finished(LONG_PTR *result, DWORD timeoutMs = 10000);

private:
    testsupport::DriverDll &dll_;
    std::unique_ptr<SessionThread> session_;
    HWND dialog_ = nullptr;
    HWND parent_ = nullptr;
};

// A port of the port table as the dialog edits it.
struct PortEdit {
    std::wstring description;
    int showIndex = -1;        // entry of the show box, or -1 to type `showName`
    std::wstring showName;
    int direction = -1;        // 0 input, 1 output, -1 none
    DWORD groups = 0;
};
// Fills the edit controls as a user would.
void FillPort(HWND dialog, const PortEdit &port);

}  // namespace ui
