// Cost of the debug log: a call site with the log off, the formatting
// engine (against the C library's snprintf), a line to the debugger output,
// and a line to the log file (flushed every line). Prints figures; run it
// under wine64 in a test prefix, e.g. (one line)
//   tools/in-netns.sh env WINEPREFIX=$BUILD/tests/wineprefix
//     /usr/lib/wine/wine64 $BUILD/tests/log_bench.exe
#include "driver/driver.h"
#include "diag/log.h"
#include <stdio.h>

namespace {

double Seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to, const LARGE_INTEGER &frequency)
{
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename F> double NanosecondsPerCall(int count, F body)
{
    LARGE_INTEGER frequency, from, to;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&from);
    for (int i = 0; i < count; ++i) body(i);
    QueryPerformanceCounter(&to);
    return Seconds(from, to, frequency) * 1e9 / count;
}

volatile int sink;

}  // namespace

int main()
{
    if (!DriverProcessAttach(GetModuleHandleW(nullptr))) return 1;
    DecodeDebugLevel(0);

    double off = NanosecondsPerCall(20000000, [](int i) { LOG(2, "value %d", i); sink = i; });
    double empty = NanosecondsPerCall(20000000, [](int i) { sink = i; });
    printf("log off, call site:          %8.2f ns/call (empty loop %.2f ns)\n", off, empty);

    char buffer[256];
    double engine = NanosecondsPerCall(200000, [&](int i) {
        FormatTextF(buffer, sizeof buffer, "%.6u:%.4u:Tessmar: %s %d %08.8x", 123456u, 42u,
                    "port name", i, 0xBEEFu);
    });
    double crt = NanosecondsPerCall(200000, [&](int i) {
        snprintf(buffer, sizeof buffer, "%6u:%4u:Tessmar: %s %d %08x", 123456u, 42u, "port name", i,
                 0xBEEFu);
    });
    printf("FormatText (prefix + text):  %8.1f ns/call (snprintf %.1f ns, ratio %.2f)\n", engine,
           crt, engine / crt);

    DecodeDebugLevel(2);  // debugger output only
    double debugger = NanosecondsPerCall(20000, [](int i) { LOG(2, "debugger line %d", i); });
    printf("line to debugger output:     %8.1f us/line\n", debugger / 1000);

    DecodeDebugLevel(6);  // debugger output and file
    LOG(2, "first line opens the file");
    double file = NanosecondsPerCall(5000, [](int i) { LOG(2, "file line %d", i); });
    printf("line to debugger and file:   %8.1f us/line (flushed each line)\n", file / 1000);

    DecodeDebugLevel(0);
    WCHAR path[64];
    FormatTextWF(path, 64, L"c:\\KVD_DEBUG\\Tessmar_%d.txt", static_cast<int>(GetCurrentProcessId()));
    DriverProcessDetach();
    DeleteFileW(path);
    return 0;
}
