// test-locks: registry
// test-timeout: 300
// The Control Panel applet entry of the real library: every CPlApplet
// message, the resources it finds by the file name "Tessmar.dll" (and the
// fallbacks when the name or the strings are missing), and Wine's own
// Control Panel listing and opening the applet.
#include <gtest/gtest.h>
#include "support/support.h"
#include "support/ui_registry.h"
#include "support/ui_session.h"
#include <commctrl.h>
#include <cpl.h>

namespace {

const std::wstring Product = L"Software\\Kalvera\\Tessmar";
const std::wstring Cpls = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";

using CplProc = LONG(APIENTRY *)(HWND, UINT, LPARAM, LPARAM);

CplProc CplOf(HMODULE module)
{
    return reinterpret_cast<CplProc>(reinterpret_cast<void *>(GetProcAddress(module, "CPlApplet")));
}

// A NEWCPLINFOW filled with a pattern, so that fields the applet must not
// write show whether it did.
NEWCPLINFOW Inquire(CplProc cpl)
{
    NEWCPLINFOW info;
    memset(&info, 0xA5, sizeof info);
    EXPECT_EQ(cpl(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    return info;
}

void ExpectUntouchedHeader(const NEWCPLINFOW &info)
{
    EXPECT_EQ(info.dwSize, 0xA5A5A5A5u);
    EXPECT_EQ(info.dwFlags, 0xA5A5A5A5u);
    EXPECT_EQ(info.szHelpFile[0], 0xA5A5);
}

TEST(Applet, AnswersEveryMessage)
{
    testsupport::DriverDll dll;
    ASSERT_TRUE(dll.Load());
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_INIT, 0, 0), 1);
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_GETCOUNT, 0, 0), 1);

    CPLINFO info = {7, 7, 7, 7};
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.idIcon, 1);
    EXPECT_EQ(info.idName, 1);
    EXPECT_EQ(info.idInfo, 101);
    EXPECT_EQ(info.lData, 0);

    NEWCPLINFOW inquired = Inquire(dll.cplApplet);
    ExpectUntouchedHeader(inquired);
    EXPECT_EQ(inquired.dwHelpContext, 0u);
    EXPECT_EQ(inquired.lData, 0);
    EXPECT_STREQ(inquired.szName, L"Tessmar Config");
    EXPECT_STREQ(inquired.szInfo, L"Configure Tessmar");
    ASSERT_NE(inquired.hIcon, nullptr);
    EXPECT_EQ(inquired.hIcon, LoadIconW(dll.module, MAKEINTRESOURCEW(1)));
    ICONINFO icon = {};
    ASSERT_TRUE(GetIconInfo(inquired.hIcon, &icon));
    BITMAP bits = {};
    GetObjectW(icon.hbmColor ? icon.hbmColor : icon.hbmMask, sizeof bits, &bits);
    EXPECT_EQ(bits.bmWidth, GetSystemMetrics(SM_CXICON));
    if (icon.hbmColor) DeleteObject(icon.hbmColor);
    DeleteObject(icon.hbmMask);

    // A host that passes no record gets the same answer and no crash.
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_INQUIRE, 0, 0), 0);
    EXPECT_EQ(dll.cplApplet(nullptr, CPL_NEWINQUIRE, 0, 0), 0);

    // Everything else answers 0 and opens nothing.
    for (UINT message : {UINT(CPL_SELECT), UINT(CPL_STOP), UINT(CPL_EXIT), UINT(CPL_STARTWPARMSA), 11u,
                         UINT(CPL_SETUP)})
        EXPECT_EQ(dll.cplApplet(nullptr, message, 0, 0), 0) << "message " << message;
    EXPECT_EQ(ui::WaitForDialog(ui::ConfiguratorTitle, ui::InputList, 200), nullptr);
}

// A copy of the library in a folder of its own, optionally with one of its
// string blocks emptied (string n lives in block n / 16 + 1; an empty
// string cannot be loaded).
std::wstring CopyOfLibrary(const std::wstring &folder, const std::wstring &name, int dropStringBlock)
{
    std::wstring directory = ui::CurrentDirectory() + L"\\" + folder;
    CreateDirectoryW(directory.c_str(), nullptr);
    std::wstring path = directory + L"\\" + name;
    if (!CopyFileW((ui::CurrentDirectory() + L"\\Tessmar.dll").c_str(), path.c_str(), FALSE)) return L"";
    if (dropStringBlock) {
        HANDLE update = BeginUpdateResourceW(path.c_str(), FALSE);
        if (!update) return L"";
        WORD emptyBlock[16] = {};
        UpdateResourceW(update, RT_STRING, MAKEINTRESOURCEW(dropStringBlock),
                        MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), emptyBlock, sizeof emptyBlock);
        if (!EndUpdateResourceW(update, FALSE)) return L"";
    }
    return path;
}

TEST(Applet, MissingStringsFallBackToTheFixedName)
{
    struct Case {
        int block;
        const wchar_t *name, *info;
    };
    const Case cases[] = {{1, L"Tessmar Configuration", L"Configure Tessmar"},
                          {7, L"Tessmar Config", L"Tessmar Configuration"}};
    for (const Case &c : cases) {
        std::wstring path = CopyOfLibrary(L"applet_strings_" + std::to_wstring(c.block), L"Tessmar.dll", c.block);
        ASSERT_FALSE(path.empty());
        HMODULE module = LoadLibraryW(path.c_str());
        ASSERT_NE(module, nullptr);
        ASSERT_EQ(GetModuleHandleW(L"Tessmar.dll"), module);
        NEWCPLINFOW inquired = Inquire(CplOf(module));
        EXPECT_STREQ(inquired.szName, c.name);
        EXPECT_STREQ(inquired.szInfo, c.info);
        EXPECT_NE(inquired.hIcon, nullptr);
        FreeLibrary(module);
    }
}

// Under another file name the applet finds no resources: no icon, the fixed
// texts, and a double-click ends as a Cancel would, without a dialog.
TEST(Applet, UnderAnotherFileNameItHasNoResources)
{
    testsupport::DeleteProductKey();
    testsupport::WriteConfig({{true, 0, 1, L"Keys"}}, {L"Band"});
    ui::KeyTree before = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);
    std::wstring path = CopyOfLibrary(L"applet_renamed", L"TessmarRenamed.dll", 0);
    ASSERT_FALSE(path.empty());
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(GetModuleHandleW(L"Tessmar.dll"), nullptr);
    CplProc cpl = CplOf(module);
    NEWCPLINFOW inquired = Inquire(cpl);
    ExpectUntouchedHeader(inquired);
    EXPECT_EQ(inquired.hIcon, nullptr);
    EXPECT_STREQ(inquired.szName, L"Tessmar Configuration");
    EXPECT_STREQ(inquired.szInfo, L"Tessmar Configuration");

    ui::SessionThread session([cpl] { return static_cast<LONG_PTR>(cpl(nullptr, CPL_DBLCLK, 0, 0)); });
    ASSERT_TRUE(session.Wait(10000));
    EXPECT_EQ(session.Result(), 0);
    EXPECT_EQ(ui::WaitForMessageBox(nullptr, 200), nullptr);
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == before);
    FreeLibrary(module);
    testsupport::DeleteProductKey();
}

// --- Wine's Control Panel, a separate process ------------------------------

// Memory in another process for the list view messages, which carry
// pointers that the other process dereferences.
class RemoteBuffer {
public:
    explicit RemoteBuffer(DWORD processId)
    {
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
        if (process_) memory_ = VirtualAllocEx(process_, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
    }
    ~RemoteBuffer()
    {
        if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    bool ok() const { return memory_ != nullptr; }
    BYTE *at(size_t offset) const { return static_cast<BYTE *>(memory_) + offset; }
    bool Write(size_t offset, const void *data, size_t size) const
    {
        return WriteProcessMemory(process_, at(offset), data, size, nullptr);
    }
    bool Read(size_t offset, void *data, size_t size) const
    {
        return ReadProcessMemory(process_, at(offset), data, size, nullptr);
    }

private:
    HANDLE process_ = nullptr;
    void *memory_ = nullptr;
};

std::wstring ItemText(HWND list, const RemoteBuffer &remote, int index, int subItem)
{
    LVITEMW item = {};
    item.iSubItem = subItem;
    item.cchTextMax = 256;
    item.pszText = reinterpret_cast<LPWSTR>(remote.at(sizeof item));
    remote.Write(0, &item, sizeof item);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(list, LVM_GETITEMTEXTW, index, reinterpret_cast<LPARAM>(remote.at(0)),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    WCHAR text[256] = {};
    remote.Read(sizeof item, text, sizeof text - sizeof(WCHAR));
    return text;
}

struct Found {
    DWORD processId;
    const wchar_t *className;
    const wchar_t *title;
    int controlId;
    HWND window;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM param)
{
    Found *found = reinterpret_cast<Found *>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (found->processId && process != found->processId) return TRUE;
    if (!found->processId && process == GetCurrentProcessId()) return TRUE;
    if (!IsWindowVisible(window)) return TRUE;
    WCHAR className[64] = {};
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, found->className) != 0) return TRUE;
    if (found->title) {
        WCHAR title[64] = {};
        GetWindowTextW(window, title, 64);
        if (lstrcmpW(title, found->title) != 0) return TRUE;
    }
    if (found->controlId && !GetDlgItem(window, found->controlId)) return TRUE;
    found->window = window;
    return FALSE;
}

// A visible top-level window of another process (of `processId`, or of any
// process but this one).
HWND WaitForWindowOf(DWORD processId, const wchar_t *className, const wchar_t *title, int controlId,
                     DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        Found found = {processId, className, title, controlId, nullptr};
        EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&found));
        if (found.window) return found.window;
        if (GetTickCount() - start > timeoutMs) return nullptr;
        Sleep(100);
    }
}

// A process this test starts; it is ended when the test leaves, whatever
// happened.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring &commandLine)
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring line = commandLine;
        started_ = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &info_) != FALSE;
    }
    ~ChildProcess()
    {
        if (!started_) return;
        if (WaitForSingleObject(info_.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, 10000);
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }
    bool Started() const { return started_; }
    DWORD Id() const { return info_.dwProcessId; }
    bool Exited(DWORD timeoutMs) const { return WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0; }

private:
    PROCESS_INFORMATION info_ = {};
    bool started_ = false;
};

std::wstring ControlExe() { return L"\"" + ui::SystemDirectory() + L"\\control.exe\""; }

// Wine's Control Panel lists the applets of the Cpls key with the names and
// descriptions they report, and its loader opens one given by its path.
TEST(Applet, WinesControlPanelListsAndOpensIt)
{
    testsupport::DeleteProductKey();
    testsupport::WriteConfig({{true, 0, 1, L"Keys"}}, {L"Band"});
    ui::KeyTree before = ui::ReadTree(HKEY_LOCAL_MACHINE, Product);
    ui::SavedKey savedCpls(HKEY_LOCAL_MACHINE, Cpls);
    std::wstring library = ui::CurrentDirectory() + L"\\Tessmar.dll";
    ASSERT_TRUE(ui::WriteValue(HKEY_LOCAL_MACHINE, Cpls, L"Tessmar", ui::String(library)));
    {
        ChildProcess panel(ControlExe());
        ASSERT_TRUE(panel.Started());
        HWND window = WaitForWindowOf(panel.Id(), L"Shell_Control_WndClass", nullptr, 0, 30000);
        ASSERT_NE(window, nullptr);
        HWND list = FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr);
        ASSERT_NE(list, nullptr);
        RemoteBuffer remote(panel.Id());
        ASSERT_TRUE(remote.ok());
        DWORD_PTR count = 0;
        SendMessageTimeoutW(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
        int ours = -1;
        for (int i = 0; i < static_cast<int>(count) && ours < 0; ++i)
            if (ItemText(list, remote, i, 0) == L"Tessmar Config") ours = i;
        ASSERT_GE(ours, 0) << "the applet is not listed among " << count << " items";
        EXPECT_EQ(ItemText(list, remote, ours, 1), L"Configure Tessmar");
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_TRUE(panel.Exited(10000));
    }
    {
        // The host asks with CPL_STARTWPARMSW first and double-clicks when
        // that answers 0, so the Configurator may come twice; each is
        // closed unchanged.
        ChildProcess applet(ControlExe() + L" \"" + library + L"\"");
        ASSERT_TRUE(applet.Started());
        HWND dialog = WaitForWindowOf(applet.Id(), L"#32770", ui::ConfiguratorTitle, ui::InputList, 30000);
        ASSERT_NE(dialog, nullptr);
        EXPECT_NE(GetDlgItem(dialog, ui::GroupFirst + 31), nullptr);
        for (int shown = 0; dialog && shown < 3; ++shown) {
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            ui::WaitUntilGone(dialog);
            dialog = WaitForWindowOf(applet.Id(), L"#32770", ui::ConfiguratorTitle, ui::InputList, 3000);
        }
        EXPECT_EQ(dialog, nullptr);
        EXPECT_TRUE(applet.Exited(10000));
    }
    EXPECT_TRUE(ui::ReadTree(HKEY_LOCAL_MACHINE, Product) == before);
    testsupport::DeleteProductKey();
}

}  // namespace
