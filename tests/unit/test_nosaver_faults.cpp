/*
 * Fault injection. Every kind of start runs once to record its platform
 * calls; then, for each recorded call that can fail and each way it can
 * fail (SimOperations), the start runs again with exactly that call
 * failing. The outcome must be the one the rules give for that failure
 * (tests/model/model.h), and after every run: exit code 0, no handle or
 * heap block left behind, nothing terminated but an instance.
 */
#include "nosaver/nosaver.h"
#include "model/model.h"
#include "sim_test.h"

#include <stdio.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

using model::TraceFault;

const std::vector<POINT> kCursorPath = {{10, 20}, {30, -40}, {50, 60}};

/* A failure present in every run of a kind, to reach the paths behind it. */
struct Prefault {
    const char *operation;
    DWORD error;
    int nth;
};

struct Kind {
    const char *name;
    std::string argument;
    bool guardHeld; /* another instance holds the guard */
    UINT codePage;
    std::vector<SimProcess> table; /* enumeration order; kSelf is this process */
    int passes;                    /* keep-awake passes before the test ends the loop */
    std::vector<Prefault> prefaults;
};

std::vector<Kind> Kinds()
{
    const std::vector<SimProcess> alone = {Process(kSelf, kToolsPath)};
    const std::vector<SimProcess> instanceFirst = {
        Process(4, u"System"), Process(200, kToolsPath), Process(300, u"C:\\Old\\mynosaver.exe"),
        Process(kSelf, kToolsPath), Process(400, u"C:\\Windows\\explorer.exe")};
    const std::vector<SimProcess> selfFirst = {Process(kSelf, kToolsPath),
                                               Process(300, u"C:\\Windows\\explorer.exe"),
                                               Process(200, u"D:\\Other\\nosaver.exe")};
    const std::vector<SimProcess> noInstance = {Process(4, u"System"), Process(kSelf, kToolsPath),
                                                Process(300, u"C:\\Windows\\explorer.exe")};
    const std::u16string cut = LongPath(300, 154, u"nosaver");
    const std::vector<SimProcess> cutPath = {Process(kSelf, cut), Process(201, LongPath(300, 154, u"other")),
                                             Process(200, cut)};
    const std::vector<SimProcess> latin1 = {Process(kSelf, u"C:\\Tools\\caf\u00e9.exe"),
                                            Process(200, u"E:\\caf\u00e9.exe")};
    /* 300 bytes of GBK text: fewer units than bytes in code page 936 */
    std::string gbk;
    while (gbk.size() < 300)
        gbk += "\xc4\xe3\xba\xc3";
    const std::string latin(300, 'L');

    return {
        {"plain start, nothing running", "", false, 1252, alone, 3, {}},
        {"plain start, an instance running", "", true, 1252, alone, 0, {}},
        {"test start, nothing running", "test", false, 1252, alone, 1, {}},
        {"test start, an instance running", "test", true, 1252, alone, 0, {}},
        {"close, nothing running", "close", false, 936, instanceFirst, 0, {}},
        {"close, instance listed before this process", "close", true, 936, instanceFirst, 0, {}},
        {"close, this process listed first", "close", true, 936, selfFirst, 0, {}},
        {"close, no instance", "close", true, 936, noInstance, 0, {}},
        {"close, own path cut at 255 units", "close", true, 1252, cutPath, 0, {}},
        {"close, Latin-1 file name", "close", true, 1252, latin1, 0, {}},
        /* the first conversion of the long argument's line wants more room */
        {"long GBK argument, an instance running", gbk, true, 936, alone, 0,
         {{"MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 1}}},
        {"long argument, nothing running", latin, false, 1252, alone, 1, {}},
        /* the Chinese line of the close flow wants more room */
        {"close, a Chinese line grown", "close", true, 936, instanceFirst, 0,
         {{"MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, 2}}},
    };
}

/* One injected failure: the nth call of an operation. */
struct Fault {
    std::string operation; /* empty: none */
    int nth = 0;
    DWORD error = 0;
    std::string call; /* as recorded in the run without the failure */
    size_t sameCalls = 0; /* calls made as without the failure, the failing one included */
    int message = -1; /* for the trace's own operations: which message */
    TraceFault traceFault = TraceFault::kNone;
};

struct Observed {
    bool loops = false;
    int exitCode = -1;
    std::vector<std::u16string> traces;
    std::vector<DWORD> terminated;
    std::vector<std::string> events;
};

Observed Start(const Kind &kind, const Fault &fault)
{
    SimReset();
    SimClearProcesses();
    for (const SimProcess &p : kind.table)
        SimAddProcess(p);
    SimSetCurrentProcess(kSelf);
    SimSetCodePage(kind.codePage);
    if (kind.guardHeld)
        SimHoldMutex(1, kGuardMutexName);
    SimSetCursorPath(kCursorPath);
    SimEndLoopAfter(kind.passes);
    for (const Prefault &p : kind.prefaults)
        SimFail(p.operation, p.error, p.nth);
    if (!fault.operation.empty())
        SimFail(fault.operation.c_str(), fault.error, fault.nth);

    std::vector<char> argument(kind.argument.begin(), kind.argument.end());
    argument.push_back('\0');
    Observed o;
    try {
        o.exitCode = WinMain(NULL, NULL, argument.data(), 1);
    } catch (const SimLoopEnd &) {
        o.loops = true;
    }
    o.traces = SimDebugOutput();
    for (const auto &t : SimTerminated())
        o.terminated.push_back(t.first);
    o.events = SimCallsOf({"mouse_event"});
    return o;
}

/* Which message each recorded call of the trace belongs to, and its role:
   "first" conversion, "size" query, "retry", heap "block" or "grown". */
struct TraceCall {
    int message;
    const char *role;
};

std::map<size_t, TraceCall> TraceCalls(const std::vector<std::string> &calls)
{
    std::map<size_t, TraceCall> out;
    int message = 0;
    int conversions = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        std::string op = OperationOf(calls[i]);
        if (op == "OutputDebugStringW") {
            message++;
            conversions = 0;
        } else if (op == "MultiByteToWideChar") {
            static const char *const roles[] = {"first", "size", "retry"};
            out[i] = {message, roles[std::min(conversions++, 2)]};
        } else if (op == "HeapAlloc") {
            out[i] = {message, conversions == 0 ? "block" : "grown"};
        }
    }
    return out;
}

/* Every failure to inject into a kind whose run without failures made
   these calls and sent this many messages. */
std::vector<Fault> FaultsFor(const Kind &kind, const std::vector<std::string> &calls, int messages)
{
    std::map<size_t, TraceCall> traceCalls = TraceCalls(calls);
    std::map<std::string, int> seen;
    std::vector<Fault> faults;
    for (size_t i = 0; i < calls.size(); i++) {
        std::string op = OperationOf(calls[i]);
        int nth = ++seen[op];
        const std::vector<SimOperation> &table = SimOperations();
        auto ways = std::find_if(table.begin(), table.end(),
                                 [&op](const SimOperation &o) { return op == o.name; });
        if (ways == table.end())
            continue;
        bool prefaulted = false;
        for (const Prefault &p : kind.prefaults)
            prefaulted = prefaulted || (op == p.operation && nth == p.nth);
        if (prefaulted)
            continue;
        for (DWORD error : ways->errors) {
            Fault f;
            f.operation = op;
            f.nth = nth;
            f.error = error;
            f.call = calls[i];
            f.sameCalls = i + 1;
            auto trace = traceCalls.find(i);
            if (trace != traceCalls.end()) {
                f.message = trace->second.message;
                f.traceFault = model::TraceFaultOf(trace->second.role, error);
            }
            faults.push_back(f);
        }
    }
    /* Formatting is no recorded call: one failure per message, before its
       first recorded call. */
    for (int m = 0; m < messages; m++) {
        Fault f;
        f.operation = "_vsnprintf";
        f.nth = m + 1;
        f.call = "_vsnprintf of message " + std::to_string(m);
        for (const auto &tc : traceCalls)
            if (tc.second.message == m) {
                f.sameCalls = tc.first;
                break;
            }
        f.message = m;
        f.traceFault = TraceFault::kFormatFails;
        faults.push_back(f);
    }
    return faults;
}

struct Outcome {
    bool loops = false;
    std::vector<std::u16string> traces;
    bool lastIsPrefix = false; /* only the beginning of the last trace is known */
    std::vector<DWORD> terminated;
    std::vector<std::string> events;
    int guardHandles = 0; /* guard handles the start keeps until it ends */
};

DWORD IdIn(const std::string &call)
{
    size_t open = call.find('(');
    std::string args = call.substr(open + 1);
    if (call.compare(0, 12, "OpenProcess(") == 0)
        args = args.substr(args.rfind(',') + 1);
    return (DWORD)std::stoul(args);
}

/* What the rules give for a kind with one failure (none when the fault's
   operation is empty). */
Outcome Expected(const Kind &kind, const Fault &fault, const std::vector<std::string> &baseline)
{
    const std::string &op = fault.operation;
    std::vector<std::string> lines = {model::Format(kMsgCommandLine, kind.argument.c_str())};
    if (kind.argument == "test")
        lines.push_back(kMsgCommandIsTest);

    Outcome e;
    bool isClose = kind.argument == "close";
    bool created = op != "CreateMutexW" && !kind.guardHeld;
    if (created && !isClose) {
        e.loops = true;
        e.guardHandles = 1;
        POINT at = {0, 0};
        for (int pass = 1; pass <= kind.passes; pass++) {
            if (!(op == "GetCursorPos" && fault.nth == pass))
                at = kCursorPath[(size_t)pass - 1];
            e.events.push_back(model::Format("mouse_event(0x8000,%d,%d,0,0)", (int)at.x, (int)at.y));
            lines.push_back(model::Format(kMsgMoveMouse, (int)at.x, (int)at.y));
        }
    } else if (created) {
        lines.push_back(kMsgExitApp);
    } else {
        /* The start keeps a handle to another instance's guard until it ends. */
        e.guardHandles = op == "CreateMutexW" ? 0 : 1;
        if (isClose) {
            model::CloseFaults cf;
            if (op == "GetModuleFileNameW")
                cf.ownPathFails = true;
            if (op == "EnumProcesses") {
                cf.enumFails = true;
                cf.enumError = fault.error;
            }
            if (op == "OpenProcess" && fault.call.find("(0x410,") != std::string::npos)
                cf.unreadable.insert(IdIn(fault.call));
            if (op == "OpenProcess" && fault.call.find("(0x42b,") != std::string::npos)
                cf.unopenable.insert(IdIn(fault.call));
            if (op == "EnumProcessModules" || op == "GetModuleFileNameExW")
                cf.unreadable.insert(IdIn(fault.call));
            if (op == "GetProcessId")
                cf.idUnknown.insert(IdIn(fault.call));
            if (op == "TerminateProcess")
                cf.terminateErrors[IdIn(fault.call)] = fault.error;
            model::CloseOutcome c = model::Close(kind.table, kSelf, kind.codePage, cf);
            lines.insert(lines.end(), c.traces.begin(), c.traces.end());
            e.lastIsPrefix = !c.lastErrorKnown;
            e.terminated = c.terminated;
        }
    }

    /* How each message is sent: a prefault that wants more room grows
       its message's buffer; the injected failure may hit one message. */
    std::map<int, TraceFault> perMessage;
    std::map<size_t, TraceCall> traceCalls = TraceCalls(baseline);
    for (const Prefault &p : kind.prefaults) {
        int nth = 0;
        for (const auto &tc : traceCalls)
            if (OperationOf(baseline[tc.first]) == p.operation && ++nth == p.nth)
                perMessage[tc.second.message] = model::TraceFaultOf(tc.second.role, p.error);
    }
    if (fault.message >= 0)
        perMessage[fault.message] = fault.traceFault;
    for (size_t m = 0; m < lines.size(); m++) {
        auto f = perMessage.find((int)m);
        e.traces.push_back(model::Trace(lines[m], kind.codePage,
                                        f == perMessage.end() ? TraceFault::kNone : f->second));
    }
    return e;
}

std::string Describe(const Kind &kind, const Fault &fault)
{
    if (fault.operation.empty())
        return std::string(kind.name) + ", no failure";
    return std::string(kind.name) + ", " + fault.call + " fails with " +
           std::to_string(fault.error);
}

void ExpectOutcome(const Kind &kind, const Fault &fault, const Observed &o, const Outcome &e)
{
    std::string what = Describe(kind, fault);
    EXPECT_EQ(o.loops, e.loops) << what;
    if (!o.loops) {
        EXPECT_EQ(o.exitCode, 0) << what;
    }
    ASSERT_EQ(o.traces.size(), e.traces.size()) << what;
    for (size_t i = 0; i < o.traces.size(); i++) {
        bool prefixOnly = e.lastIsPrefix && i + 1 == o.traces.size();
        std::u16string seen = prefixOnly ? o.traces[i].substr(0, e.traces[i].size()) : o.traces[i];
        EXPECT_EQ(SimUtf8(seen), SimUtf8(e.traces[i])) << what << ", message " << i;
    }
    EXPECT_EQ(o.terminated, e.terminated) << what;
    EXPECT_EQ(o.events, e.events) << what;
    for (const std::string &v : model::Violations(kind.table, kSelf, e.guardHandles))
        ADD_FAILURE() << what << ": " << v;
}

int g_faultsInjected = 0;
int g_kindsRun = 0;

/* The parameter is the index of the kind in Kinds(). */
class FaultTest : public SimTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(FaultTest, EachPlatformCallFailsInTurn)
{
    const Kind kind = Kinds()[GetParam()];
    Observed clean = Start(kind, Fault());
    const std::vector<std::string> baseline = SimCalls();
    ExpectOutcome(kind, Fault(), clean, Expected(kind, Fault(), baseline));

    std::vector<Fault> faults = FaultsFor(kind, baseline, (int)clean.traces.size());
    for (const Fault &fault : faults) {
        Observed o = Start(kind, fault);
        /* The failure hit the call it was meant for: the run made the same
           calls up to it. */
        std::vector<std::string> calls = SimCalls();
        ASSERT_GE(calls.size(), fault.sameCalls) << Describe(kind, fault);
        EXPECT_TRUE(std::equal(baseline.begin(), baseline.begin() + (long)fault.sameCalls,
                               calls.begin()))
            << Describe(kind, fault);
        ExpectOutcome(kind, fault, o, Expected(kind, fault, baseline));
    }
    g_faultsInjected += (int)faults.size();
    g_kindsRun++;
    printf("[ faults   ] %s: %zu platform calls, %zu failures injected\n", kind.name,
           baseline.size(), faults.size());
    EXPECT_GT(faults.size(), baseline.size() / 4) << kind.name;
}

std::string KindName(const ::testing::TestParamInfo<size_t> &info)
{
    std::string name;
    for (const char *c = Kinds()[info.param].name; *c != '\0'; c++)
        if (isalnum((unsigned char)*c))
            name += *c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(Starts, FaultTest, ::testing::Range<size_t>(0, Kinds().size()), KindName);

class FaultCount : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (g_kindsRun > 1)
            printf("[ faults   ] %d failures injected in all, over %d kinds of start\n",
                   g_faultsInjected, g_kindsRun);
    }
};

const auto *const g_faultCount = ::testing::AddGlobalTestEnvironment(new FaultCount);

TEST(FaultTable, AMisspeltOperationStopsTheTest)
{
    try {
        SimFail("CreateMutex", ERROR_ACCESS_DENIED);
        ADD_FAILURE() << "SimFail took an operation the simulated Windows does not have";
    } catch (const SimUnknownOperation &e) {
        EXPECT_NE(std::string(e.what()).find("\"CreateMutex\""), std::string::npos) << e.what();
    }
}

} // namespace
