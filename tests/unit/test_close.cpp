/* The close command on the simulated Windows: the search over a process
   table, and the termination. */
#include "nosaver/nosaver.h"
#include "sim_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

/* The two Chinese traces as a viewer with code page 936 shows them. */
const std::string kFindAndClose =
    "\u67e5\u627e\u5e76\u5173\u95ed\u5df2\u7ecf\u8fd0\u884c\u7684\u7a0b\u5e8f.\n";
std::string Ignoring(int id, const std::string &path)
{
    return "\u5ffd\u7565\u5f53\u524d\u8fdb\u7a0bID[" + std::to_string(id) + "]" + path + ";";
}
std::string FullName(const std::string &path)
{
    return "Process full name\uff1a\n" + path + ";";
}



using CloseTest = ProcessTableTest;

TEST_F(CloseTest, TheFirstOtherMatchIsTerminated)
{
    const std::string tools = "C:\\Tools\\nosaver.exe";
    SimProcess lockedUp = Process(200, kToolsPath);
    lockedUp.grants = kAccessReadPath; /* started elevated, say */
    SimProcess cannotTerminate = Process(200, kToolsPath);
    cannotTerminate.terminateError = ERROR_ACCESS_DENIED;

    const struct {
        const char *what;
        std::vector<SimProcess> table;
        std::vector<std::string> lastTraces; /* after "processExeName:[...]" */
        std::vector<DWORD> terminated;
    } cases[] = {
        {"instance before the current process",
         {Process(4, u"System"), Process(200, kToolsPath), Process(kSelf, kToolsPath)},
         {FullName(tools)},
         {200}},
        {"current process before the instance",
         {Process(kSelf, kToolsPath), Process(200, kToolsPath)},
         {Ignoring(kSelf, tools), FullName(tools)},
         {200}},
        {"an instance started from another folder",
         {Process(kSelf, kToolsPath), Process(200, u"D:\\Other\\nosaver.exe")},
         {Ignoring(kSelf, tools), FullName("D:\\Other\\nosaver.exe")},
         {200}},
        {"an instance that refuses the termination rights",
         {Process(kSelf, kToolsPath), lockedUp},
         {Ignoring(kSelf, tools), "OpenProcess failed,error code:5"},
         {}},
        {"a termination that fails",
         {cannotTerminate, Process(kSelf, kToolsPath)},
         {FullName(tools), "TerminateProcess failed,error code:5"},
         {}},
    };
    for (const auto &c : cases) {
        SetUp();
        Table(c.table);
        CloseRunningInstance();
        std::vector<std::string> expected = {kFindAndClose, "processExeName:[nosaver.exe]\n"};
        expected.insert(expected.end(), c.lastTraces.begin(), c.lastTraces.end());
        EXPECT_EQ(Traces(), expected) << c.what;
        EXPECT_EQ(Terminated(), c.terminated) << c.what;
        EXPECT_EQ(SimOpenHandles(), 0) << c.what;
    }
}

TEST_F(CloseTest, TheSearchAsksForExactlyItsRights)
{
    /* The module list takes as many bytes as the identifier list, as far
       as whole handles go: 262140 with 32-bit handles. */
    const std::string modules = std::to_string(262140 / sizeof(HMODULE) * sizeof(HMODULE));
    Table({Process(kSelf, kToolsPath), Process(200, kToolsPath)});
    CloseRunningInstance();
    EXPECT_EQ(SimCallsOf({"GetCurrentProcessId", "EnumProcesses", "OpenProcess",
                          "EnumProcessModules", "GetModuleFileNameEx", "GetProcessId",
                          "TerminateProcess", "CloseHandle"}),
              (std::vector<std::string>{
                  "GetCurrentProcessId()", "EnumProcesses(262140)",
                  "OpenProcess(0x410,FALSE,100)", "EnumProcessModules(100," + modules + ")",
                  "GetModuleFileNameExW(100,exe,260)", "OpenProcess(0x42b,FALSE,100)",
                  "CloseHandle(process 100)", "GetProcessId(100)", "CloseHandle(process 100)",
                  "OpenProcess(0x410,FALSE,200)", "EnumProcessModules(200," + modules + ")",
                  "GetModuleFileNameExW(200,exe,260)", "OpenProcess(0x42b,FALSE,200)",
                  "CloseHandle(process 200)", "GetProcessId(200)", "TerminateProcess(200,0)",
                  "CloseHandle(process 200)"}));
}

TEST_F(CloseTest, UnreadableAndLookalikeProcessesAreLeftAlone)
{
    SimProcess unopenable = Process(11, kToolsPath);
    unopenable.grants = 0;
    SimProcess sixtyFourBit = Process(12, kToolsPath);
    sixtyFourBit.modulesFail = true;
    SimProcess noPath = Process(13, kToolsPath);
    noPath.pathFails = true;
    SimProcess gone = Process(14, kToolsPath);
    gone.goneBeforeOpen = true;
    Table({unopenable, sixtyFourBit, noPath, gone, Process(21, u"C:\\Old\\mynosaver.exe"),
           Process(22, u"C:\\nosaver.exe\\editor.exe"), Process(23, u"C:\\Tools\\nosaver.exe.bak"),
           Process(24, u"C:\\TOOLS\\NOSAVER.EXE"), Process(25, LongPath(300, 200, u"zz")),
           Process(kSelf, kToolsPath), Process(200, u"C:\\Tools\\nosaver.exe")});
    SimSetUnterminatedPaths(true);
    CloseRunningInstance();
    EXPECT_EQ(Traces(),
              (std::vector<std::string>{kFindAndClose, "processExeName:[nosaver.exe]\n",
                                        Ignoring(kSelf, "C:\\Tools\\nosaver.exe"),
                                        FullName("C:\\Tools\\nosaver.exe")}));
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});
    EXPECT_EQ(SimOpenHandles(), 0);
}

TEST_F(CloseTest, NamesThatTheKeyCannotCarryOrThatWereCut)
{
    /* Latin-1 passes one byte per letter. */
    Table({Process(kSelf, u"C:\\Tools\\caf\u00e9.exe"), Process(200, u"E:\\caf\u00e9.exe")});
    SimSetCodePage(1252);
    CloseRunningInstance();
    EXPECT_EQ(Traces()[1], "processExeName:[caf\u00e9.exe]\n");
    EXPECT_EQ(Traces().back(), "Process full name\u00a3\u00ba\nE:\\caf\u00e9.exe;");
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});

    /* A CJK file name empties the name and the key: nothing is touched. */
    SetUp();
    Table({Process(kSelf, u"C:\\Tools\\\u95f2.exe"), Process(200, u"C:\\Tools\\\u95f2.exe"),
           Process(300, u"C:\\Windows\\explorer.exe")});
    CloseRunningInstance();
    EXPECT_EQ(Traces()[1], "processExeName:[]\n");
    EXPECT_EQ(Traces().size(), 3u);
    EXPECT_EQ(Traces()[2].rfind("OpenProcess failed,error code:", 0), 0u) << Traces()[2];
    EXPECT_TRUE(SimTerminated().empty());
    EXPECT_TRUE(SimCallsOf({"OpenProcess(0x42b"}).empty());

    /* An own path of 300 units is cut at 255, inside the file name; the
       instance, read with 260 units, is still found by that beginning. */
    for (bool unterminated : {false, true}) {
        SetUp();
        const std::u16string path = LongPath(300, 154, u"nosaver");
        Table({Process(kSelf, path), Process(200, path),
               Process(201, LongPath(300, 154, u"other"))});
        SimSetUnterminatedPaths(unterminated);
        CloseRunningInstance();
        EXPECT_EQ(Terminated(), std::vector<DWORD>{200}) << unterminated;
        EXPECT_EQ(Traces().back(), FullName(SimUtf8(path.substr(0, 259)))) << unterminated;
    }

    /* Cut to its first letter, the own name would begin many names: only
       the own folder is searched for them. */
    SetUp();
    const std::u16string shortName = LongPath(259, 254, u"n.exe");
    Table({Process(150, u"C:\\Windows\\notepad.exe"), Process(kSelf, shortName),
           Process(160, LongPath(259, 200, u"n.exe")), Process(200, shortName)});
    CloseRunningInstance();
    EXPECT_EQ(Traces()[1], "processExeName:[n]\n");
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});

    /* A path the ANSI code page cannot hold is shown with '?'. */
    SetUp();
    SimSetCodePage(1252);
    Table({Process(kSelf, kToolsPath), Process(200, u"C:\\\u5de5\u5177\\nosaver.exe")});
    CloseRunningInstance();
    EXPECT_EQ(Traces().back(), "Process full name\u00a3\u00ba\nC:\\??\\nosaver.exe;");
}

TEST_F(CloseTest, APathTheCodePageRefusesIsStillShown)
{
    const struct {
        int failures; /* WideCharToMultiByte calls that fail, from the first */
        const char *shown;
    } cases[] = {
        {0, "D:\\\u5de5\u5177\\nosaver.exe"},
        {1, "D:\\\u5de5\u5177\\nosaver.exe"}, /* the flags refused, as with UTF-8 */
        {2, "D:\\??\\nosaver.exe"},
    };
    for (const auto &c : cases) {
        SetUp();
        Table({Process(200, u"D:\\\u5de5\u5177\\nosaver.exe"), Process(kSelf, kToolsPath)});
        for (int k = 1; k <= c.failures; k++)
            SimFail("WideCharToMultiByte", 1004 /* ERROR_INVALID_FLAGS */, k);
        CloseRunningInstance();
        EXPECT_EQ(Traces().back(), FullName(c.shown)) << c.failures;
        EXPECT_EQ(Terminated(), std::vector<DWORD>{200}) << c.failures;
    }
}

TEST_F(CloseTest, AnIdentifierCannotPassToAnotherProcessBetweenReadAndTermination)
{
    /* The instance ends right after its path is read, as soon as nothing
       holds it; a new program would get its identifier. */
    SimProcess leaving = Process(200, kToolsPath);
    leaving.successorPath = u"C:\\Windows\\editor.exe";
    Table({Process(kSelf, kToolsPath), leaving});
    CloseRunningInstance();
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});
    EXPECT_EQ(SimTerminatedPaths(), std::vector<std::u16string>{kToolsPath});
}

TEST_F(CloseTest, AMatchWhoseIdentityCannotBeToldIsLeftAlone)
{
    Table({Process(200, kToolsPath), Process(kSelf, kToolsPath), Process(300, kToolsPath)});
    SimFail("GetProcessId", ERROR_INVALID_HANDLE, 1);
    CloseRunningInstance();
    EXPECT_EQ(Terminated(), std::vector<DWORD>{300});
    EXPECT_EQ(SimOpenHandles(), 0);
}

TEST_F(CloseTest, SnapshotsThatGiveNothing)
{
    const struct {
        const char *what;
        const char *fault;
        DWORD enumBytes; /* 0: the true count */
        const char *last;
    } cases[] = {
        {"failed enumeration", "EnumProcesses", 0, "OpenProcess failed,error code:299"},
        {"3 bytes", nullptr, 3, nullptr},
        {"0 bytes", nullptr, 0xFFFFFFFF, nullptr},
    };
    for (const auto &c : cases) {
        SetUp();
        Table({Process(200, kToolsPath), Process(kSelf, kToolsPath)});
        if (c.fault != nullptr)
            SimFail(c.fault, ERROR_PARTIAL_COPY);
        if (c.enumBytes != 0)
            SimSetEnumBytes(c.enumBytes == 0xFFFFFFFF ? 0 : c.enumBytes);
        CloseRunningInstance();
        EXPECT_EQ(Traces().size(), 3u) << c.what;
        if (c.last != nullptr) {
            EXPECT_EQ(Traces().back(), c.last) << c.what;
        }
        EXPECT_TRUE(SimCallsOf({"OpenProcess"}).empty()) << c.what;
        EXPECT_TRUE(SimTerminated().empty()) << c.what;
    }
}

TEST_F(CloseTest, ASnapshotHoldsAtMost65535Processes)
{
    /* The instance as the 65535th process is found; as the 65536th it is
       beyond the snapshot. */
    for (DWORD position : {65535u, 65536u}) {
        SetUp();
        SimAddProcess(Process(kSelf, kToolsPath));
        for (DWORD id = 1000; id < 1000 + position - 2; id++)
            SimAddProcess(Process(id, u"C:\\Windows\\svchost.exe"));
        SimAddProcess(Process(200, kToolsPath));
        SimSetCurrentProcess(kSelf);
        CloseRunningInstance();
        EXPECT_EQ(Terminated(), position == 65535 ? std::vector<DWORD>{200} : std::vector<DWORD>{})
            << position;
        EXPECT_EQ(SimOpenHandles(), 0);
    }
}

TEST_F(CloseTest, CloseFromTheEntry)
{
    Table({Process(200, kToolsPath), Process(kSelf, kToolsPath)});
    SimHoldMutex(1, kGuardMutexName); /* the instance's guard */
    char argument[] = "close";
    EXPECT_EQ(WinMain(NULL, NULL, argument, 0), 0);
    EXPECT_EQ(Traces(), (std::vector<std::string>{"lpCmdLine:[close]\n", kFindAndClose,
                                                  "processExeName:[nosaver.exe]\n",
                                                  FullName("C:\\Tools\\nosaver.exe")}));
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});
}

/* On Windows an installer's steps run as LocalSystem in session 0, where
   no guard exists: "nosaver close" there finds none and ends nothing,
   which is why the installer has a CloseInstances step of its own. */
TEST_F(CloseTest, CloseInSessionZeroEndsNothing)
{
    Table({As(Process(kSelf, u"C:\\Windows\\System32\\msiexec.exe"), "SYSTEM", 0),
           As(Process(200, kToolsPath), "alice", 1), As(Process(600, kToolsPath), "SYSTEM", 0)});
    SimHoldMutex(1, kGuardMutexName);
    SimSetSession(0);
    SimSetCurrentProcess(600);
    char argument[] = "close";
    EXPECT_EQ(WinMain(NULL, NULL, argument, 0), 0);
    EXPECT_EQ(Traces(), (std::vector<std::string>{"lpCmdLine:[close]\n", "exit app!\n"}));
    EXPECT_EQ(Terminated(), std::vector<DWORD>{});
}

} // namespace
