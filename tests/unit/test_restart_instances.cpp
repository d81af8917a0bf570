/* RestartInstances on a simulated machine: the instances that
   CloseInstances ended start again as each session's user, once the file
   is there. */
#include "installer_test.h"

namespace {

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
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordPath, kRecordPath + "\\InstallDir=43"}));
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

} // namespace
