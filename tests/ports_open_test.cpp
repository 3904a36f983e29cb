// Opening and closing output ports through modMessage: the refusals and
// what they leave behind, Winsock started by the first port and released
// by the last, and many opens that leave no trace. Nothing here is sent.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include <memory>

namespace {

using namespace netsupport;

class PortOpen : public testing::Test {
protected:
    void SetUp() override
    {
        // Output 0, input 0, output 1.
        SetUnits({{DirectionOutput, 0x352441C2, 5},
                  {DirectionInput, 0x352441C2, 5},
                  {DirectionOutput, 0x11111111, 0x80000000}});
        TCPClientServer = 0;
    }
    void TearDown() override { ClearUnits(); }
};

// Whether this process can make a socket: only while a port holds Winsock
// (the test itself holds none).
bool WinsockStarted()
{
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int error = WSAGetLastError();
    closesocket(probe);
    return probe != INVALID_SOCKET || error != WSANOTINITIALISED;
}

TEST_F(PortOpen, RefusalsLeaveNothingBehindAndTheLastCloseReleasesWinsock)
{
    EXPECT_FALSE(WinsockStarted());
    std::unique_ptr<Client> first(new Client(modMessage, false, 0));
    Client second(modMessage, false, 1);
    ASSERT_TRUE(first->open() && second.open());
    Recorder recorder;
    Resources before = Measure();
    DWORD_PTR instance = 0xDEAD;
    struct Row {
        MessageProc proc;
        UINT device;
        DWORD expected;
    } rows[] = {{modMessage, 2, MMSYSERR_BADDEVICEID},
                {modMessage, 0xFFFFFFFF, MMSYSERR_BADDEVICEID},
                {midMessage, 1, MMSYSERR_BADDEVICEID},  // an output-only unit has no input number
                {modMessage, 0, MMSYSERR_ALLOCATED}};
    for (const Row &row : rows)
        EXPECT_EQ(OpenPort(row.proc, row.proc == midMessage, row.device, &instance, &recorder),
                  row.expected) << row.device;
    // No open description or no instance location: refused before anything.
    MIDIOPENDESC desc = {};
    EXPECT_EQ(modMessage(0, MODM_OPEN, (DWORD_PTR)&instance, 0, 0), (DWORD)MMSYSERR_INVALPARAM);
    EXPECT_EQ(modMessage(0, MODM_OPEN, 0, (DWORD_PTR)&desc, 0), (DWORD)MMSYSERR_INVALPARAM);
    EXPECT_EQ(instance, DWORD_PTR(0xDEAD));
    EXPECT_TRUE(recorder.Take().empty());
    ExpectUnchanged(before);  // no Winsock reference taken or released
    MIDIHDR header = {};      // the port works: an empty buffer goes through the writer
    header.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(first->Long(header), 0u);

    first.reset();
    EXPECT_TRUE(WinsockStarted()) << "the other port keeps Winsock";
    EXPECT_EQ(second.Close(), 0u);
    EXPECT_FALSE(WinsockStarted());
    Client reopened(modMessage, false, 0);
    EXPECT_TRUE(reopened.open());
    EXPECT_TRUE(WinsockStarted());
}

// The driver is linked into this test, so its WSAStartup goes through the
// test's import address table: pointed at a routine that fails as the
// system does, Winsock fails to start for the driver alone.
typedef int(WSAAPI *StartupProc)(WORD, LPWSADATA);
extern "C" StartupProc __imp_WSAStartup;
int WSAAPI NotReady(WORD, LPWSADATA) { return WSASYSNOTREADY; }

void PointStartupAt(StartupProc proc)
{
    DWORD old;
    VirtualProtect(&__imp_WSAStartup, sizeof proc, PAGE_READWRITE, &old);
    __imp_WSAStartup = proc;
    VirtualProtect(&__imp_WSAStartup, sizeof proc, old, &old);
}

// An open whose Winsock start fails releases no Winsock it did not start:
// the program's own reference, and so its sockets, stay.
TEST_F(PortOpen, AWinsockThatFailsToStartIsNotReleased)
{
    testsupport::WinsockUp();
    SOCKET own = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    StartupProc real = __imp_WSAStartup;
    PointStartupAt(NotReady);
    DWORD_PTR instance = 0;
    Recorder recorder;
    DWORD result = OpenPort(modMessage, false, 0, &instance, &recorder);
    PointStartupAt(real);
    EXPECT_EQ(result, (DWORD)MMSYSERR_ERROR);
    EXPECT_EQ(wsacount, 0);
    int type = 0, size = sizeof type;
    EXPECT_EQ(getsockopt(own, SOL_SOCKET, SO_TYPE, (char *)&type, &size), 0) << "own socket closed";
    closesocket(own);
    testsupport::WinsockDown();
}

TEST_F(PortOpen, ManyOpensLeaveNoHandleHeapBlockOrReference)
{
    delete new Client(modMessage, false, 0);  // lazily made system objects come first
    Resources before = Measure();
    // While one thread opens and closes, the driver-wide lock is mostly
    // free: an open pauses before it takes the lock, not inside it, or
    // every other call of the process would wait behind each open (sixteen
    // threads' calls once waited for seconds).
    static volatile LONG opening = 1;
    HANDLE opener = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        for (int i = 0; i < 200; ++i) {
            Client port(modMessage, false, i % 2);
            if (port.Close() != 0 || port.recorder.Messages() != std::vector<DWORD>{MOM_OPEN, MOM_CLOSE}) return 1;
        }
        opening = 0;
        return 0;
    }, nullptr, 0, nullptr);
    int free = 0, samples = 0;
    for (; opening; ++samples, Sleep(1)) {
        if (!TryEnterCriticalSection(&mmDrvCritSec)) continue;
        ++free;
        LeaveCriticalSection(&mmDrvCritSec);
    }
    DWORD failed = 1;
    WaitForSingleObject(opener, INFINITE);
    GetExitCodeThread(opener, &failed);
    CloseHandle(opener);
    EXPECT_EQ(failed, 0u);
    EXPECT_GT(free * 2, samples) << free << " of " << samples << " samples found the lock free";
    ExpectUnchanged(before);
}

}  // namespace
