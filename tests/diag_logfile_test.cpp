// test-locks: registry
// The debug log file "c:\KVD_DEBUG\Tessmar_<pid>.txt": written by the DLL at
// the level the registry asks for, and by this program's own driver state;
// its header, prefix, line ends and limits; the version read-back.
#include <gtest/gtest.h>
#include "config/config.h"
#include "diag/log.h"
#include "support/foundation_child.h"
#include "support/support.h"
#include <string>
#include <vector>

using namespace foundation;

namespace {

const char Header[] = "Tessmar vers 2000105";

std::vector<std::string> Lines(const std::string &bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < bytes.size()) lines.push_back(bytes.substr(start));
            return lines;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
}

// Splits "<header><ms>:<thread>:Tessmar: <text>" and checks the prefix form:
// each number right-aligned in a field of at least 6 and 4 characters.
struct Parsed {
    bool ok = false;
    std::string header;
    unsigned thread = 0;
    std::string text;
};

Parsed Parse(const std::string &line, const std::string &header)
{
    Parsed p;
    if (line.compare(0, header.size(), header) != 0) return p;
    p.header = header;
    size_t first = line.find(':', header.size());
    if (first == std::string::npos || first - header.size() < 6) return p;
    size_t second = line.find(':', first + 1);
    if (second == std::string::npos || second - first - 1 < 4) return p;
    std::string thread = line.substr(first + 1, second - first - 1);
    size_t digit = thread.find_first_not_of(' ');
    if (digit == std::string::npos) return p;
    p.thread = static_cast<unsigned>(std::stoul(thread.substr(digit)));
    const std::string tag = ":Tessmar: ";
    if (line.compare(second, tag.size(), tag) != 0) return p;
    p.text = line.substr(second + tag.size());
    p.ok = true;
    return p;
}

bool HasText(const std::vector<std::string> &lines, const std::string &text)
{
    for (const std::string &line : lines)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::wstring OwnLogPath() { return testsupport::LogFilePath(GetCurrentProcessId()); }

bool FileExists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LogFile : public testing::Test {
protected:
    testsupport::DriverDll dll;
    void SetUp() override
    {
        testsupport::WriteConfig({{false, 0, 1, L"Out \x0141"}}, {L"S"});
        DeleteFileW(OwnLogPath().c_str());
    }
    void TearDown() override
    {
        dll.Unload();
        testsupport::DeleteProductKey();
        DeleteFileW(OwnLogPath().c_str());
    }
    // Loads the DLL with the stored level, runs the driver messages, and
    // returns the lines of this process's file (read while it is still open).
    std::vector<std::string> RunDll(DWORD stored, bool queryCaps)
    {
        testsupport::SetDebugLevelValue(stored);
        EXPECT_TRUE(dll.Load());
        EXPECT_TRUE(dll.LoadDriver());
        if (queryCaps) {
            dll.modMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
            MIDIOUTCAPSW caps;
            dll.modMessage(0, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps);
        }
        std::vector<std::string> lines = Lines(testsupport::ReadFileBytes(OwnLogPath()));
        dll.FreeDriver();
        dll.Unload();
        return lines;
    }
};

}  // namespace

TEST_F(LogFile, LevelSixWritesEveryLineWithHeaderAndPrefix)
{
    // An older file of this process is replaced, not appended to.
    {
        HANDLE old = CreateFileW(OwnLogPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (old == INVALID_HANDLE_VALUE) {
            CreateDirectoryW(L"c:\\KVD_DEBUG", nullptr);
            old = CreateFileW(OwnLogPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        ASSERT_NE(old, INVALID_HANDLE_VALUE);
        DWORD written;
        WriteFile(old, "OLD CONTENT\r\n", 13, &written, nullptr);
        CloseHandle(old);
    }
    std::vector<std::string> lines = RunDll(6, true);
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(HasText(lines, "OLD CONTENT"));

    bool sawStart = false, sawStartDetail = false, sawWide = false;
    for (const std::string &line : lines) {
        // Wide lines carry the header with one trailing blank.
        bool wide = line.compare(0, sizeof Header, std::string(Header) + " ") == 0;
        Parsed p = Parse(line, wide ? std::string(Header) + " " : std::string(Header));
        ASSERT_TRUE(p.ok) << "malformed line: " << line;
        EXPECT_EQ(p.thread, GetCurrentThreadId()) << line;
        if (p.text == "Starting, debug level=2") sawStart = true;
        if (p.text.rfind("Starting, debug level = 2 nomore = 0 @ 0x", 0) == 0) {
            std::string address = p.text.substr(p.text.size() - 8);
            EXPECT_EQ(address.find_first_not_of("0123456789abcdef"), std::string::npos) << p.text;
            sawStartDetail = true;
        }
        if (wide && p.text == "MidiOutDevice name supplied \"Out A\"") sawWide = true;
        // Nothing above level 2.
        EXPECT_EQ(p.text.find("DRV_LOAD complete"), std::string::npos);
    }
    EXPECT_TRUE(sawStart);
    EXPECT_TRUE(sawStartDetail);
    EXPECT_TRUE(sawWide) << "a wide line, its characters cut to their low byte";
    EXPECT_TRUE(HasText(lines, ":Tessmar:  calling InitPortInfo"));
    EXPECT_TRUE(HasText(lines, ":Tessmar: 1 devices of type 4"));
}

TEST_F(LogFile, LevelsSevenAndEightAddDetail)
{
    std::vector<std::string> seven = RunDll(7, false);
    EXPECT_TRUE(HasText(seven, ":Tessmar: DRV_LOAD complete with SafeForNetworking = 1"));
    EXPECT_FALSE(HasText(seven, "QuerySafeForNetworking EnterCriticalSection"));
    EXPECT_FALSE(HasText(seven, "MidiOutDevice name supplied")) << "each load starts the file anew";

    std::vector<std::string> eight = RunDll(8, false);
    EXPECT_TRUE(HasText(eight, ":Tessmar: QuerySafeForNetworking EnterCriticalSection( &mmDrvCritSec )"));
    EXPECT_TRUE(HasText(eight, ":Tessmar: QuerySafeForNetworking LeaveCriticalSection( &mmDrvCritSec ) 3"));
    EXPECT_TRUE(HasText(eight, ":Tessmar: foundexplorer = 1, foundlogonui = 0"));
    EXPECT_TRUE(HasText(eight, ":Tessmar: Found process ID "));
    EXPECT_TRUE(HasText(eight, ":Tessmar: Found username "));
}

TEST_F(LogFile, LowLevelsAndNoValueWriteNoFile)
{
    for (int stored : {4, 1, 0, -1}) {  // -1: no value at all
        if (stored < 0)
            testsupport::DeleteDebugLevelValue();
        else
            testsupport::SetDebugLevelValue(static_cast<DWORD>(stored));
        ASSERT_TRUE(dll.Load());
        ASSERT_TRUE(dll.LoadDriver());
        dll.FreeDriver();
        dll.Unload();
        EXPECT_FALSE(FileExists(OwnLogPath())) << "stored " << stored;
    }
}

TEST_F(LogFile, AnotherProcessWritesItsOwnFile)
{
    testsupport::SetDebugLevelValue(6);
    DWORD child = 0;
    ASSERT_EQ(RunChild(OwnExePath(), L"log \"" + DllPath() + L"\"", 30000, &child), 0u);
    std::wstring path = testsupport::LogFilePath(child);
    std::vector<std::string> lines = Lines(testsupport::ReadFileBytes(path));
    DeleteFileW(path.c_str());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(HasText(lines, ":Tessmar: Starting, debug level=2"));
    EXPECT_TRUE(HasText(lines, ":Tessmar: Tessmar Ending")) << "written before the file closes";
    EXPECT_FALSE(FileExists(OwnLogPath())) << "this process logged nothing";
}

TEST(LogVersion, TheResourceIsReadBack)
{
    EXPECT_TRUE(ReadDriverVersion());
    EXPECT_EQ(DriverVersion, 0x02000105u);
    EXPECT_STREQ(VersionText, L"2.0.1.5");
}

TEST(LogVersion, UnreadableVersionKeepsTheInitialValues)
{
    std::wstring copy = CopyOwnExe(L"tessmar_no_dll.exe");
    ASSERT_FALSE(copy.empty());
    DWORD child = 0;
    EXPECT_EQ(RunChild(copy, L"version", 30000, &child), 43u);
    std::wstring path = testsupport::LogFilePath(child);
    std::vector<std::string> lines = Lines(testsupport::ReadFileBytes(path));
    DeleteFileW(path.c_str());
    ASSERT_EQ(lines.size(), 3u);  // two lines and "Tessmar Ending" at detach
    EXPECT_EQ(Parse(lines[0], "Tessmar vers 10011").text, "first line");
    EXPECT_EQ(Parse(lines[1], "Tessmar vers 10011 ").text, "second line");
    EXPECT_EQ(Parse(lines[2], "Tessmar vers 10011").text, "Tessmar Ending");
}

// This program's own driver state logging to its file.
class OwnLog : public testing::Test {
protected:
    void SetUp() override
    {
        DeleteFileW(OwnLogPath().c_str());
        DebugLevel = 2;
        nomore = 0;
    }
    void TearDown() override
    {
        DecodeDebugLevel(0);
        LogClose();
        DeleteFileW(OwnLogPath().c_str());
    }
    static std::vector<std::string> FileLines()
    {
        return Lines(testsupport::ReadFileBytes(OwnLogPath()));
    }
};

TEST_F(OwnLog, KeepsTheCallersLastError)
{
    SetLastError(12345);
    LogPrint("narrow %d", 1);
    EXPECT_EQ(GetLastError(), 12345u);
    WSASetLastError(WSAECONNREFUSED);
    LogPrintW(L"wide %d", 2);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Parse(lines[0], Header).text, "narrow 1");
    EXPECT_EQ(Parse(lines[1], std::string(Header) + " ").text, "wide 2");
}

TEST_F(OwnLog, OverlongLinesAreCutAndStillEndTheLine)
{
    std::string longText(3000, 'z');
    LogPrint("%s", longText.c_str());
    LogPrintW(L"%S", longText.c_str());
    LogPrint("after");
    std::string bytes = testsupport::ReadFileBytes(OwnLogPath());
    std::vector<std::string> lines = Lines(bytes);
    ASSERT_EQ(lines.size(), 3u);
    // The line buffer holds 2048 characters: 2047 and its terminator.
    EXPECT_EQ(lines[0].size() - (sizeof Header - 1) + 2, 2047u);
    EXPECT_EQ(lines[1].size() - sizeof Header + 2, 2047u);
    EXPECT_EQ(Parse(lines[2], Header).text, "after");
}

TEST_F(OwnLog, UnreadableArgumentLosesOnlyItsLine)
{
    BYTE *page = static_cast<BYTE *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    ASSERT_NE(page, nullptr);
    LogPrint("bad %s", reinterpret_cast<const char *>(page));
    LogPrintW(L"bad %s", reinterpret_cast<const WCHAR *>(page));
    LogPrint("still logging");
    VirtualFree(page, 0, MEM_RELEASE);
    std::string bytes = testsupport::ReadFileBytes(OwnLogPath());
    // The failed lines hold only their prefix, without a line end.
    EXPECT_EQ(bytes.find("bad"), std::string::npos);
    std::vector<std::string> lines = Lines(bytes);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(Header, 0), 0u);
    EXPECT_NE(lines[0].find(":Tessmar: Tessmar vers 2000105 "), std::string::npos);
    EXPECT_NE(lines[0].find(":Tessmar: still logging"), std::string::npos);
}

TEST_F(OwnLog, AssertionReportIsThreeLines)
{
    DebugLevel = 1;
    AssertFail("port->pIn != nullptr", ".\\TSDRVUTIL", 1234);
    DebugLevel = 0;
    AssertFail("not reported", ".\\TSDRVUTIL", 1);
    std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Parse(lines[0], Header).text, "Assertion failure:");
    EXPECT_EQ(Parse(lines[1], std::string(Header) + " ").text, "  Exp: port->pIn != nullptr");
    EXPECT_EQ(Parse(lines[2], std::string(Header) + " ").text, "  File: .\\TSDRVUTIL, line: 1234");
}

TEST_F(OwnLog, LinesFromManyThreadsNeverInterleave)
{
    constexpr int Threads = 4, PerThread = 200;
    HANDLE handles[Threads];
    for (HANDLE &h : handles)
        h = CreateThread(
            nullptr, 0,
            [](void *) -> DWORD {
                for (int i = 0; i < PerThread; ++i)
                    if (i % 2)
                        LogPrint("thread %u line %d end", GetCurrentThreadId(), i);
                    else
                        LogPrintW(L"thread %u line %d end", GetCurrentThreadId(), i);
                return 0;
            },
            nullptr, 0, nullptr);
    WaitForMultipleObjects(Threads, handles, TRUE, 60000);
    for (HANDLE h : handles) CloseHandle(h);
    std::vector<std::string> lines = FileLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(Threads * PerThread));
    for (const std::string &line : lines) {
        bool wide = line.compare(0, sizeof Header, std::string(Header) + " ") == 0;
        Parsed p = Parse(line, wide ? std::string(Header) + " " : std::string(Header));
        ASSERT_TRUE(p.ok) << line;
        unsigned thread = 0;
        int index = -1;
        char end[8] = {};
        ASSERT_EQ(sscanf(p.text.c_str(), "thread %u line %d %7s", &thread, &index, end), 3) << line;
        EXPECT_EQ(thread, p.thread);
        EXPECT_STREQ(end, "end");
        EXPECT_EQ(index % 2 == 0, wide) << line;
    }
}
