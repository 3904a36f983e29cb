// Four application threads sending on three output ports at once: every
// packet leaves whole, each port numbers its packets without gaps or
// repeats, and the pieces of one long buffer stay together.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include <map>
#include <memory>

namespace {

using namespace netsupport;

constexpr int kThreads = 4, kPorts = 3, kRounds = 120;  // every fourth round a long buffer
std::unique_ptr<Client> ports[kPorts];

// Long buffer `round` of thread `thread`, recognisable in every piece.
std::vector<BYTE> LongBuffer(int thread, int round)
{
    return testsupport::SysexMessage(1000, thread * 31 + round);
}

DWORD WINAPI SendRounds(LPVOID context)
{
    int thread = int(INT_PTR(context));
    DWORD failures = 0;
    for (int round = 0; round < kRounds; ++round) {
        Client &port = *ports[(thread + round) % kPorts];
        std::vector<BYTE> bytes = LongBuffer(thread, round);
        MIDIHDR header = testsupport::PreparedHeader(bytes);
        // A long buffer of three packets, or a note-on: channel = thread, key = round.
        failures += (round % 4 == 3 ? port.Long(header)
                                    : port.Send(MODM_DATA, 0x400090 | thread | round << 8)) != 0;
    }
    return failures;
}

TEST(OutputThreads, PacketsArriveWholeAndNumberedPerPort)
{
    testsupport::WinsockUp();
    SetUnits({{DirectionOutput, 1, 1}, {DirectionOutput, 2, 2}, {DirectionOutput, 3, 4}});
    Capture capture;
    ASSERT_TRUE(capture.ok());
    for (int i = 0; i < kPorts; ++i) ports[i].reset(new Client(modMessage, false, i));
    HANDLE threads[kThreads];
    for (INT_PTR i = 0; i < kThreads; ++i)
        threads[i] = CreateThread(nullptr, 0, SendRounds, LPVOID(i), 0, nullptr);
    std::vector<Datagram> packets;
    Datagram packet;
    while (WaitForMultipleObjects(kThreads, threads, TRUE, 0) == WAIT_TIMEOUT)
        if (capture.Next(&packet, 50)) packets.push_back(packet);
    for (const Datagram &p : capture.Drain()) packets.push_back(p);
    for (HANDLE thread : threads) {
        DWORD failures = 1;
        GetExitCodeThread(thread, &failures);
        EXPECT_EQ(failures, 0u);
        CloseHandle(thread);
    }
    EXPECT_EQ(packets.size(), size_t(kThreads * kRounds / 4 * 6));  // 3 notes, 3 pieces

    // Per port (its show), in arrival order: one socket and one sender at
    // a time, so arrival order is sending order.
    std::map<DWORD, std::vector<const Datagram *>> byShow;
    for (const Datagram &p : packets) {
        std::vector<const Datagram *> &seen = byShow[p.showNumber];
        EXPECT_EQ(p.groups, p.showNumber == 3 ? 4u : p.showNumber);
        EXPECT_EQ(p.senderId, seen.empty() ? p.senderId : seen[0]->senderId);
        EXPECT_EQ(p.sequence, seen.size() + 1) << "show " << p.showNumber;
        seen.push_back(&p);
    }
    ASSERT_EQ(byShow.size(), size_t(kPorts));
    EXPECT_NE(byShow[1][0]->senderId, byShow[2][0]->senderId) << "each port a sender of its own";
    EXPECT_NE(byShow[2][0]->senderId, byShow[3][0]->senderId);
    for (auto &port : byShow) {
        std::vector<const Datagram *> &seen = port.second;
        for (size_t k = 0; k < seen.size(); ++k) {
            if (seen[k]->length == 19) continue;  // a note-on
            ASSERT_LE(k + 3, seen.size());  // three consecutive pieces rebuild a long buffer
            std::vector<BYTE> joined;
            for (size_t j = k; j < k + 3; ++j)
                joined.insert(joined.end(), seen[j]->data.begin(), seen[j]->data.end());
            bool matched = false;
            for (int t = 0; t < kThreads; ++t)
                for (int r = 3; r < kRounds; r += 4) matched |= joined == LongBuffer(t, r);
            EXPECT_TRUE(matched) << "show " << port.first << " block at " << k;
            k += 2;
        }
    }
    for (auto &port : ports) port.reset();
    ClearUnits();
    testsupport::WinsockDown();
}

// A send still inside the driver (in its MOM_DONE callback) while another
// thread closes the port: the record stays until the send leaves, and a
// call made with it after the close is refused, not run on a freed record.
TEST(OutputThreads, CloseWhileAnotherThreadIsInsideASend)
{
    static std::unique_ptr<Client> port;
    static DWORD closed, later;
    testsupport::WinsockUp();
    SetUnits({{DirectionOutput, 1, 1}});
    delete new Client(modMessage, false, 0);  // lazily made system objects come first
    Resources before = Measure();
    port.reset(new Client(modMessage, false, 0));
    port->recorder.hook = [](const Note &note) {
        if (note.message != MOM_DONE) return;
        HANDLE closer = CreateThread(nullptr, 0, [](void *) -> DWORD { return closed = port->Close(); },
                                     nullptr, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(closer, 5000), WAIT_OBJECT_0);
        CloseHandle(closer);
        later = modMessage(0, MODM_DATA, port->instance, 0x403C90, 0);
    };
    std::vector<BYTE> bytes = testsupport::SysexMessage(100);
    MIDIHDR header = testsupport::PreparedHeader(bytes);
    EXPECT_EQ(port->Long(header), 0u);
    EXPECT_EQ(closed, 0u);
    EXPECT_EQ(later, (DWORD)MMSYSERR_ERROR) << "a closed port, even while a send holds its record";
    EXPECT_EQ(port->recorder.Messages(), (std::vector<DWORD>{MOM_OPEN, MOM_DONE, MOM_CLOSE}));
    port.reset();
    ExpectUnchanged(before);
    ClearUnits();
    testsupport::WinsockDown();
}

}  // namespace
