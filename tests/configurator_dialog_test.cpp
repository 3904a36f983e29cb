// The Configurator and About box of the real library, opened from the
// Control Panel applet and driven as a user would; what the Configurator
// edits is checked in the test prefix's registry after Done. Both dialogs'
// placement and layout as drawn; screenshots configurator.png and about.png
// in the test build folder.
#include <gtest/gtest.h>
#include "diag/log.h"
#include "support/support.h"
#include "support/ui_dialogs.h"
#include <thread>

using namespace testsupport;

namespace {

using Texts = std::vector<std::wstring>;

const std::wstring Incomplete = L"You must fill in all parameters to create a device.",
                   Unusable = L"The showname is not useable.", NoGroup = L"You must select at least one Group button.",
                   Duplicated = L"You have duplicated the port description.";

ValueMap Saved(const std::wstring &subkey) { return ReadValues(ProductPath(subkey)); }

class Configurator : public ::testing::Test {
protected:
    // Slots after loading: 0 Lights (output), 1 Keys and 2 Pads (inputs);
    // the registry lists Client%d before Server%d.
    void SetUp() override
    {
        WriteConfig({{true, 0, 1, L"Keys"}, {true, 1, 0x80000001, L"Pads"}, {false, 1, 2, L"Lights"}},
                    {L"Band", L"Rig"}, 1, L"10.0.0.2");
    }
    void TearDown() override
    {
        if (click_.joinable()) click_.detach();  // an About box that did not come
        session_.reset();
        DeleteProductKey();
    }
    // A session of a fresh load of the library, its dialog in dialog_.
    void Open(UINT message = CPL_DBLCLK)
    {
        session_.reset();
        dll_.Unload();
        ASSERT_TRUE(dll_.Load());
        session_.reset(new ui::Configurator(dll_));
        ASSERT_TRUE(session_->OpenApplet(message));
        dialog_ = session_->Dialog();
    }
    // Presses a button and gives the texts of the boxes it raised. Every box
    // is the driver's own: its title, the exclamation icon, owned by the
    // dialog, OK alone (a warning) or Yes and No (a question).
    Texts Said(int id, const std::vector<int> &answers = {})
    {
        Texts texts;
        for (const ui::MessageBoxSeen &box : ui::Press(dialog_, id, answers)) {
            EXPECT_TRUE(box.title == ui::ConfiguratorTitle && box.exclamation && box.owner == dialog_);
            EXPECT_TRUE(!box.cancel && box.ok != box.yes && box.yes == box.no);
            texts.push_back(box.text);
        }
        return texts;
    }
    // Done, the box that follows it, and the applet's answer.
    void Done()
    {
        EXPECT_EQ(session_->Done().text, ui::AfterDoneText);
        EXPECT_EQ(session_->Finished(), 0);
    }
    DriverDll dll_;
    std::unique_ptr<ui::Configurator> session_;
    HWND dialog_ = nullptr;
    std::thread click_;
};

// The lists, the choices, and a clicked line loaded into the controls (one
// at a time). After an edit Cancel asks first, and No keeps the dialog (Yes:
// see the session tests).
TEST_F(Configurator, ShowsTheConfigurationAndCancels)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(ui::Items(dialog_, IDC_INPUT_LIST), (Texts{L"Band\tKeys", L"Rig\tPads"}));
    EXPECT_EQ(ui::Items(dialog_, IDC_OUTPUT_LIST), Texts{L"Rig\tLights"});
    EXPECT_EQ(ui::Items(dialog_, IDC_SHOW), (Texts{L"Band", L"Rig"}));
    for (auto selection : {std::make_pair(IDC_SHOW, -1), std::make_pair(IDC_DIRECTION, -1),
                           std::make_pair(IDC_TRANSPORT, 1), std::make_pair(IDC_DEBUG_LEVEL, 0)})
        EXPECT_EQ(ui::ComboSelection(dialog_, selection.first), selection.second);
    EXPECT_EQ(ui::Text(dialog_, IDC_TCP_ADDRESS), L"10.0.0.2");
    ui::ClickLine(dialog_, IDC_INPUT_LIST, 1);
    EXPECT_TRUE(ui::Text(dialog_, IDC_DESCRIPTION) == L"Pads" && ui::ComboSelection(dialog_, IDC_SHOW) == 1);
    EXPECT_TRUE(ui::ComboSelection(dialog_, IDC_DIRECTION) == 0 && ui::CheckedGroups(dialog_) == 0x80000001u);
    ui::ClickLine(dialog_, IDC_OUTPUT_LIST, 0);
    EXPECT_TRUE(ui::Text(dialog_, IDC_DESCRIPTION) == L"Lights" && ui::ComboSelection(dialog_, IDC_DIRECTION) == 1);
    EXPECT_EQ(ui::CheckedGroups(dialog_), 2u);
    EXPECT_EQ(SendDlgItemMessageW(dialog_, IDC_INPUT_LIST, LB_GETCURSEL, 0, 0), LB_ERR) << "one line loaded at a time";

    ui::FillPort(dialog_, {L"Drums", 0, L"", 1, 4});
    ASSERT_EQ(Said(IDC_ADD), Texts{});
    EXPECT_EQ(Said(IDCANCEL, {IDNO}),
              Texts{L"You have changed the configuration.\nDo you really want to discard your changes?"});
    EXPECT_TRUE(IsWindowVisible(dialog_));
}

// Add takes a complete, new port, refills the controls (nothing loaded or
// selected, every group off, the description kept) and refuses the rest.
TEST_F(Configurator, AddCreatesAPortOrSaysWhatIsWrong)
{
    ASSERT_NO_FATAL_FAILURE(Open(CPL_STARTWPARMSW));  // the same session as a double-click
    EXPECT_EQ(Said(IDC_ADD), Texts{Incomplete});
    const std::pair<ui::PortEdit, Texts> cases[] = {
        {{L"Drums", -1, L"", 1, 1}, {Incomplete}}, {{L"", 0, L"", 1, 1}, {Incomplete}},
        {{L"Drums", 0, L"", -1, 1}, {Incomplete}},
        {{L"Drums", -1, L" Lead", 1, 1},
         {L"A Show Name is required, and must start with an alphabetic character.", Unusable}},
        {{L"Drums", -1, L"Extra", 1, 0}, {NoGroup, Unusable}},  // the typed show joins the list all the same
        {{L"Keys", 1, L"", 1, 1}, {Duplicated}}, {{L"Lights", 0, L"", 0, 1}, {Duplicated}},  // over both directions
        {{L"Drums", 0, L"", 1, 0x80000001}, {}},
    };
    for (auto &c : cases) {
        SendDlgItemMessageW(dialog_, IDC_DIRECTION, CB_SETCURSEL, WPARAM(-1), 0);
        ui::FillPort(dialog_, c.first);
        EXPECT_EQ(Said(IDC_ADD), c.second) << "case " << &c - cases;
    }
    EXPECT_EQ(ui::Items(dialog_, IDC_SHOW), (Texts{L"Band", L"Rig", L"Extra"}));
    EXPECT_EQ(ui::Items(dialog_, IDC_OUTPUT_LIST), (Texts{L"Rig\tLights", L"Band\tDrums"}));
    EXPECT_TRUE(ui::CheckedGroups(dialog_) == 0 && ui::Text(dialog_, IDC_DESCRIPTION) == L"Drums");
    EXPECT_TRUE(ui::ComboSelection(dialog_, IDC_DIRECTION) == -1 && ui::ComboSelection(dialog_, IDC_SHOW) == -1);
    EXPECT_EQ(Said(IDC_CHANGE), Texts{L"You must select a device from the list to change."});
    // UDP drops the TCP address at once, though the box still shows it; back
    // to TCP it stays dropped until the box is touched again.
    ui::PickEntry(dialog_, IDC_TRANSPORT, 0);
    ui::PickEntry(dialog_, IDC_TRANSPORT, 1);
    EXPECT_EQ(ui::Text(dialog_, IDC_TCP_ADDRESS), L"10.0.0.2");
    Done();
    EXPECT_TRUE(Saved(L"TCPInfo") == (ValueMap{{L"TCPClientServer", Dword(1)}, {L"TCPAddress", Text(L"")}}));
    EXPECT_TRUE(Saved(L"Client0") == PortValues(1, 2, L"Lights"));
    EXPECT_TRUE(Saved(L"Client1") == PortValues(0, 0x80000001, L"Drums"));
}

// Typed show names lose trailing blanks, may begin with a digit, select an
// existing show of the same name (case counts), and take a number that no
// port uses: show 1 is used by a port whose show has no name, and the next
// number by count (2) belongs to Rig.
TEST_F(Configurator, TypedShowNames)
{
    WriteConfig({{true, 2, 1, L"Keys"}, {true, 1, 1, L"Stage"}}, {L"Band"});
    SetValue(ProductPath(L"Shows"), L"Show2", Text(L"Rig"));
    ASSERT_NO_FATAL_FAILURE(Open());
    for (auto port : {std::make_pair(L"A", L"Encore \t "), std::make_pair(L"B", L"9 Lives"),
                      std::make_pair(L"C", L"Band"), std::make_pair(L"D", L"band")}) {
        ui::FillPort(dialog_, {port.first, -1, port.second, 1, 1});
        ASSERT_EQ(Said(IDC_ADD), Texts{});
    }
    EXPECT_EQ(ui::Items(dialog_, IDC_INPUT_LIST), (Texts{L"Rig\tKeys", L"\tStage"}));
    ui::Type(dialog_, IDC_TCP_ADDRESS, L"10.1.2.3");
    ui::PickEntry(dialog_, IDC_TRANSPORT, 0);
    Done();
    EXPECT_TRUE(Saved(L"TCPInfo") == (ValueMap{{L"TCPClientServer", Dword(0)}, {L"TCPAddress", Text(L"")}}));
    EXPECT_TRUE(Saved(L"Shows") == (ValueMap{{L"Show0", Text(L"Band")}, {L"Show2", Text(L"Rig")},
                                            {L"Show3", Text(L"Encore")}, {L"Show4", Text(L"9 Lives")},
                                            {L"Show5", Text(L"band")}}));
    EXPECT_TRUE(Saved(L"Client0") == PortValues(3, 1, L"A") && Saved(L"Client2") == PortValues(0, 1, L"C"));
}

// Delete and Change ask first and act on the loaded line only.
TEST_F(Configurator, DeleteAndChangeAskAndRewriteTheLoadedPort)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    const Texts noLine = {L"You must select a device from the list to delete."};
    EXPECT_EQ(Said(IDC_DELETE), noLine);
    ui::ClickLine(dialog_, IDC_OUTPUT_LIST, 0);
    EXPECT_EQ(Said(IDC_DELETE, {IDNO}), Texts{L"Do you really want to delete Show Rig Device Lights?"});
    EXPECT_EQ(Said(IDC_DELETE), noLine) << "even after No the line is no longer loaded";
    ui::ClickLine(dialog_, IDC_OUTPUT_LIST, 0);
    EXPECT_EQ(Said(IDC_DELETE, {IDYES}).size(), 1u);
    ui::FillPort(dialog_, {L"Lights", 0, L"", 0, 8});  // it may come back, in a new record after the others
    ASSERT_EQ(Said(IDC_ADD), Texts{});

    ui::ClickLine(dialog_, IDC_INPUT_LIST, 0);
    ui::Type(dialog_, IDC_DESCRIPTION, L"Keys 2");
    ui::PickEntry(dialog_, IDC_SHOW, 1);
    ui::SetGroups(dialog_, 0x30);
    EXPECT_EQ(Said(IDC_CHANGE, {IDNO}), Texts{L"Modify Show Band Device Keys?"});
    EXPECT_EQ(ui::Items(dialog_, IDC_INPUT_LIST)[0], L"Band\tKeys");
    EXPECT_EQ(Said(IDC_CHANGE, {IDYES}).size(), 1u);
    EXPECT_EQ(ui::Items(dialog_, IDC_INPUT_LIST), (Texts{L"Rig\tKeys 2", L"Rig\tPads", L"Band\tLights"}));
    ui::ClickLine(dialog_, IDC_INPUT_LIST, 1);  // its own unchanged description is fine
    EXPECT_EQ(Said(IDC_CHANGE, {IDYES}).size(), 1u);
    ui::ClickLine(dialog_, IDC_INPUT_LIST, 1);
    ui::Type(dialog_, IDC_DESCRIPTION, L"Lights");
    EXPECT_EQ(Said(IDC_CHANGE), Texts{Duplicated});
    ui::ClickLine(dialog_, IDC_INPUT_LIST, 1);
    ui::SetGroups(dialog_, 0);
    EXPECT_EQ(Said(IDC_CHANGE), Texts{NoGroup});
    ui::Type(dialog_, IDC_TCP_ADDRESS, L"studio-pc");  // kept in TCP mode
    Done();
    EXPECT_TRUE(Saved(L"TCPInfo") == (ValueMap{{L"TCPClientServer", Dword(1)}, {L"TCPAddress", Text(L"studio-pc")}}));
    EXPECT_TRUE(ReadTree(ProductPath(L"Client0")).empty() && Saved(L"Server1") == PortValues(1, 0x80000001, L"Pads"));
    EXPECT_TRUE(Saved(L"Server0") == PortValues(1, 0x30, L"Keys 2"));
    EXPECT_TRUE(Saved(L"Server2") == PortValues(0, 8, L"Lights"));
}

// Both dialogs as drawn: layout and screenshots. The About box is owned by
// the Configurator and centred on it; OK and Esc return to the Configurator
// as it was.
TEST_F(Configurator, AboutBoxAndLayout)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    ui::ClickLine(dialog_, IDC_INPUT_LIST, 0);
    EXPECT_EQ(ui::LayoutFaults(dialog_, dll_.module, IDD_CONFIG), "");
    EXPECT_TRUE(ui::SaveScreenshot(dialog_, ProgramFolder() + L"\\configurator.png"));
    ASSERT_TRUE(ReadDriverVersion());
    for (int closeWith : {IDOK, IDCANCEL}) {
        // The About box is modal inside the click, which runs on a thread of its own.
        click_ = std::thread([this] { ui::Press(dialog_, IDC_HELP_ABOUT, {}, 60000); });
        HWND about = ui::WaitForDialog(ui::AboutTitle, IDC_HELP_TEXT);
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(GetWindow(about, GW_OWNER), dialog_);
        RECT owner = ui::WindowRect(dialog_), placed = ui::WindowRect(about);
        EXPECT_EQ(placed.left, owner.left + ((owner.right - owner.left) - (placed.right - placed.left)) / 2);
        EXPECT_EQ(placed.top, owner.top + ((owner.bottom - owner.top) - (placed.bottom - placed.top)) / 2);
        std::wstring version = ui::Text(about, IDC_VERSION), help = ui::Text(about, IDC_HELP_TEXT);
        EXPECT_EQ(version.substr(0, version.find(L'\n')), L"Tessmar Version " + std::wstring(VersionText));
        EXPECT_TRUE(version.size() > 40 && version.find(L'%') == std::wstring::npos) << "the credit lines follow";
        EXPECT_EQ(help.substr(help.size() - 2), L"\r\n") << "the help text is not cut";
        for (size_t i = help.find(L'\n'); i != std::wstring::npos; i = help.find(L'\n', i + 1))
            ASSERT_EQ(help[i - 1], L'\r') << "bare line feed at " << i;
        EXPECT_EQ(ui::LayoutFaults(about, dll_.module, IDD_ABOUT), "");
        EXPECT_TRUE(closeWith != IDOK || ui::SaveScreenshot(about, ProgramFolder() + L"\\about.png"));
        ui::Press(about, closeWith);
        click_.join();
        EXPECT_TRUE(ui::WaitUntilGone(about));
        EXPECT_TRUE(ui::Text(dialog_, IDC_DESCRIPTION) == L"Keys" && ui::CheckedGroups(dialog_) == 1);
    }
    EXPECT_EQ(Said(IDC_CHANGE, {IDNO}).size(), 1u) << "the line is still loaded";
}

}  // namespace
