// test-locks: registry
// test-timeout: 300
// DRV_INSTALL and DRV_REMOVE through the library's DriverProc, as the
// multimedia system sends them: the Drivers32 slot, the Cpls entry, the
// copy into the system folder, the move aside on removal and the default
// configuration of a first installation, checked in the test prefix's
// registry and file system.
#include <gtest/gtest.h>
#include "support/support.h"
#include "support/ui_debugger.h"
#include "support/ui_driver.h"
#include "support/ui_registry.h"
#include <algorithm>

namespace {

const std::wstring Drivers32 = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const std::wstring Cpls = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
const std::wstring Product = L"Software\\Kalvera\\Tessmar";
const std::wstring SessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The Drivers32 entry: the file name without a terminator.
ui::RegValue DriverEntry() { return ui::RawText(REG_SZ, L"Tessmar.dll"); }

std::wstring SystemCopy() { return ui::SystemDirectory() + L"\\Tessmar.dll"; }
std::wstring DeleteMe(int n) { return L"C:\\Tessmar" + std::to_wstring(n) + L".deleteme"; }

// Sends DRV_INSTALL or DRV_REMOVE through the library's DriverProc.
LRESULT SendInstall(bool install)
{
    testsupport::DriverDll dll;
    if (!dll.Load()) return -1;
    return dll.Send(install ? DRV_INSTALL : DRV_REMOVE);
}

// Names of the Drivers32 values whose data names the driver.
std::vector<std::wstring> DriverEntries()
{
    std::vector<std::wstring> names;
    for (auto &entry : ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32))
        if (lstrcmpiW(ui::AsText(entry.second).c_str(), L"Tessmar.dll") == 0)
            names.push_back(entry.first);
    return names;
}

void RemoveFile(const std::wstring &path)
{
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
}

// Every test starts from a machine without the driver: empty Drivers32,
// a Cpls key without our value, no copy in the system folder, no product
// key. Whatever the prefix held before is put back afterwards.
class Install : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto &entry : ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32))
            ui::DeleteValue(HKEY_LOCAL_MACHINE, Drivers32, entry.first);
        ui::WriteValue(HKEY_LOCAL_MACHINE, Cpls, L"Tessmar", ui::RawText(REG_SZ, L"x"));
        ui::DeleteValue(HKEY_LOCAL_MACHINE, Cpls, L"Tessmar");
        testsupport::DeleteProductKey();
        CleanFiles();
    }

    void TearDown() override
    {
        CleanFiles();
        testsupport::DeleteProductKey();
    }

    void CleanFiles()
    {
        RemoveFile(SystemCopy());
        for (int n = 0; n < 4; ++n) RemoveFile(DeleteMe(n));
    }

    ui::SavedKey drivers32_{HKEY_LOCAL_MACHINE, Drivers32};
    ui::SavedKey cpls_{HKEY_LOCAL_MACHINE, Cpls};
    ui::SavedKey pending_{HKEY_LOCAL_MACHINE, SessionManager};
};

TEST_F(Install, FirstInstallationRegistersCopiesAndWritesTheDefaults)
{
    ASSERT_EQ(SendInstall(true), 1);

    ui::ValueMap drivers = ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32);
    ASSERT_EQ(drivers.size(), 1u);
    EXPECT_EQ(drivers.begin()->first, L"midi0");
    EXPECT_EQ(drivers.begin()->second, DriverEntry());  // REG_SZ, 22 bytes, no terminator
    EXPECT_EQ(drivers.begin()->second.data.size(), 22u);

    ui::RegValue cpl;
    ASSERT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, Cpls, L"Tessmar", &cpl));
    EXPECT_EQ(cpl.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(cpl.data.size(), 66u);
    EXPECT_EQ(cpl, ui::RawText(REG_EXPAND_SZ, L"%SystemRoot%\\system32\\Tessmar.dll"));

    std::vector<BYTE> copy = ui::FileBytes(SystemCopy());
    ASSERT_FALSE(copy.empty());
    EXPECT_TRUE(copy == ui::FileBytes(ui::CurrentDirectory() + L"\\Tessmar.dll"));

    ui::KeyTree expected = {
        {L"", {}},
        {L"Server0",
         {{L"Show", ui::Dword(0)}, {L"Groups", ui::Dword(1)}, {L"Description", ui::String(L"Configure Me")}}},
        {L"Client0",
         {{L"Show", ui::Dword(0)}, {L"Groups", ui::Dword(1)}, {L"Description", ui::String(L"Configure Me")}}},
        {L"TCPInfo", {{L"TCPClientServer", ui::Dword(0)}, {L"TCPAddress", ui::String(L"")}}},
        {L"Shows", {{L"Show0", ui::String(L"My Config Show")}}},
    };
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == expected);
    ui::RegValue description;
    ASSERT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, Product + L"\\Server0", L"Description", &description));
    EXPECT_EQ(description.data.size(), 26u);
}

TEST_F(Install, SecondInstallationChangesNothing)
{
    ASSERT_EQ(SendInstall(true), 1);
    // A configuration the user has edited since, and a system copy that
    // differs from the build's file: neither may be replaced.
    ui::WriteValue(HKEY_LOCAL_MACHINE, Product + L"\\Server0", L"Description", ui::String(L"Stage left"));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (Product + L"\\Client0").c_str());
    std::vector<BYTE> marker = {'o', 'l', 'd'};
    ASSERT_TRUE(ui::WriteFileBytes(SystemCopy(), marker));
    ui::ValueMap drivers = ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32);
    ui::ValueMap cpls = ui::ReadValues(HKEY_LOCAL_MACHINE, Cpls);
    ui::KeyTree product = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);

    ASSERT_EQ(SendInstall(true), 1);

    EXPECT_TRUE(ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32) == drivers);
    EXPECT_TRUE(ui::ReadValues(HKEY_LOCAL_MACHINE, Cpls) == cpls);
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == product);
    EXPECT_TRUE(ui::FileBytes(SystemCopy()) == marker);
}

struct SlotCase {
    std::vector<std::wstring> present;  // values of other drivers
    std::wstring expected;              // the name the installer takes
};

TEST_F(Install, TakesTheFirstFreeMidiSlot)
{
    const SlotCase cases[] = {
        {{L"midi", L"midi1"}, L"midi2"},
        {{L"midi1"}, L"midi0"},
        {{L"midimapper"}, L"midi0"},        // a name going on with a letter is no slot
        {{L"MIDI", L"Midi1", L"mIdI2"}, L"midi3"},  // case does not matter
        {{L"midi0", L"midi2", L"wavemapper", L"msacm.imaadpcm"}, L"midi1"},
        {{L"midi0", L"midi 1"}, L"midi1"},  // a blank after the letters is no slot
    };
    for (const SlotCase &c : cases) {
        SCOPED_TRACE(testing::Message() << "expected " << std::string(c.expected.begin(), c.expected.end()));
        for (auto &entry : ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32))
            ui::DeleteValue(HKEY_LOCAL_MACHINE, Drivers32, entry.first);
        for (const std::wstring &name : c.present)
            ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, name, ui::String(L"other.dll"));
        ui::ValueMap before = ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32);

        ASSERT_EQ(SendInstall(true), 1);

        ui::ValueMap after = ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32);
        ASSERT_EQ(after.size(), before.size() + 1);
        for (auto &entry : before) EXPECT_TRUE(after[entry.first] == entry.second);
        EXPECT_EQ(DriverEntries(), std::vector<std::wstring>{c.expected});
    }
}

TEST_F(Install, DuplicateSlotWarnsOnceAndTheScanGoesOn)
{
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi1", ui::String(L"one.dll"));
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi01", ui::String(L"also-one.dll"));
    ui::SessionThread installer([] { return static_cast<LONG_PTR>(SendInstall(true)); });

    HWND box = ui::WaitForMessageBox(nullptr, 10000);
    ASSERT_NE(box, nullptr);
    ui::MessageBoxSeen seen = ui::ReadMessageBox(box);
    EXPECT_EQ(seen.title, L"Tessmar Registry Error");
    EXPECT_EQ(seen.text, L"Oops! Duplicate MIDI[n]");
    EXPECT_TRUE(seen.ok);
    EXPECT_FALSE(seen.cancel || seen.yes || seen.no);
    EXPECT_TRUE(seen.exclamation);
    EXPECT_EQ(seen.owner, nullptr);
    ASSERT_TRUE(ui::AnswerMessageBox(box, IDOK));

    ASSERT_TRUE(installer.Wait(10000));
    EXPECT_EQ(installer.Result(), 1);
    EXPECT_EQ(ui::WaitForMessageBox(nullptr, 0), nullptr);
    EXPECT_EQ(DriverEntries(), std::vector<std::wstring>{L"midi0"});
}

// Values the scan's buffers cannot hold still take their slots: the
// installer never writes over another driver's value.
TEST_F(Install, NeverWritesOverAnotherDriversValue)
{
    std::wstring longPath(60, L'x');  // 122 bytes of data
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi0", ui::String(longPath));
    std::wstring longName = L"midi1" + std::wstring(70, L'0');  // slot 1, name of 75 characters
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, longName, ui::String(L"other.dll"));
    ASSERT_EQ(SendInstall(true), 1);
    ui::RegValue kept;
    ASSERT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi0", &kept));
    EXPECT_EQ(kept, ui::String(longPath));
    EXPECT_EQ(DriverEntries(), std::vector<std::wstring>{L"midi1"});
}

TEST_F(Install, AllSlotsTakenLeavesMidi128Alone)
{
    for (int slot = 0; slot < 128; ++slot)
        ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi" + std::to_wstring(slot), ui::String(L"o.dll"));
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi128", ui::String(L"keep.dll"));
    ASSERT_EQ(SendInstall(true), 1);
    ui::RegValue kept;
    ASSERT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi128", &kept));
    EXPECT_EQ(kept, ui::String(L"keep.dll"));
    EXPECT_TRUE(DriverEntries().empty());
    EXPECT_EQ(ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32).size(), 129u);
}

// The pending deletions the system carries out at the next restart.
std::wstring PendingRenames()
{
    ui::RegValue pending;
    if (!ui::ReadValue(HKEY_LOCAL_MACHINE, SessionManager, L"PendingFileRenameOperations", &pending))
        return L"";
    std::wstring text(reinterpret_cast<const WCHAR *>(pending.data.data()),
                      pending.data.size() / sizeof(WCHAR));
    std::replace(text.begin(), text.end(), L'\0', L'|');
    return text;
}

TEST_F(Install, RemovalTakesOutItsEntriesAndMovesTheFileAside)
{
    ASSERT_EQ(SendInstall(true), 1);
    // A second value naming the driver, later in enumeration order: only
    // the first one found is removed.
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi9", ui::String(L"TESSMAR.DLL"));
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi5", ui::String(L"other.dll"));
    std::vector<BYTE> installed = ui::FileBytes(SystemCopy());
    ui::KeyTree configuration = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);

    ASSERT_EQ(SendInstall(false), 1);

    ui::ValueMap drivers = ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32);
    EXPECT_EQ(drivers.count(L"midi0"), 0u);
    EXPECT_EQ(drivers.count(L"midi9"), 1u);
    EXPECT_EQ(drivers.count(L"midi5"), 1u);
    ui::RegValue cpl;
    EXPECT_FALSE(ui::ReadValue(HKEY_LOCAL_MACHINE, Cpls, L"Tessmar", &cpl));
    EXPECT_EQ(GetFileAttributesW(SystemCopy().c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(ui::FileBytes(DeleteMe(0)) == installed);
    EXPECT_NE(PendingRenames().find(L"Tessmar0.deleteme"), std::wstring::npos) << PendingRenames().c_str();
    // The user's configuration stays for a later installation.
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == configuration);
}

TEST_F(Install, RemovalMovesToTheNextFreeName)
{
    std::vector<BYTE> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    ASSERT_TRUE(ui::WriteFileBytes(DeleteMe(0), earlier));
    ASSERT_EQ(SendInstall(true), 1);
    std::vector<BYTE> installed = ui::FileBytes(SystemCopy());
    ASSERT_EQ(SendInstall(false), 1);
    EXPECT_TRUE(ui::FileBytes(DeleteMe(0)) == earlier);
    EXPECT_TRUE(ui::FileBytes(DeleteMe(1)) == installed);
    EXPECT_EQ(GetFileAttributesW(SystemCopy().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Install, ReinstallationKeepsTheUserConfiguration)
{
    ASSERT_EQ(SendInstall(true), 1);
    testsupport::WriteConfig({{true, 0, 6, L"Keys"}, {false, 1, 2, L"Lights"}}, {L"Band", L"Rig"}, 1,
                             L"10.0.0.2");
    ui::KeyTree configuration = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);
    ASSERT_EQ(SendInstall(false), 1);
    ASSERT_EQ(SendInstall(true), 1);
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == configuration);
    EXPECT_EQ(DriverEntries(), std::vector<std::wstring>{L"midi0"});
    EXPECT_FALSE(ui::FileBytes(SystemCopy()).empty());
}

TEST_F(Install, RemovalOfADriverThatIsNotInstalledDoesNothing)
{
    ui::WriteValue(HKEY_LOCAL_MACHINE, Drivers32, L"midi0", ui::String(L"other.dll"));
    ui::ValueMap drivers = ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32);
    ASSERT_EQ(SendInstall(false), 1);
    EXPECT_TRUE(ui::ReadValues(HKEY_LOCAL_MACHINE, Drivers32) == drivers);
    EXPECT_FALSE(ui::KeyExists(HKEY_LOCAL_MACHINE, Product));
    EXPECT_EQ(GetFileAttributesW(DeleteMe(0).c_str()), INVALID_FILE_ATTRIBUTES);
}

// The traces of each stage, read from the debugger output of a separate
// process that sends the message.
std::vector<std::wstring> TracesOf(const wchar_t *message)
{
    ui::DebugRun run = ui::RunUnderDebugger(std::wstring(L"driver_message.exe ") + message);
    EXPECT_TRUE(run.started && run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    return run.output;
}

TEST_F(Install, EveryStageTracesToTheDebuggerOutput)
{
    const std::wstring found =
        L"Found HKLM\\SOFTWARE{\\Wow6432Node}\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32\n";
    const std::wstring system = L"System32: " + SystemCopy() + L"\n";
    std::vector<std::wstring> first = {
        L"Install\n", found, L"firstmissing MIDI found is 0\n", L"Installing midi0 aka Tessmar.dll\n",
        L"cpls key found\n", L"if ( !foundTS && INSTALL_remove )\n", system,
        L"if ( !FileExists() && INSTALL_remove )\n"};
    EXPECT_EQ(TracesOf(L"install"), first);

    std::vector<std::wstring> second = {
        L"Install\n", found, L"** FOUND ME ** midi0\n", L"firstmissing MIDI found is 1\n",
        L"cpls key found\n", L"Found Tessmar value\n", L"Found my CPL\n",
        L"Nothing to do. Move on to Copy\n", system, L"Nothing to do!\n"};
    EXPECT_EQ(TracesOf(L"install"), second);

    std::vector<std::wstring> removal = {
        L"Remove\n", found, L"** FOUND ME ** midi0\n", L"firstmissing MIDI found is 1\n",
        L"Removing midi0 aka Tessmar.dll\n", L"cpls key found\n", L"Found Tessmar value\n",
        L"Found my CPL\n", L"if ( foundTS && !INSTALL_remove )\n", system,
        L"if ( !FileExists() && INSTALL_remove )\n",
        L"Moving " + SystemCopy() + L" to C:\\Tessmar0.deleteme\n",
        L"Tessmar.dllwill be gone after the next boot."};
    EXPECT_EQ(TracesOf(L"remove"), removal);

    std::vector<std::wstring> nothing = {
        L"Remove\n", found, L"firstmissing MIDI found is 0\n", L"cpls key found\n",
        L"Nothing to do. Move on to Copy\n", system, L"Nothing to do!\n"};
    EXPECT_EQ(TracesOf(L"remove"), nothing);
}

}  // namespace
