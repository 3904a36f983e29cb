// test-locks: registry
// test-timeout: 300
// Whether a process may run the driver: the decision on chosen facts, and
// the real process scan with processes of chosen names and Wine told to
// report an older system version to the loading process.
#include <gtest/gtest.h>
#include "driver/driver.h"
#include "support/foundation_child.h"
#include "support/support.h"
#include <string>
#include <vector>

using namespace foundation;

namespace {

constexpr DWORD Windows7 = 0x1DB10106;   // GetVersion of 6.1 build 7601
constexpr DWORD WindowsXP = 0x0A280105;  // 5.1 build 2600
constexpr DWORD Windows10 = 0x4A61000A;

SafetyFacts Facts(const WCHAR *user, DWORD version, BOOL explorer, BOOL logonui)
{
    SafetyFacts f = {};
    f.userNameRead = TRUE;
    f.userName = user;
    f.version = version;
    f.foundExplorer = explorer;
    f.foundLogonUI = logonui;
    return f;
}

}  // namespace

TEST(SafetyDecision, ServiceAccountsAreRefusedInAnyCase)
{
    for (const WCHAR *name : {L"SYSTEM", L"system", L"System", L"LOCAL SERVICE", L"local service",
                              L"Network Service", L"NETWORK SERVICE"}) {
        EXPECT_FALSE(DecideSafeForNetworking(Facts(name, Windows7, TRUE, FALSE))) << name;
        EXPECT_FALSE(DecideSafeForNetworking(Facts(name, WindowsXP, TRUE, FALSE))) << name;
    }
    // Whole-name comparison: these are ordinary users.
    for (const WCHAR *name : {L"SYSTEMS", L"LOCAL", L"NETWORK SERVICE2", L"alice", L""})
        EXPECT_TRUE(DecideSafeForNetworking(Facts(name, Windows7, FALSE, FALSE))) << name;
}

TEST(SafetyDecision, ProcessesCountOnlyBeforeVersionSix)
{
    // Version 6 and later: whatever runs.
    for (DWORD version : {Windows7, Windows10}) {
        EXPECT_TRUE(DecideSafeForNetworking(Facts(L"alice", version, FALSE, FALSE)));
        EXPECT_TRUE(DecideSafeForNetworking(Facts(L"alice", version, FALSE, TRUE)));
        EXPECT_TRUE(DecideSafeForNetworking(Facts(L"alice", version, TRUE, TRUE)));
    }
    // Older: a shell must run and the logon screen must not.
    EXPECT_TRUE(DecideSafeForNetworking(Facts(L"alice", WindowsXP, TRUE, FALSE)));
    EXPECT_FALSE(DecideSafeForNetworking(Facts(L"alice", WindowsXP, FALSE, FALSE)));
    EXPECT_FALSE(DecideSafeForNetworking(Facts(L"alice", WindowsXP, TRUE, TRUE)));
    EXPECT_FALSE(DecideSafeForNetworking(Facts(L"alice", WindowsXP, FALSE, TRUE)));
    // Only the low byte of the version is the major version.
    EXPECT_FALSE(DecideSafeForNetworking(Facts(L"alice", 0x06060005, FALSE, FALSE)));
}

TEST(SafetyDecision, UnreadUserNameIsRefused)
{
    SafetyFacts f = Facts(L"alice", Windows7, TRUE, FALSE);
    f.userNameRead = FALSE;
    EXPECT_FALSE(DecideSafeForNetworking(f));
}

// The real scan: a child process loads the DLL and reports DRV_LOAD's answer
// together with the major version Wine gave it.
class ProcessScan : public testing::Test {
protected:
    std::vector<HANDLE> running;
    std::wstring loader;

    void SetUp() override
    {
        testsupport::DeleteProductKey();
        loader = CopyOwnExe(L"tessmar_safety_loader.exe");
        ASSERT_FALSE(loader.empty());
    }
    void TearDown() override
    {
        for (HANDLE process : running) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
        SetLoaderVersion(nullptr);
    }
    // Wine reports to a program the version its AppDefaults key names.
    void SetLoaderVersion(const wchar_t *version)
    {
        const wchar_t *path = L"Software\\Wine\\AppDefaults\\tessmar_safety_loader.exe";
        if (!version) {
            RegDeleteKeyW(HKEY_CURRENT_USER, path);
            return;
        }
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE *>(version),
                       static_cast<DWORD>((lstrlenW(version) + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    // Starts a waiting copy of this program under the given file name.
    void RunNamed(const std::wstring &name)
    {
        std::wstring exe = CopyOwnExe(name);
        ASSERT_FALSE(exe.empty()) << "copy as " << std::string(name.begin(), name.end());
        HANDLE process = StartChild(exe, L"wait 120000");
        ASSERT_NE(process, nullptr);
        running.push_back(process);
        Sleep(300);  // let it come up so the scan can see its modules
    }
    // 100 * DRV_LOAD result + major version
    DWORD Load() { return RunChild(loader, L"load \"" + DllPath() + L"\""); }

};

TEST_F(ProcessScan, VersionSixIgnoresTheLogonScreen)
{
    RunNamed(L"logonui.exe");
    EXPECT_EQ(Load(), 106u) << "accepted, and Wine reports 6 by default";
}

// Wine's own desktop shell (explorer.exe) runs in the test prefix, so the
// refusal for a missing shell is covered by the decision tests above; here
// the scan must find a shell and must spot the logon screen whatever the
// case of its name and whatever follows its first eleven characters.
TEST_F(ProcessScan, OlderSystemNeedsTheShellAndNoLogonScreen)
{
    SetLoaderVersion(L"winxp");
    RunNamed(L"EXPLORER.EXE");
    EXPECT_EQ(Load(), 105u) << "a shell runs and no logon screen: accepted on version 5";

    RunNamed(L"LOGONUI.EXE_previous.exe");
    EXPECT_EQ(Load(), 5u) << "the logon screen runs: refused";
}

TEST_F(ProcessScan, MixedCaseLogonScreenIsFound)
{
    SetLoaderVersion(L"winxp");
    ASSERT_EQ(Load(), 105u);
    RunNamed(L"LogonUI.exe");
    EXPECT_EQ(Load(), 5u);
}
