// End to end through the real Tessmar.dll as winmm drives it: a
// configuration in the test prefix's registry, DRV_LOAD, an output port
// played into through modMessage, what it puts on the network, and input
// ports opened through midMessage whose clients winmm's DriverCallback
// calls from the ports' threads.
#include <gtest/gtest.h>
#include "support/net_ports.h"

namespace {

using namespace netsupport;

TEST(DriverDll, PlayedOutputReachesOnlyThePortsOfItsShowAndGroups)
{
    testsupport::WinsockUp();
    // Output: show abc groups 1+2. Inputs in registry order: abc group 2,
    // abc group 3, Rehearsal groups 1+2.
    testsupport::WriteConfig({{false, 0, 0x3, L"Out"},
                              {true, 0, 0x2, L"In shared group"},
                              {true, 0, 0x4, L"In other group"},
                              {true, 1, 0x3, L"In other show"}},
                             {L"abc", L"Rehearsal"});
    testsupport::DriverDll dll;
    ASSERT_TRUE(dll.Load() && dll.LoadDriver());
    EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u);
    EXPECT_EQ(dll.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 3u);
    {
        Capture capture;
        ClientBuffer buffer(70000);
        Client shared(dll.midMessage, true, 0), otherGroup(dll.midMessage, true, 1),
            otherShow(dll.midMessage, true, 2), output(dll.modMessage, false, 0);
        ASSERT_TRUE(capture.ok() && output.open());
        ASSERT_EQ(shared.Add(buffer), 0u);
        // The first note holds the port's thread while the burst below arrives:
        // the port's socket must have room for all of it.
        shared.recorder.hook = [](const Note &note) { Sleep(note.param1 == 0x403C90 ? 500 : 0); };
        for (Client *c : {&shared, &otherGroup, &otherShow}) ASSERT_EQ(c->Send(MIDM_START), 0u);

        // A note-on, then one by running status, of show "abc" (the bytes of
        // the header and the cutting of blocks are the core's native tests').
        EXPECT_EQ(output.Send(MODM_DATA, 0x403C90), 0u);
        EXPECT_EQ(output.Send(MODM_DATA, 0x403E), 0u);
        std::vector<Datagram> notes = capture.Drain(200);
        ASSERT_EQ(notes.size(), 2u);
        EXPECT_TRUE(notes[0].sequence == 1 && notes[0].showNumber == 0x352441C2u);
        EXPECT_EQ(notes[0].data, (std::vector<BYTE>{0x90, 0x3C, 0x40}));
        EXPECT_EQ(notes[1].data, (std::vector<BYTE>{0x3E, 0x40}));
        // A long buffer: 384 bytes a packet, numbered on, acknowledged once.
        std::vector<BYTE> sysex = testsupport::SysexMessage(65536), joined;
        MIDIHDR header = testsupport::PreparedHeader(sysex);
        EXPECT_EQ(output.Long(header), 0u);
        std::vector<Datagram> pieces = capture.Drain();
        ASSERT_EQ(pieces.size(), 171u);
        for (DWORD i = 0; i < 171; ++i) {
            EXPECT_TRUE(pieces[i].senderId == notes[0].senderId && pieces[i].sequence == i + 3) << i;
            joined.insert(joined.end(), pieces[i].data.begin(), pieces[i].data.end());
        }
        EXPECT_TRUE(joined == sysex);
        EXPECT_EQ(output.Close(), 0u);
        EXPECT_EQ(output.recorder.Messages(), (std::vector<DWORD>{MOM_OPEN, MOM_DONE, MOM_CLOSE}));
        shared.recorder.WaitMidi(3);
        Sleep(300);  // nothing more, anywhere
        std::vector<Note> midi = MidiNotes(shared.recorder.Take());
        ASSERT_EQ(midi.size(), 3u) << Describe(midi);
        EXPECT_EQ(midi[0].param1, 0x403C90u);
        EXPECT_EQ(midi[1].param1, 0x403E90u);
        EXPECT_EQ(midi[2].message, (DWORD)MIM_LONGDATA);
        EXPECT_TRUE(midi[2].bytes == sysex);
        EXPECT_NE(midi[0].threadId, GetCurrentThreadId());
        EXPECT_NE(midi[0].device, nullptr) << "through winmm, with its handle";
        EXPECT_TRUE(MidiNotes(otherGroup.recorder.Take()).empty());
        EXPECT_TRUE(MidiNotes(otherShow.recorder.Take()).empty());
        for (Client *c : {&shared, &otherGroup, &otherShow}) {
            EXPECT_EQ(c->Send(MIDM_RESET), 0u);
            EXPECT_EQ(c->Close(), 0u);
            EXPECT_EQ(c->recorder.Messages().back(), (DWORD)MIM_CLOSE);
        }
    }
    dll.FreeDriver();
    dll.Unload();
    testsupport::DeleteProductKey();
    testsupport::WinsockDown();
}

}  // namespace
