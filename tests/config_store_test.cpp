// The configuration store against the real registry of the test prefix:
// what the saver writes, what the loader makes of odd values, and limits.
#include <gtest/gtest.h>
#include "config/config.h"
#include "support/support.h"

using namespace testsupport;

namespace {

using Names = std::vector<std::wstring>;

// Reads the configuration into a cleared table (no key: nothing).
void Reload()
{
    FreePortInfo();
    ZeroMemory(CommList, sizeof CommList);
    InitPortInfo();
}

void Put(const std::wstring &subkey, const std::wstring &name, const RegValue &value)
{
    SetValue(ProductPath(subkey), name, value);
}

class Store : public testing::Test {
protected:
    void SetUp() override { Reload(); }
    void TearDown() override { FreePortInfo(); DeleteProductKey(); }
};

// The saver renumbers the ports in slot order, writes only the shows that
// a port uses, keeps the debug level and removes every other subkey (with
// subkeys of its own); the loader makes the identifiers dense again.
TEST_F(Store, SaveWritesTheRegistryLayout)
{
    WriteConfig({{true, 0, 1, L"a"}, {true, 0, 1, L"b"}}, {L"S"});
    SetDebugLevelValue(0);
    Put(L"Server1\\Nested\\Deeper", L"x", Dword(1));
    PutUnit(3, DirectionInput, L"In at three", 3, 0x5);
    PutUnit(7, DirectionOutput, L"Out \x263A", 5, 0x80000000);
    PutUnit(9, DirectionInput, std::wstring(31, L'x'), 0, 0xFFFFFFFF);
    const std::pair<SHORT, const wchar_t *> shows[] = {
        {3, L"Three"}, {0, L"Zero"}, {9, L"Unused"}, {5, L"\x0105vening"}};
    CommCount = 0;
    for (auto show : shows) lstrcpyW(CommList[show.first], show.second), CommOrder[CommCount++] = show.first;
    TCPClientServer = 1;
    lstrcpyA(TCPAddress, "peer.example");
    SetPortInfo();
    EXPECT_STREQ(WTCPAddress, L"peer.example");
    EXPECT_TRUE(ReadTree(ProductPath()) ==
                (KeyTree{{L"", {{L"PrintDebugInfo", Dword(0)}}},
                         {L"Server0", PortValues(3, 5, L"In at three")},
                         {L"Client0", PortValues(5, 0x80000000, L"Out \x263A")},
                         {L"Server1", PortValues(0, 0xFFFFFFFF, std::wstring(31, L'x'))},
                         {L"Shows", {{L"Show0", Text(L"Zero")}, {L"Show3", Text(L"Three")},
                                     {L"Show5", Text(L"\x0105vening")}}},
                         {L"TCPInfo", {{L"TCPClientServer", Dword(1)}, {L"TCPAddress", Text(L"peer.example")}}}}));
    TCPClientServer = 0;
    Reload();
    EXPECT_EQ(DeviceNames(MidiInDevice), (Names{L"In at three", std::wstring(31, L'x')}));
    EXPECT_EQ(DeviceNames(MidiOutDevice), Names{L"Out \x263A"});
    EXPECT_EQ(pUnits[0].ShowNumber, ComputeShowNumber(L"\x05vening"));
    EXPECT_TRUE(pUnits[0].Groups == 0x80000000 && pUnits[0].OpenHandle == INVALID_SOCKET);
    EXPECT_TRUE(CommCount == 3 && TCPClientServer == 1 && lstrcmpA(TCPAddress, "peer.example") == 0);
}

// Hand-made subkeys: what each port keeps, and which take no slot.
TEST_F(Store, LoaderOnOddValues)
{
    WriteConfig({}, {L"Zero", L"One"}, 0x10001, L"10.77.0.2");
    Put(L"Client0", L"Show", Dword(300));  // low 8 bits: show 44, which has no name; no Groups
    Put(L"Client0", L"Description", Text(L"show 300"));
    Put(L"Client1", L"Groups", Dword(2));  // no Show: show 0 by number, but no name's CRC
    Put(L"Client1", L"Description", Text(L"no show"));
    Put(L"Client2", L"Show", Dword(1));  // an unknown value is reported, the port still loads
    Put(L"Client2", L"Colour", Dword(5));
    Put(L"Client2", L"Description", Text(L"with colour"));
    Put(L"Client3", L"Description", Text(L"abc", false));  // no terminator
    Put(L"Client4", L"Description", RegValue{REG_SZ, {'x', 0, 'y', 0, 'z'}});  // odd length
    Put(L"Client5", L"Description", Text(std::wstring(31, L'q'), false));
    for (const wchar_t *rejected : {L"Server200", L"Client127", L"Foo"})
        Put(rejected, L"Description", Text(rejected));
    Reload();
    EXPECT_EQ(DeviceNames(MidiOutDevice),
              (Names{L"show 300", L"no show", L"with colour", L"abc", L"xy", std::wstring(31, L'q')}));
    EXPECT_EQ(CountDevices(MidiInDevice) + pUnits[6].InUse, 0u) << "rejected subkeys take no slot";
    EXPECT_TRUE(pUnits[0].CommUnit == 44 && pUnits[0].ShowNumber == 0 && pUnits[0].Groups == 0);
    EXPECT_TRUE(pUnits[1].CommUnit == 0 && pUnits[1].ShowNumber == 0);
    EXPECT_EQ(pUnits[2].ShowNumber, ComputeShowNumber(L"One"));
    EXPECT_TRUE(TCPClientServer == 1 && lstrcmpA(TCPAddress, "10.77.0.2") == 0);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProductPath(L"Client2").c_str(), 0, KEY_READ, &key), 0);
    EXPECT_FALSE(GetPortInfo(key, L"Client2") || GetPortInfo(key, L"Server200"));
    RegCloseKey(key);
}

// A port whose value has the wrong type, or whose text is too long, takes
// no slot: its values merge into the next port's slot. Long texts are saved
// whole but not read back; a long show name ends the show list.
TEST_F(Store, PortsThatEndEarlyMergeIntoTheNext)
{
    const wchar_t *shows[] = {L"short", L"LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL", L"after"};
    for (SHORT n = 0; n < 3; ++n) lstrcpyW(CommList[n], shows[n]), CommOrder[n] = n;
    CommCount = 3;
    PutUnit(0, DirectionOutput, std::wstring(32, L'd'), 1, 0x40);
    PutUnit(1, DirectionInput, L"Next", 2, 0x8);
    PutUnit(2, DirectionOutput, L"Uses zero", 0, 1);
    lstrcpyA(TCPAddress, std::string(32, 'a').c_str());
    SetPortInfo();
    EXPECT_TRUE(ReadValues(ProductPath(L"Client0")) == PortValues(1, 0x40, std::wstring(32, L'd')));
    Put(L"Client2", L"Groups", Text(L"not a number"));
    Put(L"Client2", L"Description", Text(L"never loaded"));
    lstrcpyA(TCPAddress, "previous");
    lstrcpyW(WTCPAddress, L"previous");
    Reload();
    EXPECT_EQ(DeviceNames(MidiOutDevice), (Names{L"Uses zero", L"Next"}));
    EXPECT_EQ(DeviceNames(MidiInDevice), Names{L"Next"});
    EXPECT_EQ(pUnits[2].InUse, 0);
    EXPECT_TRUE(lstrcmpA(TCPAddress, "previous") == 0 && lstrcmpW(WTCPAddress, L"previous") == 0);
    EXPECT_TRUE(CommCount == 1 && CommList[2][0] == 0);
}

}  // namespace
