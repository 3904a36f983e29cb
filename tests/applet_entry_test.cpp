// The Control Panel applet entry of the real library: the CPlApplet
// messages, the resources it finds by the file name "Tessmar.dll", and
// Wine's own Control Panel opening the applet.
#include <gtest/gtest.h>
#include "support/support.h"
#include "support/ui_dialogs.h"

using namespace testsupport;

namespace {

// The applet's inquiries, and a copy of the library under another name,
// where it finds no resources: no icon, the fixed texts, and a double-click
// that ends as a Cancel would, without a dialog. Fields of NEWCPLINFO the
// applet must not write keep their pattern; a host that passes no record
// gets the same answer and no crash; other messages answer 0, opening nothing.
TEST(Applet, InquiriesFileNamesAndWinesControlPanel)
{
    WriteConfig({{true, 0, 1, L"Keys"}}, {L"Band"});
    KeyTree before = ReadTree(ProductPath());
    std::wstring renamed = ProgramFolder() + L"\\TessmarRenamed.dll";
    ASSERT_TRUE(CopyFileW(DllPath().c_str(), renamed.c_str(), FALSE));
    for (const std::wstring &path : {DllPath(), renamed}) {
        DriverDll dll;
        ASSERT_TRUE(dll.Load(path));
        bool own = path == DllPath();
        NEWCPLINFOW info;
        memset(&info, 0xA5, sizeof info);
        EXPECT_EQ(dll.cplApplet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
        EXPECT_TRUE(info.dwSize == 0xA5A5A5A5u && info.dwFlags == 0xA5A5A5A5u && info.szHelpFile[0] == 0xA5A5);
        EXPECT_TRUE(info.dwHelpContext == 0 && info.lData == 0);
        EXPECT_STREQ(info.szName, own ? L"Tessmar Config" : L"Tessmar Configuration");
        EXPECT_STREQ(info.szInfo, own ? L"Configure Tessmar" : L"Tessmar Configuration");
        EXPECT_EQ(info.hIcon, own ? LoadIconW(dll.module, MAKEINTRESOURCEW(IDI_APPLET)) : nullptr);
        if (own) continue;
        auto applet = dll.cplApplet;
        ui::SessionThread session([applet] { return LONG_PTR(applet(nullptr, CPL_DBLCLK, 0, 0)); });
        ASSERT_TRUE(session.Wait(10000));
        EXPECT_EQ(session.Result(), 0);
        EXPECT_EQ(ui::WaitForMessageBox(nullptr, 200), nullptr);
        EXPECT_TRUE(ReadTree(ProductPath()) == before);
    }
    DeleteFileW(renamed.c_str());

    DriverDll dll;
    ASSERT_TRUE(dll.Load());
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_INIT, 0, 0) + dll.cplApplet(nullptr, CPL_GETCOUNT, 0, 0), 2);
    CPLINFO info = {7, 7, 7, 7};
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_TRUE(info.idIcon == IDI_APPLET && info.idName == IDS_APPLET_NAME && info.idInfo == IDS_APPLET_INFO);
    EXPECT_EQ(info.lData, 0);
    for (UINT message : {CPL_INQUIRE, CPL_NEWINQUIRE, CPL_SELECT, CPL_STOP, CPL_EXIT, CPL_STARTWPARMSA, 11, CPL_SETUP})
        EXPECT_EQ(dll.cplApplet(nullptr, message, 0, 0), 0) << "message " << message;
    EXPECT_EQ(ui::WaitForDialog(ui::ConfiguratorTitle, IDC_INPUT_LIST, 200), nullptr);
    dll.Unload();

    // Wine's Control Panel, a separate process, loads the applet given by its
    // path and opens the Configurator. The host asks with CPL_STARTWPARMSW
    // first and double-clicks when that answers 0, so the Configurator may
    // come twice; each is closed unchanged.
    DWORD id = 0;
    HANDLE panel = StartProcess(L"\"" + SystemDirectory() + L"\\control.exe\" \"" + DllPath() + L"\"", &id);
    ASSERT_NE(panel, nullptr);
    HWND dialog = ui::WaitForDialog(ui::ConfiguratorTitle, IDC_GROUP_LAST, 30000, id);
    EXPECT_NE(dialog, nullptr);
    for (int shown = 0; dialog && shown < 3; ++shown) {
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        ui::WaitUntilGone(dialog);
        dialog = ui::WaitForDialog(ui::ConfiguratorTitle, IDC_GROUP_LAST, 3000, id);
    }
    EXPECT_EQ(dialog, nullptr);
    EXPECT_EQ(WaitForSingleObject(panel, 10000), WAIT_OBJECT_0);
    TerminateProcess(panel, 1);
    CloseHandle(panel);
    EXPECT_TRUE(ReadTree(ProductPath()) == before);
    DeleteProductKey();
}

}  // namespace
