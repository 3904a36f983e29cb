// DRV_INSTALL and DRV_REMOVE through the library's DriverProc, as the
// multimedia system sends them, checked in the test prefix's registry and
// file system: the Drivers32 slot, the Cpls entry, the copy in the system
// folder and its move aside, the default configuration.
#include <gtest/gtest.h>
#include "support/support.h"

using namespace testsupport;

namespace {

const std::wstring Drivers32 = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const std::wstring Cpls = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
const std::wstring SessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::wstring SystemCopy() { return SystemDirectory() + L"\\Tessmar.dll"; }
std::wstring DeleteMe(int n) { return L"C:\\Tessmar" + std::to_wstring(n) + L".deleteme"; }

LRESULT SendInstall(bool install)
{
    DriverDll dll;
    return dll.Load() ? dll.Send(install ? DRV_INSTALL : DRV_REMOVE) : -1;
}

// Names of the Drivers32 values whose data names the driver.
std::vector<std::wstring> DriverEntries()
{
    std::vector<std::wstring> names;
    for (auto &entry : ReadValues(Drivers32))
        if (lstrcmpiW(AsText(entry.second).c_str(), L"Tessmar.dll") == 0) names.push_back(entry.first);
    return names;
}

// Every test starts without the driver: empty Drivers32, a Cpls key without
// our value, no system copy, no product key; the keys are put back after.
class Install : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto &entry : ReadValues(Drivers32)) DeleteValue(Drivers32, entry.first);
        SetValue(Cpls, L"Tessmar", Dword(0));
        DeleteValue(Cpls, L"Tessmar");
        TearDown();
    }
    void TearDown() override
    {
        DeleteProductKey();
        for (const std::wstring &file : {SystemCopy(), DeleteMe(0), DeleteMe(1), DeleteMe(2)})
            DeleteFileW(file.c_str());
    }
    SavedKey drivers32_{Drivers32}, cpls_{Cpls}, pending_{SessionManager};
};

// The first installation registers, copies and writes the default
// configuration; the next changes nothing: neither a configuration edited
// since nor a system copy that differs from the build's.
TEST_F(Install, FirstInstallationAndAgain)
{
    ASSERT_EQ(SendInstall(true), 1);
    EXPECT_TRUE(ReadValues(Drivers32) == (ValueMap{{L"midi0", Text(L"Tessmar.dll", false)}}));
    EXPECT_TRUE(ReadValues(Cpls)[L"Tessmar"] == Text(L"%SystemRoot%\\system32\\Tessmar.dll", false, REG_EXPAND_SZ));
    EXPECT_EQ(ReadFileBytes(SystemCopy()), ReadFileBytes(DllPath()));
    KeyTree defaults = {
        {L"", {}},
        {L"Server0", PortValues(0, 1, L"Configure Me")},
        {L"Client0", PortValues(0, 1, L"Configure Me")},
        {L"TCPInfo", {{L"TCPClientServer", Dword(0)}, {L"TCPAddress", Text(L"")}}},
        {L"Shows", {{L"Show0", Text(L"My Config Show")}}},
    };
    EXPECT_TRUE(ReadTree(ProductPath()) == defaults);

    SetValue(ProductPath(L"Server0"), L"Description", Text(L"Stage left"));
    ASSERT_TRUE(WriteFileBytes(SystemCopy(), "old"));
    KeyTree product = ReadTree(ProductPath());
    ValueMap drivers = ReadValues(Drivers32), cpls = ReadValues(Cpls);
    ASSERT_EQ(SendInstall(true), 1);
    EXPECT_TRUE(ReadValues(Drivers32) == drivers && ReadValues(Cpls) == cpls && ReadTree(ProductPath()) == product);
    EXPECT_EQ(ReadFileBytes(SystemCopy()), "old");
}

// The installer takes the first free midi slot and never writes over
// another driver's value, even one whose data its scan cannot read whole.
TEST_F(Install, TakesTheFirstFreeMidiSlot)
{
    std::vector<std::wstring> all;
    for (int slot = 0; slot < 129; ++slot) all.push_back(L"midi" + std::to_wstring(slot));
    const std::pair<std::vector<std::wstring>, std::wstring> cases[] = {  // other drivers' values, the slot taken
        {{L"midi", L"midi1"}, L"midi2"},
        {{L"midi1", L"midimapper", L"wavemapper", L"msacm.imaadpcm"}, L"midi0"},
        {{L"MIDI", L"Midi1", L"mIdI2"}, L"midi3"},                 // case does not matter
        {{L"midi0", L"midi 1"}, L"midi1"},                          // a blank after the letters is no slot
        {{L"midi0", L"midi1" + std::wstring(70, L'0')}, L"midi1"},  // a name of 75 characters
        {all, L""},                                                 // midi128 is no slot
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        for (auto &entry : ReadValues(Drivers32)) DeleteValue(Drivers32, entry.first);
        for (const std::wstring &name : c.first)
            SetValue(Drivers32, name, Text(name == L"midi0" ? std::wstring(60, L'x') : L"other.dll"));
        ValueMap before = ReadValues(Drivers32);
        ASSERT_EQ(SendInstall(true), 1);
        ValueMap after = ReadValues(Drivers32);
        for (auto &entry : before) EXPECT_TRUE(after[entry.first] == entry.second);
        EXPECT_EQ(DriverEntries(), std::vector<std::wstring>(!c.second.empty(), c.second));
        EXPECT_EQ(after.size(), before.size() + !c.second.empty());
    }
}

// Removal takes out the first value naming the driver and the Cpls entry,
// moves the file to the next free C:\Tessmar<n>.deleteme for deletion at the
// next restart, and keeps the user's configuration for a later installation.
TEST_F(Install, RemovalAndReinstallation)
{
    ASSERT_TRUE(WriteFileBytes(DeleteMe(0), "earlier"));
    ASSERT_EQ(SendInstall(true), 1);
    SetValue(Drivers32, L"midi9", Text(L"TESSMAR.DLL"));
    WriteConfig({{true, 0, 6, L"Keys"}}, {L"Band"}, 1, L"10.0.0.2");
    KeyTree configuration = ReadTree(ProductPath());
    std::string installed = ReadFileBytes(SystemCopy());
    ASSERT_EQ(SendInstall(false), 1);
    EXPECT_EQ(DriverEntries(), std::vector<std::wstring>{L"midi9"});
    EXPECT_EQ(ReadValues(Cpls).count(L"Tessmar"), 0u);
    EXPECT_EQ(GetFileAttributesW(SystemCopy().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadFileBytes(DeleteMe(0)), "earlier");
    EXPECT_EQ(ReadFileBytes(DeleteMe(1)), installed);
    EXPECT_NE(AsText(ReadValues(SessionManager)[L"PendingFileRenameOperations"]).find(L"Tessmar1.deleteme"),
              std::wstring::npos);
    EXPECT_TRUE(ReadTree(ProductPath()) == configuration);

    DeleteValue(Drivers32, L"midi9");
    ASSERT_EQ(SendInstall(true), 1);
    EXPECT_TRUE(ReadTree(ProductPath()) == configuration);
    EXPECT_EQ(DriverEntries(), std::vector<std::wstring>{L"midi0"});

    // Removing a driver that is not installed changes nothing.
    ASSERT_EQ(SendInstall(false), 1);
    SetValue(Drivers32, L"midi1", Text(L"other.dll"));
    DeleteProductKey();
    ASSERT_EQ(SendInstall(false), 1);
    EXPECT_TRUE(ReadValues(Drivers32) == (ValueMap{{L"midi1", Text(L"other.dll")}}));
    EXPECT_TRUE(ReadTree(ProductPath()).empty());
}

}  // namespace
