// Configure sessions of the real library as applications and the Control
// Panel start them: DRV_CONFIGURE's answers and placement, one session per
// process, the debug level chosen, open ports across a commit.
#include <gtest/gtest.h>
#include "support/net_ports.h"
#include "support/ui_dialogs.h"
#include <algorithm>

using namespace testsupport;
using netsupport::OpenPort;

namespace {

std::wstring OutputName(DriverDll &dll, UINT device)
{
    MIDIOUTCAPSW caps = {};
    dll.modMessage(device, MODM_GETDEVCAPS, 0, DWORD_PTR(&caps), sizeof caps);
    return caps.szPname;
}

class Session : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteConfig({{true, 0, 1, L"Keys"}, {false, 1, 2, L"Lights"}}, {L"Band", L"Rig"});
        ASSERT_TRUE(dll_.Load());
        session_.reset(new ui::Configurator(dll_));
    }
    void TearDown() override
    {
        session_.reset();
        dll_.Unload();
        DeleteProductKey();
        DeleteFileW(LogFilePath(GetCurrentProcessId()).c_str());
    }
    DriverDll dll_;
    std::unique_ptr<ui::Configurator> session_;
};

// DRV_CONFIGURE centres the dialog on its owner, pulled back inside the
// screen (never to a negative position); the applet's is centred on the
// screen. Done rewrites the registry (an unused show goes), says so in a box
// owned by the owner and answers DRVCNF_OK; Cancel after an edit writes
// nothing, shows no box, leaves the live table alone and answers 0.
TEST_F(Session, ConfigureAnswersAndPlacement)
{
    ASSERT_TRUE(dll_.LoadDriver());
    EXPECT_EQ(dll_.Send(DRV_QUERYCONFIGURE), 1);
    SetValue(ProductPath(L"Shows"), L"Show7", Text(L"Unused"));
    long screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const RECT owners[] = {{100, 80, 700, 580}, {900, 700, 1250, 1000}, {-600, -500, -400, -400}, {}};
    for (const RECT &owner : owners) {
        bool applet = owner.right == 0;
        session_.reset(new ui::Configurator(dll_));
        ASSERT_TRUE(applet ? session_->OpenApplet() : session_->OpenConfigure(&owner));
        RECT placed = ui::WindowRect(session_->Dialog());
        RECT from = applet ? RECT{0, 0, screenWidth, screenHeight} : owner;
        long w = placed.right - placed.left, h = placed.bottom - placed.top;
        EXPECT_EQ(placed.left, std::max(0L, std::min(from.left + (from.right - from.left - w) / 2, screenWidth - w)));
        EXPECT_EQ(placed.top, std::max(0L, std::min(from.top + (from.bottom - from.top - h) / 2, screenHeight - h)));
        if (&owner == owners) {
            ui::MessageBoxSeen after = session_->Done();
            EXPECT_TRUE(after.text == ui::AfterDoneText && after.title == ui::ConfiguratorTitle);
            EXPECT_TRUE(after.ok && !after.cancel && after.exclamation && after.owner == session_->Owner());
            ASSERT_EQ(session_->Finished(), 1);
            EXPECT_EQ(ReadValues(ProductPath(L"Shows")).count(L"Show7"), 0u);
            continue;
        }
        KeyTree before = ReadTree(ProductPath());
        ui::ClickLine(session_->Dialog(), IDC_INPUT_LIST, 0);
        ASSERT_EQ(ui::Press(session_->Dialog(), IDC_DELETE, {IDYES}).size(), 1u);
        EXPECT_EQ(session_->Cancel(IDYES).size(), 1u);
        ASSERT_EQ(session_->Finished(), 0);
        EXPECT_EQ(ui::WaitForMessageBox(nullptr, 300), nullptr);
        EXPECT_TRUE(ReadTree(ProductPath()) == before);
        EXPECT_EQ(dll_.midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0), 1u);
    }
    dll_.FreeDriver();
}

// A second session in the process is refused with a message, leaving the
// first one's working table intact. The debug level picked in the dialog
// applies to this process from the commit on; the registry's stays.
TEST_F(Session, ASecondSessionIsRefusedAndTheLevelAppliesAtTheCommit)
{
    ASSERT_TRUE(session_->OpenApplet());
    HWND dialog = session_->Dialog();
    ui::FillPort(dialog, {L"Drums", 1, L"", 1, 4});
    ASSERT_TRUE(ui::Press(dialog, IDC_ADD).empty());
    DriverDll *dll = &dll_;
    ui::SessionThread second([dll] { return LONG_PTR(dll->Send(DRV_CONFIGURE, 0, 0)); });
    HWND box = ui::WaitForMessageBox(nullptr, 10000);
    ASSERT_NE(box, nullptr);
    ui::MessageBoxSeen seen = ui::ReadMessageBox(box);
    EXPECT_TRUE(seen.text == L"The Tessmar Configurator is already open." && seen.title == ui::ConfiguratorTitle);
    ASSERT_TRUE(ui::AnswerMessageBox(box, IDOK) && second.Wait(10000));
    EXPECT_EQ(second.Result(), 0);
    EXPECT_EQ(ui::Items(dialog, IDC_OUTPUT_LIST), (std::vector<std::wstring>{L"Rig\tLights", L"Rig\tDrums"}));
    EXPECT_EQ(ui::ComboSelection(dialog, IDC_DEBUG_LEVEL), 0);
    ui::PickEntry(dialog, IDC_DEBUG_LEVEL, 8);  // "All to file"
    EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
    ASSERT_EQ(session_->Finished(), 0);
    session_.reset();
    dll_.Unload();  // closes the log file
    EXPECT_TRUE(ReadValues(ProductPath(L"Client1")) == PortValues(1, 4, L"Drums"));
    EXPECT_EQ(ReadValues(ProductPath()).count(L"PrintDebugInfo"), 0u);
    std::string log = ReadFileBytes(LogFilePath(GetCurrentProcessId()));
    EXPECT_EQ(log.find("Configure starting"), std::string::npos) << "logging was off then";
    EXPECT_LT(log.find("UncloneUnits saving port info"), log.find("Configure ending"));
    EXPECT_NE(log.find("Configure ending"), std::string::npos);
}

// A port of this process that is open at the commit keeps its run-time
// state: it stays open (a second open is refused) and closes normally,
// while its configuration takes the edit. The same holds for a record
// beyond the ones the dialog lists, opened after the session began.
TEST_F(Session, OpenPortsKeepTheirStateAcrossTheCommit)
{
    std::vector<PortSpec> ports;
    for (int i = 0; i < 115; ++i) ports.push_back({false, 0, 1, L"Out " + std::to_wstring(100 + i)});
    WriteConfig(ports, {L"Band"});
    WinsockUp();
    ASSERT_TRUE(dll_.LoadDriver());
    std::wstring beyond = OutputName(dll_, 113);
    DWORD_PTR port0 = 0, port113 = 0, again = 0;
    ASSERT_EQ(OpenPort(dll_.modMessage, false, 0, &port0, nullptr, CALLBACK_NULL), 0u);
    ASSERT_TRUE(session_->OpenConfigure());
    ASSERT_EQ(OpenPort(dll_.modMessage, false, 113, &port113, nullptr, CALLBACK_NULL), 0u);
    ui::ClickLine(session_->Dialog(), IDC_OUTPUT_LIST, 0);
    ui::Type(session_->Dialog(), IDC_DESCRIPTION, L"Renamed");
    ASSERT_EQ(ui::Press(session_->Dialog(), IDC_CHANGE, {IDYES}).size(), 1u);
    EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
    ASSERT_EQ(session_->Finished(), 1);
    EXPECT_TRUE(OutputName(dll_, 0) == L"Renamed" && OutputName(dll_, 113) == beyond);
    EXPECT_EQ(OpenPort(dll_.modMessage, false, 0, &again, nullptr, CALLBACK_NULL), DWORD(MMSYSERR_ALLOCATED));
    EXPECT_EQ(OpenPort(dll_.modMessage, false, 113, &again, nullptr, CALLBACK_NULL), DWORD(MMSYSERR_ALLOCATED));
    EXPECT_EQ(dll_.modMessage(0, MODM_DATA, port0, 0x403C90, 0), 0u);
    EXPECT_EQ(dll_.modMessage(0, MODM_CLOSE, port0, 0, 0) + dll_.modMessage(113, MODM_CLOSE, port113, 0, 0), 0u);
    ASSERT_EQ(OpenPort(dll_.modMessage, false, 0, &again, nullptr, CALLBACK_NULL), 0u);
    EXPECT_EQ(dll_.modMessage(0, MODM_CLOSE, again, 0, 0), 0u);
    dll_.FreeDriver();
    WinsockDown();
}

}  // namespace
