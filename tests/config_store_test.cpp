// test-locks: registry
// The configuration store against the real registry of the test prefix:
// loading, saving, limits, and the show number.
#include <gtest/gtest.h>
#include "config/config.h"
#include "support/foundation_registry.h"
#include "support/support.h"

using namespace foundation;
using testsupport::PortSpec;

namespace {

class Store : public testing::Test {
protected:
    void SetUp() override
    {
        testsupport::DeleteProductKey();
        FreePortInfo();
        ZeroMemory(CommList, sizeof CommList);
        TCPClientServer = 0;
        ZeroMemory(TCPAddress, sizeof TCPAddress);
        ZeroMemory(WTCPAddress, sizeof WTCPAddress);
    }
    void TearDown() override
    {
        FreePortInfo();
        testsupport::DeleteProductKey();
    }
    // The show list as the Configurator leaves it: {slot, name} in list order.
    static void SetShows(std::initializer_list<std::pair<SHORT, std::wstring>> shows)
    {
        CommCount = 0;
        for (const auto &show : shows) {
            lstrcpyW(CommList[show.first], show.second.c_str());
            CommOrder[CommCount++] = show.first;
        }
    }
    static int UsedSlots()
    {
        int n = 0;
        for (int i = 0; i < UnitTableSize; ++i) n += pUnits[i].InUse;
        return n;
    }
};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

}  // namespace

TEST(ShowNumber, IsTheCrc32OfTheLowBytes)
{
    EXPECT_EQ(ComputeShowNumber(L"abc"), 0x352441C2u);
    EXPECT_EQ(ComputeShowNumber(L"123456789"), 0xCBF43926u);
    EXPECT_EQ(ComputeShowNumber(L""), 0u);
    EXPECT_EQ(ComputeShowNumber(nullptr), 0u);
    // Only the low byte of each character counts.
    EXPECT_EQ(ComputeShowNumber(L"\x0161\x0462\x7F63"), 0x352441C2u);
    EXPECT_NE(ComputeShowNumber(L"My Config Show"), ComputeShowNumber(L"My Config show"));
}

TEST_F(Store, NoProductKeyGivesNoPorts)
{
    PutUnit(4, DirectionOutput, L"stale", 0, 1);
    InitPortInfo();
    EXPECT_EQ(UsedSlots(), 0) << "a previously loaded table is discarded";
    EXPECT_EQ(CommCount, 0u);
    EXPECT_EQ(CountDevices(MidiOutDevice), 0u);
    EXPECT_EQ(pUnits[4].Description, nullptr);
    EXPECT_EQ(pUnits[4].OpenHandle, INVALID_SOCKET);
}

TEST_F(Store, InstallerDefaultSet)
{
    testsupport::WriteConfig({{true, 0, 1, L"Configure Me"}, {false, 0, 1, L"Configure Me"}},
                             {L"My Config Show"}, 0, L"");
    InitPortInfo();
    ASSERT_EQ(CountDevices(MidiInDevice), 1u);
    ASSERT_EQ(CountDevices(MidiOutDevice), 1u);
    for (DWORD type : {MidiInDevice, MidiOutDevice}) {
        Unit *unit = IndexToUnit(0, type);
        ASSERT_NE(unit, nullptr);
        EXPECT_STREQ(unit->Description, L"Configure Me");
        EXPECT_EQ(unit->CommUnit, 0);
        EXPECT_EQ(unit->Groups, 1u);
        EXPECT_EQ(unit->ShowNumber, ComputeShowNumber(L"My Config Show"));
        EXPECT_EQ(unit->OpenHandle, INVALID_SOCKET);
    }
    EXPECT_EQ(CommCount, 1u);
    EXPECT_EQ(CommOrder[0], 0);
    EXPECT_EQ(CommOrder[1], -1);
    EXPECT_STREQ(CommList[0], L"My Config Show");
    EXPECT_EQ(TCPClientServer, 0u);
    EXPECT_STREQ(TCPAddress, "");
}

TEST_F(Store, SaveRenumbersPortsInSlotOrderAndReloadsThemDensely)
{
    SetShows({{3, L"Three"}, {0, L"Zero"}});
    PutUnit(3, DirectionInput, L"In at three", 3, 0x5);
    PutUnit(7, DirectionInput, L"In at seven", 0, 0x80000000);
    SetPortInfo();
    {
        Key product(OpenProductSubkey(L""));
        ASSERT_TRUE(product);
        EXPECT_EQ(SubkeyNames(product.handle),
                  (std::vector<std::wstring>{L"Server0", L"Server1", L"Shows", L"TCPInfo"}));
        Key server0(OpenProductSubkey(L"Server0"));
        std::wstring text;
        DWORD show = 99, groups = 0;
        ASSERT_TRUE(ReadString(server0.handle, L"Description", text));
        EXPECT_EQ(text, L"In at three");
        ASSERT_TRUE(ReadDword(server0.handle, L"Show", show));
        EXPECT_EQ(show, 3u);
        ASSERT_TRUE(ReadDword(server0.handle, L"Groups", groups));
        EXPECT_EQ(groups, 5u);
        Key server1(OpenProductSubkey(L"Server1"));
        ASSERT_TRUE(ReadString(server1.handle, L"Description", text));
        EXPECT_EQ(text, L"In at seven");
    }
    FreePortInfo();
    InitPortInfo();
    EXPECT_STREQ(pUnits[0].Description, L"In at three");
    EXPECT_STREQ(pUnits[1].Description, L"In at seven");
    EXPECT_EQ(pUnits[0].ShowNumber, ComputeShowNumber(L"Three"));
    EXPECT_EQ(pUnits[1].Groups, 0x80000000u);
    EXPECT_EQ(UsedSlots(), 2);
}

TEST_F(Store, RoundTripKeepsTheWholeConfiguration)
{
    // Show 5 has a character above 0xFF.
    SetShows({{0, L"Main show"}, {9, L"Unused"}, {5, L"\x0105vening"}});
    PutUnit(0, DirectionOutput, L"Out one", 0, 1);
    PutUnit(2, DirectionInput, L"In \x263A", 5, 0xFFFFFFFF);
    PutUnit(4, DirectionOutput, Repeat(L'x', 31), 5, 0x10);
    PutUnit(9, DirectionInput, L"In two", 0, 0x6);
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "peer.example");
    SetPortInfo();
    EXPECT_STREQ(WTCPAddress, L"peer.example");

    FreePortInfo();
    ZeroMemory(CommList, sizeof CommList);
    TCPClientServer = 0;
    ZeroMemory(TCPAddress, sizeof TCPAddress);
    InitPortInfo();

    EXPECT_EQ(DeviceNames(MidiOutDevice), (std::vector<std::wstring>{L"Out one", Repeat(L'x', 31)}));
    EXPECT_EQ(DeviceNames(MidiInDevice), (std::vector<std::wstring>{L"In \x263A", L"In two"}));
    Unit *in0 = IndexToUnit(0, MidiInDevice);
    ASSERT_NE(in0, nullptr);
    EXPECT_EQ(in0->CommUnit, 5);
    EXPECT_EQ(in0->Groups, 0xFFFFFFFFu);
    EXPECT_EQ(in0->ShowNumber, ComputeShowNumber(L"\x0105vening"));
    EXPECT_EQ(in0->ShowNumber, ComputeShowNumber(L"\x05vening"));
    Unit *out1 = IndexToUnit(1, MidiOutDevice);
    ASSERT_NE(out1, nullptr);
    EXPECT_EQ(out1->Groups, 0x10u);
    EXPECT_EQ(TCPClientServer, 1u);
    EXPECT_STREQ(TCPAddress, "peer.example");
    EXPECT_STREQ(WTCPAddress, L"peer.example");
    // Only the shows that a port uses are written.
    EXPECT_STREQ(CommList[0], L"Main show");
    EXPECT_STREQ(CommList[5], L"\x0105vening");
    EXPECT_STREQ(CommList[9], L"");
    EXPECT_EQ(CommCount, 2u);
}

TEST_F(Store, UnusedShowIsNotSaved)
{
    SetShows({{0, L"A"}, {1, L"B"}, {2, L"C"}});
    PutUnit(0, DirectionOutput, L"uses two", 2, 1);
    PutUnit(1, DirectionInput, L"uses zero", 0, 1);
    SetPortInfo();
    Key shows(OpenProductSubkey(L"Shows"));
    ASSERT_TRUE(shows);
    EXPECT_EQ(ValueNames(shows.handle), (std::vector<std::wstring>{L"Show0", L"Show2"}));
}

TEST_F(Store, RejectedSubkeysTakeNoSlot)
{
    testsupport::WriteConfig({{false, 0, 1, L"Good"}}, {L"S"});
    for (const wchar_t *name : {L"Server200", L"Foo", L"Client127"}) {
        Key key(CreateProductSubkey(name));
        SetDword(key.handle, L"Show", 0);
        SetDword(key.handle, L"Groups", 3);
        SetString(key.handle, L"Description", name);
    }
    {
        Key key(OpenProductSubkey(L"Server200"));
        EXPECT_FALSE(GetPortInfo(key.handle, L"Server200"));
        EXPECT_FALSE(GetPortInfo(key.handle, L"Foo"));
        EXPECT_TRUE(GetPortInfo(key.handle, L"Shows"));
        EXPECT_EQ(UsedSlots(), 0);
        EXPECT_EQ(pUnits[0].Direction, 0u) << "an invalid unit number applies nothing";
    }
    InitPortInfo();
    EXPECT_EQ(UsedSlots(), 1);
    EXPECT_EQ(DeviceNames(MidiOutDevice), (std::vector<std::wstring>{L"Good"}));
    EXPECT_EQ(CountDevices(MidiInDevice), 0u);
    EXPECT_EQ(pUnits[1].Direction, 0u);
}

TEST_F(Store, ValueEdgeCases)
{
    testsupport::WriteConfig({}, {L"Zero", L"One"}, 0x10001, L"10.77.0.2");
    {
        Key a(CreateProductSubkey(L"Client0"));  // Show 300, no Groups
        SetDword(a.handle, L"Show", 300);
        SetString(a.handle, L"Description", L"show 300");
        Key b(CreateProductSubkey(L"Client1"));  // no Show at all
        SetDword(b.handle, L"Groups", 2);
        SetString(b.handle, L"Description", L"no show");
        Key c(CreateProductSubkey(L"Client2"));  // show 7 is not listed
        SetDword(c.handle, L"Show", 7);
        SetString(c.handle, L"Description", L"show 7");
        Key d(CreateProductSubkey(L"Client3"));  // beyond the show table
        SetDword(d.handle, L"Show", 0x1C8);       // low 8 bits: 200
        SetString(d.handle, L"Description", L"show 200");
        Key e(CreateProductSubkey(L"Client4"));  // unknown value: still loaded
        SetDword(e.handle, L"Show", 1);
        SetDword(e.handle, L"Colour", 5);
        SetString(e.handle, L"Description", L"with colour");
        EXPECT_FALSE(GetPortInfo(e.handle, L"Client4")) << "an unknown value is reported";
        FreePortInfo();
    }
    InitPortInfo();
    ASSERT_EQ(DeviceNames(MidiOutDevice),
              (std::vector<std::wstring>{L"show 300", L"no show", L"show 7", L"show 200",
                                         L"with colour"}));
    EXPECT_EQ(pUnits[0].CommUnit, 44);
    EXPECT_EQ(pUnits[0].Groups, 0u);
    EXPECT_EQ(pUnits[0].ShowNumber, 0u) << "show 44 has no name";
    EXPECT_EQ(pUnits[1].CommUnit, 0);
    EXPECT_EQ(pUnits[1].ShowNumber, 0u) << "no Show value: show 0 by number, but no CRC";
    EXPECT_EQ(pUnits[1].Groups, 2u);
    EXPECT_EQ(pUnits[2].CommUnit, 7);
    EXPECT_EQ(pUnits[2].ShowNumber, 0u);
    EXPECT_EQ(pUnits[3].CommUnit, 200);
    EXPECT_EQ(pUnits[3].ShowNumber, 0u);
    EXPECT_EQ(pUnits[4].ShowNumber, ComputeShowNumber(L"One"));
    EXPECT_EQ(TCPClientServer, 1u);
    EXPECT_STREQ(TCPAddress, "10.77.0.2");
}

TEST_F(Store, WrongTypeEndsThePortAndItsValuesMergeIntoTheNext)
{
    testsupport::WriteConfig({}, {L"S0", L"S1", L"S2"});
    {
        Key a(CreateProductSubkey(L"Client0"));
        SetDword(a.handle, L"Show", 1);
        SetString(a.handle, L"Groups", L"not a number");
        SetString(a.handle, L"Description", L"never loaded");
        Key b(CreateProductSubkey(L"Server0"));
        SetDword(b.handle, L"Show", 2);
        SetDword(b.handle, L"Groups", 4);
        SetString(b.handle, L"Description", L"merged");
    }
    InitPortInfo();
    EXPECT_EQ(UsedSlots(), 1);
    EXPECT_STREQ(pUnits[0].Description, L"merged");
    EXPECT_EQ(pUnits[0].Direction & 0xFFFF, DirectionInput | DirectionOutput);
    EXPECT_EQ(CountDevices(MidiInDevice), 1u);
    EXPECT_EQ(CountDevices(MidiOutDevice), 1u);
    EXPECT_EQ(pUnits[0].CommUnit, 2);

    Key bad(CreateProductSubkey(L"Client0"));
    EXPECT_FALSE(GetPortInfo(bad.handle, L"Client0"));
}

TEST_F(Store, StringsWithoutTerminatorStayInsideTheirBlocks)
{
    testsupport::WriteConfig({}, {});
    {
        Key a(CreateProductSubkey(L"Client0"));
        SetString(a.handle, L"Description", L"abc", false);
        Key b(CreateProductSubkey(L"Client1"));
        const BYTE odd[] = {'x', 0, 'y', 0, 'z'};  // five bytes
        SetRaw(b.handle, L"Description", REG_SZ, odd, sizeof odd);
        Key c(CreateProductSubkey(L"Client2"));
        SetString(c.handle, L"Description", Repeat(L'q', 31), false);  // 62 bytes
        Key shows(CreateProductSubkey(L"Shows"));
        SetString(shows.handle, L"Show0", Repeat(L's', 31), false);
        Key tcp(CreateProductSubkey(L"TCPInfo"));
        SetString(tcp.handle, L"TCPAddress", L"host", false);
    }
    InitPortInfo();
    EXPECT_EQ(DeviceNames(MidiOutDevice),
              (std::vector<std::wstring>{L"abc", L"xy", Repeat(L'q', 31)}));
    EXPECT_EQ(std::wstring(CommList[0]), Repeat(L's', 31));
    EXPECT_STREQ(TCPAddress, "host");
    EXPECT_STREQ(WTCPAddress, L"host");
}

TEST_F(Store, LongTextsAreSavedButNotReadBack)
{
    SetShows({{0, L"short"}, {1, Repeat(L'L', 32)}, {2, L"after"}});
    PutUnit(0, DirectionOutput, Repeat(L'd', 32), 1, 0x40);  // too long
    PutUnit(1, DirectionInput, L"Next", 2, 0x8);
    PutUnit(2, DirectionOutput, L"Uses zero", 0, 1);
    PutUnit(3, DirectionOutput, Repeat(L'k', 31), 0, 1);     // just fits
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "previous");
    SetPortInfo();  // writes "previous"
    lstrcpyA(TCPAddress, std::string(32, 'a').c_str());
    SetPortInfo();
    {
        Key client0(OpenProductSubkey(L"Client0"));
        std::wstring text;
        ASSERT_TRUE(ReadString(client0.handle, L"Description", text));
        EXPECT_EQ(text, Repeat(L'd', 32)) << "the saver writes it whole";
    }
    lstrcpyA(TCPAddress, "previous");
    lstrcpyW(WTCPAddress, L"previous");
    ZeroMemory(CommList, sizeof CommList);
    InitPortInfo();

    // The long address leaves both copies as they were.
    EXPECT_STREQ(TCPAddress, "previous");
    EXPECT_STREQ(WTCPAddress, L"previous");
    // The long show name ends the list of shows there.
    EXPECT_EQ(CommCount, 1u);
    EXPECT_STREQ(CommList[0], L"short");
    EXPECT_STREQ(CommList[2], L"");
    // The port with the long name takes no slot: its values merge into the
    // next port's slot.
    EXPECT_EQ(DeviceNames(MidiOutDevice),
              (std::vector<std::wstring>{L"Uses zero", Repeat(L'k', 31)}));
    Unit *merged = IndexToUnit(0, MidiOutDevice);
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(merged->Direction & 0xFFFF, DirectionOutput);
    EXPECT_EQ(CountDevices(MidiInDevice), 1u);
}

TEST_F(Store, ShowListNamesAndLimits)
{
    testsupport::WriteConfig({}, {});
    {
        Key shows(CreateProductSubkey(L"Shows"));
        SetString(shows.handle, L"Show", L"bare");
        SetString(shows.handle, L"Show5", L"five");
        InitPortInfo();
    }
    EXPECT_STREQ(CommList[0], L"bare") << "\"Show\" alone is show 0";
    EXPECT_STREQ(CommList[5], L"five");
    EXPECT_EQ(CommCount, 2u);
    {
        Key big(CreateProductSubkey(L"Big"));
        SetString(big.handle, L"Show127", L"too big");
        EXPECT_FALSE(LoadShows(big.handle));
        EXPECT_EQ(CommCount, 2u);
        EXPECT_STREQ(CommList[127], L"");
    }

    // A name that does not start with "Show" (case counts) stops the list.
    testsupport::DeleteProductKey();
    ZeroMemory(CommList, sizeof CommList);
    {
        Key shows(CreateProductSubkey(L"Shows"));
        SetString(shows.handle, L"Apple", L"x");
        SetString(shows.handle, L"Show1", L"one");
        CommCount = 0;
        EXPECT_FALSE(LoadShows(shows.handle));
        EXPECT_EQ(CommCount, 0u);
        EXPECT_STREQ(CommList[1], L"");

        Key lower(CreateProductSubkey(L"Lower"));
        SetString(lower.handle, L"show1", L"lower case");
        EXPECT_FALSE(LoadShows(lower.handle));
        EXPECT_STREQ(CommList[1], L"");

        Key good(CreateProductSubkey(L"Good"));
        SetString(good.handle, L"Show1", L"one");
        SetString(good.handle, L"Show01", L"again");
        EXPECT_TRUE(LoadShows(good.handle));
        EXPECT_EQ(CommCount, 2u) << "a number given twice is listed twice";
        EXPECT_EQ(CommOrder[0], 1);
        EXPECT_EQ(CommOrder[1], 1);
    }
}

TEST_F(Store, MoreShowValuesThanTheListHolds)
{
    testsupport::WriteConfig({}, {});
    Key shows(CreateProductSubkey(L"Shows"));
    for (int n = 0; n < 127; ++n) SetString(shows.handle, (L"Show" + std::to_wstring(n)).c_str(), L"n");
    for (int n = 0; n < 5; ++n)
        SetString(shows.handle, (L"Show00" + std::to_wstring(n)).c_str(), L"again");
    CommCount = 0;
    EXPECT_TRUE(LoadShows(shows.handle));
    EXPECT_EQ(CommCount, 128u);
    for (int i = 0; i < 128; ++i) {
        EXPECT_GE(CommOrder[i], 0);
        EXPECT_LT(CommOrder[i], 127);
    }
}

TEST_F(Store, The128thPortGoesToTheLastRecordAndIsNeitherCountedNorSaved)
{
    std::vector<PortSpec> ports;
    for (int i = 0; i < 64; ++i) ports.push_back({true, 0, 1, L"In " + std::to_wstring(i)});
    for (int i = 0; i < 64; ++i) ports.push_back({false, 0, 1, L"Out " + std::to_wstring(i)});
    testsupport::WriteConfig(ports, {L"S"});
    InitPortInfo();
    EXPECT_EQ(UsedSlots(), 128);
    EXPECT_TRUE(pUnits[UnitTableSize - 1].InUse);
    EXPECT_NE(pUnits[UnitTableSize - 1].Description, nullptr);
    EXPECT_EQ(CountDevices(MidiInDevice) + CountDevices(MidiOutDevice), 127u);
    std::wstring last = pUnits[UnitTableSize - 1].Description;

    SetPortInfo();
    Key product(OpenProductSubkey(L""));
    EXPECT_EQ(SubkeyNames(product.handle).size(), 127u + 2u);  // ports, Shows, TCPInfo
    FreePortInfo();
    EXPECT_EQ(pUnits[UnitTableSize - 1].Description, nullptr);
    InitPortInfo();
    EXPECT_EQ(UsedSlots(), 127);
    for (DWORD type : {MidiInDevice, MidiOutDevice})
        for (const std::wstring &name : DeviceNames(type)) EXPECT_NE(name, last);
}

TEST_F(Store, SaveKeepsTheDebugLevelAndRemovesEverySubkey)
{
    testsupport::WriteConfig({{true, 0, 1, L"a"}, {true, 0, 1, L"b"}, {false, 0, 1, L"c"}}, {L"S"});
    testsupport::SetDebugLevelValue(0);
    {
        Key stray(CreateProductSubkey(L"Stray"));
        Key nested(CreateProductSubkey(L"Server1\\Nested\\Deeper"));
    }
    PutUnit(0, DirectionOutput, L"only", 0, 1);
    SetPortInfo();  // must end although Server1 has subkeys of its own
    Key product(OpenProductSubkey(L""));
    EXPECT_EQ(SubkeyNames(product.handle),
              (std::vector<std::wstring>{L"Client0", L"Shows", L"TCPInfo"}));
    DWORD level = 99;
    EXPECT_TRUE(ReadDword(product.handle, L"PrintDebugInfo", level));
    EXPECT_EQ(level, 0u);
}
