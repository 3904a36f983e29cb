// What the tessmar commands share: arguments, messages, files, the clock,
// and finding a port by name.
#include "tools/tessmar/tessmar.h"
#include "tools/tessmar/text.h"
#include <stdarg.h>
#include <stdio.h>

HANDLE StopEvent;

bool TakeOption(Args &args, const char *name, std::string &value, bool &bad)
{
    const std::string option = name, joined = option + "=";
    for (size_t i = 0; i < args.words.size(); ++i) {
        const std::string &word = args.words[i];
        if (word.compare(0, joined.size(), joined) == 0) {
            value = word.substr(joined.size());
            args.words.erase(args.words.begin() + i);
            return true;
        }
        if (word != option) continue;
        if (i + 1 >= args.words.size()) {
            Fail("%s needs a value", name);
            bad = true;
            return false;
        }
        value = args.words[i + 1];
        args.words.erase(args.words.begin() + i, args.words.begin() + i + 2);
        return true;
    }
    return false;
}

bool TakeFlag(Args &args, const char *name)
{
    for (size_t i = 0; i < args.words.size(); ++i) {
        if (args.words[i] != name) continue;
        args.words.erase(args.words.begin() + i);
        return true;
    }
    return false;
}

// "-" alone is a word (standard input), and a negative number is a value.
bool ReportUnknownOptions(const Args &args, const char *command)
{
    for (const std::string &word : args.words) {
        if (word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9')) continue;
        Fail("%s: unknown option '%s' (see tessmar %s --help)", command, word.c_str(), command);
        return true;
    }
    return false;
}

bool ParseNumberArg(const std::string &text, long long low, long long high, const char *what,
                    long long &value)
{
    char *end = nullptr;
    errno = 0;
    long long parsed = text.empty() ? 0 : strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end || errno) {
        Fail("%s '%s' is not a number", what, text.c_str());
        return false;
    }
    if (parsed < low || parsed > high) {
        Fail("%s %lld is out of range %lld..%lld", what, parsed, low, high);
        return false;
    }
    value = parsed;
    return true;
}

std::string Utf8(const WCHAR *text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return {};
    std::string result(bytes - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], bytes, nullptr, nullptr);
    return result;
}

std::wstring Wide(const std::string &text)
{
    int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (units <= 1) return {};
    std::wstring result(units - 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &result[0], units);
    return result;
}

void Fail(const char *format, ...)
{
    EndProgress();
    fflush(stdout);
    va_list list;
    va_start(list, format);
    fputs("tessmar: ", stderr);
    vfprintf(stderr, format, list);
    fputc('\n', stderr);
    va_end(list);
}

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &content, size_t limit)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Fail("cannot read '%s' (error %lu)", path.c_str(), GetLastError());
        return false;
    }
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && static_cast<ULONGLONG>(size.QuadPart) <= limit;
    if (!ok) Fail("'%s' is larger than %zu bytes", path.c_str(), limit);
    DWORD read = 0;
    if (ok) {
        content.resize(static_cast<size_t>(size.QuadPart));
        ok = content.empty() || (ReadFile(file, content.data(), static_cast<DWORD>(content.size()),
                                          &read, nullptr) && read == content.size());
        if (!ok) Fail("cannot read '%s' (error %lu)", path.c_str(), GetLastError());
    }
    CloseHandle(file);
    return ok;
}

double NowMs()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// --- Ports ------------------------------------------------------------------

std::vector<PortEntry> ListPorts(const Backend *backend, bool input)
{
    std::vector<PortEntry> ports;
    UINT count = backend->Count(input);
    for (UINT id = 0; id < count; ++id) {
        std::string name;
        bool ours = false;
        if (backend->Describe(input, id, name, ours) != MMSYSERR_NOERROR || !ours) continue;
        ports.push_back({id, static_cast<UINT>(ports.size()), name});
    }
    return ports;
}

bool FindPort(const Backend *backend, bool input, const std::string &wanted, PortEntry &entry)
{
    const char *kind = input ? "input" : "output";
    std::vector<PortEntry> ports = ListPorts(backend, input);
    if (ports.empty()) {
        Fail("there is no Tessmar %s port%s", kind,
             backend == SystemBackend() ? " (is the driver installed? --dll PATH loads it directly)" : "");
        return false;
    }
    std::vector<std::string> names;
    for (const PortEntry &port : ports) names.push_back(port.name);
    size_t index = 0;
    std::vector<size_t> candidates;
    NameMatch match = MatchPortName(names, wanted, index, candidates);
    if (match == NameMatch::Found) {
        entry = ports[index];
        return true;
    }
    std::string list;
    for (size_t candidate : candidates) list += (list.empty() ? "'" : ", '") + names[candidate] + "'";
    Fail("%s %s port '%s'; %s: %s", match == NameMatch::Ambiguous ? "more than one" : "no", kind,
         wanted.c_str(), match == NameMatch::Ambiguous ? "it could be" : "the ports are", list.c_str());
    return false;
}

const Backend *ConnectForPort(Args &args, const char *command, std::string &wanted, int &code)
{
    bool bad = false;
    code = ExitUsage;
    if (!TakeOption(args, "--port", wanted, bad)) {
        if (!bad) Fail("%s: --port NAME is required", command);
        return nullptr;
    }
    const Backend *backend = ConnectDriver(args, bad);
    if (!backend && !bad) code = ExitDriver;
    return backend;
}

bool OpenNamedOutput(const Backend *backend, Args &args, const char *option, OpenPort &port,
                     std::string &name, int &exitCode)
{
    std::string wanted;
    bool bad = false;
    if (!TakeOption(args, option, wanted, bad)) {
        if (!bad) Fail("%s NAME is required", option);
        exitCode = ExitUsage;
        return false;
    }
    PortEntry entry;
    if (!FindPort(backend, false, wanted, entry)) {
        exitCode = ExitUsage;
        return false;
    }
    MMRESULT result = backend->OpenOutput(entry.id, port);
    if (result != MMSYSERR_NOERROR) {
        Fail("cannot open output port '%s': %s", entry.name.c_str(), ResultText(result).c_str());
        exitCode = ExitDriver;
        return false;
    }
    name = entry.name;
    return true;
}

MMRESULT SendBytes(const Backend *backend, OpenPort &port, const std::vector<uint8_t> &bytes)
{
    if (bytes.empty()) return MMSYSERR_NOERROR;
    if (bytes[0] == 0xF0 || bytes.size() > 3)
        return backend->LongMessage(port, bytes.data(), static_cast<DWORD>(bytes.size()));
    DWORD packed = 0;
    for (size_t i = 0; i < bytes.size(); ++i) packed |= static_cast<DWORD>(bytes[i]) << (8 * i);
    return backend->ShortMessage(port, packed);
}

// Waits until `at` on the clock; false when the user stopped the run.
bool WaitUntil(double at)
{
    for (;;) {
        double left = at - NowMs();
        if (left <= 0) return true;
        DWORD slice = left > 2 ? static_cast<DWORD>(left - 1) : 0;
        if (WaitForSingleObject(StopEvent, slice) == WAIT_OBJECT_0) return false;
    }
}

namespace {
bool progressOpen;  // a progress line is on the console, not yet ended
}

void Progress(const char *format, ...)
{
    static const bool console = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
    if (!console) return;
    va_list list;
    va_start(list, format);
    fputc('\r', stderr);
    vfprintf(stderr, format, list);
    fflush(stderr);
    va_end(list);
    progressOpen = true;
}

void EndProgress()
{
    if (progressOpen) fputc('\n', stderr);
    progressOpen = false;
}
