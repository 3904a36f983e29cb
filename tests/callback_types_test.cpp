// Client notifications of an output port, for every callback type a client
// can ask for: the port is opened, a buffer is sent and the port is closed
// through modMessage, and each notification is watched where that type
// delivers it (function, event, window, thread message queue, or the
// driver's own direct call).
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include <vector>

namespace {

using netsupport::Notification;
using netsupport::Recorder;

const HMIDI kHandle = reinterpret_cast<HMIDI>(0x5A5A);

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

std::vector<Posted> windowMessages;

LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= MM_MOM_OPEN && message <= MM_MOM_DONE)
        windowMessages.push_back({message, wParam, lParam});
    return DefWindowProcW(window, message, wParam, lParam);
}

class Callbacks : public testing::Test {
protected:
    void SetUp() override { netsupport::SetUnits({{DirectionOutput, 0x352441C2, 5}}); }
    void TearDown() override { netsupport::ClearUnits(); }

    // Open, one empty long buffer (done at once, nothing on the network),
    // close. Returns false when a step fails.
    bool Lifecycle(DWORD_PTR callback, DWORD_PTR clientInstance, DWORD flags)
    {
        DWORD_PTR instance = 0;
        DWORD opened = netsupport::OpenPort(modMessage, MODM_OPEN, 0, &instance, callback,
                                            clientInstance, flags, kHandle);
        EXPECT_EQ(opened, static_cast<DWORD>(MMSYSERR_NOERROR));
        if (opened != MMSYSERR_NOERROR) return false;
        MidiPort *port = reinterpret_cast<MidiPort *>(instance);
        header_ = {};
        header_.dwFlags = MHDR_PREPARED;
        EXPECT_EQ(netsupport::Send(port, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header_),
                                   sizeof header_),
                  static_cast<DWORD>(MMSYSERR_NOERROR));
        EXPECT_EQ(netsupport::ClosePort(port), static_cast<DWORD>(MMSYSERR_NOERROR));
        return true;
    }

    MIDIHDR header_ = {};
};

// A function gets winmm's handle, on the calling thread; the direct call
// (the driver's own client) gets none.
TEST_F(Callbacks, FunctionAndDirectCallGetEveryNotification)
{
    for (DWORD flags : {DWORD(CALLBACK_FUNCTION), DWORD(CALLBACK_DIRECT)}) {
        SCOPED_TRACE(flags == CALLBACK_FUNCTION ? "function" : "direct");
        Recorder recorder;
        ASSERT_TRUE(Lifecycle(reinterpret_cast<DWORD_PTR>(netsupport::RecordingCallback),
                              reinterpret_cast<DWORD_PTR>(&recorder), flags));
        std::vector<Notification> seen = recorder.Take();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].message, static_cast<UINT>(MOM_OPEN));
        EXPECT_EQ(seen[1].message, static_cast<UINT>(MOM_DONE));
        EXPECT_EQ(seen[1].param1, reinterpret_cast<DWORD_PTR>(&header_));
        EXPECT_EQ(seen[2].message, static_cast<UINT>(MOM_CLOSE));
        HDRVR device = flags == CALLBACK_FUNCTION ? reinterpret_cast<HDRVR>(kHandle) : nullptr;
        for (const Notification &n : seen) {
            EXPECT_EQ(n.device, device);
            EXPECT_EQ(n.instance, reinterpret_cast<DWORD_PTR>(&recorder));
        }
        if (flags != CALLBACK_FUNCTION) continue;
        for (const Notification &n : seen) {
            EXPECT_EQ(n.threadId, GetCurrentThreadId());
            EXPECT_EQ(n.param2, 0u);
        }
        EXPECT_EQ(seen[0].param1, 0u);
        EXPECT_EQ(seen[2].param1, 0u);
    }
}

TEST_F(Callbacks, EventIsSetForEachNotification)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    DWORD_PTR instance = 0;
    ASSERT_EQ(netsupport::OpenPort(modMessage, MODM_OPEN, 0, &instance,
                                   reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT, kHandle),
              static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "MOM_OPEN";
    MidiPort *port = reinterpret_cast<MidiPort *>(instance);

    MIDIHDR header = {};
    header.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(netsupport::Send(port, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "MOM_DONE";

    // No notification: an unprepared buffer is refused.
    header.dwFlags = 0;
    EXPECT_EQ(netsupport::Send(port, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)),
              static_cast<DWORD>(MIDIERR_UNPREPARED));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(netsupport::ClosePort(port), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "MOM_CLOSE";
    CloseHandle(event);
}

TEST_F(Callbacks, WindowReceivesOpenDoneAndClose)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"TessmarCallbackWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"TessmarCallbackWindow", L"callbacks", WS_OVERLAPPEDWINDOW, 0, 0,
                                100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    windowMessages.clear();

    ASSERT_TRUE(Lifecycle(reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW));
    // The notifications are posted: they arrive through the message loop.
    MSG message;
    DWORD deadline = GetTickCount() + 2000;
    while (windowMessages.size() < 3 && GetTickCount() < deadline) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
    ASSERT_EQ(windowMessages.size(), 3u);
    EXPECT_EQ(windowMessages[0].message, static_cast<UINT>(MM_MOM_OPEN));
    EXPECT_EQ(windowMessages[1].message, static_cast<UINT>(MM_MOM_DONE));
    EXPECT_EQ(windowMessages[2].message, static_cast<UINT>(MM_MOM_CLOSE));
    for (const Posted &posted : windowMessages)
        EXPECT_EQ(posted.wParam, reinterpret_cast<WPARAM>(kHandle));
    EXPECT_EQ(windowMessages[1].lParam, reinterpret_cast<LPARAM>(&header_));
    DestroyWindow(window);
}

struct QueueThread {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<Posted> received;
    DWORD id = 0;

    static DWORD WINAPI Run(LPVOID context)
    {
        QueueThread *self = static_cast<QueueThread *>(context);
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // make the queue
        SetEvent(self->ready);
        while (GetMessageW(&message, nullptr, 0, 0) > 0)
            self->received.push_back({message.message, message.wParam, message.lParam});
        return 0;
    }
};

TEST_F(Callbacks, ThreadQueueReceivesOpenDoneAndClose)
{
    QueueThread queue;
    HANDLE thread = CreateThread(nullptr, 0, QueueThread::Run, &queue, 0, &queue.id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(queue.ready, 5000), WAIT_OBJECT_0);

    ASSERT_TRUE(Lifecycle(queue.id, 0, CALLBACK_THREAD));
    PostThreadMessageW(queue.id, WM_QUIT, 0, 0);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(queue.ready);

    ASSERT_EQ(queue.received.size(), 3u);
    EXPECT_EQ(queue.received[0].message, static_cast<UINT>(MM_MOM_OPEN));
    EXPECT_EQ(queue.received[1].message, static_cast<UINT>(MM_MOM_DONE));
    EXPECT_EQ(queue.received[1].lParam, reinterpret_cast<LPARAM>(&header_));
    EXPECT_EQ(queue.received[2].message, static_cast<UINT>(MM_MOM_CLOSE));
}

TEST_F(Callbacks, NullTypeAndNoCallbackDeliverNothing)
{
    // CALLBACK_NULL goes to winmm, which delivers nothing, even with a
    // callback value that would be a valid event.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(Lifecycle(reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_NULL));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);

    // No callback at all, whatever type the flags name: no call is made
    // (a call through a zero function would not return).
    EXPECT_TRUE(Lifecycle(0, 0, CALLBACK_FUNCTION));
    EXPECT_TRUE(Lifecycle(0, 0, CALLBACK_DIRECT));
    EXPECT_TRUE(header_.dwFlags & MHDR_DONE);
}

TEST(CallbackRouting, WholeHighWordReachesWinmm)
{
    // Bits beside the type in the high word do not turn a function callback
    // into a direct call: only the exact direct type bypasses winmm.
    Recorder recorder;
    MidiPort port = {};
    port.dwCallback = reinterpret_cast<DWORD_PTR>(netsupport::RecordingCallback);
    port.dwInstance = reinterpret_cast<DWORD_PTR>(&recorder);
    port.hMidi = kHandle;
    port.dwFlags = CALLBACK_FUNCTION | 0x00080000;  // winmm's DCB_NOSWITCH bit
    midiCallBack(&port, MOM_DONE, 7, 8);
    port.dwFlags = CALLBACK_DIRECT | 0x00080000 | MIDI_IO_STATUS;
    midiCallBack(&port, MOM_CLOSE, 9, 10);
    std::vector<Notification> seen = recorder.Take();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].device, reinterpret_cast<HDRVR>(kHandle));
    EXPECT_EQ(seen[0].param1, 7u);
    EXPECT_EQ(seen[0].param2, 8u);
    EXPECT_EQ(seen[1].device, nullptr);
    EXPECT_EQ(seen[1].message, static_cast<UINT>(MOM_CLOSE));
    EXPECT_EQ(seen[1].param2, 10u);
}

}  // namespace
