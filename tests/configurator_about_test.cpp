// test-locks: registry
// test-timeout: 300
// test-libs: version
// The About box opened from the Configurator's Help/About button, both
// dialogs' appearance (fonts, placement, layout, screenshots in the build
// folder) and the placement rule on windows of the test's own.
#include <gtest/gtest.h>
#include "configurator/configurator.h"
#include "support/support.h"
#include "support/ui_registry.h"
#include "support/ui_session.h"
#include <thread>

namespace {

const wchar_t AboutTitle[] = L"About Tessmar Driver";

// The product version of a file, as its version resource states it.
std::wstring ProductVersion(const std::wstring &path)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (!size) return L"";
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return L"";
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&info), &length)) return L"";
    WCHAR text[64];
    wsprintfW(text, L"%u.%u.%u.%u", HIWORD(info->dwProductVersionMS), LOWORD(info->dwProductVersionMS),
              HIWORD(info->dwProductVersionLS), LOWORD(info->dwProductVersionLS));
    return text;
}

std::string Join(const std::vector<std::string> &faults)
{
    std::string text;
    for (const std::string &fault : faults) text += fault + "\n";
    return text;
}

// The font a control draws with.
LOGFONTW FontOf(HWND dialog, int id)
{
    LOGFONTW font = {};
    HFONT handle = reinterpret_cast<HFONT>(SendDlgItemMessageW(dialog, id, WM_GETFONT, 0, 0));
    if (handle) GetObjectW(handle, sizeof font, &font);
    return font;
}

// The dialogs' own font: "MS Shell Dlg", 8 points at the screen's resolution.
void ExpectDialogFont(HWND dialog, int id)
{
    HDC screen = GetDC(nullptr);
    int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    LOGFONTW font = FontOf(dialog, id);
    EXPECT_STREQ(font.lfFaceName, L"MS Shell Dlg") << "control " << id;
    EXPECT_EQ(font.lfHeight, -(8 * pixelsPerInch) / 72) << "control " << id;
    EXPECT_EQ(font.lfWeight, 400) << "control " << id;
    EXPECT_EQ(font.lfQuality, PROOF_QUALITY) << "control " << id;
    EXPECT_EQ(font.lfPitchAndFamily, FF_SWISS | DEFAULT_PITCH) << "control " << id;
}

class About : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::DeleteProductKey();
        testsupport::WriteConfig({{true, 0, 0x11, L"Keys"}, {false, 0, 2, L"Lights"}}, {L"Band"});
        ASSERT_TRUE(dll_.Load());
        session_.reset(new ui::Configurator(dll_));
        ASSERT_TRUE(session_->OpenApplet());
        dialog_ = session_->Dialog();
    }
    void TearDown() override
    {
        if (session_ && dialog_) session_->Cancel();
        session_.reset();
        dll_.Unload();
        testsupport::DeleteProductKey();
    }

    // Clicks Help/About on a helper thread (the About box is modal inside
    // the click) and waits for the About box.
    HWND OpenAbout()
    {
        click_ = std::thread([this] { ui::Press(dialog_, ui::HelpAbout, {}, nullptr, 60000); });
        return ui::WaitForDialog(AboutTitle, ui::HelpText);
    }
    void CloseAbout(HWND about, int button)
    {
        ui::Press(about, button);
        click_.join();
    }

    testsupport::DriverDll dll_;
    std::unique_ptr<ui::Configurator> session_;
    HWND dialog_ = nullptr;
    std::thread click_;
};

TEST_F(About, ShowsVersionAndHelpAndReturnsToTheConfigurator)
{
    ui::ClickLine(dialog_, ui::InputList, 0);
    HWND about = OpenAbout();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(GetWindow(about, GW_OWNER), dialog_);

    std::wstring version = ui::Text(about, ui::VersionBlock);
    std::wstring expected = L"Tessmar Version " + ProductVersion(ui::CurrentDirectory() + L"\\Tessmar.dll");
    EXPECT_EQ(version.substr(0, version.find(L'\n')), expected);
    EXPECT_GT(version.size(), expected.size() + 10);  // the credit lines follow
    EXPECT_EQ(version.find(L'%'), std::wstring::npos);

    std::wstring help = ui::Text(about, ui::HelpText);
    EXPECT_LT(help.size(), 5261u);
    EXPECT_EQ(help.substr(0, 36), std::wstring(21, L' ') + L"About Tessmar\r\n");
    const wchar_t *headings[] = {L"To create a new Tessmar port:", L"To modify an existing Tessmar port:",
                                 L"To delete an existing Tessmar port:", L"To select UDP or the new TCP mode:",
                                 L"To select correspondant address in TCP mode:", L"NOTES:"};
    size_t at = 0;
    for (const wchar_t *heading : headings) {
        size_t found = help.find(L"\r\n" + std::wstring(9, L' ') + heading + L"\r\n", at);
        EXPECT_NE(found, std::wstring::npos) << "heading missing or out of order";
        if (found != std::wstring::npos) at = found;
    }
    for (size_t i = 0; i < help.size(); ++i) {
        if (help[i] == L'\n') {
            ASSERT_TRUE(i > 0 && help[i - 1] == L'\r') << "bare line feed at " << i;
        }
    }

    std::wstring address = ui::Text(about, ui::WebAddress);
    EXPECT_LT(address.size(), 39u);
    EXPECT_EQ(address.rfind(L"https://", 0), 0u);

    for (int id : {int(ui::HelpText), int(ui::VersionBlock), IDOK}) ExpectDialogFont(about, id);
    RECT owner = ui::WindowRect(dialog_), placed = ui::WindowRect(about);
    EXPECT_EQ(placed.left, owner.left + ((owner.right - owner.left) - (placed.right - placed.left)) / 2);
    EXPECT_EQ(placed.top, owner.top + ((owner.bottom - owner.top) - (placed.bottom - placed.top)) / 2);

    CloseAbout(about, IDOK);
    EXPECT_TRUE(ui::WaitUntilGone(about));
    // The Configurator is as it was: the loaded line is still loaded.
    EXPECT_EQ(ui::Text(dialog_, ui::Description), L"Keys");
    EXPECT_EQ(ui::CheckedGroups(dialog_), 0x11u);
    EXPECT_EQ(ui::ComboSelection(dialog_, ui::Direction), 0);

    about = OpenAbout();
    ASSERT_NE(about, nullptr);
    CloseAbout(about, IDCANCEL);  // Esc
    EXPECT_TRUE(ui::WaitUntilGone(about));
    EXPECT_EQ(ui::Text(dialog_, ui::Description), L"Keys");
    // Change still works on the loaded line.
    EXPECT_EQ(ui::Press(dialog_, ui::Change, {IDNO}).size(), 1u);
}

TEST_F(About, BothDialogsAreTidy)
{
    std::vector<std::string> faults = ui::LayoutFaults(dialog_);
    EXPECT_TRUE(faults.empty()) << Join(faults);
    for (int id : {int(ui::DebugLevelBox), int(ui::InputList), int(ui::OutputList), int(ui::Direction), int(ui::ShowBox),
                   int(ui::TcpAddress), int(ui::Transport)})
        ExpectDialogFont(dialog_, id);
    // The description box keeps the template's font.
    EXPECT_EQ(SendDlgItemMessageW(dialog_, ui::Description, WM_GETFONT, 0, 0),
              SendMessageW(dialog_, WM_GETFONT, 0, 0));
    ui::ClickLine(dialog_, ui::InputList, 0);
    EXPECT_TRUE(ui::SaveScreenshot(dialog_, ui::CurrentDirectory() + L"\\configurator.png"));

    HWND about = OpenAbout();
    ASSERT_NE(about, nullptr);
    faults = ui::LayoutFaults(about);
    EXPECT_TRUE(faults.empty()) << Join(faults);
    EXPECT_TRUE(ui::SaveScreenshot(about, ui::CurrentDirectory() + L"\\about.png"));
    CloseAbout(about, IDOK);
}

bool WaitForFile(const std::wstring &path, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(50);
    }
    return true;
}

// The address button opens its caption with the shell. A batch file stands
// in for the web page: opening it leaves a marker file.
TEST_F(About, AddressButtonOpensItsCaptionUnlessItIsTooLong)
{
    const std::wstring shortBatch = L"C:\\tessmar_about_open.bat";                     // 25 characters
    const std::wstring longBatch = L"C:\\tessmar_about_address_button_39ch.bat";       // 40 characters
    const std::wstring exactBatch = L"C:\\tessmar_about_address_button_39c.bat";       // 39 characters
    const std::wstring marker = L"C:\\tessmar_about_opened.txt";
    ASSERT_EQ(exactBatch.size(), 39u);
    std::string script = "@echo opened> C:\\tessmar_about_opened.txt\r\n";
    std::vector<BYTE> bytes(script.begin(), script.end());
    for (const std::wstring &batch : {shortBatch, longBatch, exactBatch})
        ASSERT_TRUE(ui::WriteFileBytes(batch, bytes));
    DeleteFileW(marker.c_str());

    HWND about = OpenAbout();
    ASSERT_NE(about, nullptr);
    for (const std::wstring &caption : {longBatch, exactBatch}) {
        SetDlgItemTextW(about, ui::WebAddress, caption.c_str());
        EXPECT_TRUE(ui::Press(about, ui::WebAddress).empty());
        EXPECT_FALSE(WaitForFile(marker, 3000)) << "a caption of 39 characters or more was opened";
    }
    SetDlgItemTextW(about, ui::WebAddress, shortBatch.c_str());
    EXPECT_TRUE(ui::Press(about, ui::WebAddress).empty());
    EXPECT_TRUE(WaitForFile(marker, 15000));
    CloseAbout(about, IDOK);
    for (const std::wstring &file : {shortBatch, longBatch, exactBatch, marker}) DeleteFileW(file.c_str());
}

// CenterWindow on windows of the test's own: centred on the owner, kept
// on the screen when the owner is near an edge, never at a negative
// position, and centred on the screen without an owner.
TEST(CenterWindow, PlacesTheWindowAsTheRulesSay)
{
    int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    auto window = [](int x, int y, int w, int h) {
        return CreateWindowExW(0, L"STATIC", L"", WS_POPUP, x, y, w, h, nullptr, nullptr, nullptr, nullptr);
    };
    HWND child = window(0, 0, 300, 200);
    struct Case {
        RECT owner;
        POINT expected;
    };
    const Case cases[] = {
        {{100, 100, 501, 401}, {100 + (401 - 300) / 2, 100 + (301 - 200) / 2}},
        {{screenWidth - 100, screenHeight - 50, screenWidth + 300, screenHeight + 150},
         {screenWidth - 300, screenHeight - 200}},
        {{-600, -500, -400, -400}, {0, 0}},
    };
    for (const Case &c : cases) {
        HWND owner = window(c.owner.left, c.owner.top, c.owner.right - c.owner.left,
                            c.owner.bottom - c.owner.top);
        ASSERT_TRUE(CenterWindow(child, owner));
        RECT placed = ui::WindowRect(child);
        EXPECT_EQ(placed.left, c.expected.x);
        EXPECT_EQ(placed.top, c.expected.y);
        EXPECT_EQ(placed.right - placed.left, 300);
        EXPECT_EQ(placed.bottom - placed.top, 200);
        DestroyWindow(owner);
    }
    ASSERT_TRUE(CenterWindow(child, nullptr));
    RECT placed = ui::WindowRect(child);
    EXPECT_EQ(placed.left, (screenWidth - 300) / 2);
    EXPECT_EQ(placed.top, (screenHeight - 200) / 2);
    DestroyWindow(child);
}

}  // namespace
