/* The command dispatch on the simulated Windows: the guard and the
   argument text choose what a start does. */
#include "nosaver/nosaver.h"
#include "sim_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const WCHAR *kGuard = kGuardMutexName;

class WinMainTest : public SimTest {
protected:
    /* Runs WinMain with the argument text; true if it entered the loop
       (which the simulated Sleep ends before its first pass). */
    static bool Start(const std::string &argument, int *exitCode = nullptr)
    {
        std::vector<char> text(argument.begin(), argument.end());
        text.push_back('\0');
        try {
            int code = WinMain(NULL, NULL, text.data(), 1);
            if (exitCode != nullptr)
                *exitCode = code;
            return false;
        } catch (const SimLoopEnd &) {
            return true;
        }
    }

    static int SleepCalls() { return (int)SimCallsOf({"Sleep"}).size(); }
};

enum Guard { kFree, kHeldElsewhere, kRefusedNull };

TEST_F(WinMainTest, GuardAndArgumentChooseTheOutcome)
{
    const struct {
        const char *argument;
        Guard guard;
        DWORD refusalError;
        bool loops;
        std::vector<std::string> traces;
        int holdersAfter; /* handles to the guard once the start is done */
    } cases[] = {
        {"", kFree, 0, true, {"lpCmdLine:[]\n"}, 1},
        {"test", kFree, 0, true, {"lpCmdLine:[test]\n", "lpCmdLine is test.\n"}, 1},
        {"close", kFree, 0, false, {"lpCmdLine:[close]\n", "exit app!\n"}, 0},
        {"", kHeldElsewhere, 0, false, {"lpCmdLine:[]\n"}, 2},
        {"test", kHeldElsewhere, 0, false, {"lpCmdLine:[test]\n", "lpCmdLine is test.\n"}, 2},
        {"close", kHeldElsewhere, 0, false, {"lpCmdLine:[close]\n"}, 2},
        /* A guard the platform refuses counts as held by another instance,
           whatever the last error says. */
        {"", kRefusedNull, ERROR_ACCESS_DENIED, false, {"lpCmdLine:[]\n"}, 0},
        {"", kRefusedNull, ERROR_SUCCESS, false, {"lpCmdLine:[]\n"}, 0},
        {"close", kRefusedNull, ERROR_ACCESS_DENIED, false, {"lpCmdLine:[close]\n"}, 0},
    };
    for (const auto &c : cases) {
        SimReset();
        if (c.guard == kHeldElsewhere)
            SimHoldMutex(1, kGuard);
        if (c.guard == kRefusedNull)
            SimFail("CreateMutexW", c.refusalError);
        int code = -1;
        bool loops = Start(c.argument, &code);
        std::string what = std::string("[") + c.argument + "] guard " + std::to_string(c.guard);
        EXPECT_EQ(loops, c.loops) << what;
        if (!loops) {
            EXPECT_EQ(code, 0) << what;
        }
        EXPECT_EQ(SleepCalls(), loops ? 1 : 0) << what;
        /* Only the close flow, which has tests of its own, adds lines
           after the entry's: at least its first. */
        std::vector<std::string> traces = Traces();
        bool closeFlow = std::string(c.argument) == "close" && c.guard != kFree;
        if (closeFlow) {
            EXPECT_GT(traces.size(), c.traces.size()) << what;
            traces.resize(std::min(traces.size(), c.traces.size()));
        }
        EXPECT_EQ(traces, c.traces) << what;
        EXPECT_EQ(SimMutexHolders(1, kGuard), c.holdersAfter) << what;
    }
}

TEST_F(WinMainTest, PlatformCallsComeInTheirOrder)
{
    Start("close");
    EXPECT_EQ(SimCalls(), (std::vector<std::string>{
                              "MultiByteToWideChar(3,0,19,128)",
                              "OutputDebugStringW",
                              "CreateMutexW(NULL,FALSE,Local_ZAV_DISABLE_SCREENSAVER)",
                              "GetLastError()=0",
                              "MultiByteToWideChar(3,0,11,128)",
                              "OutputDebugStringW",
                              "CloseHandle(mutex)",
                          }));
}

TEST_F(WinMainTest, KeywordsMatchOnlyAsTheWholeText)
{
    /* None of these is "close" or "test": with nothing running each
       becomes the instance after its one line. */
    const char *notKeywords[] = {"close ", "Close", "CLOSE", "\"close\"", "close now", "closed",
                                 "clos",   "\tclose", "test ", "Test", "TEST", "testclose"};
    for (const char *argument : notKeywords) {
        SimReset();
        EXPECT_TRUE(Start(argument)) << argument;
        EXPECT_EQ(Traces(), std::vector<std::string>{"lpCmdLine:[" + std::string(argument) + "]\n"})
            << argument;
    }
}

TEST_F(WinMainTest, TheGuardBelongsToTheSession)
{
    SimHoldMutex(2, kGuard);
    SimSetSession(1);
    EXPECT_TRUE(Start(""));
    EXPECT_EQ(SimMutexHolders(1, kGuard), 1);
    EXPECT_EQ(SimMutexHolders(2, kGuard), 1);
}

} // namespace
