// End to end, as winmm drives a driver: a configuration in the test
// prefix's registry, DRV_LOAD, then an application's output port opened,
// played into and closed through modMessage; once through the static
// library and once through the real Tessmar.dll.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include "support/support.h"
#include <string.h>

namespace {

using netsupport::Packet;
using netsupport::Recorder;

struct Entry {
    const char *name;
    bool dll;
};

class OutputEndToEnd : public testing::TestWithParam<Entry> {
protected:
    void SetUp() override
    {
        testsupport::WinsockUp();
        // Registry order is Client0, Client1, Server0: outputs 0 and 1.
        testsupport::WriteConfig({{false, 0, 5, L"Stage left"},
                                  {true, 1, 1, L"Monitor in"},
                                  {false, 1, 0x30, L"Stage right"}},
                                 {L"abc", L"Main"});
        if (GetParam().dll) {
            ASSERT_TRUE(dll_.Load());
            driverProc_ = dll_.driverProc;
            modMessage_ = dll_.modMessage;
        } else {
            driverProc_ = DriverProc;
            modMessage_ = modMessage;
        }
        ASSERT_NE(Send(DRV_LOAD), 0);
        Send(DRV_ENABLE);
        Send(DRV_OPEN);
    }
    void TearDown() override
    {
        Send(DRV_CLOSE);
        Send(DRV_DISABLE);
        Send(DRV_FREE);
        dll_.Unload();
        testsupport::DeleteProductKey();
        testsupport::WinsockDown();
    }

    LRESULT Send(UINT message)
    {
        return driverProc_(1, reinterpret_cast<HDRVR>(dll_.module), message, 0, 0);
    }
    DWORD Message(DWORD_PTR instance, UINT message, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0)
    {
        return modMessage_(0, message, instance, p1, p2);
    }

    testsupport::DriverDll dll_;
    LRESULT(CALLBACK *driverProc_)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM) = nullptr;
    netsupport::DriverMessageProc modMessage_ = nullptr;
};

TEST_P(OutputEndToEnd, ApplicationPlaysIntoAConfiguredPort)
{
    EXPECT_EQ(modMessage_(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);

    netsupport::Capture capture;
    ASSERT_TRUE(capture.ok());
    Recorder recorder;
    DWORD_PTR instance = 0;
    ASSERT_EQ(netsupport::OpenPort(modMessage_, MODM_OPEN, 0, &instance,
                                   reinterpret_cast<DWORD_PTR>(netsupport::RecordingCallback),
                                   reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION),
              0u);
    ASSERT_NE(instance, 0u);

    // Refusals: no third output, and the port is taken.
    DWORD_PTR other = 0;
    EXPECT_EQ(netsupport::OpenPort(modMessage_, MODM_OPEN, 2, &other, 0, 0, 0),
              static_cast<DWORD>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(netsupport::OpenPort(modMessage_, MODM_OPEN, 0, &other, 0, 0, 0),
              static_cast<DWORD>(MMSYSERR_ALLOCATED));

    // A note-on from the port of show abc, groups 5.
    ASSERT_EQ(Message(instance, MODM_DATA, 0x403C90), 0u);
    BYTE raw[512];
    int got = testsupport::ReceiveDatagram(capture.socket(), raw, sizeof raw, 2000);
    ASSERT_EQ(got, 19);
    const BYTE tail[15] = {1, 0, 0, 0, 0xC2, 0x41, 0x24, 0x35, 5, 0, 0, 0, 0x90, 0x3C, 0x40};
    EXPECT_EQ(memcmp(raw + 4, tail, sizeof tail), 0);
    DWORD sender;
    memcpy(&sender, raw, 4);

    // A long buffer: three pieces, numbered on, acknowledged once.
    std::vector<BYTE> block = testsupport::SysexMessage(1000, 0x55, 0);
    MIDIHDR header = testsupport::PreparedHeader(block);
    EXPECT_EQ(Message(instance, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header), sizeof header),
              0u);
    std::vector<Packet> packets = capture.Drain();
    ASSERT_EQ(packets.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(packets[i].senderId, sender);
        EXPECT_EQ(packets[i].sequence, static_cast<DWORD>(i + 2));
    }
    EXPECT_EQ(packets[2].length, 248);

    // The second output port belongs to the show Main, groups 0x30.
    DWORD_PTR second = 0;
    ASSERT_EQ(netsupport::OpenPort(modMessage_, MODM_OPEN, 1, &second, 0, 0, 0), 0u);
    EXPECT_EQ(modMessage_(1, MODM_DATA, second, 0xF8, 0), 0u);
    Packet packet;
    ASSERT_TRUE(capture.Next(&packet));
    EXPECT_EQ(packet.groups, 0x30u);
    EXPECT_NE(packet.showNumber, 0x352441C2u);
    EXPECT_NE(packet.senderId, sender);
    EXPECT_EQ(packet.sequence, 1u);
    EXPECT_EQ(modMessage_(1, MODM_CLOSE, second, 0, 0), 0u);

    EXPECT_EQ(Message(instance, MODM_RESET), 0u);
    EXPECT_EQ(Message(instance, MODM_CLOSE), 0u);
    EXPECT_TRUE(capture.Drain(200).empty());
    EXPECT_EQ(recorder.Messages(), (std::vector<UINT>{MOM_OPEN, MOM_DONE, MOM_CLOSE}));

    // Closed for good: the same device opens again as a new sender.
    ASSERT_EQ(netsupport::OpenPort(modMessage_, MODM_OPEN, 0, &other, 0, 0, 0), 0u);
    EXPECT_EQ(Message(other, MODM_DATA, 0xFE), 0u);
    ASSERT_TRUE(capture.Next(&packet));
    EXPECT_EQ(packet.sequence, 1u);
    EXPECT_NE(packet.senderId, sender);
    EXPECT_EQ(Message(other, MODM_CLOSE), 0u);
}

INSTANTIATE_TEST_SUITE_P(Entries, OutputEndToEnd,
                         testing::Values(Entry{"StaticLibrary", false}, Entry{"Dll", true}),
                         [](const testing::TestParamInfo<Entry> &info) { return info.param.name; });

}  // namespace
