#include "ui_debugger.h"

namespace ui {

static std::wstring ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO &info)
{
    DWORD length = info.nDebugStringLength;
    if (length == 0) return L"";
    if (info.fUnicode) {
        std::wstring text(length, L'\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, &text[0], length * sizeof(WCHAR), &got);
        text.resize(got / sizeof(WCHAR));
        while (!text.empty() && text.back() == 0) text.pop_back();
        return text;
    }
    std::string narrow(length, '\0');
    SIZE_T got = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &narrow[0], length, &got);
    narrow.resize(got);
    while (!narrow.empty() && narrow.back() == 0) narrow.pop_back();
    return std::wstring(narrow.begin(), narrow.end());
}

DebugRun RunUnderDebugger(const std::wstring &commandLine, DWORD timeoutMs)
{
    DebugRun run;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &process))
        return run;
    run.started = true;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 500)) continue;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case OUTPUT_DEBUG_STRING_EVENT:
            run.output.push_back(ReadDebugString(process.hProcess, event.u.DebugString));
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint is ours to pass; anything else goes
            // back to the program.
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            run.exited = true;
            run.exitCode = event.u.ExitProcess.dwExitCode;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (run.exited) break;
    }
    if (!run.exited) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

}  // namespace ui
