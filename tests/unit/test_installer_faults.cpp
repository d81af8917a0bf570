/*
 * Fault injection into the installer's steps, as into nosaver.exe's starts
 * (test_faults.cpp): each step runs once on a machine to record its
 * platform calls; then, for each recorded call of an operation of the
 * simulated Windows' table and each way it fails there, the step runs
 * again with exactly that call failing. Whatever fails:
 *  - no handle, heap block or record of Windows Installer is left open;
 *  - no process is ended but one running the installed file;
 *  - a removal's CloseInstances succeeds; a replacement's succeeds only
 *    when every process running the installed file has been ended or was
 *    logged as one it could not read;
 *  - RestartInstances starts at most one nosaver in a session, the
 *    installed file, as that session's user, only in recorded sessions;
 *  - registry values other than the record stay as they were;
 *  - CheckInstallDir never takes a folder it refuses without the failure;
 *  - a failure that changes what a step did is never silent: the step
 *    logs a line that the run without it did not.
 */
#include "installer/installer.h"
#include "sim_test.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const std::u16string kInstalled = u"C:\\Program Files\\nosaver\\nosaver.exe";
const std::u16string kOwnerValue = u"Owner";
const DWORD kVolume = 0x5EED;
const MSIHANDLE kInstall = 7;

/* The machine every step runs on: the installer as LocalSystem in session
   0; nosaver in sessions 1 and 2; a copy elsewhere, another program and a
   process whose modules cannot be listed; users logged on in 1, 2 and 3;
   nosaver's key with a value of somebody else's. */
void Machine(const std::vector<DWORD> &record)
{
    SimReset();
    SimClearProcesses();
    Table({As(Process(kSelf, u"C:\\Windows\\System32\\msiexec.exe"), "SYSTEM", 0),
           As(Process(200, kInstalled), "alice", 1), As(Process(300, kInstalled), "bob", 2),
           As(Process(400, u"C:\\Users\\carol\\nosaver.exe"), "carol", 3),
           As(Process(500, u"C:\\Windows\\explorer.exe"), "bob", 2),
           With(As(Process(600, u"C:\\Program Files\\Other\\x64.exe"), "bob", 2),
                &SimProcess::modulesFail, true)});
    SimSetSession(0);
    SimSetCodePage(1252);
    SimAddFile(kInstalled, kVolume, 77);
    SimAddFile(u"C:\\Users\\carol\\nosaver.exe", kVolume, 78);
    SimAddFile(u"C:\\Windows\\explorer.exe", kVolume, 79);
    SimLogOn(1, "alice");
    SimLogOn(2, "bob");
    SimLogOn(3, "carol");
    SimSetRegistryValue(u"Software\\nosaver", kOwnerValue, 1, "kept");
    /* The zip's folder, made by an administrator; carol's own; Windows
       Installer's record of an older nosaver. */
    SimAddFile(u"C:\\Tools\\zip\\nosaver.exe", kVolume, 80);
    SimAddFolder(u"C:\\Users\\carol", "S-1-5-21-1-2-3-1003");
    SimSetProductLocation(u"{OLD}", u"C:\\Program Files\\nosaver\\");
    if (!record.empty())
        SimSetRegistryValue(u"Software\\nosaver", u"RestartSessions", REG_BINARY,
                            RecordBytes(record));
}

using Properties = std::vector<std::pair<std::u16string, std::u16string>>;

struct Step {
    const char *name;
    UINT(WINAPI *entry)(MSIHANDLE);
    Properties properties;     /* of the installation: CustomActionData for a deferred step */
    std::vector<DWORD> record; /* sessions recorded before it runs */

    std::u16string Property(const std::u16string &wanted) const
    {
        for (const auto &property : properties)
            if (property.first == wanted)
                return property.second;
        return u"";
    }
};

Properties Data(const std::u16string &data)
{
    return {{u"CustomActionData", data}};
}

const Step kSteps[] = {
    {"FindInstallDir, an upgrade", FindInstallDir,
     {{u"Installed", u""}, {u"WIX_UPGRADE_DETECTED", u"{GONE};{OLD}"}}, {}},
    {"CheckInstallDir, a new folder", CheckInstallDir, {{u"INSTALLDIR", u"C:\\Tools\\nosaver"}}, {}},
    {"CheckInstallDir, the zip's folder", CheckInstallDir, {{u"INSTALLDIR", u"C:\\Tools\\zip\\"}}, {}},
    {"CheckInstallDir, a person's folder", CheckInstallDir, {{u"INSTALLDIR", u"C:\\Users\\carol"}},
     {}},
    {"CheckInstallDir, a relative one", CheckInstallDir, {{u"INSTALLDIR", u"Tools\\nosaver"}}, {}},
    {"CloseInstances, a first installation", CloseInstances, Data(u"replace|" + kInstalled), {3}},
    {"CloseInstances, an upgrade", CloseInstances, Data(u"upgrade|" + kInstalled), {3}},
    {"CloseInstances, a removal", CloseInstances, Data(u"remove|" + kInstalled), {}},
    {"RestartInstances", RestartInstances, Data(kInstalled), {1, 2, 4}},
    {"RestartInstances, the file away", RestartInstances, Data(u"D:\\away\\nosaver.exe"), {1, 2}},
    {"ForgetInstances", ForgetInstances, Data(u""), {1, 2}},
};

/* What a run did, and what it said. */
struct StepRun {
    UINT result = 0;
    std::vector<DWORD> terminated;
    std::vector<std::string> starts; /* CreateProcessAsUserW as recorded */
    std::vector<std::string> registry;
    std::set<std::string> lines;     /* debugger output and installation log */
    std::vector<std::string> calls;

    bool SameOutcome(const StepRun &other) const
    {
        return result == other.result && terminated == other.terminated &&
               starts == other.starts && registry == other.registry;
    }
};

StepRun RunStep(const Step &step, const char *failing, DWORD error, int nth)
{
    Machine(step.record);
    for (const auto &property : step.properties)
        SimSetInstallProperty(property.first, property.second);
    if (failing != nullptr)
        SimFail(failing, error, nth);
    StepRun run;
    run.result = step.entry(kInstall);
    run.terminated = Terminated();
    run.starts = SimCallsOf({"CreateProcessAsUserW"});
    run.registry = SimRegistry();
    for (const std::string &line : SimDebugOutputUtf8())
        run.lines.insert(line);
    for (const auto &message : SimInstallLog())
        run.lines.insert(SimUtf8(message.second));
    run.calls = SimCalls();
    return run;
}

/* The properties every run keeps, failure or not. */
void ExpectSound(const Step &step, const StepRun &run, const std::string &what)
{
    EXPECT_EQ(SimOpenHandles(), 0) << what;
    EXPECT_EQ(SimHeap().live, 0) << what;
    for (DWORD id : run.terminated) {
        EXPECT_TRUE(id == 200 || id == 300) << what << ": ended process " << id;
    }
    const bool removal = step.Property(u"CustomActionData").rfind(u"remove|", 0) == 0;
    /* Without its data a step cannot know it is a removal's; the package
       ignores what that one returns. */
    const bool blind = std::any_of(run.lines.begin(), run.lines.end(), [](const std::string &line) {
        return line.rfind("cannot read CustomActionData", 0) == 0;
    });
    if (removal && !blind) {
        EXPECT_EQ(run.result, static_cast<UINT>(ERROR_SUCCESS)) << what;
    }
    if (step.entry == CloseInstances && !removal && run.result == ERROR_SUCCESS) {
        for (DWORD id : {200u, 300u}) {
            EXPECT_TRUE(std::count(run.terminated.begin(), run.terminated.end(), id) == 1 ||
                        std::any_of(run.lines.begin(), run.lines.end(),
                                    [id](const std::string &line) {
                                        return line.rfind("passed over process[" +
                                                              std::to_string(id) + "]",
                                                          0) == 0;
                                    }))
                << what << ": succeeded while process " << id << " runs the installed file";
        }
    }
    std::set<std::string> sessions;
    for (const std::string &start : run.starts) {
        const std::string who = start.substr(start.find('(') + 1, start.find(',') - start.find('(') - 1);
        const std::string session = start.substr(start.find(',') + 1, 1);
        EXPECT_TRUE(sessions.insert(session).second) << what << ": two starts in session " << session;
        EXPECT_TRUE((who == "alice" && session == "1") || (who == "bob" && session == "2"))
            << what << ": " << start;
        EXPECT_NE(start.find(SimUtf8(kInstalled)), std::string::npos) << what << ": " << start;
    }
    EXPECT_NE(std::find(run.registry.begin(), run.registry.end(), "Software\\nosaver\\Owner=6b657074"),
              run.registry.end())
        << what;
}

int g_injected = 0;
int g_stepsRun = 0;

class InstallerFaultTest : public SimTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(InstallerFaultTest, EachPlatformCallFailsInTurn)
{
    const Step &step = kSteps[GetParam()];
    const StepRun clean = RunStep(step, nullptr, 0, 0);
    ExpectSound(step, clean, std::string(step.name) + ", no failure");

    std::map<std::string, std::vector<DWORD>> ways;
    for (const SimOperation &operation : SimOperations())
        ways[operation.name] = operation.errors;
    std::map<std::string, int> seen;
    int injected = 0;
    for (const std::string &call : clean.calls) {
        const std::string operation = OperationOf(call);
        const int nth = ++seen[operation];
        const auto found = ways.find(operation);
        if (found == ways.end())
            continue;
        for (DWORD error : found->second) {
            const std::string what = std::string(step.name) + ", " + call + " fails with " +
                                     std::to_string(error);
            const StepRun run = RunStep(step, operation.c_str(), error, nth);
            ExpectSound(step, run, what);
            /* A folder is never taken for a check that could not be made. */
            if (step.entry == CheckInstallDir && clean.result != ERROR_SUCCESS) {
                EXPECT_NE(run.result, static_cast<UINT>(ERROR_SUCCESS)) << what;
            }
            /* A failure that says the thing is not there (the key gone) is
               taken at its word. */
            const bool absence = error == ERROR_FILE_NOT_FOUND || error == ERROR_KEY_DELETED;
            if (!run.SameOutcome(clean) && !absence) {
                bool reported = false;
                for (const std::string &line : run.lines)
                    reported = reported || clean.lines.count(line) == 0;
                EXPECT_TRUE(reported) << what << ": changes what the step does, and says nothing";
            }
            injected++;
        }
    }
    g_injected += injected;
    g_stepsRun++;
    printf("[ faults   ] %s: %zu platform calls, %d failures injected\n", step.name,
           clean.calls.size(), injected);
    EXPECT_GT(injected, 0) << step.name;
}

INSTANTIATE_TEST_SUITE_P(Steps, InstallerFaultTest,
                         ::testing::Range<size_t>(0, sizeof kSteps / sizeof kSteps[0]),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             std::string name;
                             for (const char *c = kSteps[info.param].name; *c != '\0'; c++)
                                 if (isalnum(static_cast<unsigned char>(*c)))
                                     name += *c;
                             return name;
                         });

class InstallerFaultCount : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (g_stepsRun > 1)
            printf("[ faults   ] %d failures injected in all, over %d cases of the installer's "
                   "steps\n",
                   g_injected, g_stepsRun);
    }
};

const auto *const g_installerFaultCount =
    ::testing::AddGlobalTestEnvironment(new InstallerFaultCount);

} // namespace
