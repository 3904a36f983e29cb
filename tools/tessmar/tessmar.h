// The tessmar command: what its commands share. Each command is one file
// (list.cpp, send.cpp, ...) with one entry routine named in main.cpp's
// command table; the driver is reached through one of two back-ends
// (backend.cpp), chosen once per run.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>
#include <string>
#include <vector>

// Exit codes, the same for every command.
enum ExitCode : int {
    ExitOk = 0,
    ExitFailed = 1,   // ran, but what was asked for did not happen (a time-out)
    ExitUsage = 2,    // bad input: unknown port, number out of range, bad file
    ExitDriver = 3,   // the driver could not be loaded, or refused a call
};

// --- Arguments --------------------------------------------------------------

// The words after the command's name, as UTF-8. Options are taken out as
// they are read; what remains are the command's own words.
struct Args {
    std::vector<std::string> words;
};

// Takes "--name VALUE" (or "--name=VALUE") out of args. False when absent;
// a name without its value is a usage error (reported, and `bad` set).
bool TakeOption(Args &args, const char *name, std::string &value, bool &bad);
// Takes "--name" out of args.
bool TakeFlag(Args &args, const char *name);
// Whether a word is an option the command did not take.
bool ReportUnknownOptions(const Args &args, const char *command);

// A decimal number within [low, high]; false after naming `what` in a
// one-line reason on standard error.
bool ParseNumberArg(const std::string &text, long long low, long long high, const char *what,
                    long long &value);

std::string Utf8(const WCHAR *text);
std::wstring Wide(const std::string &text);

// One-line reason on standard error, prefixed "tessmar: ".
void Fail(const char *format, ...);

// Reads a whole file; false after a one-line reason.
bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &content, size_t limit);

// Ctrl+C, Ctrl+Break and console close set this event; commands that wait
// wait on it too.
extern HANDLE StopEvent;

double NowMs();  // a monotonic clock in milliseconds
// A progress line, drawn over the last one when standard error is a
// console and left out otherwise; EndProgress ends it (Fail does too).
void Progress(const char *format, ...);
void EndProgress();
// Waits until `at` on that clock; false when the user stopped the run.
bool WaitUntil(double at);

// --- The driver -------------------------------------------------------------

// The callback of an open input port: winmm's MidiInProc, which the driver
// also calls when it is loaded directly.
typedef void(CALLBACK *InputProc)(HANDLE device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR param2);

struct OpenPort {
    UINT id = 0;            // the back-end's device number
    bool input = false;
    DWORD_PTR handle = 0;   // HMIDIIN/HMIDIOUT, or the driver's instance
    std::vector<MIDIHDR *> buffers;  // input buffers given to the driver
};

// One way to the driver. Every call returns an MMRESULT.
struct Backend {
    const char *name;
    bool (*Load)(const std::string &dll);  // reports its own failure
    void (*Unload)();
    UINT (*Count)(bool input);
    // The name of a device, and whether it is one of Tessmar's.
    MMRESULT (*Describe)(bool input, UINT id, std::string &name, bool &ours);
    MMRESULT (*OpenOutput)(UINT id, OpenPort &port);
    MMRESULT (*OpenInput)(UINT id, InputProc proc, DWORD_PTR instance, OpenPort &port);
    MMRESULT (*ShortMessage)(OpenPort &port, DWORD packed);
    // Sends a system-exclusive block and returns when the driver is done
    // with it.
    MMRESULT (*LongMessage)(OpenPort &port, const uint8_t *data, DWORD length);
    MMRESULT (*AddBuffer)(OpenPort &port, MIDIHDR *header);  // prepares it first
    MMRESULT (*Start)(OpenPort &port);
    MMRESULT (*Reset)(OpenPort &port);
    MMRESULT (*Close)(OpenPort &port);     // unprepares the input buffers it was given
};

// A Tessmar port as the back-end numbers it.
struct PortEntry {
    UINT id;           // device number for the back-end
    UINT driverIndex;  // the driver's own device number (of Tessmar's only)
    std::string name;
};

// Loads the back-end that --dll (taken from args) chooses: the driver
// itself, or the system's winmm. Null after saying why.
const Backend *ConnectDriver(Args &args, bool &bad);
void DisconnectDriver(const Backend *backend);
// The back-end of the system's winmm.
const Backend *SystemBackend();
// Loads the library and sends its DriverProc one message (DRV_INSTALL,
// DRV_REMOVE) between the load and the free; false after saying why.
bool SendToLibrary(const std::string &dll, UINT message);
// Tessmar's ports of one direction.
std::vector<PortEntry> ListPorts(const Backend *backend, bool input);
// The port --port names (exact, then a unique prefix); false after a
// reason that lists the candidates.
bool FindPort(const Backend *backend, bool input, const std::string &wanted, PortEntry &entry);
// The driver's text for an MMRESULT, for messages.
std::string ResultText(MMRESULT result);

// Takes the --port NAME a command needs and loads the driver; null (with
// the exit code) after saying why.
const Backend *ConnectForPort(Args &args, const char *command, std::string &wanted, int &code);
// Opens the port --port names, after taking the option out of args.
bool OpenNamedOutput(const Backend *backend, Args &args, const char *option, OpenPort &port,
                     std::string &name, int &exitCode);

// --- The stored configuration ---------------------------------------------------

// Loads the configuration from the registry into the store's tables.
bool LoadConfiguration();
std::string GroupsText(DWORD mask);                  // "1,2,5-8"
std::string PortDetails(unsigned show, DWORD groups);  // "show 'Opera', groups 1,2"
std::string TransportText();                         // the loaded transport, in words

// --- Commands ---------------------------------------------------------------

int ListCommand(Args &args);
int SendCommand(Args &args);
int MonitorCommand(Args &args);
int PlayCommand(Args &args);
int ConfigCommand(Args &args);
int BenchCommand(Args &args);
int InstallCommand(Args &args);
int RemoveCommand(Args &args);
int RepairCommand(Args &args);
int StatusCommand(Args &args);

// Sends one complete message (short or system exclusive) to an open port.
MMRESULT SendBytes(const Backend *backend, OpenPort &port, const std::vector<uint8_t> &bytes);
