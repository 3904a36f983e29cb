// Client notifications of an output port for every callback type a client
// can ask for: open, an empty long buffer (done at once, nothing sent), a
// refused buffer and close through modMessage, each notification watched
// where that type delivers it (function, direct call, event, window, thread).
#include <gtest/gtest.h>
#include "support/net_ports.h"

namespace {

using namespace netsupport;

const HMIDI kHandle = reinterpret_cast<HMIDI>(0x5A5A);
const std::vector<DWORD> kLifecycle = {MOM_OPEN, MOM_DONE, MOM_CLOSE};

class Callbacks : public testing::Test {
protected:
    void SetUp() override { SetUnits({{DirectionOutput, 0x352441C2, 5}}); }
    void TearDown() override { ClearUnits(); }

    // `between` runs after each step that notifies.
    void Lifecycle(DWORD_PTR callback, DWORD flags, DWORD_PTR instance = 0,
                   void (*between)(DWORD_PTR callback, const char *step) = nullptr)
    {
        MIDIOPENDESC desc = {kHandle, callback, instance, 0, 0, {}};
        DWORD_PTR port = 0;
        ASSERT_EQ(modMessage(0, MODM_OPEN, (DWORD_PTR)&port, (DWORD_PTR)&desc, flags), 0u);
        if (between) between(callback, "open");
        header = {};
        header.dwFlags = MHDR_PREPARED;
        EXPECT_EQ(modMessage(0, MODM_LONGDATA, port, (DWORD_PTR)&header, sizeof header), 0u);
        if (between) between(callback, "done");
        MIDIHDR unprepared = {};
        EXPECT_EQ(modMessage(0, MODM_LONGDATA, port, (DWORD_PTR)&unprepared, sizeof header),
                  (DWORD)MIDIERR_UNPREPARED);
        EXPECT_EQ(modMessage(0, MODM_CLOSE, port, 0, 0), 0u);
        if (between) between(callback, "close");
    }

    MIDIHDR header = {};
};

// winmm passes its device handle to a function; the driver's own direct
// type calls with none. Only the exact direct type bypasses winmm, whatever
// other bits the high word holds (winmm's DCB_NOSWITCH, MIDI_IO_STATUS).
TEST_F(Callbacks, FunctionAndDirectCallOnTheCallingThread)
{
    struct Row {
        DWORD flags;
        HDRVR device;
    } rows[] = {{CALLBACK_FUNCTION, (HDRVR)kHandle}, {CALLBACK_FUNCTION | 0x80000, (HDRVR)kHandle},
                {CALLBACK_DIRECT, nullptr}, {CALLBACK_DIRECT | 0x80000 | MIDI_IO_STATUS, nullptr}};
    for (const Row &row : rows) {
        Recorder recorder;
        Lifecycle((DWORD_PTR)&RecordingCallback, row.flags, (DWORD_PTR)&recorder);
        std::vector<Note> seen = recorder.Take();
        ASSERT_EQ(seen.size(), 3u) << row.flags;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(seen[i].message == kLifecycle[i] && seen[i].device == row.device) << row.flags;
            EXPECT_TRUE(seen[i].instance == (DWORD_PTR)&recorder && seen[i].param2 == 0) << i;
            EXPECT_EQ(seen[i].param1, i == 1 ? (DWORD_PTR)&header : 0u);
            EXPECT_EQ(seen[i].threadId, GetCurrentThreadId());
        }
    }
}

TEST_F(Callbacks, EventIsSetForEachNotificationAndNullDeliversNothing)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Lifecycle((DWORD_PTR)event, CALLBACK_EVENT, 0, [](DWORD_PTR event, const char *step) {
        EXPECT_EQ(WaitForSingleObject((HANDLE)event, 0), WAIT_OBJECT_0) << step;
    });
    // CALLBACK_NULL goes to winmm, which delivers nothing, even with a
    // value that would be a valid event.
    Lifecycle((DWORD_PTR)event, CALLBACK_NULL);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(event);
    // No callback, whatever the type: no call (a zero function would not return).
    Lifecycle(0, CALLBACK_FUNCTION);
    Lifecycle(0, CALLBACK_DIRECT);
}

// Window and thread notifications are posted: MM_MOM_* messages in the
// queue of the thread that owns the window, or of the named thread.
TEST_F(Callbacks, WindowAndThreadQueueReceiveOpenDoneAndClose)
{
    HWND window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists
    for (DWORD flags : {DWORD(CALLBACK_WINDOW), DWORD(CALLBACK_THREAD)}) {
        Lifecycle(flags == CALLBACK_WINDOW ? (DWORD_PTR)window : GetCurrentThreadId(), flags);
        std::vector<MSG> posted;
        while (PeekMessageW(&message, nullptr, MM_MOM_OPEN, MM_MOM_DONE, PM_REMOVE))
            posted.push_back(message);
        ASSERT_EQ(posted.size(), 3u) << flags;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(posted[i].message == kLifecycle[i] && posted[i].wParam == (WPARAM)kHandle) << i;
            EXPECT_EQ(posted[i].hwnd, flags == CALLBACK_WINDOW ? window : nullptr);
            EXPECT_EQ(posted[i].lParam, i == 1 ? (LPARAM)&header : 0);
        }
    }
    DestroyWindow(window);
}

}  // namespace
