// Several application threads sending on several output ports at once:
// every packet leaves whole, each port numbers its packets without gaps or
// repeats, and the pieces of one long buffer stay together.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include "support/support.h"
#include <map>
#include <vector>

namespace {

using netsupport::Packet;

constexpr int kThreads = 4;
constexpr int kPorts = 3;
constexpr int kRounds = 120;      // per thread; every fourth round is a long buffer
constexpr int kLongLength = 1000; // three packets: 384 + 384 + 232

MidiPort *ports[kPorts];

// The bytes of long buffer `round` of thread `thread`: recognisable in
// every piece, so that a torn or mixed packet shows.
std::vector<BYTE> LongBuffer(int thread, int round)
{
    return testsupport::SysexMessage(kLongLength, thread * 31 + round);
}

struct SenderThread {
    int index;
    int failures = 0;
    static DWORD WINAPI Run(LPVOID context)
    {
        SenderThread *self = static_cast<SenderThread *>(context);
        for (int round = 0; round < kRounds; ++round) {
            MidiPort *port = ports[(self->index + round) % kPorts];
            DWORD result;
            if (round % 4 == 3) {
                std::vector<BYTE> bytes = LongBuffer(self->index, round);
                MIDIHDR header = testsupport::PreparedHeader(bytes);
                result = netsupport::Send(port, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&header));
            } else {
                // Note-on: channel = thread, key = round.
                result = netsupport::SendShort(port, static_cast<BYTE>(0x90 | self->index),
                                               static_cast<BYTE>(round), 0x40);
            }
            if (result != MMSYSERR_NOERROR) ++self->failures;
        }
        return 0;
    }
};

struct Reader {
    netsupport::Capture *capture;
    volatile LONG stop = 0;
    std::vector<Packet> packets;
    static DWORD WINAPI Run(LPVOID context)
    {
        Reader *self = static_cast<Reader *>(context);
        Packet packet;
        while (true) {
            if (self->capture->Next(&packet, 200)) self->packets.push_back(packet);
            else if (self->stop) break;
        }
        return 0;
    }
};

TEST(OutputThreads, PacketsArriveWholeAndNumberedPerPort)
{
    testsupport::WinsockUp();
    netsupport::SetUnits({{DirectionOutput, 1, 1}, {DirectionOutput, 2, 2}, {DirectionOutput, 3, 4}});
    netsupport::Capture capture;
    ASSERT_TRUE(capture.ok());
    for (int i = 0; i < kPorts; ++i) {
        ports[i] = netsupport::OpenOutputPort(i);
        ASSERT_NE(ports[i], nullptr);
    }

    Reader reader;
    reader.capture = &capture;
    HANDLE readerThread = CreateThread(nullptr, 0, Reader::Run, &reader, 0, nullptr);
    SenderThread senders[kThreads];
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        senders[i].index = i;
        threads[i] = CreateThread(nullptr, 0, SenderThread::Run, &senders[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(kThreads, threads, TRUE, 60000), WAIT_OBJECT_0);
    InterlockedExchange(&reader.stop, 1);
    WaitForSingleObject(readerThread, 30000);
    for (HANDLE h : threads) CloseHandle(h);
    CloseHandle(readerThread);

    const int shortPerThread = kRounds - kRounds / 4;
    const int expectedPackets = kThreads * (shortPerThread + 3 * (kRounds / 4));
    for (const SenderThread &s : senders) EXPECT_EQ(s.failures, 0);

    std::map<DWORD, int> portOfSender;
    for (int i = 0; i < kPorts; ++i) portOfSender[ports[i]->SenderId] = i;

    // Per port: the sequences seen, in arrival order.
    std::map<DWORD, std::vector<DWORD>> sequences;
    std::map<DWORD, std::map<DWORD, const Packet *>> bySequence;
    for (const Packet &p : reader.packets) {
        ASSERT_TRUE(portOfSender.count(p.senderId)) << "unknown sender " << p.senderId;
        int port = portOfSender[p.senderId];
        EXPECT_EQ(p.showNumber, pUnits[port].ShowNumber);
        EXPECT_EQ(p.groups, pUnits[port].Groups);
        sequences[p.senderId].push_back(p.sequence);
        bySequence[p.senderId][p.sequence] = &p;
    }
    EXPECT_EQ(static_cast<int>(reader.packets.size()), expectedPackets);

    int sent = 0;
    for (int i = 0; i < kPorts; ++i) {
        DWORD sender = ports[i]->SenderId;
        std::vector<DWORD> &seen = sequences[sender];
        DWORD count = ports[i]->Sequence - 1;
        sent += static_cast<int>(count);
        ASSERT_EQ(seen.size(), count) << "port " << i;
        // One socket, one sender at a time: arrival order is sending order.
        for (DWORD k = 0; k < count; ++k) EXPECT_EQ(seen[k], k + 1) << "port " << i;

        // Every packet is whole: a note-on of 3 bytes, or a piece of a long
        // buffer whose three pieces are consecutive and rebuild it.
        std::map<DWORD, const Packet *> &numbered = bySequence[sender];
        for (DWORD k = 1; k <= count; ++k) {
            const Packet *p = numbered[k];
            ASSERT_NE(p, nullptr);
            if (p->length == 19) {
                EXPECT_EQ(p->data[0] & 0xF0, 0x90);
                EXPECT_EQ(p->data[2], 0x40);
                continue;
            }
            ASSERT_EQ(p->length, 400) << "port " << i << " sequence " << k;
            ASSERT_LE(k + 2, count);
            const Packet *second = numbered[k + 1];
            const Packet *third = numbered[k + 2];
            ASSERT_TRUE(second && third);
            EXPECT_EQ(second->length, 400);
            EXPECT_EQ(third->length, kLongLength - 2 * 384 + 16);
            std::vector<BYTE> joined(p->data);
            joined.insert(joined.end(), second->data.begin(), second->data.end());
            joined.insert(joined.end(), third->data.begin(), third->data.end());
            bool matched = false;
            for (int t = 0; t < kThreads && !matched; ++t)
                for (int r = 3; r < kRounds && !matched; r += 4)
                    matched = joined == LongBuffer(t, r);
            EXPECT_TRUE(matched) << "port " << i << " block at " << k;
            k += 2;
        }
    }
    EXPECT_EQ(sent, expectedPackets);

    for (MidiPort *port : ports) netsupport::ClosePort(port);
    EXPECT_EQ(wsacount, 0);
    netsupport::ClearUnits();
    testsupport::WinsockDown();
}

}  // namespace
