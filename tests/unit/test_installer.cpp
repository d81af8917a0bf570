/* The installer's steps on a simulated machine: CloseInstances over the
   processes of every session, the record of their sessions, the starts
   again as each session's user, and the DLL's entries as Windows Installer
   calls them, with their data and their log. */
#include "installer/installer.h"
#include "sim_test.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

/* The installed file and its identity, and the registry value the steps
   keep between them. */
const std::u16string kInstalled = u"C:\\Outils \u00e9t\u00e9\\nosaver\\nosaver.exe";
const DWORD kVolume = 0x5EED;
const DWORD kInstalledIndex = 77;
const std::string kRecordKey = "Software\\nosaver";
const std::string kRecord = kRecordKey + "\\RestartSessions=";
const MSIHANDLE kInstall = 42;

/* The session ids of a record as SimRegistry shows it, in hex. */
std::string Sessions(const std::vector<uint32_t> &ids)
{
    std::string hex;
    char unit[3];
    for (char byte : RecordBytes(ids)) {
        snprintf(unit, sizeof unit, "%02x", static_cast<unsigned char>(byte));
        hex += unit;
    }
    return hex;
}

class InstallerTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        SimSetCodePage(1252);
        SimClearProcesses();
    }

    /* The installer's process, as LocalSystem in session 0, then the others;
       the installed file in place. */
    static void Machine(const std::vector<SimProcess> &others)
    {
        std::vector<SimProcess> table = {
            As(Process(kSelf, u"C:\\Windows\\System32\\msiexec.exe"), "SYSTEM", 0)};
        table.insert(table.end(), others.begin(), others.end());
        Table(table);
        SimSetSession(0);
        SimAddFile(kInstalled, kVolume, kInstalledIndex);
    }

    /* Users logged on: alice (1), bob (2), carol (3), dave (4). */
    static void LogOnUsers()
    {
        for (const auto &user : {std::make_pair(1, "alice"), std::make_pair(2, "bob"),
                                 std::make_pair(3, "carol"), std::make_pair(4, "dave")})
            SimLogOn(user.first, user.second);
    }

    /* CloseInstances' work: returns how many could not be ended. */
    static DWORD Close(const std::u16string &path, DWORD expectEnded)
    {
        DWORD sessions[kMaxSessions];
        DWORD count = 99;
        DWORD ended = 99;
        const DWORD left = CloseInstancesOfFile(path.c_str(), &ended, sessions, &count);
        EXPECT_EQ(ended, expectEnded);
        RecordSessions(sessions, count);
        return left;
    }

    /* A DLL entry as Windows Installer calls it, with this action data. */
    static UINT Step(UINT(WINAPI *entry)(MSIHANDLE), const std::u16string &data)
    {
        SimSetInstallProperty(u"CustomActionData", data);
        return entry(kInstall);
    }

    /* What the steps wrote into the installation's log, as UTF-8. */
    static std::vector<std::string> InstallLog()
    {
        std::vector<std::string> lines;
        for (const auto &message : SimInstallLog())
            lines.push_back(SimUtf8(message.second));
        return lines;
    }

    static void ExpectNothingLeftOpen()
    {
        EXPECT_EQ(SimOpenHandles(), 0);
        EXPECT_EQ(SimHeap().live, 0);
    }
};

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
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordKey, kRecord + Sessions({1, 2})}));
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
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordKey, kRecord + Sessions({1, 2, 3})}));
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

TEST_F(InstallerTest, WhatCloseInstancesEndedStartsAgainAsEachSessionsUser)
{
    /* alice (session 1), bob (2) and dave (4) run nosaver; carol (3) is
       logged on without it. */
    const auto machine = [] {
        Machine({As(Process(200, kInstalled), "alice", 1), As(Process(300, kInstalled), "bob", 2),
                 As(Process(400, kInstalled), "dave", 4)});
        LogOnUsers();
    };
    const std::string path = SimUtf8(kInstalled);
    const std::string start = "\",FALSE,winsta0\\default,0x400,";

    /* An upgrade: the new file is in place at the same path; dave has
       logged off since. */
    machine();
    EXPECT_EQ(Close(kInstalled, 3), 0u);
    SimLogOn(4, "");
    const size_t before = Traces().size();
    EXPECT_EQ(RestartInRecordedSessions(kInstalled.c_str()), 2u);
    EXPECT_EQ(SimCallsOf({"CreateProcessAsUserW"}),
              (std::vector<std::string>{
                  "CreateProcessAsUserW(alice,1," + path + ",\"" + path + start + "alice,NULL)",
                  "CreateProcessAsUserW(bob,2," + path + ",\"" + path + start + "bob,NULL)"}));
    const std::vector<std::string> traces = Traces();
    EXPECT_EQ(std::vector<std::string>(traces.begin() + (long)before, traces.end()),
              (std::vector<std::string>{
                  "started process[5000] in session 1: " + path + "\n",
                  "started process[5001] in session 2: " + path + "\n",
                  "no user token for session 4,error code:1008; nosaver not started there\n"}));
    EXPECT_EQ(SimRegistry(), std::vector<std::string>{});
    ExpectNothingLeftOpen();

    /* The package's own value stays; a start that fails is logged and the
       rest go on; a second restart finds nothing to do. */
    SetUp();
    machine();
    SimSetRegistryValue(u"Software\\nosaver", u"InstallDir", 1, "C");
    EXPECT_EQ(Close(kInstalled, 3), 0u);
    SimFail("CreateProcessAsUserW", ERROR_ACCESS_DENIED, 1);
    SimFail("CreateEnvironmentBlock", ERROR_NOT_ENOUGH_MEMORY, 2);
    EXPECT_EQ(RestartInRecordedSessions(kInstalled.c_str()), 2u);
    EXPECT_EQ(Traces()[3], "could not start " + path + " in session 1,error code:5\n");
    EXPECT_EQ(SimCallsOf({"CreateProcessAsUserW"})[1],
              "CreateProcessAsUserW(bob,2," + path + ",\"" + path + start + "NULL,NULL)");
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordKey, kRecordKey + "\\InstallDir=43"}));
    EXPECT_EQ(RestartInRecordedSessions(kInstalled.c_str()), 0u);
    ExpectNothingLeftOpen();

    /* No record can be kept: logged; nothing starts later. */
    SetUp();
    machine();
    SimFail("RegCreateKeyExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Close(kInstalled, 3), 0u);
    EXPECT_EQ(Traces().back(),
              "cannot keep the sessions to start nosaver in again,error code:5\n");
    EXPECT_EQ(RestartInRecordedSessions(kInstalled.c_str()), 0u);
    ExpectNothingLeftOpen();
}

/* A failed upgrade rolls back the new version's steps first, while neither
   file is at the path, then the older version's, once its file is back:
   the first starts nothing and keeps the record, the second starts the
   file. A failed removal's rollback step finds the file back at once. */
TEST_F(InstallerTest, ARollbackStartsTheFileOnlyOnceItIsBack)
{
    Machine({As(Process(200, kInstalled), "alice", 1), As(Process(300, kInstalled), "bob", 2)});
    LogOnUsers();
    EXPECT_EQ(Step(CloseInstances, u"upgrade|" + kInstalled), ERROR_SUCCESS);
    const std::vector<std::string> recorded = SimRegistry();
    const std::u16string moved = u"D:\\nosaver\\nosaver.exe"; /* the new version's folder */
    EXPECT_EQ(Step(RestartInstances, moved), ERROR_SUCCESS);
    EXPECT_EQ(SimRegistry(), recorded);
    EXPECT_EQ(InstallLog().back(), "nosaver: no file to start at " + SimUtf8(moved) +
                                       ",error code:2; the sessions are kept for the step whose "
                                       "file is back");
    EXPECT_EQ(Step(RestartInstances, kInstalled), ERROR_SUCCESS);
    EXPECT_EQ(SimCallsOf({"CreateProcessAsUserW"}).size(), 2u);
    EXPECT_EQ(SimRegistry(), std::vector<std::string>{});
    ExpectNothingLeftOpen();
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

/* The record is read as a set: a record of 1,000 zeros starts one nosaver
   in session 0; pseudo sessions and a trailing part of a number are
   dropped. A removal takes the record and nothing else of the key. */
TEST_F(InstallerTest, TheRecordIsASetAndOnlyItIsForgotten)
{
    Machine({});
    LogOnUsers();
    SimLogOn(0, "erin");
    std::string record(4000, '\0');
    record += RecordBytes({2, 0xFFFFFFFF, 2, 0xFFFFFFFE, 1, 0});
    record += "\x01";
    SimSetRegistryValue(u"Software\\nosaver", u"RestartSessions", REG_BINARY, record);
    EXPECT_EQ(RestartInRecordedSessions(kInstalled.c_str()), 3u);
    EXPECT_EQ(SimCallsOf({"WTSQueryUserToken"}),
              (std::vector<std::string>{"WTSQueryUserToken(0)", "WTSQueryUserToken(2)",
                                        "WTSQueryUserToken(1)"}));

    SimSetRegistryValue(u"Software\\nosaver", u"Owner", 1, "it");
    SimSetRegistryValue(u"Software\\nosaver", u"RestartSessions", REG_BINARY, RecordBytes({1}));
    EXPECT_EQ(Step(ForgetInstances, u""), ERROR_SUCCESS);
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordKey, kRecordKey + "\\Owner=6974"}));
    ExpectNothingLeftOpen();
}

/* The log takes each line whole, as UTF-16: a path of 300 units in
   Cyrillic letters, and brackets that Windows Installer would otherwise
   take for its own fields. */
TEST_F(InstallerTest, LinesReachTheLogAndTheDebuggerWhole)
{
    std::u16string folder = u"C:\\\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u044b [x]\\";
    const std::u16string deep = folder + std::u16string(300 - folder.size() - 12, u'\u0436') +
                                u"\\nosaver.exe";
    ASSERT_EQ(deep.size(), 300u);
    Machine({As(Process(200, deep), "alice", 1)});
    SimAddFile(deep, kVolume, 90); /* code page 1252 has no Cyrillic letters */
    EXPECT_EQ(Step(CloseInstances, u"replace|" + deep), ERROR_SUCCESS);
    const std::string ended = "ended process[200] of session 1: " + SimUtf8(deep);
    EXPECT_EQ(Traces(), (std::vector<std::string>{ended + "\n", "1 running nosaver.exe ended (" +
                                                                    SimUtf8(deep) + ")\n"}));
    std::string escaped = "nosaver: " + ended;
    escaped.replace(escaped.find("[x]"), 3, "[\\[]x[\\]]");
    escaped.replace(escaped.find("[200]"), 5, "[\\[]200[\\]]");
    EXPECT_EQ(InstallLog().front(), escaped);
    EXPECT_EQ(SimInstallLog().front().first, INSTALLMESSAGE_INFO);
    ExpectNothingLeftOpen();
}

/* The owners of folders: Administrators, SYSTEM, TrustedInstaller, and a
   person. */
const std::string kAdmins = "S-1-5-32-544";
const std::string kSystem = "S-1-5-18";
const std::string kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::string kPerson = "S-1-5-21-1004336348-1177238915-682003330-1001";

/* INSTALLDIR as given, or as the folder where Windows Installer has nosaver
   (product): taken, or refused with a line that names the rule it breaks.
   The folders: C:\Windows, Windows' own; C:\Tools\empty, made by an
   administrator; C:\Tools\zip and C:\Tools\zipped, holding the zip's files;
   C:\Tools\other, another program's README.txt and LICENSE.txt; C:\Users\p,
   a person's own with the zip's nosaver.exe, and C:\Tools\link, the
   person's link to C:\Tools\empty. */
TEST_F(InstallerTest, CheckInstallDirTakesOnlyAFolderOfItsOwn)
{
    const std::string notFull = "INSTALLDIR must be a full path on a drive of this computer, such "
                                "as C:\\Tools\\nosaver, not: ";
    const std::string network = "INSTALLDIR must be on a drive of this computer, not a network "
                                "path: ";
    const std::string root = "INSTALLDIR must be a folder, not the root of a drive: ";
    const std::string own = "INSTALLDIR must be a folder of nosaver's own, new or holding only "
                            "nosaver.exe, README.txt and LICENSE.txt: ";
    const std::string owned = "INSTALLDIR must be owned by Administrators, SYSTEM or "
                              "TrustedInstaller, as whoever owns it may change who can replace "
                              "nosaver.exe: ";
    /* The longest folder from which nosaver.exe's path has 259 characters. */
    const std::u16string longest = LongPath(MAX_PATH - 13, 100, u"x");
    const struct {
        std::u16string folder;
        std::string refusal; /* empty: taken */
        std::u16string product = u"";
        bool repair = false;
        const char *failing = nullptr; /* an operation that fails with error 5 */
    } cases[] = {
        {u"", ""},
        {u"C:\\Tools\\nosaver", ""},
        {u"d:\\Outils \u00e9t\u00e9\\nosaver\\", ""},
        {u"Tools\\nosaver", notFull + "Tools\\nosaver"},
        {u"\\Tools\\nosaver", notFull + "\\Tools\\nosaver"},
        {u"C:Tools", notFull + "C:Tools"},
        {u"C:/Tools/nosaver", notFull + "C:/Tools/nosaver"},
        {u"C:\\Tools\\a:b", notFull + "C:\\Tools\\a:b"},
        {u"\\\\?\\C:\\Tools", notFull + "\\\\?\\C:\\Tools"},
        {u"C:\\Tools\\..\\Windows", notFull + "C:\\Tools\\..\\Windows"},
        {u"\\\\server\\share\\nosaver", network + "\\\\server\\share\\nosaver"},
        {u"\\\\?\\UNC\\server\\share", network + "\\\\?\\UNC\\server\\share"},
        {u"\\\\server", network + "\\\\server"},
        {u"C:\\", root + "C:\\"},
        {u"e:\\\\", root + "e:\\\\"},
        {longest, ""},
        {longest + u"y", "INSTALLDIR is too long: nosaver.exe's path there would have 260 "
                         "characters, and Windows starts programs only from paths of fewer than "
                         "260: " + SimUtf8(longest) + "y"},
        {u"C:\\Windows\\", own + "C:\\Windows\\ holds explorer.exe"},
        {u"C:\\Tools\\empty", ""},
        {u"C:\\Tools\\zip", ""},
        {u"c:\\tools\\ZIPPED\\", ""},
        {u"C:\\Tools\\other", own + "C:\\Tools\\other holds README.txt and no nosaver.exe"},
        {u"C:\\Users\\p", owned + "C:\\Users\\p"},
        {u"C:\\Tools\\link", owned + "C:\\Tools\\link"},
        {u"C:\\Tools\\system", ""},
        {u"C:\\Windows\\explorer.exe", "INSTALLDIR must be a folder, not a file: "
                                       "C:\\Windows\\explorer.exe"},
        {u"C:\\Tools\\empty", "INSTALLDIR cannot be checked: C:\\Tools\\empty cannot be read,error "
                              "code:5",
         u"", false, "GetSecurityInfo"},
        {u"C:\\Tools\\zip", "INSTALLDIR cannot be checked: C:\\Tools\\zip cannot be read,error "
                            "code:5",
         u"", false, "FindFirstFileW"},
        /* The folder Windows Installer has nosaver in, whoever owns it. */
        {u"C:\\Users\\p", "", u"c:\\users\\P\\", true},
        {u"C:\\Users\\p\\", "", u"C:\\Users\\p", false},
        {u"C:\\Tools\\zip", "nosaver is installed in C:\\Users\\p\\; a repair cannot move it to "
                            "C:\\Tools\\zip: remove nosaver, then install it there",
         u"C:\\Users\\p\\", true},
        {u"C:\\Tools\\zip", "", u"C:\\Users\\p\\", false},
        {u"\\\\server\\share", network + "\\\\server\\share", u"\\\\server\\share", true},
    };
    for (const auto &c : cases) {
        SetUp();
        SimAddFile(u"C:\\Windows\\explorer.exe", kVolume, 1);
        SimAddFolder(u"C:\\Windows", kTrustedInstaller);
        SimAddFolder(u"C:\\Tools\\empty", kAdmins);
        SimAddFolder(u"C:\\Tools\\system", kSystem);
        SimAddFile(u"C:\\Tools\\zip\\nosaver.exe", kVolume, 3);
        for (const char16_t *name : {u"NOSAVER.EXE", u"readme.txt", u"License.TXT"})
            SimAddFile(u"C:\\Tools\\zipped\\" + std::u16string(name), kVolume, 4);
        SimAddFolder(u"C:\\Tools\\zipped", kTrustedInstaller);
        SimAddFile(u"C:\\Tools\\other\\README.txt", kVolume, 5);
        SimAddFile(u"C:\\Tools\\other\\LICENSE.txt", kVolume, 6);
        SimAddFolder(u"C:\\Users\\p", kPerson);
        SimAddFile(u"C:\\Users\\p\\nosaver.exe", kVolume, 7);
        SimAddFolder(u"C:\\Tools\\link", kPerson, u"C:\\Tools\\empty");
        SimSetInstallProperty(u"INSTALLDIR", c.folder);
        SimSetInstallProperty(u"NOSAVER_PRODUCT_DIR", c.product);
        SimSetInstallProperty(u"Installed", c.repair ? u"2026/12/01 10:00:00" : u"");
        if (c.failing != nullptr)
            SimFail(c.failing, ERROR_ACCESS_DENIED);
        EXPECT_EQ(CheckInstallDir(kInstall), c.refusal.empty() ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE)
            << SimUtf8(c.folder);
        EXPECT_EQ(InstallLog(), c.refusal.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{"nosaver: " + c.refusal})
            << SimUtf8(c.folder);
        if (!c.refusal.empty()) {
            EXPECT_EQ(SimInstallLog().back().first, INSTALLMESSAGE_ERROR | MB_ICONERROR);
        }
        ExpectNothingLeftOpen();
    }
}

/* The folder of an installed nosaver comes from Windows Installer's own
   record of the product: this one's in a repair or a removal, the older
   one's in an upgrade, the first of several that has one. */
TEST_F(InstallerTest, FindInstallDirReadsWindowsInstallersRecord)
{
    const std::u16string installed = u"C:\\Tools\\nosaver\\";
    const struct {
        const char *what;
        std::u16string installedWhen, productCode, related;
        std::u16string found;
        std::vector<std::string> lines;
    } cases[] = {
        {"a repair or a removal", u"2026/12/01 10:00:00", u"{THIS}", u"{OLD}", installed,
         {"Windows Installer has nosaver {THIS} in C:\\Tools\\nosaver\\\n"}},
        {"an upgrade", u"", u"{NEW}", u"{GONE};{BLANK};{OLD}", installed,
         {"no folder of nosaver {GONE} in Windows Installer's record,error code:1605\n",
          "no folder of nosaver {BLANK} in Windows Installer's record,error code:1608\n",
          "Windows Installer has nosaver {OLD} in C:\\Tools\\nosaver\\\n"}},
        {"a first installation", u"", u"{NEW}", u"", u"", {}},
    };
    for (const auto &c : cases) {
        SetUp();
        SimSetProductLocation(u"{THIS}", installed);
        SimSetProductLocation(u"{OLD}", installed);
        SimSetProductLocation(u"{BLANK}", u"");
        SimSetInstallProperty(u"Installed", c.installedWhen);
        SimSetInstallProperty(u"ProductCode", c.productCode);
        SimSetInstallProperty(u"WIX_UPGRADE_DETECTED", c.related);
        EXPECT_EQ(FindInstallDir(kInstall), ERROR_SUCCESS) << c.what;
        EXPECT_EQ(SimInstallProperty(u"NOSAVER_PRODUCT_DIR"), c.found) << c.what;
        EXPECT_EQ(Traces(), c.lines) << c.what;
        ExpectNothingLeftOpen();
    }
}

} // namespace
