// What an output port puts on the network for modMessage's messages, and
// what it answers, as seen by a socket bound to port 12555.
#include <gtest/gtest.h>
#include "diag/log.h"
#include "support/net_ports.h"
#include <memory>

namespace {

using namespace netsupport;

class Output : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        SetUnits({{DirectionOutput, 0x352441C2, 5}});
        capture.reset(new Capture());
        port.reset(new Client(modMessage, false, 0));
        ASSERT_TRUE(capture->ok() && port->open());
        port->recorder.Take();
    }
    void TearDown() override { port.reset(); capture.reset(); PortTest::TearDown(); }
    std::unique_ptr<Capture> capture;
    std::unique_ptr<Client> port;
};

// A data byte first continues the last status message with its length;
// real time leaves that length; with nothing to continue nothing is sent.
TEST_F(Output, ShortMessagesAndRunningStatus)
{
    struct Step {
        DWORD packed;
        std::vector<BYTE> sent;
    } steps[] = {{0x403C, {}},  // a data byte first on a fresh port
                 {0x403C90, {0x90, 0x3C, 0x40}}, {0x003C, {0x3C, 0x00}}, {0xF8, {0xF8}},
                 {0x103E, {0x3E, 0x10}},         {0x07C5, {0xC5, 0x07}}, {0x07, {0x07}},
                 {0x5544D3, {0xD3, 0x44}},       {0xF6, {0xF6}},         {0x2211, {}}};
    DWORD sequence = 1, sender = 0;
    for (const Step &step : steps) {
        EXPECT_EQ(port->Send(MODM_DATA, step.packed), 0u);
        std::vector<Datagram> packets = capture->Drain(150);
        ASSERT_EQ(packets.size(), step.sent.empty() ? 0u : 1u) << step.packed;
        if (packets.empty()) continue;
        EXPECT_EQ(packets[0].data, step.sent) << step.packed;
        EXPECT_EQ(packets[0].sequence, sequence++);
        EXPECT_EQ(packets[0].senderId, sender ? sender : (sender = packets[0].senderId));
        EXPECT_NE(packets[0].fromPort, NetworkPort) << "from an ephemeral port of its own";
    }
    EXPECT_TRUE(port->recorder.Take().empty()) << "short messages are not acknowledged";
}

// (An empty buffer and an unprepared one: see the callback tests.)
TEST_F(Output, ResultCodesOfTheOtherMessages)
{
    std::vector<BYTE> data = {0xF0, 0x01, 0x02, 0xF7};
    MIDIHDR header = testsupport::PreparedHeader(data);
    for (UINT message : {UINT(MODM_PREPARE), UINT(MODM_UNPREPARE), 0u, 12u, 31u, 0x4000u})
        EXPECT_EQ(port->Send(message, (DWORD_PTR)&header), (DWORD)MMSYSERR_NOTSUPPORTED) << message;
    EXPECT_EQ(header.dwFlags, (DWORD)MHDR_PREPARED);
    EXPECT_EQ(port->Send(MODM_LONGDATA, 0), (DWORD)MMSYSERR_INVALPARAM);
    // A header smaller than its fields that the driver uses: not read at all.
    EXPECT_EQ(port->Send(MODM_LONGDATA, (DWORD_PTR)&header, offsetof(MIDIHDR, dwOffset) - 1),
              (DWORD)MMSYSERR_INVALPARAM);
    EXPECT_EQ(port->Send(MODM_RESET), 0u);
    EXPECT_TRUE(capture->Drain(200).empty()) << "refusals and reset send nothing";
    EXPECT_TRUE(port->recorder.Take().empty());
    // Messages that need a port, without one.
    EXPECT_EQ(modMessage(0, MODM_DATA, 0, 0x403C90, 0), (DWORD)MMSYSERR_ERROR);
    EXPECT_EQ(modMessage(0, MODM_CLOSE, 0, 0, 0), (DWORD)MMSYSERR_ERROR);
}

TEST_F(Output, FailedSendIsReportedAndNotAcknowledged)
{
    // The socket closed under the port (the unit has its handle): "not a socket".
    closesocket(pUnits[0].OpenHandle);
    EXPECT_EQ(port->Send(MODM_DATA, 0x403C90), (DWORD)MMSYSERR_NOTSUPPORTED);
    std::vector<BYTE> bytes = testsupport::SysexMessage(1000);
    MIDIHDR header = testsupport::PreparedHeader(bytes);
    EXPECT_EQ(port->Long(header), (DWORD)MMSYSERR_NOTSUPPORTED);
    EXPECT_TRUE(header.dwFlags & MHDR_DONE);
    EXPECT_TRUE(port->recorder.Take().empty()) << "no MOM_DONE after a failed send";
}

TEST_F(Output, LogTracesTheSendAtLevelTwo)
{
    DebugLevel = 2;
    nomore = 0;  // this process's log file
    port->Send(MODM_DATA, 0x403C90);
    DebugLevel = 0;
    nomore = 1;
    std::string log = testsupport::ReadFileBytes(testsupport::LogFilePath(GetCurrentProcessId()));
    size_t at = 0;
    for (const char *line : {"Tessmar: Writing 19 bytes 90 3c connected 0 connectenabled 0\r\n",
                             "Tessmar:         to show '' group 5 (90)\r\n",
                             "Tessmar:  write finished\r\n"})
        ASSERT_NE(at = log.find(line, at), std::string::npos) << line;
}

}  // namespace
