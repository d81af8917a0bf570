/* CloseInstances on a simulated machine: every instance of the installed
   file ended, in every session, however its path is spelled; what it
   cannot end or read; a record left by an installation that did not
   finish. */
#include "installer_test.h"

namespace {

TEST_F(InstallerTest, TheInstallerEndsTheInstancesOfEverySession)
{
    /* alice runs an instance in session 1, bob one in session 2 and a copy
       of his own elsewhere. */
    Machine({As(Process(200, kInstalled), "alice", 1), As(Process(300, kInstalled), "bob", 2),
             As(Process(400, u"C:\\Users\\bob\\nosaver.exe"), "bob", 2)});
    SimAddFile(u"C:\\Users\\bob\\nosaver.exe", kVolume, 78);
    EXPECT_EQ(Close(kInstalled, 2), 0u);
    EXPECT_EQ(Terminated(), (std::vector<DWORD>{200, 300}));
    EXPECT_EQ(Traces(), (std::vector<std::string>{
                            "ended process[200] of session 1: " + SimUtf8(kInstalled) + "\n",
                            "ended process[300] of session 2: " + SimUtf8(kInstalled) + "\n"}));
    EXPECT_EQ(SimCallsOf({"OpenProcess"})[0], "OpenProcess(0x100411,FALSE,200)");
    EXPECT_EQ(SimCallsOf({"WaitForSingleObject"}),
              (std::vector<std::string>{"WaitForSingleObject(200,5000)",
                                        "WaitForSingleObject(300,5000)"}));
    /* The installed file itself, without following a link. */
    EXPECT_EQ(SimCallsOf({"CreateFileW"})[0],
              "CreateFileW(" + SimUtf8(kInstalled) + ",0x0,0x7,3,0x200000)");
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordPath, kRecord + Sessions({1, 2})}));
    ExpectNothingLeftOpen();
}

/* Windows 8 and later, where files have 128-bit identifiers; Vista and 7;
   XP, which also lacks CompareStringOrdinal. */
struct Windows {
    const char *name;
    bool fileIdInfo;
    bool compareStringOrdinal;
};
class SpellingTest : public InstallerTest, public ::testing::WithParamInterface<Windows> {
protected:
    void SetUp() override
    {
        InstallerTest::SetUp();
        SimSetFileIdInfo(GetParam().fileIdInfo);
        SimSetCompareStringOrdinal(GetParam().compareStringOrdinal);
    }
};

TEST_P(SpellingTest, TheInstalledFileIsKnownHoweverItsPathIsSpelled)
{
    const std::u16string upper = u"C:\\OUTILS \u00c9T\u00c9\\NOSAVER\\NOSAVER.EXE";
    const std::u16string shortName = u"C:\\OUTILS~1\\nosaver\\nosaver.exe";
    Machine({As(Process(200, shortName), "alice", 1),
             As(Process(300, u"\\\\?\\" + kInstalled), "bob", 2),
             As(Process(310, upper), "bob", 2),
             As(Process(320, u"D:\\Links\\keeper.exe"), "carol", 3),
             As(Process(330, u"C:\\Users\\bob\\nosaver.exe"), "bob", 2),
             As(Process(340, u"X:\\nosaver\\nosaver.exe"), "dave", 4)});
    SimAddFile(shortName, kVolume, kInstalledIndex);
    SimAddFile(u"C:\\Outils \u00e9t\u00e9\\nosaver\\..\\nosaver\\nosaver.exe", kVolume,
               kInstalledIndex);
    SimAddFile(u"D:\\Links\\keeper.exe", kVolume, kInstalledIndex); /* a hard link */
    SimAddFile(u"C:\\Users\\bob\\nosaver.exe", kVolume, 78);        /* a copy */
    /* dave's own drive letter for the installed folder, which LocalSystem
       does not have: his file is compared by name, and the name differs. */
    SimAddFile(u"X:\\nosaver\\nosaver.exe", kVolume, kInstalledIndex, "dave");

    EXPECT_EQ(Close(kInstalled, 4), 0u);
    EXPECT_EQ(Terminated(), (std::vector<DWORD>{200, 300, 310, 320}));
    EXPECT_EQ(Traces()[0], "ended process[200] of session 1: " + SimUtf8(shortName) + "\n");
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordPath, kRecord + Sessions({1, 2, 3})}));
    EXPECT_EQ(SimCallsOf({"GetFileInformationByHandleEx"}).empty(), !GetParam().fileIdInfo);
    ExpectNothingLeftOpen();

    /* The same spellings when the installed file cannot be opened: then the
       full paths are compared, capitals aside by the system's table, so an
       accented capital matches and a short name does not. */
    SetUp();
    Machine({As(Process(200, upper), "alice", 1), As(Process(210, shortName), "bob", 2),
             As(Process(220, u"C:\\Outils ete\\nosaver\\nosaver.exe"), "carol", 3)});
    SimFail("CreateFileW", ERROR_SHARING_VIOLATION, 1);
    EXPECT_EQ(Close(kInstalled, 1), 0u);
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});
    EXPECT_EQ(Traces()[0], "cannot open " + SimUtf8(kInstalled) +
                               ",error code:32; comparing full paths instead\n");
    EXPECT_EQ(SimCallsOf({"CompareStringOrdinal"}).empty(), !GetParam().compareStringOrdinal);
    EXPECT_EQ(SimCallsOf({"LCMapStringW"}).empty(), GetParam().compareStringOrdinal);
    ExpectNothingLeftOpen();
}

/* On ReFS two files may share a 64-bit index; only Windows 8 and later can
   tell them apart, by their 128-bit identifiers. A link made at the
   installed path to another program's file is the link, not that file. */
TEST_P(SpellingTest, ANearTwinOrALinkIsNotTheInstalledFile)
{
    const std::u16string twin = u"E:\\Tools\\twin.exe";
    const std::u16string explorer = u"C:\\Windows\\explorer.exe";
    Machine({As(Process(200, twin), "alice", 1), As(Process(300, explorer), "bob", 2)});
    SimAddFile(twin, kVolume, kInstalledIndex, "", 7);
    SimAddFile(explorer, kVolume, 900);
    const std::u16string link = u"C:\\Users\\Public\\nosaver.exe";
    SimAddLink(link, kVolume, 901, explorer);
    EXPECT_EQ(Close(kInstalled, GetParam().fileIdInfo ? 0 : 1), 0u);
    EXPECT_EQ(Close(link, 0), 0u);
    EXPECT_EQ(Terminated(), GetParam().fileIdInfo ? std::vector<DWORD>{} : std::vector<DWORD>{200});
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Versions, SpellingTest,
                         ::testing::Values(Windows{"Windows8AndLater", true, true},
                                           Windows{"VistaAnd7", false, true},
                                           Windows{"XP", false, false}),
                         [](const ::testing::TestParamInfo<Windows> &info) {
                             return info.param.name;
                         });

TEST_F(InstallerTest, PathsOfAnyLengthAreComparedWholeAndOnesThatCannotBeReadPassedOver)
{
    /* 300 units, beyond MAX_PATH; a path that differs only in its last
       unit is another file. */
    const std::u16string deep = LongPath(300, 280, u"nosaver.exe");
    std::u16string other = deep;
    other.back() = u'x';
    Machine({As(Process(200, deep), "alice", 1), As(Process(210, other), "alice", 1),
             As(Process(220, LongPath(kMaxPathUnits - 1, 280, u"nosaver.exe")), "bob", 2),
             With(As(Process(230, kInstalled), "bob", 2), &SimProcess::modulesFail, true)});
    SimAddFile(deep, kVolume, 90);
    SimAddFile(other, kVolume, 91);
    EXPECT_EQ(Close(deep, 1), 0u);
    EXPECT_EQ(Terminated(), std::vector<DWORD>{200});
    EXPECT_EQ(SimCallsOf({"CreateFileW"})[0].substr(0, 17), "CreateFileW(\\\\?\\C");
    const std::vector<std::string> traces = Traces();
    EXPECT_EQ(std::vector<std::string>(traces.begin() + 1, traces.end()),
              (std::vector<std::string>{
                  "passed over process[220]: its path cannot be read,error code:122\n",
                  "passed over process[230]: its path cannot be read,error code:299\n"}));
    ExpectNothingLeftOpen();
}

/* What CloseInstances could not end or read, and what the installation
   makes of it: replacing the file (a first installation, an upgrade, a
   repair) fails, so that no new file waits behind an old one; a removal
   goes on. */
TEST_F(InstallerTest, CloseInstancesFailsAReplacementButNotARemoval)
{
    const SimProcess installed = As(Process(200, kInstalled), "alice", 1);
    const struct {
        const char *what;
        std::vector<SimProcess> others;
        const char *failing; /* an operation that fails with error 31 */
        std::u16string path;
        DWORD left, ended, terminated;
        std::string lastTrace;
    } cases[] = {
        {"none running", {Process(300, u"C:\\Tools\\nosaver.exe")}, nullptr, kInstalled, 0, 0, 0,
         ""},
        {"a termination refused",
         {With(installed, &SimProcess::terminateError, ERROR_ACCESS_DENIED)}, nullptr, kInstalled,
         1, 0, 0, "error code:5\n"},
        {"a process that does not end in time", {With(installed, &SimProcess::endsLate, true)},
         nullptr, kInstalled, 1, 0, 1, "error code:258\n"},
        {"a match that may only be read",
         {With(installed, &SimProcess::grants, kAccessReadPath)}, nullptr, kInstalled, 1, 0, 0,
         "error code:5\n"},
        {"no snapshot", {installed}, "EnumProcesses", kInstalled, 1, 0, 0,
         "EnumProcesses failed,error code:31\n"},
        {"no memory for it", {installed}, "HeapAlloc", kInstalled, 1, 0, 0, ""},
        {"no path", {installed}, nullptr, u"", 1, 0, 0, "no path to compare:[]\n"},
        {"its session unknown: ended, not remembered", {installed}, "ProcessIdToSessionId",
         kInstalled, 0, 1, 1, "of session 0: " + SimUtf8(kInstalled) + "\n"},
    };
    for (const auto &c : cases) {
        SetUp();
        Machine(c.others);
        if (c.failing != nullptr)
            SimFail(c.failing, 31);
        EXPECT_EQ(Close(c.path, c.ended), c.left) << c.what;
        EXPECT_EQ(Terminated().size(), c.terminated) << c.what;
        const std::string last = Traces().empty() ? "" : Traces().back();
        EXPECT_TRUE(last.size() >= c.lastTrace.size() &&
                    last.compare(last.size() - c.lastTrace.size(), std::string::npos,
                                 c.lastTrace) == 0)
            << c.what << ": " << last;
        EXPECT_EQ(SimRegistry(), std::vector<std::string>{}) << c.what;
        ExpectNothingLeftOpen();

        /* The same through the DLL's entry, in each mode. */
        for (const char16_t *mode : {u"replace|", u"upgrade|", u"remove|"}) {
            SetUp();
            Machine(c.others);
            if (c.failing != nullptr)
                SimFail(c.failing, 31);
            /* Without memory the step cannot read its data, and says so. */
            const bool blind = std::string(c.what) == "no memory for it";
            const bool goesOn = c.left == 0 || (std::u16string(mode) == u"remove|" && !blind);
            EXPECT_EQ(Step(CloseInstances, mode + c.path),
                      goesOn ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE)
                << c.what << " " << SimUtf8(mode);
            const int kind = SimInstallLog().empty() ? 0 : SimInstallLog().back().first;
            EXPECT_EQ(kind, goesOn || blind ? INSTALLMESSAGE_INFO
                                            : INSTALLMESSAGE_ERROR | MB_ICONERROR)
                << c.what << " " << SimUtf8(mode);
            ExpectNothingLeftOpen();
        }
    }
}

/* An installation that stopped between its CloseInstances and its start
   again (power lost, msiexec ended) left its record: a later first
   installation, repair or removal forgets it first and starts nobody's
   nosaver from it; an upgrade keeps what its older version's removal
   recorded moments before. */
TEST_F(InstallerTest, AStaleRecordStartsNothing)
{
    for (const char16_t *mode : {u"replace|", u"remove|", u"upgrade|"}) {
        SetUp();
        Machine({});
        LogOnUsers();
        SimSetRegistryValue(u"Software\\nosaver", u"RestartSessions", REG_BINARY,
                            RecordBytes({1, 3}));
        EXPECT_EQ(Step(CloseInstances, mode + kInstalled), ERROR_SUCCESS);
        const bool upgrade = std::u16string(mode) == u"upgrade|";
        EXPECT_EQ(InstallLog().front() == "nosaver: forgot the sessions of an installation that "
                                          "did not finish",
                  !upgrade)
            << SimUtf8(mode);
        EXPECT_EQ(Step(RestartInstances, kInstalled), ERROR_SUCCESS);
        EXPECT_EQ(SimCallsOf({"CreateProcessAsUserW"}).size(), upgrade ? 2u : 0u);
        EXPECT_EQ(SimRegistry(), std::vector<std::string>{});
        ExpectNothingLeftOpen();
    }
}

} // namespace
