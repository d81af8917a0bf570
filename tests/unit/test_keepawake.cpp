/* The keep-awake loop on the simulated Windows. */
#include "nosaver/nosaver.h"
#include "sim_test.h"

#include <string>
#include <vector>

namespace {

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
