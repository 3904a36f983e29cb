// Runs a program as its debugger and collects what it writes to the
// debugger output (OutputDebugString), in order.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace ui {

struct DebugRun {
    bool started = false;
    bool exited = false;         // within the timeout
    DWORD exitCode = 0;
    std::vector<std::wstring> output;  // one entry per OutputDebugString call
};

DebugRun RunUnderDebugger(const std::wstring &commandLine, DWORD timeoutMs = 30000);

}  // namespace ui
