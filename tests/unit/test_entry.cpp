/* Entry, dispatch and keep-awake loop on the simulated Windows. */
#include "nosaver/nosaver.h"
#include "sim_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const WCHAR *kGuard = kGuardMutexName;

class EntryTest : public SimTest {
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

TEST_F(EntryTest, GuardAndArgumentChooseTheOutcome)
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

TEST_F(EntryTest, PlatformCallsComeInTheirOrder)
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

TEST_F(EntryTest, KeywordsMatchOnlyAsTheWholeText)
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

TEST_F(EntryTest, TheGuardBelongsToTheSession)
{
    SimHoldMutex(2, kGuard);
    SimSetSession(1);
    EXPECT_TRUE(Start(""));
    EXPECT_EQ(SimMutexHolders(1, kGuard), 1);
    EXPECT_EQ(SimMutexHolders(2, kGuard), 1);
}

TEST_F(EntryTest, TheArgumentTextFollowsTheProgramNameAndItsBlanks)
{
    using namespace std::string_literals;
    const struct {
        UINT codePage;
        std::string commandLine; /* bytes after a terminator are never read */
        std::string argument;
    } cases[] = {
        {1252, "nosaver.exe", ""},
        {1252, "", ""},
        {1252, "nosaver.exe \t  \tclose", "close"},
        {1252, "nosaver.exe close ", "close "},
        {1252, "nosaver.exe \"close\"", "\"close\""},
        {1252, "\"C:\\My Tools\\nosaver.exe\"  close now", "close now"},
        /* A quote does not end the name: the glued word belongs to it. */
        {1252, "\"ta il.exe\"close", ""},
        /* With no name before them, the blanks in front are all skipped. */
        {1252, " \tnosaver.exe close", "nosaver.exe close"},
        /* Outside quotes a byte of 0x80 or above ends the name, lead byte
           or not, and is skipped like a blank; inside the text it stays. */
        {1252, "tail\x81.exe close", ".exe close"},
        {936, "tail\x81.exe close", ".exe close"},
        {1252, "nosaver.exe \xe9t\xe9 close", "t\xe9 close"},
        /* Inside quotes 0x81 is a lead byte only under code page 936, and
           then it takes the closing quote with it. */
        {1252, "\"t\x81\"x close", "close"},
        {936, "\"t\x81\"x close", ""},
        {936, "\"t\x81\"\" close", "close"},
        /* A lead byte last in the line has no trail byte to take. */
        {936, "\"t\x81\0\" x close"s, ""},
        {936, "\"\x81\0\0"s, ""},
    };
    for (const auto &c : cases) {
        SimReset();
        SimSetCodePage(c.codePage);
        /* Exactly the bytes of the case, so that a read past them shows. */
        std::vector<char> line(c.commandLine.begin(), c.commandLine.end());
        line.push_back('\0');
        const char *argument = SkipProgramName(line.data());
        std::string what = std::to_string(c.codePage) + " [" + c.commandLine.c_str() + "]";
        EXPECT_EQ(argument, line.data() + std::strlen(line.data()) - c.argument.size()) << what;
        EXPECT_EQ(std::string(argument), c.argument) << what;
    }
}

class LoopTest : public SimTest {
protected:
    static void RunPasses(int passes)
    {
        SimEndLoopAfter(passes);
        EXPECT_THROW(RunKeepAwakeLoop(), SimLoopEnd);
    }
};

TEST_F(LoopTest, APassSleepsReadsInjectsAndTraces)
{
    const struct {
        LONG x, y;
        const char *event;
        const char *trace;
    } cases[] = {
        {0, 0, "mouse_event(0x8000,0,0,0,0)", "move mouse, src x[0], y[0]!\n"},
        {1919, 1079, "mouse_event(0x8000,1919,1079,0,0)", "move mouse, src x[1919], y[1079]!\n"},
        {-1920, 200, "mouse_event(0x8000,-1920,200,0,0)", "move mouse, src x[-1920], y[200]!\n"},
        {-2147483647 - 1, -2147483647 - 1, "mouse_event(0x8000,-2147483648,-2147483648,0,0)",
         "move mouse, src x[-2147483648], y[-2147483648]!\n"},
    };
    for (const auto &c : cases) {
        SimReset();
        SimSetCursor(c.x, c.y);
        RunPasses(1);
        std::string conversion = "MultiByteToWideChar(3,0," +
                                 std::to_string(std::string(c.trace).size() + 1) + ",128)";
        EXPECT_EQ(SimCalls(), (std::vector<std::string>{"Sleep(5000)", "GetCursorPos", c.event,
                                                        conversion, "OutputDebugStringW",
                                                        "Sleep(5000)"}));
        EXPECT_EQ(Traces(), std::vector<std::string>{c.trace});
        EXPECT_EQ(SimHeap().allocations, 0);
    }
}

TEST_F(LoopTest, AFailedReadReusesTheLastPosition)
{
    const struct {
        int failedRead;
        std::vector<std::string> events;
    } cases[] = {
        {1, {"mouse_event(0x8000,0,0,0,0)", "mouse_event(0x8000,30,-40,0,0)",
             "mouse_event(0x8000,50,60,0,0)"}},
        {2, {"mouse_event(0x8000,10,20,0,0)", "mouse_event(0x8000,10,20,0,0)",
             "mouse_event(0x8000,50,60,0,0)"}},
    };
    for (const auto &c : cases) {
        SimReset();
        SimSetCursorPath({{10, 20}, {30, -40}, {50, 60}});
        SimFail("GetCursorPos", ERROR_ACCESS_DENIED, c.failedRead);
        RunPasses(3);
        EXPECT_EQ(SimCallsOf({"mouse_event"}), c.events) << c.failedRead;
        EXPECT_EQ(Traces().size(), 3u);
    }
}

} // namespace
