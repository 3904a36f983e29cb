// test-locks: registry
// Device numbering, capability records and the private port table: in
// process on a hand-filled table, and through the DLL's modMessage and
// midMessage on a configuration in the test prefix's registry.
#include <gtest/gtest.h>
#include "config/config.h"
#include "support/foundation_registry.h"
#include "support/support.h"
#include <string>
#include <vector>

using namespace foundation;

namespace {

constexpr DWORD NarrowTable = 10160, WideTable = 18288;

DWORD Word(const std::vector<BYTE> &table, size_t offset)
{
    DWORD v;
    memcpy(&v, table.data() + offset, 4);
    return v;
}

// Checks that every byte outside [from, to) is 0xFF.
void ExpectFilledOutside(const std::vector<BYTE> &table, size_t from, size_t to)
{
    size_t wrong = 0;
    for (size_t i = 0; i < table.size(); ++i)
        if ((i < from || i >= to) && table[i] != 0xFF) ++wrong;
    EXPECT_EQ(wrong, 0u) << "bytes outside the filled entry that are not 0xFF";
}

class Numbering : public testing::Test {
protected:
    void SetUp() override { FreePortInfo(); }
    void TearDown() override { FreePortInfo(); }
};

std::wstring Chars(size_t n)
{
    std::wstring s;
    for (size_t i = 0; i < n; ++i) s += static_cast<wchar_t>(L'A' + i % 26);
    return s;
}

std::string Narrow(const std::wstring &s)
{
    std::string n;
    for (wchar_t c : s) n += static_cast<char>(c & 0xFF);
    return n;
}

}  // namespace

TEST_F(Numbering, IdentifiersAreDenseInSlotOrderPerDirection)
{
    PutUnit(0, DirectionOutput, L"slot0", 0, 1);
    PutUnit(1, DirectionInput, L"slot1", 0, 1);
    PutUnit(2, DirectionOutput, L"slot2", 0, 1);
    PutUnit(5, DirectionInput, L"slot5", 0, 1);
    pUnits[3].Direction = DirectionInput | DirectionOutput;  // no Description, not in use
    pUnits[4].Direction = 0x10000 | DirectionInput;          // only the low 16 bits count, not in use
    EXPECT_EQ(CountDevices(MidiOutDevice), 2u);
    EXPECT_EQ(CountDevices(MidiInDevice), 2u);
    EXPECT_EQ(CountDevices(7), 0u);
    EXPECT_EQ(IndexToUnit(0, MidiOutDevice), &pUnits[0]);
    EXPECT_EQ(IndexToUnit(1, MidiOutDevice), &pUnits[2]);
    EXPECT_EQ(IndexToUnit(2, MidiOutDevice), nullptr);
    EXPECT_EQ(IndexToUnit(0, MidiInDevice), &pUnits[1]);
    EXPECT_EQ(IndexToUnit(1, MidiInDevice), &pUnits[5]);
    EXPECT_EQ(IndexToUnit(0, 0), nullptr);
    EXPECT_EQ(IndexToUnit(0xFFFFFFFF, MidiInDevice), nullptr);

    // A unit with both bits counts in both directions.
    PutUnit(6, DirectionInput | DirectionOutput, L"both", 0, 1);
    EXPECT_EQ(IndexToUnit(2, MidiOutDevice), &pUnits[6]);
    EXPECT_EQ(IndexToUnit(2, MidiInDevice), &pUnits[6]);
    // Direction bits above the low 16 are ignored.
    PutUnit(8, DirectionInput << 16, L"high bits", 0, 1);
    EXPECT_EQ(CountDevices(MidiInDevice), 3u);
    EXPECT_EQ(CountDevices(MidiOutDevice), 3u);
    // The 128th record is never a device.
    PutUnit(UnitTableSize - 1, DirectionOutput, L"overflow", 0, 1);
    EXPECT_EQ(CountDevices(MidiOutDevice), 3u);
}

TEST_F(Numbering, LongNamesAreCutInCapsAndInThePortTable)
{
    PutUnit(0, DirectionOutput, Chars(40), 0, 1);
    PutUnit(1, DirectionOutput, Chars(70), 0, 1);
    PutUnit(2, DirectionInput, L"x\x0141y", 0, 1);

    MIDIOUTCAPSW wide;
    ASSERT_EQ(GetDevCaps(0, MidiOutDevice, &wide, sizeof wide), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(wide.szPname), Chars(31));
    MIDIOUTCAPSA narrow;
    ASSERT_EQ(GetDevCaps(0, MidiOutDevice, &narrow, sizeof narrow), MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(narrow.szPname), Narrow(Chars(31)));

    std::vector<BYTE> table(NarrowTable);
    ASSERT_EQ(PortTableQuery(0, MidiOutDevice, table.data(), NarrowTable), MMSYSERR_NOERROR);
    std::string kept(reinterpret_cast<char *>(table.data() + 12));
    EXPECT_EQ(kept, Narrow(Chars(40))) << "kept whole in the table";
    ExpectFilledOutside(table, 0, 12 + 41);

    ASSERT_EQ(PortTableQuery(1, MidiOutDevice, table.data(), NarrowTable), MMSYSERR_NOERROR);
    const BYTE *entry = table.data() + 80;
    EXPECT_EQ(Word(table, 80), 11u);
    EXPECT_EQ(Word(table, 84), 4u);
    EXPECT_EQ(Word(table, 88), 0xFFFFFFFFu);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry + 12), 64),
              Narrow(Chars(64)));
    EXPECT_EQ(entry[12 + 64], 0) << "cut to 64 characters and terminated";
    ExpectFilledOutside(table, 80, 80 + 12 + 65);
    EXPECT_EQ(Word(table, 0), 0xFFFFFFFFu) << "entry 0 is empty when device 1 is asked";

    std::vector<BYTE> wideTable(WideTable);
    ASSERT_EQ(PortTableQuery(1, MidiOutDevice, wideTable.data(), WideTable), MMSYSERR_NOERROR);
    EXPECT_EQ(Word(wideTable, 144), 7u);
    EXPECT_EQ(Word(wideTable, 148), 22u);
    EXPECT_EQ(Word(wideTable, 152), 0xFFFFFFFFu);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t *>(wideTable.data() + 144 + 12), 64),
              Chars(64));
    EXPECT_EQ(wideTable[144 + 12 + 128], 0);
    EXPECT_EQ(wideTable[144 + 12 + 129], 0);
    ExpectFilledOutside(wideTable, 144, 144 + 12 + 130);

    // Characters above 0xFF keep their low byte in narrow names.
    MIDIINCAPSA in;
    ASSERT_EQ(GetDevCaps(0, MidiInDevice, &in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "xAy");
    ASSERT_EQ(PortTableQuery(0, MidiInDevice, table.data(), NarrowTable), MMSYSERR_NOERROR);
    EXPECT_STREQ(reinterpret_cast<char *>(table.data() + 12), "xAy");
    ASSERT_EQ(PortTableQuery(0, MidiInDevice, wideTable.data(), WideTable), MMSYSERR_NOERROR);
    EXPECT_STREQ(reinterpret_cast<wchar_t *>(wideTable.data() + 12), L"x\x0141y");
}

TEST_F(Numbering, PortTableRefusals)
{
    PutUnit(0, DirectionOutput, L"only", 0, 1);
    std::vector<BYTE> table(WideTable + 10, 0x11);
    EXPECT_EQ(PortTableQuery(1, MidiOutDevice, table.data(), NarrowTable), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(PortTableQuery(0, MidiInDevice, table.data(), NarrowTable), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(PortTableQuery(0, MidiOutDevice, table.data(), NarrowTable - 1),
              MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(PortTableQuery(0, MidiOutDevice, table.data(), WideTable + 1), MMSYSERR_NOTSUPPORTED);
    for (BYTE b : table) ASSERT_EQ(b, 0x11) << "a refused query leaves the buffer alone";
}

// Through the DLL, with the configuration in the registry.
class ThroughDll : public testing::Test {
protected:
    testsupport::DriverDll dll;
    void SetUp() override
    {
        testsupport::WriteConfig({{false, 0, 1, L"Out A"},
                                  {false, 0, 2, L"Caf\x0113 \x263A"},
                                  {true, 0, 1, L"In A"},
                                  {true, 1, 1, L"In B"},
                                  {true, 1, 1, L"In C"}},
                                 {L"S0", L"S1"});
        ASSERT_TRUE(dll.Load());
        ASSERT_TRUE(dll.LoadDriver());
    }
    void TearDown() override
    {
        if (dll.module) dll.FreeDriver();
        dll.Unload();
        testsupport::DeleteProductKey();
    }
    DWORD mod(UINT id, UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0)
    {
        return dll.modMessage(id, msg, 0, p1, p2);
    }
    DWORD mid(UINT id, UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0)
    {
        return dll.midMessage(id, msg, 0, p1, p2);
    }

    // The caps of device id given a client buffer of `size` bytes; buffer
    // is filled with 0xCC first so that what was written shows, and the
    // record is copied out to caps.
    BYTE buffer[200];
    template <typename Caps> DWORD GetCaps(bool output, UINT id, DWORD size, Caps *caps)
    {
        memset(buffer, 0xCC, sizeof buffer);
        DWORD_PTR at = reinterpret_cast<DWORD_PTR>(buffer);
        DWORD result = output ? mod(id, MODM_GETDEVCAPS, at, size) : mid(id, MIDM_GETDEVCAPS, at, size);
        memcpy(caps, buffer, sizeof *caps);
        return result;
    }
};

TEST_F(ThroughDll, CountsAndOutputCaps)
{
    EXPECT_EQ(mod(0, MODM_GETNUMDEVS), 2u);
    EXPECT_EQ(mid(0, MIDM_GETNUMDEVS), 3u);

    MIDIOUTCAPSW w;
    ASSERT_EQ(GetCaps(true, 1, 84, &w), MMSYSERR_NOERROR);
    EXPECT_EQ(w.wMid, 0x0101);
    EXPECT_EQ(w.wPid, 4);
    EXPECT_EQ(w.vDriverVersion, 0x02000105u);
    EXPECT_STREQ(w.szPname, L"Caf\x0113 \x263A");
    EXPECT_EQ(w.wTechnology, MOD_MIDIPORT);
    EXPECT_EQ(w.wVoices, 0);
    EXPECT_EQ(w.wNotes, 0);
    EXPECT_EQ(w.wChannelMask, 0xFFFF);
    EXPECT_EQ(w.dwSupport, 0u);
    EXPECT_EQ(buffer[84], 0xCC);

    MIDIOUTCAPSA a;
    ASSERT_EQ(GetCaps(true, 1, 83, &a), MMSYSERR_NOERROR);
    EXPECT_EQ(a.wPid, 15);
    EXPECT_EQ(a.wTechnology, MOD_FMSYNTH);
    EXPECT_EQ(a.vDriverVersion, 0x02000105u);
    EXPECT_STREQ(a.szPname, "Caf\x13 :");  // low bytes of U+0113 and U+263A
    for (int i = 52; i < 83; ++i) EXPECT_EQ(buffer[i], 0) << "the whole given size is zeroed";
    EXPECT_EQ(buffer[83], 0xCC);

    EXPECT_EQ(GetCaps(true, 0, 52, &a), MMSYSERR_NOERROR);
    EXPECT_STREQ(a.szPname, "Out A");

    EXPECT_EQ(GetCaps(true, 0, 51, &a), MMSYSERR_INVALPARAM);
    for (BYTE b : buffer) ASSERT_EQ(b, 0xCC) << "a refused size leaves the buffer alone";
    EXPECT_EQ(mod(2, MODM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(buffer), 84), MMSYSERR_BADDEVICEID);
}

TEST_F(ThroughDll, InputCaps)
{
    MIDIINCAPSW w;
    ASSERT_EQ(GetCaps(false, 2, 100, &w), MMSYSERR_NOERROR);
    EXPECT_EQ(w.wMid, 0x0101);
    EXPECT_EQ(w.wPid, 4);
    EXPECT_EQ(w.vDriverVersion, 0x02000105u);
    EXPECT_STREQ(w.szPname, L"In C");
    EXPECT_EQ(w.dwSupport, 0u);
    for (int i = 76; i < 100; ++i) EXPECT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[100], 0xCC);

    ASSERT_EQ(GetCaps(false, 0, 76, &w), MMSYSERR_NOERROR);
    EXPECT_STREQ(w.szPname, L"In A");

    MIDIINCAPSA a;
    ASSERT_EQ(GetCaps(false, 1, 44, &a), MMSYSERR_NOERROR);
    EXPECT_EQ(a.wPid, 4);
    EXPECT_EQ(a.vDriverVersion, 0x02000105u);
    EXPECT_STREQ(a.szPname, "In B");
    EXPECT_EQ(a.dwSupport, 0u);
    EXPECT_EQ(buffer[44], 0xCC);

    EXPECT_EQ(GetCaps(false, 0, 43, &a), MMSYSERR_INVALPARAM);
    EXPECT_EQ(buffer[0], 0xCC);
    EXPECT_EQ(mid(3, MIDM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(buffer), 76), MMSYSERR_BADDEVICEID);
}

TEST_F(ThroughDll, PortTableMessages)
{
    EXPECT_EQ(mod(0, MODM_PORTTABLEPROBE), MMSYSERR_NOERROR);
    EXPECT_EQ(mid(0, MIDM_PORTTABLEPROBE), MMSYSERR_NOERROR);

    std::vector<BYTE> table(WideTable, 0);
    ASSERT_EQ(mid(2, MIDM_PORTTABLEQUERY, reinterpret_cast<DWORD_PTR>(table.data()), WideTable),
              MMSYSERR_NOERROR);
    EXPECT_EQ(Word(table, 2 * 144), 7u);
    EXPECT_STREQ(reinterpret_cast<wchar_t *>(table.data() + 2 * 144 + 12), L"In C");
    ExpectFilledOutside(table, 2 * 144, 2 * 144 + 12 + 10);

    table.assign(NarrowTable, 0);
    ASSERT_EQ(mod(1, MODM_PORTTABLEQUERY, reinterpret_cast<DWORD_PTR>(table.data()), NarrowTable),
              MMSYSERR_NOERROR);
    EXPECT_EQ(Word(table, 80), 11u);
    EXPECT_EQ(Word(table, 84), 4u);
    EXPECT_STREQ(reinterpret_cast<char *>(table.data() + 80 + 12), "Caf\x13 :");
    ExpectFilledOutside(table, 80, 80 + 12 + 7);

    EXPECT_EQ(mod(2, MODM_PORTTABLEQUERY, reinterpret_cast<DWORD_PTR>(table.data()), NarrowTable),
              MMSYSERR_BADDEVICEID);
    EXPECT_EQ(mod(0, MODM_PORTTABLEQUERY, reinterpret_cast<DWORD_PTR>(table.data()), 4096),
              MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(mod(0, MODM_PORTTABLEQUERY, 0, NarrowTable), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(mid(0, MIDM_PORTTABLEQUERY, reinterpret_cast<DWORD_PTR>(table.data()), 0),
              MMSYSERR_NOTSUPPORTED);
}

TEST_F(ThroughDll, FreeEmptiesTheTableAndLoadReadsItAgain)
{
    ASSERT_EQ(mod(0, MODM_GETNUMDEVS), 2u);
    dll.FreeDriver();
    EXPECT_EQ(mod(0, MODM_GETNUMDEVS), 0u);
    EXPECT_EQ(mid(0, MIDM_GETNUMDEVS), 0u);
    testsupport::WriteConfig({{false, 0, 1, L"Only"}}, {L"S"});
    ASSERT_TRUE(dll.LoadDriver());
    EXPECT_EQ(mod(0, MODM_GETNUMDEVS), 1u);
    EXPECT_EQ(mid(0, MIDM_GETNUMDEVS), 0u);
}
