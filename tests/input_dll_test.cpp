// End to end through the real Tessmar.dll, as winmm drives it: a
// configuration in the test prefix's registry, DRV_LOAD, an output port and
// input ports opened through the exports, the input ports' clients called
// through winmm's DriverCallback (CALLBACK_FUNCTION).
#include <gtest/gtest.h>
#include "support/input_harness.h"
#include "support/support.h"

using inputtest::ClientBuffer;
using inputtest::InputClient;
using inputtest::Note;

namespace {

class InputDll : public ::testing::Test {
protected:
    testsupport::DriverDll dll;

    void SetUp() override
    {
        testsupport::WinsockUp();
        // Outputs: Client0 (show "Main", groups 1+2). Inputs in registry
        // order: Server0 (Main, group 2), Server1 (Main, group 3 only),
        // Server2 (another show, groups 1+2).
        testsupport::WriteConfig({{false, 0, 0x3, L"Out"},
                                  {true, 0, 0x2, L"In shared group"},
                                  {true, 0, 0x4, L"In other group"},
                                  {true, 1, 0x3, L"In other show"}},
                                 {L"Main", L"Rehearsal"});
        ASSERT_TRUE(dll.Load());
        ASSERT_TRUE(dll.LoadDriver());
    }
    void TearDown() override
    {
        dll.FreeDriver();
        dll.Unload();
        testsupport::DeleteProductKey();
        testsupport::WinsockDown();
    }
};

}  // namespace

TEST_F(InputDll, PlayedOutputReachesOnlyThePortsOfItsShowAndGroups)
{
    ASSERT_EQ(dll.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 3u);
    ClientBuffer buffer(5000);
    InputClient shared(dll.midMessage, 0, CALLBACK_FUNCTION);
    InputClient otherGroup(dll.midMessage, 1, CALLBACK_FUNCTION);
    InputClient otherShow(dll.midMessage, 2, CALLBACK_FUNCTION);
    ASSERT_TRUE(shared.open() && otherGroup.open() && otherShow.open());
    ASSERT_EQ(shared.Add(buffer), 0u);
    for (InputClient *c : {&shared, &otherGroup, &otherShow}) ASSERT_EQ(c->Send(MIDM_START), 0u);

    MIDIOPENDESC desc = {};
    DWORD_PTR output = 0;
    ASSERT_EQ(dll.modMessage(0, MODM_OPEN, (DWORD_PTR)&output, (DWORD_PTR)&desc, CALLBACK_NULL), 0u);
    EXPECT_EQ(dll.modMessage(0, MODM_DATA, output, 0x403C90, 0), 0u);
    EXPECT_EQ(dll.modMessage(0, MODM_DATA, output, 0x403E, 0), 0u);  // running status
    std::vector<BYTE> sysex = testsupport::SysexMessage(1000);
    MIDIHDR header = testsupport::PreparedHeader(sysex);
    EXPECT_EQ(dll.modMessage(0, MODM_LONGDATA, output, (DWORD_PTR)&header, sizeof header), 0u);
    EXPECT_EQ(dll.modMessage(0, MODM_CLOSE, output, 0, 0), 0u);

    ASSERT_TRUE(shared.recorder.WaitUntil(
        [](const std::vector<Note> &n) { return inputtest::MidiNotes(n).size() >= 3; }));
    Sleep(300);
    std::vector<Note> midi = inputtest::MidiNotes(shared.recorder.Snapshot());
    ASSERT_EQ(midi.size(), 3u) << inputtest::Describe(midi);
    EXPECT_EQ(midi[0].param1, 0x403C90u);
    EXPECT_EQ(midi[1].param1, 0x403E90u);
    EXPECT_EQ(midi[2].message, (DWORD)MIM_LONGDATA);
    EXPECT_TRUE(midi[2].bytes == sysex);
    EXPECT_TRUE(inputtest::MidiNotes(otherGroup.recorder.Snapshot()).empty());
    EXPECT_TRUE(inputtest::MidiNotes(otherShow.recorder.Snapshot()).empty());

    for (InputClient *c : {&shared, &otherGroup, &otherShow}) {
        EXPECT_EQ(c->Send(MIDM_RESET), 0u);
        EXPECT_EQ(c->Close(), 0u);
        std::vector<Note> all = c->recorder.Take();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.front().message, (DWORD)MIM_OPEN);
        EXPECT_EQ(all.back().message, (DWORD)MIM_CLOSE);
    }
}
