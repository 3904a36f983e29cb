// An input port under a flood: datagrams keep arriving at 12555, so that
// the port's thread always has one to handle. Commands to the started port
// must still be carried out at once, and system-exclusive messages that
// arrive meanwhile must fill the buffers that the client adds meanwhile.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include <memory>

namespace {

using namespace netsupport;
typedef std::vector<BYTE> Bytes;

constexpr DWORD Show = 0x352441C2;
constexpr DWORD kCommandMs = 250;  // generous: a command takes a few milliseconds

volatile LONG handled, delivered;  // probes and system-exclusive messages delivered

void Count(const Note &note)
{
    if (note.message == MIM_DATA) InterlockedIncrement(&handled);
    if (note.message == MIM_LONGDATA) InterlockedIncrement(&delivered);
}

// Two threads flooding 12555 for `ms` milliseconds with packets of another
// show. Every tenth is a probe that the port delivers (active sensing), so
// its progress shows: the flood keeps about 300 packets waiting in the
// port's socket, which then never runs empty and never overflows (a full
// socket would drop the test's messages). `messages` go out one every
// 100 ms from 500 ms on.
class Flood {
public:
    explicit Flood(DWORD ms, const std::vector<Bytes> &messages = {}) : ms_(ms), messages_(messages)
    {
        static LONG floods = 0;
        prober_ = 0xBEEF0000 + ++floods;  // a new sender each time
        handled = 0;
        for (HANDLE &thread : threads_) thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        Sleep(200);  // under way
    }
    ~Flood()
    {
        stop_ = true;
        WaitForMultipleObjects(2, threads_, TRUE, INFINITE);
        for (HANDLE thread : threads_) CloseHandle(thread);
    }

private:
    static DWORD WINAPI Run(LPVOID self) { return static_cast<Flood *>(self)->Send(); }
    DWORD Send()
    {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, (const char *)&on, sizeof on);
        sockaddr_in to = testsupport::NetworkPortAddress(0x7FFFFFFF);
        auto send = [&](const Bytes &p) {
            sendto(s, (const char *)p.data(), int(p.size()), 0, (sockaddr *)&to, sizeof to);
        };
        const Bytes noise = PacketBytes(1, 1, Show ^ 0xFF, 1, {0x90, 0x3C, 0x40});
        for (DWORD start = GetTickCount(), ms = 0; !stop_ && ms < ms_;
             ms = GetTickCount() - start) {
            LONG next = next_;
            if (next < LONG(messages_.size()) && ms >= 500 + 100u * next &&
                InterlockedCompareExchange(&next_, next + 1, next) == next)
                send(messages_[next]);
            if ((probes_ - handled) * 10 >= 300) {
                Sleep(1);
                continue;
            }
            for (int i = 0; i < 9; ++i) send(noise);
            send(PacketBytes(prober_, InterlockedIncrement(&probes_), Show, 1, {0xFE}));
        }
        closesocket(s);
        return 0;
    }
    const DWORD ms_;
    const std::vector<Bytes> messages_;
    DWORD prober_;
    volatile LONG probes_ = 0, next_ = 0;
    volatile bool stop_ = false;
    HANDLE threads_[2];
};

class InputFlood : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        SetUnits({{DirectionInput, Show, 1}});
        port.reset(new Client(midMessage, true, 0));
        ASSERT_TRUE(port->open());
        port->recorder.hook = Count;
        delivered = 0;
    }
    void TearDown() override
    {
        port.reset();
        PortTest::TearDown();
    }
    std::vector<ClientBuffer> buffers = std::vector<ClientBuffer>(5);  // outlive the port
    std::unique_ptr<Client> port;
};

TEST_F(InputFlood, CommandsToAStartedPortReturnAtOnce)
{
    ASSERT_EQ(port->Add(buffers[0]), 0u);
    ASSERT_EQ(port->Send(MIDM_START), 0u);
    struct Step {
        const char *name;
        UINT message;
        DWORD_PTR argument;
    } steps[] = {{"MIDM_ADDBUFFER", MIDM_ADDBUFFER, (DWORD_PTR)&buffers[1].header},
                 {"MIDM_START again", MIDM_START, 0}, {"MIDM_STOP", MIDM_STOP, 0},
                 {"MIDM_START", MIDM_START, 0},  // a start drops what waited, for a few ms at most
                 {"MIDM_RESET", MIDM_RESET, 0}, {"MIDM_START", MIDM_START, 0},
                 {"MIDM_CLOSE", MIDM_CLOSE, 0}};
    for (const Step &step : steps) {
        Flood flood(2500);
        DWORD start = GetTickCount();
        EXPECT_EQ(port->Send(step.message, step.argument, sizeof(MIDIHDR)), 0u) << step.name;
        EXPECT_LT(GetTickCount() - start, kCommandMs) << step.name;
    }
    port->openResult = MMSYSERR_ERROR;  // closed by the last step
}

TEST_F(InputFlood, SysexDuringAFloodFillsTheBuffersAddedDuringIt)
{
    std::vector<Bytes> messages;
    for (int i = 0; i < 5; ++i)
        messages.push_back(PacketBytes(0xABCD, i + 1, Show, 1, testsupport::SysexMessage(20, i)));
    ASSERT_EQ(port->Add(buffers[0]), 0u);
    ASSERT_EQ(port->Add(buffers[1]), 0u);
    ASSERT_EQ(port->Send(MIDM_START), 0u);
    {
        Flood flood(2000, messages);
        for (int i = 2; i < 5; ++i) {
            DWORD start = GetTickCount();
            EXPECT_EQ(port->Add(buffers[i]), 0u);
            EXPECT_LT(GetTickCount() - start, kCommandMs) << "MIDM_ADDBUFFER " << i;
        }
        for (int wait = 0; wait < 150 && delivered < 5; ++wait) Sleep(10);
    }
    EXPECT_EQ(delivered, 5) << "messages delivered";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(buffers[i].Recorded(), testsupport::SysexMessage(20, i)) << i;
}

}  // namespace
