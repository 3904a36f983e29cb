// test-locks: registry
// The driver messages and the library's attach, through the DLL as winmm
// calls it and in process on the driver's own state; the debugger output of
// a child process read as a debugger reads it.
#include <gtest/gtest.h>
#include "config/config.h"
#include "diag/log.h"
#include "support/foundation_child.h"
#include "support/foundation_registry.h"
#include "support/support.h"
#include "support/ui_debugger.h"

using namespace foundation;

namespace {

bool Contains(const std::vector<std::wstring> &lines, const std::wstring &text)
{
    for (const std::wstring &line : lines)
        if (line.find(text) != std::wstring::npos) return true;
    return false;
}

size_t CountContaining(const std::vector<std::wstring> &lines, const std::wstring &text)
{
    size_t n = 0;
    for (const std::wstring &line : lines) n += line.find(text) != std::wstring::npos;
    return n;
}

}  // namespace

TEST(DriverMessages, ResultsThroughTheDll)
{
    testsupport::WriteConfig({{false, 0, 1, L"Out"}}, {L"S"});
    testsupport::DriverDll dll;
    ASSERT_TRUE(dll.Load());
    EXPECT_EQ(dll.Send(DRV_LOAD), 1) << "an interactive user on version 6";
    EXPECT_EQ(dll.Send(DRV_ENABLE), 1);
    EXPECT_EQ(dll.Send(DRV_OPEN), 1);
    EXPECT_EQ(dll.Send(DRV_QUERYCONFIGURE), 1);
    EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u);
    HDRVR handle = reinterpret_cast<HDRVR>(dll.module);
    for (UINT message : {0u, 11u, 0x4000u}) {
        EXPECT_EQ(dll.driverProc(7, handle, message, 3, 4), DefDriverProc(7, handle, message, 3, 4))
            << message;
        EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 1u) << "message " << message
                                                                  << " changed nothing";
    }
    EXPECT_EQ(dll.Send(DRV_CLOSE), 1);
    EXPECT_EQ(dll.Send(DRV_DISABLE), 1);
    EXPECT_EQ(dll.Send(DRV_FREE), 1);
    EXPECT_EQ(dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 0u);
    dll.Unload();
    testsupport::DeleteProductKey();
}

// In process: the driver state of this test program itself.
class InProcess : public testing::Test {
protected:
    void SetUp() override { FreePortInfo(); }
    void TearDown() override
    {
        FreePortInfo();
        connected = 0;
        recued = 0;
        teardown = 0;
        wsacount = 0;
        testsupport::DeleteProductKey();
    }
    static void DirtyTcpState()
    {
        connected = 1;
        recued = 1;
        teardown = 1;
        wsacount = 3;
    }
};

TEST_F(InProcess, SecondLoadKeepsTheTableButDecidesAgain)
{
    testsupport::WriteConfig({{false, 0, 1, L"A1"}, {false, 0, 1, L"A2"}}, {L"S"});
    DirtyTcpState();
    EXPECT_EQ(DriverProc(1, nullptr, DRV_LOAD, 0, 0), 1);
    EXPECT_EQ(CountDevices(MidiOutDevice), 2u);
    EXPECT_EQ(SafeForNetworking, 1);
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(recued, 0);
    EXPECT_EQ(teardown, 0);
    EXPECT_EQ(wsacount, 0);

    testsupport::WriteConfig({{false, 0, 1, L"B1"}}, {L"S"});
    DirtyTcpState();
    SafeForNetworking = 0;
    EXPECT_EQ(DriverProc(1, nullptr, DRV_LOAD, 0, 0), 1);
    EXPECT_EQ(SafeForNetworking, 1) << "decided again";
    EXPECT_EQ(DeviceNames(MidiOutDevice), (std::vector<std::wstring>{L"A1", L"A2"}))
        << "the loaded table is left alone";
    EXPECT_EQ(connected, 1) << "the TCP state is reset only with a fresh load";
    EXPECT_EQ(wsacount, 3);

    EXPECT_EQ(DriverProc(1, nullptr, DRV_FREE, 0, 0), 1);
    for (int i = 0; i < UnitTableSize; ++i) {
        EXPECT_EQ(pUnits[i].Description, nullptr);
        EXPECT_EQ(pUnits[i].InUse, 0);
        EXPECT_EQ(pUnits[i].OpenHandle, INVALID_SOCKET);
    }
    EXPECT_EQ(DriverProc(1, nullptr, DRV_LOAD, 0, 0), 1);
    EXPECT_EQ(DeviceNames(MidiOutDevice), (std::vector<std::wstring>{L"B1"}));
    EXPECT_EQ(connected, 0);
}

TEST_F(InProcess, AttachDecodesTheStoredLevelAndClearsTheTable)
{
    struct Case {
        bool present;
        DWORD stored;
        LONG level;
        BYTE noFile;
    } cases[] = {{true, 7, 3, 0}, {true, 5, 1, 0}, {true, 8, 4, 0}, {true, 4, 4, 1},
                 {true, 1, 1, 1}, {true, 0, 0, 1}, {false, 0, 0, 1}};
    for (const Case &c : cases) {
        testsupport::DeleteProductKey();
        if (c.present) testsupport::SetDebugLevelValue(c.stored);
        PutUnit(3, DirectionOutput, L"stale", 0, 1);
        pUnits[3].OpenHandle = 5;
        DriverProcessDetach();
        ASSERT_TRUE(DriverProcessAttach(GetModuleHandleW(nullptr)));
        EXPECT_EQ(DebugLevel, c.level) << "stored " << c.stored << " present " << c.present;
        EXPECT_EQ(nomore, c.noFile) << "stored " << c.stored;
        EXPECT_EQ(opencount, 0u);
        for (int i = 0; i < UnitTableSize; ++i) {
            ASSERT_EQ(pUnits[i].Description, nullptr);
            ASSERT_EQ(pUnits[i].InUse, 0);
            ASSERT_EQ(pUnits[i].OpenHandle, INVALID_SOCKET);
        }
        ASSERT_NE(DriverHeap, nullptr);
    }
    // A value that is not 4 bytes long leaves the log off.
    testsupport::DeleteProductKey();
    {
        Key product(CreateProductSubkey(L""));
        SetString(product.handle, L"PrintDebugInfo", L"66");
    }
    DriverProcessDetach();
    ASSERT_TRUE(DriverProcessAttach(GetModuleHandleW(nullptr)));
    EXPECT_EQ(DebugLevel, 0);
    EXPECT_EQ(nomore, 1);
}

TEST(DebuggerOutput, DriverMessagesAreAnnouncedWhateverTheLevel)
{
    testsupport::WriteConfig({{false, 0, 1, L"Out"}}, {L"S"});
    ui::DebugRun run = ui::RunUnderDebugger(L"\"" + OwnExePath() + L"\" --foundation-child log \"" +
                                            DllPath() + L"\"");
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(CountContaining(run.output, L"DRV_LOAD"), 1u);
    EXPECT_EQ(CountContaining(run.output, L"DRV_FREE"), 1u);
    EXPECT_FALSE(Contains(run.output, L":Tessmar: ")) << "the log itself is off";
    testsupport::DeleteProductKey();
}

TEST(DebuggerOutput, LevelFourTracesToTheDebuggerOnly)
{
    testsupport::WriteConfig({{false, 0, 1, L"Out \x0141"}}, {L"S"});
    testsupport::SetDebugLevelValue(4);
    ui::DebugRun run = ui::RunUnderDebugger(L"\"" + OwnExePath() + L"\" --foundation-child log \"" +
                                            DllPath() + L"\"");
    ASSERT_TRUE(run.exited);
    EXPECT_TRUE(Contains(run.output, L":Tessmar: Starting, debug level=4\r\n"));
    EXPECT_TRUE(Contains(run.output, L":Tessmar: QuerySafeForNetworking EnterCriticalSection( "
                                     L"&mmDrvCritSec )"));
    EXPECT_TRUE(Contains(run.output, L":Tessmar: foundexplorer = 1, foundlogonui = 0"));
    EXPECT_TRUE(Contains(run.output, L":Tessmar: DRV_LOAD complete with SafeForNetworking = 1"));
    // Wine hands wide debugger output on as narrow text, so only the part
    // that survives that is compared.
    EXPECT_TRUE(Contains(run.output, L":Tessmar: MidiOutDevice name supplied \"Out "));
    EXPECT_TRUE(Contains(run.output, L":Tessmar: Tessmar Ending"));
    testsupport::DeleteProductKey();
}

TEST(Assertion, ReportsAndBreaksOnlyUnderADebugger)
{
    // Without a debugger the process carries on.
    EXPECT_EQ(RunChild(OwnExePath(), L"assert"), 42u);

    // Under a debugger: the report, then a breakpoint the debugger passes.
    ui::DebugRun run =
        ui::RunUnderDebugger(L"\"" + OwnExePath() + L"\" --foundation-child assert");
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 42u);
    EXPECT_TRUE(Contains(run.output, L":Tessmar: Assertion failure:\r\n"));
    EXPECT_TRUE(Contains(run.output, L":Tessmar:   Exp: unit->InUse\r\n"));
    EXPECT_TRUE(Contains(run.output, L":Tessmar:   File: .\\TSMIDIDD, line: 77\r\n"));
}
