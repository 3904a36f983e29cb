// test-locks: registry
// test-timeout: 600
// The Configurator of the real library, opened from the Control Panel
// applet and driven as a user would: lines clicked, text typed, buttons
// pressed, message boxes read and answered. What the dialog edits is
// checked in the test prefix's registry after Done.
#include <gtest/gtest.h>
#include "support/support.h"
#include "support/ui_registry.h"
#include "support/ui_session.h"
#include <cpl.h>
#include <set>

namespace {

using ui::MessageBoxSeen;
using ui::PortEdit;

const std::wstring Product = L"Software\\Kalvera\\Tessmar";

// Slots after loading: 0 Lights (output), 1 Keys and 2 Pads (inputs); the
// registry lists Client%d before Server%d.
void WriteStandardConfig()
{
    testsupport::WriteConfig({{true, 0, 1, L"Keys"}, {true, 1, 0x80000001, L"Pads"},
                              {false, 1, 2, L"Lights"}},
                             {L"Band", L"Rig"}, 1, L"10.0.0.2");
}

// No message box came; the failure message names the ones that did.
#define EXPECT_NO_BOX(boxes)                                                   \
    do {                                                                       \
        std::vector<MessageBoxSeen> seen_ = (boxes);                           \
        EXPECT_TRUE(seen_.empty()) << ui::BoxTexts(seen_);                     \
    } while (0)
#define ASSERT_NO_BOX(boxes)                                                   \
    do {                                                                       \
        std::vector<MessageBoxSeen> seen_ = (boxes);                           \
        ASSERT_TRUE(seen_.empty()) << ui::BoxTexts(seen_);                     \
    } while (0)

// One box with the given text, title, OK only and the exclamation icon,
// owned by the dialog.
void ExpectWarning(const std::vector<MessageBoxSeen> &boxes, size_t index, const std::wstring &text,
                   HWND dialog)
{
    ASSERT_GT(boxes.size(), index);
    const MessageBoxSeen &box = boxes[index];
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.title, L"Tessmar Configurator");
    EXPECT_TRUE(box.ok && !box.yes && !box.no && !box.cancel);
    EXPECT_TRUE(box.exclamation);
    EXPECT_EQ(box.owner, dialog);
}

void ExpectQuestion(const MessageBoxSeen &box, const std::wstring &text, HWND dialog)
{
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.title, L"Tessmar Configurator");
    EXPECT_TRUE(box.yes && box.no && !box.ok && !box.cancel);
    EXPECT_TRUE(box.exclamation);
    EXPECT_EQ(box.owner, dialog);
}

class Configurator : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::DeleteProductKey();
        WriteStandardConfig();
    }
    void TearDown() override { testsupport::DeleteProductKey(); }

    // Loads the library and opens the applet's Configurator.
    HWND Open()
    {
        if (!dll_.Load()) return nullptr;
        session_.reset(new ui::Configurator(dll_));
        return session_->OpenApplet() ? session_->Dialog() : nullptr;
    }

    // Done, with the box that follows it, and the applet's answer.
    void Done()
    {
        MessageBoxSeen after = session_->Done();
        EXPECT_EQ(after.text, ui::AfterDoneText);
        LONG_PTR result = -1;
        ASSERT_TRUE(session_->Finished(&result));
        EXPECT_EQ(result, 0);
    }

    void CancelUnchanged()
    {
        EXPECT_TRUE(session_->Cancel().empty());
        LONG_PTR result = -1;
        ASSERT_TRUE(session_->Finished(&result));
    }

    testsupport::DriverDll dll_;
    std::unique_ptr<ui::Configurator> session_;
};

TEST_F(Configurator, ShowsTheConfigurationAndLoadsClickedLines)
{
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList), (std::vector<std::wstring>{L"Band\tKeys", L"Rig\tPads"}));
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList), std::vector<std::wstring>{L"Rig\tLights"});
    EXPECT_EQ(ui::ComboEntries(dialog, ui::ShowBox), (std::vector<std::wstring>{L"Band", L"Rig"}));
    EXPECT_EQ(ui::ComboSelection(dialog, ui::ShowBox), -1);
    EXPECT_EQ(ui::ComboEntries(dialog, ui::Direction),
              (std::vector<std::wstring>{L"        Input", L"        Output"}));
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Direction), -1);
    EXPECT_EQ(ui::ComboEntries(dialog, ui::Transport),
              (std::vector<std::wstring>{L"        UDP", L"        TCP"}));
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Transport), 1);
    EXPECT_EQ(ui::Text(dialog, ui::TcpAddress), L"10.0.0.2");
    EXPECT_EQ(ui::ComboEntries(dialog, ui::DebugLevelBox),
              (std::vector<std::wstring>{L"None", L"Level 1", L"Level 2", L"Level 3", L"All",
                                         L"Level 1 to file", L"Level 2 to file", L"Level 3 to file",
                                         L"All to file"}));
    EXPECT_EQ(ui::ComboSelection(dialog, ui::DebugLevelBox), 0);
    EXPECT_EQ(SendDlgItemMessageW(dialog, ui::Description, EM_GETLIMITTEXT, 0, 0), 127);
    EXPECT_EQ(ui::CheckedGroups(dialog), 0u);

    ui::ClickLine(dialog, ui::InputList, 1);
    EXPECT_EQ(ui::Text(dialog, ui::Description), L"Pads");
    EXPECT_EQ(ui::ComboSelection(dialog, ui::ShowBox), 1);
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Direction), 0);
    EXPECT_EQ(ui::CheckedGroups(dialog), 0x80000001u);

    ui::ClickLine(dialog, ui::OutputList, 0);
    EXPECT_EQ(ui::Text(dialog, ui::Description), L"Lights");
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Direction), 1);
    EXPECT_EQ(ui::CheckedGroups(dialog), 2u);
    // At most one line is loaded: the other list lost its selection.
    EXPECT_EQ(SendDlgItemMessageW(dialog, ui::InputList, LB_GETCURSEL, 0, 0), LB_ERR);
    CancelUnchanged();
}

TEST_F(Configurator, DoneWithoutEditsRewritesTheRegistry)
{
    // A subkey the saver does not write and a show no port uses: a rewrite
    // drops both.
    ui::WriteValue(HKEY_LOCAL_MACHINE, Product + L"\\Foo", L"x", ui::Dword(1));
    ui::WriteValue(HKEY_LOCAL_MACHINE, Product + L"\\Shows", L"Show2", ui::String(L"Spare"));
    ASSERT_NE(Open(), nullptr);
    Done();
    EXPECT_FALSE(ui::KeyExists(HKEY_LOCAL_MACHINE, Product + L"\\Foo"));
    EXPECT_TRUE(ui::ProductValues(L"Shows") == (ui::ValueMap{{L"Show0", ui::String(L"Band")}, {L"Show1", ui::String(L"Rig")}}));
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(0, 1, L"Keys"));
    EXPECT_TRUE(ui::ProductValues(L"Server1") == ui::PortValues(1, 0x80000001, L"Pads"));
    EXPECT_TRUE(ui::ProductValues(L"Client0") == ui::PortValues(1, 2, L"Lights"));
}

TEST_F(Configurator, CancelLeavesTheRegistryAsItWas)
{
    ui::KeyTree before = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ui::FillPort(dialog, {L"Drums", 0, L"", 1, 4});
    ASSERT_NO_BOX(ui::Press(dialog, ui::Add));
    // Edits were made: Cancel asks first, and No keeps the dialog open.
    std::vector<MessageBoxSeen> boxes = session_->Cancel(IDNO);
    ASSERT_EQ(boxes.size(), 1u);
    ExpectQuestion(boxes[0],
                   L"You have changed the configuration.\nDo you really want to discard your changes?",
                   dialog);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(session_->Cancel(IDYES).size(), 1u);
    LONG_PTR result = -1;
    ASSERT_TRUE(session_->Finished(&result));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ui::WaitForMessageBox(nullptr, 300), nullptr);  // no box after Cancel
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == before);
}

TEST_F(Configurator, AddCreatesAPortAndClearsTheControls)
{
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ui::FillPort(dialog, {L"Drums", 0, L"", 1, 0x80000001});
    ASSERT_NO_BOX(ui::Press(dialog, ui::Add));
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList),
              (std::vector<std::wstring>{L"Rig\tLights", L"Band\tDrums"}));
    // The controls are refilled: no line loaded, nothing selected, every
    // group button off (group 32 too); the description stays.
    EXPECT_EQ(ui::CheckedGroups(dialog), 0u);
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Direction), -1);
    EXPECT_EQ(ui::ComboSelection(dialog, ui::ShowBox), -1);
    EXPECT_EQ(ui::Text(dialog, ui::Description), L"Drums");
    // Change needs a line clicked again.
    std::vector<MessageBoxSeen> boxes = ui::Press(dialog, ui::Change);
    ExpectWarning(boxes, 0, L"You must select a device from the list to change.", dialog);
    Done();
    EXPECT_TRUE(ui::ProductValues(L"Client0") == ui::PortValues(1, 2, L"Lights"));
    EXPECT_TRUE(ui::ProductValues(L"Client1") == ui::PortValues(0, 0x80000001, L"Drums"));
}

TEST_F(Configurator, AddRefusesIncompleteOrDuplicatePorts)
{
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    const std::wstring incomplete = L"You must fill in all parameters to create a device.";
    const std::wstring unusable = L"The showname is not useable.";

    ExpectWarning(ui::Press(dialog, ui::Add), 0, incomplete, dialog);
    ui::FillPort(dialog, {L"Drums", -1, L"", 1, 1});  // no show
    ExpectWarning(ui::Press(dialog, ui::Add), 0, incomplete, dialog);
    ui::FillPort(dialog, {L"", 0, L"", 1, 1});  // no description
    ExpectWarning(ui::Press(dialog, ui::Add), 0, incomplete, dialog);
    SendDlgItemMessageW(dialog, ui::Direction, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    ui::FillPort(dialog, {L"Drums", 0, L"", -1, 1});  // no direction
    ExpectWarning(ui::Press(dialog, ui::Add), 0, incomplete, dialog);

    ui::FillPort(dialog, {L"Drums", -1, L" Lead", 1, 1});
    std::vector<MessageBoxSeen> boxes = ui::Press(dialog, ui::Add);
    ASSERT_EQ(boxes.size(), 2u);
    ExpectWarning(boxes, 0, L"A Show Name is required, and must start with an alphabetic character.", dialog);
    ExpectWarning(boxes, 1, unusable, dialog);

    // A typed show joins the show list at once, even when the Add fails.
    ui::FillPort(dialog, {L"Drums", -1, L"Extra", 1, 0});
    boxes = ui::Press(dialog, ui::Add);
    ASSERT_EQ(boxes.size(), 2u);
    ExpectWarning(boxes, 0, L"You must select at least one Group button.", dialog);
    ExpectWarning(boxes, 1, unusable, dialog);
    EXPECT_EQ(ui::ComboEntries(dialog, ui::ShowBox), (std::vector<std::wstring>{L"Band", L"Rig", L"Extra"}));

    // Descriptions are unique over both directions and all shows.
    ui::FillPort(dialog, {L"Keys", 1, L"", 1, 1});
    ExpectWarning(ui::Press(dialog, ui::Add), 0, L"You have duplicated the port description.", dialog);
    ui::FillPort(dialog, {L"Lights", 0, L"", 0, 1});
    ExpectWarning(ui::Press(dialog, ui::Add), 0, L"You have duplicated the port description.", dialog);

    EXPECT_EQ(ui::ListLines(dialog, ui::InputList).size(), 2u);
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList).size(), 1u);
    CancelUnchanged();  // nothing was changed: no question
}

TEST_F(Configurator, TypedShowNames)
{
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    struct Typed {
        std::wstring port, show;
    };
    // Trailing blanks go; a name may begin with a digit; an existing name
    // selects its show; case makes a different show.
    const Typed typed[] = {{L"A", L"Encore \t "}, {L"B", L"9 Lives"}, {L"C", L"Band"}, {L"D", L"band"}};
    for (const Typed &t : typed) {
        ui::FillPort(dialog, {t.port, -1, t.show, 1, 1});
        ASSERT_NO_BOX(ui::Press(dialog, ui::Add));
    }
    EXPECT_EQ(ui::ComboEntries(dialog, ui::ShowBox),
              (std::vector<std::wstring>{L"Band", L"Rig", L"Encore", L"9 Lives", L"band"}));
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList),
              (std::vector<std::wstring>{L"Rig\tLights", L"Encore\tA", L"9 Lives\tB", L"Band\tC",
                                         L"band\tD"}));
    Done();
    EXPECT_TRUE(ui::ProductValues(L"Shows") == (ui::ValueMap{{L"Show0", ui::String(L"Band")},
                                                  {L"Show1", ui::String(L"Rig")},
                                                  {L"Show2", ui::String(L"Encore")},
                                                  {L"Show3", ui::String(L"9 Lives")},
                                                  {L"Show4", ui::String(L"band")}}));
    EXPECT_TRUE(ui::ProductValues(L"Client1") == ui::PortValues(2, 1, L"A"));
    EXPECT_TRUE(ui::ProductValues(L"Client3") == ui::PortValues(0, 1, L"C"));
    EXPECT_TRUE(ui::ProductValues(L"Client4") == ui::PortValues(4, 1, L"D"));
}

// Show numbers with gaps: the next number by count (2) belongs to Rig, and
// number 5 is used by a port whose show has no name. A new show takes a
// number that neither uses.
TEST_F(Configurator, NewShowNeverTakesAUsedNumber)
{
    testsupport::DeleteProductKey();
    testsupport::WriteConfig({{true, 2, 1, L"Keys"}, {true, 5, 1, L"Nameless"}, {true, 1, 1, L"Stage"}},
                             {L"Band"});
    ui::WriteValue(HKEY_LOCAL_MACHINE, Product + L"\\Shows", L"Show2", ui::String(L"Rig"));
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(ui::ComboEntries(dialog, ui::ShowBox), (std::vector<std::wstring>{L"Band", L"Rig"}));
    ui::FillPort(dialog, {L"Drums", -1, L"Encore", 1, 1});
    ASSERT_NO_BOX(ui::Press(dialog, ui::Add));
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList),
              (std::vector<std::wstring>{L"Rig\tKeys", L"\tNameless", L"\tStage"}));
    Done();
    // "Stage" used show 1, which had no name: 3 is the first free number.
    EXPECT_TRUE(ui::ProductValues(L"Client0") == ui::PortValues(3, 1, L"Drums"));
    ui::ValueMap shows = ui::ProductValues(L"Shows");
    EXPECT_TRUE(shows[L"Show2"] == ui::String(L"Rig"));
    EXPECT_TRUE(shows[L"Show3"] == ui::String(L"Encore"));
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(2, 1, L"Keys"));
    EXPECT_TRUE(ui::ProductValues(L"Server1") == ui::PortValues(5, 1, L"Nameless"));
}

// Show numbers run from 0 to 126: with all of them named, a new show is
// refused with a message, while an existing show can still be chosen.
TEST_F(Configurator, TheShowListHoldsAtMost127Shows)
{
    std::vector<std::wstring> shows;
    for (int n = 0; n < 127; ++n) shows.push_back(L"S" + std::to_wstring(n));
    testsupport::DeleteProductKey();
    testsupport::WriteConfig({{true, 0, 1, L"Keys"}}, shows);
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(ui::ComboEntries(dialog, ui::ShowBox).size(), 127u);
    ui::FillPort(dialog, {L"Drums", -1, L"Encore", 1, 1});
    std::vector<MessageBoxSeen> boxes = ui::Press(dialog, ui::Add);
    ASSERT_EQ(boxes.size(), 2u) << ui::BoxTexts(boxes);
    ExpectWarning(boxes, 0, L"No more shows can be created: the show list is full.", dialog);
    ExpectWarning(boxes, 1, L"The showname is not useable.", dialog);
    EXPECT_EQ(ui::ComboEntries(dialog, ui::ShowBox).size(), 127u);
    ui::FillPort(dialog, {L"Drums", -1, L"S99", 1, 1});
    ASSERT_NO_BOX(ui::Press(dialog, ui::Add));
    Done();
    EXPECT_TRUE(ui::ProductValues(L"Client0") == ui::PortValues(99, 1, L"Drums"));
}

// A record that carries both direction bits (a Client subkey without a
// description merges into the Server subkey that follows) is listed once,
// as an input, and loads with no direction; a Change that picks none keeps
// both bits.
TEST_F(Configurator, ARecordWithBothDirectionsIsListedOnce)
{
    testsupport::DeleteProductKey();
    testsupport::WriteConfig({{true, 0, 1, L"Keys"}, {false, 0, 2, L"Lights"}}, {L"Band"});
    ui::WriteValue(HKEY_LOCAL_MACHINE, Product + L"\\Client1", L"Groups", ui::Dword(4));
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList), std::vector<std::wstring>{L"Band\tKeys"});
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList), std::vector<std::wstring>{L"Band\tLights"});
    ui::ClickLine(dialog, ui::OutputList, 0);
    EXPECT_EQ(ui::Text(dialog, ui::Description), L"Lights");
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Direction), 1);
    ui::ClickLine(dialog, ui::InputList, 0);
    EXPECT_EQ(ui::Text(dialog, ui::Description), L"Keys");
    EXPECT_EQ(ui::ComboSelection(dialog, ui::Direction), -1);
    ui::Type(dialog, ui::Description, L"Keys and more");
    ASSERT_EQ(ui::Press(dialog, ui::Change, {IDYES}).size(), 1u);
    Done();
    // Saved both as an input and as an output port.
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(0, 1, L"Keys and more"));
    EXPECT_TRUE(ui::ProductValues(L"Client1") == ui::PortValues(0, 1, L"Keys and more"));
}

TEST_F(Configurator, ChangeAsksAndRewritesTheLoadedPort)
{
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ui::ClickLine(dialog, ui::InputList, 0);
    ui::Type(dialog, ui::Description, L"Keys 2");
    ui::PickEntry(dialog, ui::ShowBox, 1);
    ui::SetGroups(dialog, 0x30);
    std::vector<MessageBoxSeen> boxes = ui::Press(dialog, ui::Change, {IDNO});
    ASSERT_EQ(boxes.size(), 1u);
    ExpectQuestion(boxes[0], L"Modify Show Band Device Keys?", dialog);
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList)[0], L"Band\tKeys");  // No: unchanged

    boxes = ui::Press(dialog, ui::Change, {IDYES});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList),
              (std::vector<std::wstring>{L"Rig\tKeys 2", L"Rig\tPads"}));
    EXPECT_EQ(ui::CheckedGroups(dialog), 0u);

    // Its own unchanged description is fine; another port's is refused.
    ui::ClickLine(dialog, ui::InputList, 1);
    EXPECT_EQ(ui::Press(dialog, ui::Change, {IDYES}).size(), 1u);
    ui::ClickLine(dialog, ui::InputList, 1);
    ui::Type(dialog, ui::Description, L"Lights");
    ExpectWarning(ui::Press(dialog, ui::Change), 0, L"You have duplicated the port description.", dialog);
    ui::ClickLine(dialog, ui::InputList, 1);
    ui::Type(dialog, ui::Description, L"Pads");
    ui::SetGroups(dialog, 0);
    ExpectWarning(ui::Press(dialog, ui::Change), 0, L"You must select at least one Group button.", dialog);
    Done();
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(1, 0x30, L"Keys 2"));
    EXPECT_TRUE(ui::ProductValues(L"Server1") == ui::PortValues(1, 0x80000001, L"Pads"));
}

TEST_F(Configurator, DeleteAsksAndTheDeletedRecordIsNotReused)
{
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ExpectWarning(ui::Press(dialog, ui::Delete), 0, L"You must select a device from the list to delete.",
                  dialog);
    ui::ClickLine(dialog, ui::OutputList, 0);
    std::vector<MessageBoxSeen> boxes = ui::Press(dialog, ui::Delete, {IDNO});
    ASSERT_EQ(boxes.size(), 1u);
    ExpectQuestion(boxes[0], L"Do you really want to delete Show Rig Device Lights?", dialog);
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList).size(), 1u);
    // Even after No the line is no longer loaded.
    ExpectWarning(ui::Press(dialog, ui::Delete), 0, L"You must select a device from the list to delete.",
                  dialog);

    ui::ClickLine(dialog, ui::OutputList, 0);
    ASSERT_EQ(ui::Press(dialog, ui::Delete, {IDYES}).size(), 1u);
    EXPECT_TRUE(ui::ListLines(dialog, ui::OutputList).empty());
    // The same description may come back; it takes a new record (after
    // Keys and Pads), so it is listed after them in table order.
    ui::FillPort(dialog, {L"Lights", 0, L"", 0, 8});
    ASSERT_NO_BOX(ui::Press(dialog, ui::Add));
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList),
              (std::vector<std::wstring>{L"Band\tKeys", L"Rig\tPads", L"Band\tLights"}));
    Done();
    EXPECT_FALSE(ui::KeyExists(HKEY_LOCAL_MACHINE, Product + L"\\Client0"));
    EXPECT_TRUE(ui::ProductValues(L"Server2") == ui::PortValues(0, 8, L"Lights"));
}

TEST_F(Configurator, DefaultPortsCannotKeepTheirSharedDescription)
{
    testsupport::DeleteProductKey();
    testsupport::WriteConfig({{true, 0, 1, L"Configure Me"}, {false, 0, 1, L"Configure Me"}},
                             {L"My Config Show"});
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ui::ClickLine(dialog, ui::InputList, 0);
    ExpectWarning(ui::Press(dialog, ui::Change), 0, L"You have duplicated the port description.", dialog);
    ui::ClickLine(dialog, ui::InputList, 0);
    ui::Type(dialog, ui::Description, L"Stage In");
    ASSERT_EQ(ui::Press(dialog, ui::Change, {IDYES}).size(), 1u);
    Done();
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(0, 1, L"Stage In"));
    EXPECT_TRUE(ui::ProductValues(L"Client0") == ui::PortValues(0, 1, L"Configure Me"));
}

std::vector<testsupport::PortSpec> ManyOutputs(int count)
{
    std::vector<testsupport::PortSpec> ports;
    for (int i = 0; i < count; ++i) {
        WCHAR name[16];
        wsprintfW(name, L"Out %03d", i);
        ports.push_back({false, 0, 1, name});
    }
    return ports;
}

// The dialog works on the first 112 records. With them all taken, Add does
// nothing and says nothing; a deleted record is not reused; records beyond
// are neither listed nor lost.
TEST_F(Configurator, FullTableAndRecordsBeyondTheListedOnes)
{
    testsupport::DeleteProductKey();
    testsupport::WriteConfig(ManyOutputs(115), {L"Band"});
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    std::vector<std::wstring> lines = ui::ListLines(dialog, ui::OutputList);
    ASSERT_EQ(lines.size(), 112u);
    ui::FillPort(dialog, {L"New", 0, L"", 1, 1});
    EXPECT_NO_BOX(ui::Press(dialog, ui::Add));
    ui::ClickLine(dialog, ui::OutputList, 5);
    ASSERT_EQ(ui::Press(dialog, ui::Delete, {IDYES}).size(), 1u);
    ui::FillPort(dialog, {L"New", 0, L"", 1, 1});
    EXPECT_NO_BOX(ui::Press(dialog, ui::Add));
    EXPECT_EQ(ui::ListLines(dialog, ui::OutputList).size(), 111u);
    Done();
    std::wstring deleted = lines[5].substr(lines[5].find(L'\t') + 1);
    std::set<std::wstring> expected;
    for (auto &port : ManyOutputs(115))
        if (port.description != deleted) expected.insert(port.description);
    std::set<std::wstring> saved;
    for (auto &key : ui::ReadTree(HKEY_LOCAL_MACHINE, Product))
        if (key.first.rfind(L"Client", 0) == 0) saved.insert(ui::AsText(key.second[L"Description"]));
    EXPECT_TRUE(saved == expected);
}

TEST_F(Configurator, TransportAndAddress)
{
    auto reopen = [this]() {
        session_.reset();
        dll_.Unload();
        return Open();
    };
    auto tcpInfo = [](DWORD tcp, const wchar_t *address) {
        return ui::ValueMap{{L"TCPClientServer", ui::Dword(tcp)},
                            {L"TCPAddress", ui::String(address)}};
    };
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ui::Type(dialog, ui::TcpAddress, L"studio-pc");
    Done();
    EXPECT_TRUE(ui::ProductValues(L"TCPInfo") == tcpInfo(1, L"studio-pc"));

    // UDP drops the address at once, though the box still shows it; back to
    // TCP it stays dropped until the box is touched again.
    dialog = reopen();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::Text(dialog, ui::TcpAddress), L"studio-pc");
    ui::PickEntry(dialog, ui::Transport, 0);
    EXPECT_EQ(ui::Text(dialog, ui::TcpAddress), L"studio-pc");
    ui::PickEntry(dialog, ui::Transport, 1);
    Done();
    EXPECT_TRUE(ui::ProductValues(L"TCPInfo") == tcpInfo(1, L""));

    dialog = reopen();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::Text(dialog, ui::TcpAddress), L"");
    ui::Type(dialog, ui::TcpAddress, L"10.1.2.3");
    ui::PickEntry(dialog, ui::Transport, 0);
    Done();
    EXPECT_TRUE(ui::ProductValues(L"TCPInfo") == tcpInfo(0, L""));
}

TEST_F(Configurator, StartWithParametersOpensTheSameSession)
{
    ASSERT_TRUE(dll_.Load());
    session_.reset(new ui::Configurator(dll_));
    ASSERT_TRUE(session_->OpenApplet(CPL_STARTWPARMSW));
    HWND dialog = session_->Dialog();
    EXPECT_EQ(ui::ListLines(dialog, ui::InputList).size(), 2u);
    ui::ClickLine(dialog, ui::InputList, 0);
    ASSERT_EQ(ui::Press(dialog, ui::Delete, {IDYES}).size(), 1u);
    Done();
    EXPECT_FALSE(ui::KeyExists(HKEY_LOCAL_MACHINE, Product + L"\\Server1"));
    EXPECT_TRUE(ui::ProductValues(L"Server0") == ui::PortValues(1, 0x80000001, L"Pads"));
}

}  // namespace
