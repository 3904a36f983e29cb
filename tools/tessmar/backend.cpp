// The two ways to the driver, one table each: the system's winmm, which
// reaches Tessmar once it is installed, and the library itself (--dll),
// loaded and driven here with the messages winmm would send it. Commands
// call only the table, never winmm or the library directly.
#include "tools/tessmar/tessmar.h"
#include <mmddk.h>
#include <stdio.h>

namespace {

// The identity the driver gives its devices (wide capabilities).
constexpr WORD TessmarManufacturer = 0x0101;
constexpr DWORD LongMessageTimeoutMs = 30000;

// --- winmm ------------------------------------------------------------------

bool WinmmLoad(const std::string &) { return true; }
void WinmmUnload() {}

UINT WinmmCount(bool input) { return input ? midiInGetNumDevs() : midiOutGetNumDevs(); }

MMRESULT WinmmDescribe(bool input, UINT id, std::string &name, bool &ours)
{
    WORD manufacturer = 0;
    WCHAR text[MAXPNAMELEN] = {};
    MMRESULT result;
    if (input) {
        MIDIINCAPSW caps = {};
        result = midiInGetDevCapsW(id, &caps, sizeof caps);
        manufacturer = caps.wMid;
        lstrcpynW(text, caps.szPname, MAXPNAMELEN);
    } else {
        MIDIOUTCAPSW caps = {};
        result = midiOutGetDevCapsW(id, &caps, sizeof caps);
        manufacturer = caps.wMid;
        lstrcpynW(text, caps.szPname, MAXPNAMELEN);
    }
    name = Utf8(text);
    ours = result == MMSYSERR_NOERROR && manufacturer == TessmarManufacturer;
    return result;
}

MMRESULT WinmmOpenOutput(UINT id, OpenPort &port)
{
    HMIDIOUT handle = nullptr;
    MMRESULT result = midiOutOpen(&handle, id, 0, 0, CALLBACK_NULL);
    port = {id, false, reinterpret_cast<DWORD_PTR>(handle), {}};
    return result;
}

MMRESULT WinmmOpenInput(UINT id, InputProc proc, DWORD_PTR instance, OpenPort &port)
{
    HMIDIIN handle = nullptr;
    MMRESULT result = midiInOpen(&handle, id, reinterpret_cast<DWORD_PTR>(proc), instance,
                                 CALLBACK_FUNCTION);
    port = {id, true, reinterpret_cast<DWORD_PTR>(handle), {}};
    return result;
}

HMIDIOUT OutHandle(const OpenPort &port) { return reinterpret_cast<HMIDIOUT>(port.handle); }
HMIDIIN InHandle(const OpenPort &port) { return reinterpret_cast<HMIDIIN>(port.handle); }

MMRESULT WinmmShort(OpenPort &port, DWORD packed) { return midiOutShortMsg(OutHandle(port), packed); }

// Waits for the done flag, which the driver sets before it returns or
// from its own thread.
MMRESULT WaitDone(const MIDIHDR &header)
{
    double start = NowMs();
    while (!(header.dwFlags & MHDR_DONE)) {
        if (NowMs() - start > LongMessageTimeoutMs) return MMSYSERR_ERROR;
        Sleep(1);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WinmmLong(OpenPort &port, const uint8_t *data, DWORD length)
{
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t *>(data));
    header.dwBufferLength = length;
    MMRESULT result = midiOutPrepareHeader(OutHandle(port), &header, sizeof header);
    if (result != MMSYSERR_NOERROR) return result;
    result = midiOutLongMsg(OutHandle(port), &header, sizeof header);
    if (result == MMSYSERR_NOERROR) result = WaitDone(header);
    midiOutUnprepareHeader(OutHandle(port), &header, sizeof header);
    return result;
}

MMRESULT WinmmAddBuffer(OpenPort &port, MIDIHDR *header)
{
    MMRESULT result = midiInPrepareHeader(InHandle(port), header, sizeof *header);
    if (result == MMSYSERR_NOERROR) result = midiInAddBuffer(InHandle(port), header, sizeof *header);
    if (result == MMSYSERR_NOERROR) port.buffers.push_back(header);
    return result;
}

MMRESULT WinmmStart(OpenPort &port) { return midiInStart(InHandle(port)); }

MMRESULT WinmmReset(OpenPort &port)
{
    return port.input ? midiInReset(InHandle(port)) : midiOutReset(OutHandle(port));
}

MMRESULT WinmmClose(OpenPort &port)
{
    if (!port.input) return midiOutClose(OutHandle(port));
    midiInReset(InHandle(port));
    for (MIDIHDR *header : port.buffers) midiInUnprepareHeader(InHandle(port), header, sizeof *header);
    port.buffers.clear();
    return midiInClose(InHandle(port));
}

const Backend Winmm = {
    "winmm",        WinmmLoad,  WinmmUnload,    WinmmCount,     WinmmDescribe,
    WinmmOpenOutput, WinmmOpenInput, WinmmShort, WinmmLong,      WinmmAddBuffer,
    WinmmStart,     WinmmReset, WinmmClose,
};

// --- The library, loaded here ---------------------------------------------------

typedef LRESULT(CALLBACK *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
typedef DWORD(APIENTRY *MessageFn)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// The loaded library (one per run).
struct LoadedLibrary {
    HMODULE module;
    DriverProcFn driverProc;
    MessageFn modMessage;
    MessageFn midMessage;
};
LoadedLibrary library;

LRESULT SendDriver(UINT message)
{
    return library.driverProc(1, reinterpret_cast<HDRVR>(library.module), message, 0, 0);
}

template <typename T> T Export(const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(library.module, name)));
}

bool LibraryLoad(const std::string &dll)
{
    library.module = LoadLibraryW(Wide(dll).c_str());
    if (!library.module) {
        Fail("cannot load the driver '%s' (error %lu)", dll.c_str(), GetLastError());
        return false;
    }
    library.driverProc = Export<DriverProcFn>("DriverProc");
    library.modMessage = Export<MessageFn>("modMessage");
    library.midMessage = Export<MessageFn>("midMessage");
    if (!library.driverProc || !library.modMessage || !library.midMessage) {
        Fail("'%s' is not a MIDI driver: DriverProc, modMessage or midMessage is missing", dll.c_str());
        FreeLibrary(library.module);
        return false;
    }
    if (SendDriver(DRV_LOAD) == 0) {
        Fail("the driver '%s' refused to load", dll.c_str());
        FreeLibrary(library.module);
        return false;
    }
    SendDriver(DRV_ENABLE);
    SendDriver(DRV_OPEN);
    return true;
}

void LibraryUnload()
{
    SendDriver(DRV_CLOSE);
    SendDriver(DRV_DISABLE);
    SendDriver(DRV_FREE);
    FreeLibrary(library.module);
    library = {};
}

MMRESULT Message(const OpenPort &port, UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    MessageFn call = port.input ? library.midMessage : library.modMessage;
    return call(port.id, message, port.handle, param1, param2);
}

UINT LibraryCount(bool input)
{
    return input ? library.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0)
                 : library.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
}

MMRESULT LibraryDescribe(bool input, UINT id, std::string &name, bool &ours)
{
    MIDIOUTCAPSW caps = {};  // the input record's fields come first and alike
    static_assert(offsetof(MIDIINCAPSW, szPname) == offsetof(MIDIOUTCAPSW, szPname), "caps");
    MMRESULT result = input ? library.midMessage(id, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps),
                                                 sizeof(MIDIINCAPSW))
                            : library.modMessage(id, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps),
                                                 sizeof caps);
    caps.szPname[MAXPNAMELEN - 1] = 0;
    name = Utf8(caps.szPname);
    ours = result == MMSYSERR_NOERROR;
    return result;
}

MMRESULT LibraryOpen(UINT id, bool input, DWORD_PTR callback, DWORD_PTR instance, OpenPort &port)
{
    port = {id, input, 0, {}};
    MIDIOPENDESC desc = {};
    desc.dwCallback = callback;
    desc.dwInstance = instance;
    DWORD flags = callback ? CALLBACK_FUNCTION : CALLBACK_NULL;
    MessageFn call = input ? library.midMessage : library.modMessage;
    return call(id, input ? MIDM_OPEN : MODM_OPEN, reinterpret_cast<DWORD_PTR>(&port.handle),
                reinterpret_cast<DWORD_PTR>(&desc), flags);
}

MMRESULT LibraryOpenOutput(UINT id, OpenPort &port) { return LibraryOpen(id, false, 0, 0, port); }

MMRESULT LibraryOpenInput(UINT id, InputProc proc, DWORD_PTR instance, OpenPort &port)
{
    return LibraryOpen(id, true, reinterpret_cast<DWORD_PTR>(proc), instance, port);
}

MMRESULT LibraryShort(OpenPort &port, DWORD packed) { return Message(port, MODM_DATA, packed, 0); }

// The driver leaves preparing to winmm, which only marks the header.
MMRESULT LibraryLong(OpenPort &port, const uint8_t *data, DWORD length)
{
    MIDIHDR header = {};
    header.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t *>(data));
    header.dwBufferLength = length;
    header.dwFlags = MHDR_PREPARED;
    MMRESULT result = Message(port, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header), sizeof header);
    return result == MMSYSERR_NOERROR ? WaitDone(header) : result;
}

MMRESULT LibraryAddBuffer(OpenPort &port, MIDIHDR *header)
{
    header->dwFlags = MHDR_PREPARED;
    MMRESULT result = Message(port, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(header), sizeof *header);
    if (result == MMSYSERR_NOERROR) port.buffers.push_back(header);
    return result;
}

MMRESULT LibraryStart(OpenPort &port) { return Message(port, MIDM_START, 0, 0); }

MMRESULT LibraryReset(OpenPort &port) { return Message(port, port.input ? MIDM_RESET : MODM_RESET, 0, 0); }

MMRESULT LibraryClose(OpenPort &port)
{
    if (port.input) Message(port, MIDM_RESET, 0, 0);
    port.buffers.clear();
    return Message(port, port.input ? MIDM_CLOSE : MODM_CLOSE, 0, 0);
}

const Backend Library = {
    "library",         LibraryLoad,      LibraryUnload, LibraryCount, LibraryDescribe,
    LibraryOpenOutput, LibraryOpenInput, LibraryShort,  LibraryLong,  LibraryAddBuffer,
    LibraryStart,      LibraryReset,     LibraryClose,
};

}  // namespace

const Backend *ConnectDriver(Args &args, bool &bad)
{
    std::string dll;
    bool direct = TakeOption(args, "--dll", dll, bad);
    if (bad) return nullptr;
    const Backend *backend = direct ? &Library : &Winmm;
    return backend->Load(dll) ? backend : nullptr;
}

const Backend *SystemBackend() { return &Winmm; }

bool SendToLibrary(const std::string &dll, UINT message)
{
    if (!LibraryLoad(dll)) return false;
    SendDriver(message);
    LibraryUnload();
    return true;
}

void DisconnectDriver(const Backend *backend)
{
    if (backend) backend->Unload();
}

std::string ResultText(MMRESULT result)
{
    char text[MAXERRORLENGTH] = {};
    if (midiOutGetErrorTextA(result, text, sizeof text) != MMSYSERR_NOERROR) text[0] = 0;
    char line[MAXERRORLENGTH + 32];
    snprintf(line, sizeof line, "%s (MMRESULT %u)", text[0] ? text : "unknown error", result);
    return line;
}
