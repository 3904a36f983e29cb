// test-locks: registry port12555
// test-timeout: 600
// Configure sessions of the real library as applications and the Control
// Panel start them: DRV_CONFIGURE's answers and placement, one session per
// process, open ports across a commit, the debug level choices, and the
// whole road from installation through the dialog to the device list of a
// fresh load of the driver.
#include <gtest/gtest.h>
#include "support/support.h"
#include "support/ui_registry.h"
#include "support/ui_session.h"
#include <cpl.h>

namespace {

using ui::MessageBoxSeen;

const std::wstring Product = L"Software\\Kalvera\\Tessmar";

DWORD OpenOutput(testsupport::DriverDll &dll, UINT device, DWORD_PTR *instance)
{
    MIDIOPENDESC desc = {};
    return dll.modMessage(device, MODM_OPEN, reinterpret_cast<DWORD_PTR>(instance),
                          reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL);
}

DWORD CloseOutput(testsupport::DriverDll &dll, UINT device, DWORD_PTR instance)
{
    return dll.modMessage(device, MODM_CLOSE, instance, 0, 0);
}

std::wstring OutputName(testsupport::DriverDll &dll, UINT device)
{
    MIDIOUTCAPSW caps = {};
    if (dll.modMessage(device, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps) != 0)
        return L"?";
    return caps.szPname;
}

std::wstring InputName(testsupport::DriverDll &dll, UINT device)
{
    MIDIINCAPSW caps = {};
    if (dll.midMessage(device, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps) != 0)
        return L"?";
    return caps.szPname;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::DeleteProductKey();
        testsupport::WriteConfig({{true, 0, 1, L"Keys"}, {false, 1, 2, L"Lights"}}, {L"Band", L"Rig"});
    }
    void TearDown() override
    {
        session_.reset();
        dll_.Unload();
        testsupport::DeleteProductKey();
    }

    testsupport::DriverDll dll_;
    std::unique_ptr<ui::Configurator> session_;
};

// The dialog is centred on its owner, pulled back inside the screen when
// that would push it off, and centred on the screen without an owner.
RECT Expected(RECT dialog, const RECT *owner)
{
    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    int w = dialog.right - dialog.left, h = dialog.bottom - dialog.top;
    int x, y;
    if (owner) {
        x = owner->left + (owner->right - owner->left - w) / 2;
        y = owner->top + (owner->bottom - owner->top - h) / 2;
        if (x + w > screenWidth) x = screenWidth - w;
        if (y + h > screenHeight) y = screenHeight - h;
    } else {
        x = (screenWidth - w) / 2;
        y = (screenHeight - h) / 2;
    }
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    return {x, y, x + w, y + h};
}

void ExpectPlaced(HWND dialog, const RECT *owner)
{
    RECT actual = ui::WindowRect(dialog);
    RECT expected = Expected(actual, owner);
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
}

TEST_F(Session, ConfigureAnswersOneAfterDoneAndZeroAfterCancel)
{
    ASSERT_TRUE(dll_.Load());
    ASSERT_TRUE(dll_.LoadDriver());
    EXPECT_EQ(dll_.Send(DRV_QUERYCONFIGURE), 1);

    // Done without edits: the registry is rewritten, the box comes, owned by
    // the application's window, and the answer is DRVCNF_OK.
    ui::WriteValue(HKEY_LOCAL_MACHINE, Product + L"\\Shows", L"Show7", ui::String(L"Unused"));
    {
        ui::OwnerWindow owner({100, 80, 700, 580});
        session_.reset(new ui::Configurator(dll_));
        ASSERT_TRUE(session_->OpenConfigure(owner.Window()));
        RECT ownerRect = ui::WindowRect(owner.Window());
        ExpectPlaced(session_->Dialog(), &ownerRect);
        EXPECT_EQ(ui::ListLines(session_->Dialog(), ui::InputList), std::vector<std::wstring>{L"Band\tKeys"});
        MessageBoxSeen after = session_->Done();
        EXPECT_EQ(after.text, ui::AfterDoneText);
        EXPECT_EQ(after.title, L"Tessmar Configurator");
        EXPECT_TRUE(after.ok && !after.cancel && after.exclamation);
        EXPECT_EQ(after.owner, owner.Window());
        LONG_PTR result = -1;
        ASSERT_TRUE(session_->Finished(&result));
        EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(ui::ProductValues(L"Shows").count(L"Show7"), 0u);

    // Cancel after an edit: nothing is written, no box follows, DRVCNF_CANCEL.
    ui::KeyTree before = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);
    {
        ui::OwnerWindow owner({900, 700, 1250, 1000});  // near the corner
        session_.reset(new ui::Configurator(dll_));
        ASSERT_TRUE(session_->OpenConfigure(owner.Window()));
        RECT ownerRect = ui::WindowRect(owner.Window());
        ExpectPlaced(session_->Dialog(), &ownerRect);
        ui::ClickLine(session_->Dialog(), ui::InputList, 0);
        ASSERT_EQ(ui::Press(session_->Dialog(), ui::Delete, {IDYES}).size(), 1u);
        EXPECT_EQ(session_->Cancel(IDYES).size(), 1u);
        LONG_PTR result = -1;
        ASSERT_TRUE(session_->Finished(&result));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(ui::WaitForMessageBox(nullptr, 300), nullptr);
    }
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == before);
    // Cancel left the live table alone: the port is still offered.
    EXPECT_EQ(dll_.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 1u);
    dll_.FreeDriver();
}

TEST_F(Session, AppletIsCentredOnTheScreen)
{
    ASSERT_TRUE(dll_.Load());
    session_.reset(new ui::Configurator(dll_));
    ASSERT_TRUE(session_->OpenApplet());
    ExpectPlaced(session_->Dialog(), nullptr);
    EXPECT_TRUE(session_->Cancel().empty());
}

TEST_F(Session, ASecondSessionInTheProcessIsRefused)
{
    ASSERT_TRUE(dll_.Load());
    ASSERT_TRUE(dll_.LoadDriver());
    session_.reset(new ui::Configurator(dll_));
    ASSERT_TRUE(session_->OpenApplet());
    HWND dialog = session_->Dialog();
    ui::FillPort(dialog, {L"Drums", 1, L"", 1, 4});
    ASSERT_TRUE(ui::Press(dialog, ui::Add).empty());

    testsupport::DriverDll *dll = &dll_;
    ui::SessionThread second([dll] { return static_cast<LONG_PTR>(dll->Send(DRV_CONFIGURE, 0, 0)); });
    HWND box = ui::WaitForMessageBox(nullptr, 10000);
    ASSERT_NE(box, nullptr);
    MessageBoxSeen seen = ui::ReadMessageBox(box);
    EXPECT_EQ(seen.text, L"The Tessmar Configurator is already open.");
    EXPECT_EQ(seen.title, L"Tessmar Configurator");
    ASSERT_TRUE(ui::AnswerMessageBox(box, IDOK));
    ASSERT_TRUE(second.Wait(10000));
    EXPECT_EQ(second.Result(), 0);

    // The first session's working table is intact and commits.
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList),
              (std::vector<std::wstring>{L"Rig\tLights", L"Rig\tDrums"}));
    EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
    EXPECT_TRUE(ui::ProductValues(L"Client1") == ui::PortValues(1, 4, L"Drums"));
    dll_.FreeDriver();
}

// A port of this process that is open at the commit keeps its run-time
// state: it stays open (a second open is refused) and closes normally,
// while its configuration takes the edit. The same holds for a record
// beyond the ones the dialog lists, opened after the session began.
TEST_F(Session, OpenPortsKeepTheirStateAcrossTheCommit)
{
    std::vector<testsupport::PortSpec> ports;
    for (int i = 0; i < 115; ++i) {
        WCHAR name[16];
        wsprintfW(name, L"Out %03d", i);
        ports.push_back({false, 0, 1, name});
    }
    testsupport::DeleteProductKey();
    testsupport::WriteConfig(ports, {L"Band"});
    testsupport::WinsockUp();
    ASSERT_TRUE(dll_.Load());
    ASSERT_TRUE(dll_.LoadDriver());
    ASSERT_EQ(dll_.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 115u);
    std::wstring beyond = OutputName(dll_, 113);
    DWORD_PTR port0 = 0, port113 = 0;
    ASSERT_EQ(OpenOutput(dll_, 0, &port0), 0u);

    session_.reset(new ui::Configurator(dll_));
    ASSERT_TRUE(session_->OpenConfigure());
    HWND dialog = session_->Dialog();
    // Opened while the session runs: the session's copy of the table still
    // shows it closed.
    ASSERT_EQ(OpenOutput(dll_, 113, &port113), 0u);
    ui::ClickLine(dialog, ui::OutputList, 0);
    ui::Type(dialog, ui::Description, L"Renamed");
    ASSERT_EQ(ui::Press(dialog, ui::Change, {IDYES}).size(), 1u);
    EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
    LONG_PTR result = -1;
    ASSERT_TRUE(session_->Finished(&result));
    EXPECT_EQ(result, 1);

    EXPECT_EQ(OutputName(dll_, 0), L"Renamed");
    EXPECT_EQ(OutputName(dll_, 113), beyond);
    DWORD_PTR again = 0;
    EXPECT_EQ(OpenOutput(dll_, 0, &again), static_cast<DWORD>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(OpenOutput(dll_, 113, &again), static_cast<DWORD>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(dll_.modMessage(0, MODM_DATA, port0, 0x403C90, 0), 0u);
    EXPECT_EQ(CloseOutput(dll_, 0, port0), 0u);
    EXPECT_EQ(CloseOutput(dll_, 113, port113), 0u);
    ASSERT_EQ(OpenOutput(dll_, 0, &again), 0u);
    EXPECT_EQ(CloseOutput(dll_, 0, again), 0u);
    dll_.FreeDriver();
    testsupport::WinsockDown();
}

std::string LogOfThisProcess()
{
    return testsupport::ReadFileBytes(testsupport::LogFilePath(GetCurrentProcessId()));
}

bool Contains(const std::string &text, const char *part) { return text.find(part) != std::string::npos; }

TEST_F(Session, DebugLevelChosenInTheDialogAppliesToThisProcessOnly)
{
    testsupport::SetDebugLevelValue(0);
    ASSERT_TRUE(dll_.Load());
    session_.reset(new ui::Configurator(dll_));
    ASSERT_TRUE(session_->OpenApplet());
    EXPECT_EQ(ui::ComboSelection(session_->Dialog(), ui::DebugLevelBox), 0);
    ui::PickEntry(session_->Dialog(), ui::DebugLevelBox, 8);  // "All to file"
    EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
    LONG_PTR result = -1;
    ASSERT_TRUE(session_->Finished(&result));
    session_.reset();
    dll_.Unload();  // closes the log file

    std::string log = LogOfThisProcess();
    EXPECT_FALSE(Contains(log, "Configure starting"));  // logging was off then
    EXPECT_TRUE(Contains(log, "UncloneUnits saving port info"));
    EXPECT_TRUE(Contains(log, "Configure ending"));
    ui::RegValue stored;
    ASSERT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, Product, L"PrintDebugInfo", &stored));
    EXPECT_EQ(stored, ui::Dword(0));
}

// Help/About with Shift or Control stores a debug level instead of opening
// the About box; Shift wins over Control.
TEST_F(Session, HelpAboutWithShiftOrControlStoresTheDebugLevel)
{
    struct Case {
        bool shift, control;
        DWORD stored;
    };
    const Case cases[] = {{true, false, 0}, {false, true, 5}, {true, true, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "shift " << c.shift << " control " << c.control);
        // File output at level 2 from the start, so the log shows whether
        // the process keeps logging afterwards.
        testsupport::SetDebugLevelValue(6);
        ASSERT_TRUE(dll_.Load());
        session_.reset(new ui::Configurator(dll_));
        ASSERT_TRUE(session_->OpenApplet());
        {
            ui::KeyState keys(session_->ThreadId(), c.shift, c.control);
            std::vector<MessageBoxSeen> boxes = ui::Press(session_->Dialog(), ui::HelpAbout);
            EXPECT_TRUE(boxes.empty()) << ui::BoxTexts(boxes);
        }
        EXPECT_EQ(ui::WaitForDialog(L"About Tessmar Driver", ui::HelpText, 500), nullptr);
        ui::RegValue stored;
        ASSERT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, Product, L"PrintDebugInfo", &stored));
        EXPECT_EQ(stored, ui::Dword(c.stored));
        EXPECT_TRUE(session_->Cancel().empty());
        LONG_PTR result = -1;
        ASSERT_TRUE(session_->Finished(&result));
        session_.reset();
        dll_.Unload();
        std::string log = LogOfThisProcess();
        EXPECT_TRUE(Contains(log, "ConfigDlgProc() - WM_INITDIALOG"));
        // Level 0 silences the rest of the session; level 5 logs on.
        EXPECT_EQ(Contains(log, "UncloneUnits discarding cancelled changes"), c.stored == 5);
    }
}

// A user installs the driver, sets up ports and shows in the Configurator,
// and a program that loads the driver afterwards offers exactly those ports.
TEST_F(Session, InstallConfigureAndSeeThePortsInANewLoad)
{
    const std::wstring drivers32 = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
    const std::wstring cpls = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
    ui::SavedKey savedDrivers(HKEY_LOCAL_MACHINE, drivers32);
    ui::SavedKey savedCpls(HKEY_LOCAL_MACHINE, cpls);
    ui::SavedKey savedPending(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    ui::WriteValue(HKEY_LOCAL_MACHINE, cpls, L"x", ui::Dword(0));
    ui::DeleteValue(HKEY_LOCAL_MACHINE, cpls, L"x");
    std::wstring systemCopy = ui::SystemDirectory() + L"\\Tessmar.dll";
    DeleteFileW(systemCopy.c_str());
    testsupport::DeleteProductKey();

    ASSERT_TRUE(dll_.Load());
    EXPECT_EQ(dll_.Send(DRV_INSTALL), 1);
    ui::RegValue cpl;
    EXPECT_TRUE(ui::ReadValue(HKEY_LOCAL_MACHINE, cpls, L"Tessmar", &cpl));

    session_.reset(new ui::Configurator(dll_));
    ASSERT_TRUE(session_->OpenApplet());
    HWND dialog = session_->Dialog();
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList), std::vector<std::wstring>{L"My Config Show\tConfigure Me"});
    ui::ClickLine(dialog, ui::InputList, 0);
    ui::Type(dialog, ui::Description, L"Stage In");
    ui::Type(dialog, ui::ShowBox, L"Festival");
    ui::SetGroups(dialog, 3);
    ASSERT_EQ(ui::Press(dialog, ui::Change, {IDYES}).size(), 1u);
    ui::ClickLine(dialog, ui::OutputList, 0);
    ui::Type(dialog, ui::Description, L"Stage Out");
    ASSERT_EQ(ui::Press(dialog, ui::Change, {IDYES}).size(), 1u);
    ui::FillPort(dialog, {L"Lights Out", 1, L"", 1, 2});
    std::vector<MessageBoxSeen> boxes = ui::Press(dialog, ui::Add);
    EXPECT_TRUE(boxes.empty()) << ui::BoxTexts(boxes);
    EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
    LONG_PTR result = -1;
    ASSERT_TRUE(session_->Finished(&result));
    session_.reset();
    dll_.Unload();

    // A program that loads the driver now.
    testsupport::DriverDll fresh;
    ASSERT_TRUE(fresh.Load());
    ASSERT_TRUE(fresh.LoadDriver());
    ASSERT_EQ(fresh.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 1u);
    EXPECT_EQ(InputName(fresh, 0), L"Stage In");
    ASSERT_EQ(fresh.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);
    EXPECT_EQ(OutputName(fresh, 0), L"Stage Out");
    EXPECT_EQ(OutputName(fresh, 1), L"Lights Out");
    fresh.FreeDriver();
    fresh.Unload();

    EXPECT_TRUE(ui::ProductValues(L"Shows") == (ui::ValueMap{{L"Show0", ui::String(L"My Config Show")},
                                                  {L"Show1", ui::String(L"Festival")}}));
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(1, 3, L"Stage In"));
    DeleteFileW(systemCopy.c_str());
}

}  // namespace
