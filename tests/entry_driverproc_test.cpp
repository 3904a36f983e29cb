// The exports as winmm calls them: the driver messages, device capability
// records and the private port table.
#include <gtest/gtest.h>
#include "support/support.h"
#include <algorithm>

using namespace testsupport;

namespace {

constexpr DWORD NarrowTable = 10160, WideTable = 18288;  // 127 entries of 80 or 144 bytes

DWORD Word(const std::vector<BYTE> &table, size_t offset) { return *reinterpret_cast<const DWORD *>(&table[offset]); }

TEST(DriverMessages, ResultsThroughTheDll)
{
    WriteConfig({{false, 0, 1, L"Out"}}, {L"S"});
    DriverDll dll;
    ASSERT_TRUE(dll.Load());
    for (UINT message : {DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_QUERYCONFIGURE})
        EXPECT_EQ(dll.Send(message), 1) << message;
    EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u);
    HDRVR handle = reinterpret_cast<HDRVR>(dll.module);
    for (UINT message : {0u, 11u, 0x4000u}) {
        EXPECT_EQ(dll.driverProc(7, handle, message, 3, 4), DefDriverProc(7, handle, message, 3, 4)) << message;
        EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u) << message << " changed nothing";
    }
    for (UINT message : {DRV_CLOSE, DRV_DISABLE, DRV_FREE}) EXPECT_EQ(dll.Send(message), 1) << message;
    EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 0u);
    DeleteProductKey();
}

// The capability record for every client size winmm may pass fills a
// zeroed buffer of the whole size; a size between the narrow and the wide
// record gets the narrow one.
TEST(ThroughDll, CapsAndThePortTable)
{
    WriteConfig({{false, 0, 1, L"Out A"}, {false, 0, 2, L"Caf\x0113 \x263A"}, {true, 0, 1, L"In A"}}, {L"S0"});
    DriverDll dll;
    ASSERT_TRUE(dll.Load());
    ASSERT_TRUE(dll.LoadDriver());
    EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0) + 10 * dll.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 12u);
    struct Case {
        bool output;
        UINT device;
        DWORD size, result, record;  // the record written
        WORD pid, technology;        // technology: outputs only
        std::wstring name;           // narrow records: the low bytes
    } const cases[] = {
        {true, 1, 84, MMSYSERR_NOERROR, 84, 4, MOD_MIDIPORT, L"Caf\x0113 \x263A"},
        {true, 1, 83, MMSYSERR_NOERROR, 52, 15, MOD_FMSYNTH, L"Caf\x13 :"},
        {true, 0, 52, MMSYSERR_NOERROR, 52, 15, MOD_FMSYNTH, L"Out A"},
        {true, 0, 51, MMSYSERR_INVALPARAM, 0, 0, 0, L""}, {true, 2, 84, MMSYSERR_BADDEVICEID, 0, 0, 0, L""},
        {false, 0, 100, MMSYSERR_NOERROR, 76, 4, 0, L"In A"},
        {false, 0, 75, MMSYSERR_NOERROR, 44, 4, 0, L"In A"},
        {false, 0, 43, MMSYSERR_INVALPARAM, 0, 0, 0, L""}, {false, 1, 76, MMSYSERR_BADDEVICEID, 0, 0, 0, L""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        BYTE buffer[128];
        memset(buffer, 0xCC, sizeof buffer);
        DWORD_PTR at = reinterpret_cast<DWORD_PTR>(buffer);
        ASSERT_EQ(c.output ? dll.modMessage(c.device, MODM_GETDEVCAPS, 0, at, c.size)
                           : dll.midMessage(c.device, MIDM_GETDEVCAPS, 0, at, c.size), c.result);
        EXPECT_EQ(buffer[c.result ? 0 : c.size], 0xCC);
        if (c.result) continue;
        MIDIOUTCAPSW caps;  // the fields all records share sit at the same offsets
        memcpy(&caps, buffer, sizeof caps);
        EXPECT_TRUE(caps.wMid == 0x0101 && caps.wPid == c.pid && caps.vDriverVersion == 0x02000105);
        std::string narrow = reinterpret_cast<char *>(caps.szPname);
        bool wide = c.record == sizeof(MIDIOUTCAPSW) || c.record == sizeof(MIDIINCAPSW);
        EXPECT_EQ(wide ? std::wstring(caps.szPname) : std::wstring(narrow.begin(), narrow.end()), c.name);
        // Outputs: the technology, and all 16 channels.
        EXPECT_TRUE(!c.output || (buffer[c.record - 12] == c.technology && buffer[c.record - 6] == 0xFF &&
                                  buffer[c.record - 5] == 0xFF));
        EXPECT_EQ(std::count(buffer + c.record, buffer + c.size, 0), long(c.size - c.record)) << "zeroed";
    }
    // The port table entry of device N is entry N: a header, the name
    // (narrow: low bytes), terminated; every other byte 0xFF.
    std::vector<BYTE> table(NarrowTable), wide(WideTable);
    EXPECT_EQ(dll.modMessage(0, MODM_PORTTABLEPROBE, 0, 0, 0) + dll.midMessage(0, MIDM_PORTTABLEPROBE, 0, 0, 0), 0u);
    ASSERT_EQ(dll.modMessage(1, MODM_PORTTABLEQUERY, 0, DWORD_PTR(table.data()), NarrowTable), MMSYSERR_NOERROR);
    EXPECT_TRUE(Word(table, 80) == 11 && Word(table, 84) == 4 && Word(table, 88) == 0xFFFFFFFF);
    EXPECT_STREQ(reinterpret_cast<char *>(&table[92]), "Caf\x13 :");
    EXPECT_EQ(std::count(table.begin(), table.end(), 0xFF), long(NarrowTable - 12 - 7 + 4));
    ASSERT_EQ(dll.midMessage(0, MIDM_PORTTABLEQUERY, 0, DWORD_PTR(wide.data()), WideTable), MMSYSERR_NOERROR);
    EXPECT_TRUE(Word(wide, 0) == 7 && Word(wide, 4) == 22);
    EXPECT_STREQ(reinterpret_cast<wchar_t *>(&wide[12]), L"In A");
    EXPECT_EQ(std::count(wide.begin(), wide.end(), 0xFF), long(WideTable - 12 - 10 + 4));
    EXPECT_EQ(dll.midMessage(0, MIDM_PORTTABLEQUERY, 0, DWORD_PTR(wide.data()), 4096), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(dll.modMessage(2, MODM_PORTTABLEQUERY, 0, DWORD_PTR(table.data()), NarrowTable), MMSYSERR_BADDEVICEID);
    dll.FreeDriver();
    DeleteProductKey();
}

}  // namespace
