// The debug log file "c:\KVD_DEBUG\Tessmar_<pid>.txt", written by the DLL at
// the level the registry asks for and by this program's own driver state.
#include <gtest/gtest.h>
#include "diag/log.h"
#include "support/support.h"

using namespace testsupport;

namespace {

using Lines = std::vector<std::string>;
const std::string Header = "Tessmar vers 2000105";

Lines FileLines(DWORD processId = GetCurrentProcessId())
{
    std::string bytes = ReadFileBytes(LogFilePath(processId));
    Lines lines;
    for (size_t start = 0, end; start < bytes.size(); start = end + 2) {
        end = std::min(bytes.find("\r\n", start), bytes.size());
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

bool Wide(const std::string &line) { return line.compare(0, Header.size() + 1, Header + " ") == 0; }

// The text of "<header>[ ]<ms>:<thread>:Tessmar: <text>" (wide lines carry
// the header with a blank), the numbers right-aligned in fields of at least
// 6 and 4 characters; "?" when the line is malformed.
std::string TextOf(const std::string &line, DWORD *thread = nullptr)
{
    size_t at = Header.size() + Wide(line), first = line.find(':', at), second = line.find(':', first + 1);
    if (line.compare(0, Header.size(), Header) != 0 || second == std::string::npos || first - at < 6 ||
        second - first - 1 < 4 || line.compare(second, 10, ":Tessmar: ") != 0)
        return "?";
    if (thread) *thread = std::stoul(line.substr(first + 1, second - first - 1));
    return line.substr(second + 10);
}

bool Has(const Lines &lines, const std::string &text)
{
    for (const std::string &line : lines)
        if (line.find(":Tessmar: " + text) != std::string::npos) return true;
    return false;
}

// Levels 5 to 8 replace the process's file and write levels 1 to 4 there;
// lower levels and no value write no file. Another process writes a file of
// its own, from its start to its end.
TEST(LogFile, TheStoredLevelChoosesWhatTheDllWrites)
{
    const std::pair<int, std::pair<Lines, Lines>> cases[] = {  // stored (-1: none), texts present and absent
        {6, {{"Starting, debug level=2", "1 devices of type 4", "MidiOutDevice name supplied \"Out A\""},
             {"DRV_LOAD complete"}}},
        {7, {{"DRV_LOAD complete with SafeForNetworking = 1"}, {"QuerySafeForNetworking EnterCriticalSection"}}},
        {8, {{"QuerySafeForNetworking LeaveCriticalSection( &mmDrvCritSec ) 3",
              "foundexplorer = 1, foundlogonui = 0"}, {}}},
        {4, {}}, {0, {}}, {-1, {}}};
    WriteConfig({{false, 0, 1, L"Out \x0141"}}, {L"S"});
    CreateDirectoryW(L"c:\\KVD_DEBUG", nullptr);
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "stored " << c.first);
        ASSERT_TRUE(WriteFileBytes(LogFilePath(GetCurrentProcessId()), "OLD CONTENT\r\n"));
        DeleteValue(ProductPath(), L"PrintDebugInfo");
        if (c.first >= 0) SetDebugLevelValue(c.first);
        DriverDll dll;
        ASSERT_TRUE(dll.Load() && dll.LoadDriver());
        MIDIOUTCAPSW caps;
        dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
        dll.modMessage(0, MODM_GETDEVCAPS, 0, DWORD_PTR(&caps), sizeof caps);
        Lines lines = FileLines();  // while the file is open
        dll.FreeDriver();
        dll.Unload();
        DeleteFileW(LogFilePath(GetCurrentProcessId()).c_str());
        EXPECT_TRUE(c.first >= 5 || lines == Lines{"OLD CONTENT"}) << "no file output";
        for (size_t i = 0; c.first >= 5 && i < lines.size(); ++i) {
            DWORD thread = 0;
            ASSERT_NE(TextOf(lines[i], &thread), "?") << lines[i];
            EXPECT_EQ(thread, GetCurrentThreadId());
        }
        for (const std::string &text : c.second.first) EXPECT_TRUE(Has(lines, text)) << text;
        for (const std::string &text : c.second.second) EXPECT_FALSE(Has(lines, text)) << text;
    }
    DWORD child = 0;
    SetDebugLevelValue(6);
    HANDLE process = StartProcess(L"driver_message.exe remove", &child);  // nothing to remove
    ASSERT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    CloseHandle(process);
    Lines lines = FileLines(child);
    DeleteFileW(LogFilePath(child).c_str());
    EXPECT_TRUE(Has(lines, "Starting, debug level=2") && Has(lines, "Tessmar Ending"));
    EXPECT_EQ(GetFileAttributesW(LogFilePath(GetCurrentProcessId()).c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteProductKey();
}

// This program's own driver state logging to its file: an overlong line is
// cut to the 2047 characters of the line buffer; an unreadable argument
// loses only its own line (which keeps its prefix, without a line end); an
// assertion report is three lines.
TEST(OwnLog, EachLineStandsAlone)
{
    DeleteFileW(LogFilePath(GetCurrentProcessId()).c_str());
    DebugLevel = 2;
    nomore = 0;
    std::string overlong(3000, 'z');
    LogPrint("%s", overlong.c_str());
    LogPrintW(L"%S", overlong.c_str());
    BYTE *page = static_cast<BYTE *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    LogPrint("bad %s", reinterpret_cast<const char *>(page));
    LogPrintW(L"bad %s", reinterpret_cast<const WCHAR *>(page));
    LogPrint("after");
    VirtualFree(page, 0, MEM_RELEASE);
    AssertFail("port->pIn != nullptr", ".\\TSDRVUTIL", 1234);
    DecodeDebugLevel(0);
    AssertFail("not reported", ".\\TSDRVUTIL", 1);
    Lines lines = FileLines(), texts;
    LogClose();
    DeleteFileW(LogFilePath(GetCurrentProcessId()).c_str());
    for (const std::string &line : lines) texts.push_back(TextOf(line));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(lines[0].size() == Header.size() + 2047 - 2 && lines[1].size() == Header.size() + 1 + 2047 - 2);
    EXPECT_EQ(lines[2].find("bad"), std::string::npos);
    EXPECT_NE(lines[2].find(":Tessmar: " + Header + " "), std::string::npos);
    EXPECT_EQ(texts[2].substr(texts[2].size() - 5), "after");
    EXPECT_EQ(Lines(texts.begin() + 3, texts.begin() + 6),
              (Lines{"Assertion failure:", "  Exp: port->pIn != nullptr", "  File: .\\TSDRVUTIL, line: 1234"}));
}

}  // namespace
