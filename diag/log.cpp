// The debug log: one line at a time to the debugger output and, when file
// output is on, to "c:\KVD_DEBUG\Tessmar_<pid>.txt".
//
// Everything runs under LogLock with static buffers, so lines never
// interleave and a log call allocates nothing. A call never fails towards
// its caller and keeps the caller's last-error values.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include "diag/format_engine.h"
#include "diag/log.h"

volatile LONG DebugLevel;
volatile BYTE nomore = 1;
DWORD DriverVersion = InitialDriverVersion;
WCHAR VersionText[16] = L"1.0.0.0";

namespace {

constexpr int LineSize = 2048;
const char LineEnd[] = "\r\n";
const char Prefix[] = "%.6u:%.4u:Tessmar: ";
const WCHAR PrefixW[] = L"%.6u:%.4u:Tessmar: ";

HANDLE logFile = INVALID_HANDLE_VALUE;

char lineBuffer[LineSize];
char messageBuffer[LineSize];
WCHAR lineBufferW[LineSize];
WCHAR messageBufferW[LineSize];
char narrowCopy[LineSize];

struct SavedErrors {
    DWORD system;
    int winsock;
};

SavedErrors SaveErrors()
{
    SavedErrors saved;
    saved.system = GetLastError();
    saved.winsock = WSAGetLastError();
    return saved;
}

void RestoreErrors(const SavedErrors &saved)
{
    WSASetLastError(saved.winsock);
    SetLastError(saved.system);
}

// Appends as much of text as fits while leaving room for the line end, so a
// line cut at the buffer's end still ends in CR LF.
template <typename C> int AppendCut(C *line, int used, const C *text, int room)
{
    while (*text && used < room) line[used++] = *text++;
    return used;
}

template <typename C> int AppendLineEnd(C *line, int used)
{
    for (const char *p = LineEnd; *p; ++p) line[used++] = static_cast<C>(*p);
    line[used] = 0;
    return used;
}

// Opens the file of this process on first use; a failure is retried at the
// next line.
bool EnsureLogFile()
{
    if (logFile != INVALID_HANDLE_VALUE) return true;
    CreateDirectoryA("c:\\KVD_DEBUG", nullptr);
    char name[32];
    FormatTextF(name, sizeof name, "c:\\KVD_DEBUG\\Tessmar_%d.txt",
                static_cast<int>(GetCurrentProcessId()));
    logFile = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return logFile != INVALID_HANDLE_VALUE;
}

// The version is read first so that every line, the first included, carries
// the real version in its header; the read runs with the log silenced.
void RefreshVersionForFile()
{
    if (DriverVersion != InitialDriverVersion) return;
    LONG level = DebugLevel;
    DebugLevel = 0;
    ReadDriverVersion();
    DebugLevel = level;
}

void WriteFileLine(const char *header, int headerLength, const char *line, int lineLength)
{
    if (!EnsureLogFile()) return;
    DWORD written = 0;
    WriteFile(logFile, header, static_cast<DWORD>(headerLength), &written, nullptr);
    WriteFile(logFile, line, static_cast<DWORD>(lineLength), &written, nullptr);
    FlushFileBuffers(logFile);
}

// Overloads by character width, so that one routine builds both kinds of line.
int FormatPrefix(char *line)
{
    return FormatTextF(line, LineSize, Prefix, static_cast<unsigned>(timeGetTime()),
                       static_cast<unsigned>(GetCurrentThreadId()));
}

int FormatPrefix(WCHAR *line)
{
    return FormatTextWF(line, LineSize, PrefixW, static_cast<unsigned>(timeGetTime()),
                        static_cast<unsigned>(GetCurrentThreadId()));
}

void FormatBody(char *message, const char *format, va_list args, bool *bad)
{
    FormatTextChecked(message, LineSize, format, args, bad);
}

void FormatBody(WCHAR *message, const WCHAR *format, va_list args, bool *bad)
{
    FormatTextWChecked(message, LineSize, format, args, bad);
}

void ShowLine(const char *line) { OutputDebugStringA(line); }
void ShowLine(const WCHAR *line) { OutputDebugStringW(line); }

void FileLine(const char *line)
{
    char header[40];
    int headerLength = FormatTextF(header, sizeof header, "Tessmar vers %x", DriverVersion);
    WriteFileLine(header, headerLength, line, lstrlenA(line));
}

// The file is narrow: a wide line keeps the low byte of each character.
void FileLine(const WCHAR *line)
{
    char header[50];
    int headerLength = FormatTextF(header, sizeof header, "Tessmar vers %x ", DriverVersion);
    int length = 0;
    while (length < LineSize - 1 && line[length]) {
        narrowCopy[length] = static_cast<char>(line[length] & 0xFF);
        ++length;
    }
    narrowCopy[length] = 0;
    WriteFileLine(header, headerLength, narrowCopy, length);
}

template <typename C> void LogLine(C *line, C *message, const C *format, va_list args)
{
    SavedErrors saved = SaveErrors();
    EnterCriticalSection(&LogLock);
    if (!GetProcessHeap()) {
        OutputDebugStringW(L"!!Tessmar: No freaking heap\n");
        LeaveCriticalSection(&LogLock);
        RestoreErrors(saved);
        return;
    }
    ZeroMemory(line, LineSize * sizeof(C));
    ZeroMemory(message, LineSize * sizeof(C));
    int used = FormatPrefix(line);
    bool bad = false;
    FormatBody(message, format, args, &bad);
    if (bad) {
        // An argument the formatter could not read: report instead of the
        // line; the file still gets whatever the line holds (the prefix).
        OutputDebugStringW(L"Something terrible happened!\n");
    } else {
        used = AppendCut(line, used, message, LineSize - 3);
        used = AppendLineEnd(line, used);
        ShowLine(line);
    }
    if (!nomore) {
        RefreshVersionForFile();
        FileLine(line);
    }
    LeaveCriticalSection(&LogLock);
    RestoreErrors(saved);
}

}  // namespace

void LogPrint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogLine(lineBuffer, messageBuffer, format, args);
    va_end(args);
}

void LogPrintW(const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    LogLine(lineBufferW, messageBufferW, format, args);
    va_end(args);
}

// The report is fixed; what follows is this driver's choice: break only when
// a debugger is attached, because without one DebugBreak would end the host
// application. The caller abandons the failing operation with an error code.
void AssertFail(const char *expression, const char *file, int line)
{
    if (DebugLevel >= 1) {
        LogPrint("Assertion failure:");
        LogPrintW(L"  Exp: %S", expression);
        LogPrintW(L"  File: %S, line: %d", file, line);
    }
    if (IsDebuggerPresent()) DebugBreak();
}

void DecodeDebugLevel(DWORD stored)
{
    nomore = 1;
    LONG level = static_cast<LONG>(stored);
    if (level > 4) {
        level -= 4;
        nomore = 0;
    }
    DebugLevel = level;
}

DWORD EncodeDebugLevel() { return static_cast<DWORD>(DebugLevel + (nomore ? 0 : 4)); }

void LogClose()
{
    EnterCriticalSection(&LogLock);
    if (logFile != INVALID_HANDLE_VALUE) {
        CloseHandle(logFile);
        logFile = INVALID_HANDLE_VALUE;
    }
    LeaveCriticalSection(&LogLock);
}
