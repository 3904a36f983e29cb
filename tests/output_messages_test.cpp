// What an output port puts on the network for each modMessage message, as
// seen by a socket bound to port 12555 in the test's own namespace.
#include <gtest/gtest.h>
#include "diag/log.h"
#include "support/net_ports.h"
#include "support/support.h"
#include <string.h>
#include <vector>

namespace {

using netsupport::Packet;
using netsupport::Recorder;

const DWORD kShowAbc = 0x352441C2;  // the show named abc

class Output : public testing::Test {
protected:
    void SetUp() override
    {
        testsupport::WinsockUp();
        netsupport::SetUnits({{DirectionOutput, kShowAbc, 5}, {DirectionOutput, 0, 0}});
        TCPClientServer = 0;
        capture_ = new netsupport::Capture();
        ASSERT_TRUE(capture_->ok());
        port_ = netsupport::OpenOutputPort(0, &recorder_);
        ASSERT_NE(port_, nullptr);
        recorder_.Take();
    }
    void TearDown() override
    {
        if (port_) netsupport::ClosePort(port_);
        delete capture_;
        netsupport::ClearUnits();
        testsupport::WinsockDown();
    }

    std::vector<BYTE> Payloads(const std::vector<Packet> &packets)
    {
        std::vector<BYTE> all;
        for (const Packet &p : packets) all.insert(all.end(), p.data.begin(), p.data.end());
        return all;
    }

    // Sends a long buffer and returns what arrived.
    std::vector<Packet> SendLong(const std::vector<BYTE> &bytes, DWORD *result)
    {
        MIDIHDR header = {};
        header.lpData = reinterpret_cast<LPSTR>(const_cast<BYTE *>(bytes.data()));
        header.dwBufferLength = static_cast<DWORD>(bytes.size());
        header.dwFlags = MHDR_PREPARED;
        *result = netsupport::Send(port_, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header),
                                   sizeof header);
        EXPECT_TRUE(header.dwFlags & MHDR_DONE);
        return capture_->Drain();
    }

    netsupport::Capture *capture_ = nullptr;
    MidiPort *port_ = nullptr;
    Recorder recorder_;
};

TEST_F(Output, NoteOnIsOne19BytePacketWithShowAndGroups)
{
    ASSERT_EQ(netsupport::SendShort(port_, 0x90, 0x3C, 0x40), 0u);
    BYTE raw[512];
    int got = testsupport::ReceiveDatagram(capture_->socket(), raw, sizeof raw, 2000);
    ASSERT_EQ(got, 19);
    BYTE expected[19] = {0, 0, 0, 0, 1, 0, 0, 0, 0xC2, 0x41, 0x24, 0x35, 5, 0, 0, 0,
                         0x90, 0x3C, 0x40};
    DWORD sender = port_->SenderId;
    memcpy(expected, &sender, 4);  // little-endian, as stored
    EXPECT_EQ(memcmp(raw, expected, sizeof expected), 0);
    EXPECT_EQ(port_->Sequence, 2u);
    EXPECT_TRUE(capture_->Drain(200).empty()) << "exactly one packet";
    EXPECT_TRUE(recorder_.Take().empty()) << "short messages are not acknowledged";
}

TEST_F(Output, SequenceCountsPacketsAndRestartsWithANewSender)
{
    netsupport::SendShort(port_, 0x90, 0x3C, 0x40);
    netsupport::SendShort(port_, 0x80, 0x3C, 0x00);
    netsupport::SendShort(port_, 0xF8);
    std::vector<Packet> packets = capture_->Drain();
    ASSERT_EQ(packets.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(packets[i].sequence, static_cast<DWORD>(i + 1));
        EXPECT_EQ(packets[i].senderId, port_->SenderId);
    }
    DWORD firstSender = port_->SenderId;
    netsupport::ClosePort(port_);
    port_ = netsupport::OpenOutputPort(0, &recorder_);
    ASSERT_NE(port_, nullptr);
    netsupport::SendShort(port_, 0xC0, 0x05);
    packets = capture_->Drain();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].sequence, 1u);
    EXPECT_NE(packets[0].senderId, firstSender);
}

TEST_F(Output, LongBuffersAreCutInto384ByteDataPieces)
{
    struct Case {
        size_t length;
        std::vector<int> packetLengths;
    } cases[] = {{1, {17}},
                 {383, {399}},
                 {384, {400}},
                 {385, {400, 17}},
                 {1000, {400, 400, 248}},
                 {1152, {400, 400, 400}}};
    DWORD sequence = 1;
    for (const Case &c : cases) {
        std::vector<BYTE> bytes(c.length);
        bytes[0] = 0xF0;
        for (size_t i = 1; i < c.length; ++i) bytes[i] = static_cast<BYTE>((i * 7) & 0x7F);
        if (c.length > 1) bytes.back() = 0xF7;
        DWORD result = 99;
        std::vector<Packet> packets = SendLong(bytes, &result);
        EXPECT_EQ(result, 0u);
        ASSERT_EQ(packets.size(), c.packetLengths.size()) << c.length << " bytes";
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i].length, c.packetLengths[i]) << c.length << " bytes, piece " << i;
            EXPECT_EQ(packets[i].sequence, sequence++);
            EXPECT_EQ(packets[i].showNumber, kShowAbc);
            EXPECT_EQ(packets[i].groups, 5u);
        }
        EXPECT_EQ(Payloads(packets), bytes) << c.length << " bytes, in order";
        std::vector<netsupport::Notification> seen = recorder_.Take();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].message, static_cast<UINT>(MOM_DONE));
    }
    EXPECT_EQ(port_->Sequence, sequence);
}

TEST_F(Output, RunningStatusSendsTheDataBytesOnly)
{
    struct Step {
        BYTE status, data1, data2;
        std::vector<BYTE> sent;  // empty: nothing sent
    } steps[] = {
        {0x3C, 0x40, 0, {}},                  // data first on a fresh port
        {0x90, 0x3C, 0x40, {0x90, 0x3C, 0x40}},
        {0x3C, 0x00, 0, {0x3C, 0x00}},        // running status after a note-on
        {0xF8, 0, 0, {0xF8}},                 // real time leaves the running length
        {0x3E, 0x10, 0, {0x3E, 0x10}},
        {0xC5, 0x07, 0, {0xC5, 0x07}},
        {0x07, 0, 0, {0x07}},
        {0xE0, 0x00, 0x40, {0xE0, 0x00, 0x40}},
        {0xF2, 0x01, 0x02, {0xF2, 0x01, 0x02}},
        {0x05, 0x06, 0, {0x05, 0x06}},        // song position sets the length too
        {0xF3, 0x01, 0, {0xF3, 0x01}},
        {0xF6, 0, 0, {0xF6}},
        {0x11, 0x22, 0, {}},                  // after a one-byte status: nothing
        {0xF0, 0x7E, 0, {0xF0}},
        {0xFF, 0, 0, {0xFF}},
        {0xD3, 0x44, 0x55, {0xD3, 0x44}},
        {0xB0, 0x07, 0x64, {0xB0, 0x07, 0x64}},
        {0xF1, 0x20, 0, {0xF1, 0x20}},
    };
    DWORD sequence = 1;
    for (const Step &step : steps) {
        EXPECT_EQ(netsupport::SendShort(port_, step.status, step.data1, step.data2), 0u);
        std::vector<Packet> packets = capture_->Drain(150);
        if (step.sent.empty()) {
            EXPECT_TRUE(packets.empty()) << "status " << int(step.status);
            continue;
        }
        ASSERT_EQ(packets.size(), 1u) << "status " << int(step.status);
        EXPECT_EQ(packets[0].data, step.sent) << "status " << int(step.status);
        EXPECT_EQ(packets[0].sequence, sequence++);
    }
}

TEST_F(Output, ResultCodesOfTheOtherMessages)
{
    MIDIHDR header = {};
    BYTE data[4] = {0xF0, 0x01, 0x02, 0xF7};
    header.lpData = reinterpret_cast<LPSTR>(data);
    header.dwBufferLength = sizeof data;

    EXPECT_EQ(netsupport::Send(port_, MODM_PREPARE, reinterpret_cast<DWORD_PTR>(&header)),
              static_cast<DWORD>(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(netsupport::Send(port_, MODM_UNPREPARE, reinterpret_cast<DWORD_PTR>(&header)),
              static_cast<DWORD>(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(header.dwFlags, 0u);
    // Unprepared: refused and untouched.
    EXPECT_EQ(netsupport::Send(port_, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)),
              static_cast<DWORD>(MIDIERR_UNPREPARED));
    EXPECT_EQ(header.dwFlags, 0u);
    for (UINT unknown : {0u, 10u, 11u, 12u, 31u, 34u, 53u, 0x4000u})
        EXPECT_EQ(netsupport::Send(port_, unknown), static_cast<DWORD>(MMSYSERR_NOTSUPPORTED))
            << unknown;
    EXPECT_EQ(netsupport::Send(port_, MODM_RESET), 0u);

    // An empty prepared buffer is done and acknowledged without a packet.
    header.dwFlags = MHDR_PREPARED;
    header.dwBufferLength = 0;
    EXPECT_EQ(netsupport::Send(port_, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)), 0u);
    EXPECT_EQ(header.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    std::vector<netsupport::Notification> seen = recorder_.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, static_cast<UINT>(MOM_DONE));
    EXPECT_EQ(seen[0].param1, reinterpret_cast<DWORD_PTR>(&header));
    EXPECT_EQ(seen[0].param2, 0u);

    EXPECT_TRUE(capture_->Drain(300).empty()) << "reset, refusals and empty buffers send nothing";
    EXPECT_EQ(port_->Sequence, 1u);

    // Messages that need a port, without one.
    EXPECT_EQ(modMessage(0, MODM_DATA, 0, 0x403C90, 0), static_cast<DWORD>(MMSYSERR_ERROR));
    EXPECT_EQ(modMessage(0, MODM_CLOSE, 0, 0, 0), static_cast<DWORD>(MMSYSERR_ERROR));
    EXPECT_EQ(netsupport::Send(port_, MODM_LONGDATA, 0), static_cast<DWORD>(MMSYSERR_INVALPARAM));
}

TEST_F(Output, FailedSendIsReportedAndNotAcknowledged)
{
    // The socket taken away under the port: sendto fails with "not a socket".
    SOCKET socket = port_->Socket;
    port_->Socket = INVALID_SOCKET;
    EXPECT_EQ(netsupport::SendShort(port_, 0x90, 0x3C, 0x40),
              static_cast<DWORD>(MMSYSERR_NOTSUPPORTED));

    std::vector<BYTE> bytes(1000, 0x11);
    MIDIHDR header = testsupport::PreparedHeader(bytes);
    EXPECT_EQ(netsupport::Send(port_, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header)),
              static_cast<DWORD>(MMSYSERR_NOTSUPPORTED));
    EXPECT_TRUE(header.dwFlags & MHDR_DONE);
    EXPECT_TRUE(recorder_.Take().empty()) << "no MOM_DONE after a failed send";
    // The failing piece used up its number; the rest of the block was dropped.
    EXPECT_EQ(port_->Sequence, 3u);
    port_->Socket = socket;

    ASSERT_EQ(netsupport::SendShort(port_, 0xFE), 0u);
    std::vector<Packet> packets = capture_->Drain();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].sequence, 3u);
}

TEST_F(Output, LogTracesOpenSendAndCloseAtLevelTwo)
{
    DebugLevel = 2;
    nomore = 0;  // the log file of this process
    netsupport::SendShort(port_, 0x90, 0x3C, 0x40);
    netsupport::ClosePort(port_);
    port_ = netsupport::OpenOutputPort(0, &recorder_);
    DebugLevel = 0;
    nomore = 1;
    ASSERT_NE(port_, nullptr);

    std::string log = testsupport::ReadFileBytes(testsupport::LogFilePath(GetCurrentProcessId()));
    // Whole lines in this order (other lines may come between them).
    const char *lines[] = {
        "Tessmar: MODM_DATA\r\n",
        "Tessmar: Writing 19 bytes 90 3c connected 0 connectenabled 0\r\n",
        "Tessmar:         to show '' group 5 (90)\r\n",
        "Tessmar:  write finished\r\n",
        "Tessmar: MODM_CLOSE\r\n",
        "Tessmar: midiCallBack - sending message back to host.\r\n",
        "Tessmar: MODM_CLOSE closing out socket.\r\n",
        "Tessmar: midiCleanUp on port 0\r\n",
        "Tessmar:  port 0 no longer in use, closing\r\n",
        "Tessmar:  port 0 closed\r\n",
        "Tessmar: Performing WSACleanup()\r\n",
        "Tessmar: Cleanup - DONE\r\n",
        "Tessmar: finished close cleanup\r\n",
        "Tessmar: opencount ",
        "Tessmar: MODM_CLOSE completed no error,\r\n",
        "Tessmar: MODM_OPEN\r\n",
        "Tessmar: midiOpen 0\r\n",
        "Tessmar: sndOpenDev 0 start\r\n",
        "Tessmar: socketRebuild: WSAStartup()\r\n",
        "Tessmar: socketRebuild: DeviceType 4\r\n",
        "Tessmar: socketRebuild: UDP output\r\n",
        "Tessmar: OK: DoIPServer bind: ",
        "Tessmar:  device 0 handle ",
        "Tessmar: ret 0, returned 76 num 1 error 0\r\n",
        "Tessmar: 0x7f000000 0xc0000000 \n\r\n",
        "Tessmar: midiOpen: 0x",
        "Tessmar: midiCallBack - sending message back to host.\r\n",
        "Tessmar:  open succeeded\r\n",
    };
    size_t at = 0;
    for (const char *line : lines) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << line;
        at = found + strlen(line);
    }
}

TEST_F(Output, SecondPortSendsItsOwnShowAndGroups)
{
    MidiPort *other = netsupport::OpenOutputPort(1);
    ASSERT_NE(other, nullptr);
    netsupport::SendShort(other, 0xFA);
    netsupport::SendShort(port_, 0xFC);
    std::vector<Packet> packets = capture_->Drain();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].senderId, other->SenderId);
    EXPECT_EQ(packets[0].showNumber, 0u);
    EXPECT_EQ(packets[0].groups, 0u);
    EXPECT_EQ(packets[0].sequence, 1u);
    EXPECT_EQ(packets[1].senderId, port_->SenderId);
    EXPECT_EQ(packets[1].sequence, 1u);
    netsupport::ClosePort(other);
}

}  // namespace
