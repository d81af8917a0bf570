/*
 * Benchmarks on the simulated Windows.
 *
 *   simbench loop PASSES      platform calls and heap blocks per loop pass
 *   simbench search N...      the close flow over N simulated processes:
 *                             platform calls and time per process
 *
 * Prints one line of key=value pairs per measurement, for bench/bench.py.
 */
#include "nosaver/nosaver.h"
#include "simwin/simwin.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static int Loop(int passes)
{
    SimReset();
    SimSetCursor(-1920, 1080);
    SimEndLoopAfter(passes);
    try {
        RunKeepAwakeLoop();
    } catch (const SimLoopEnd &) {
    }
    /* The last Sleep is the one that ended the loop. */
    size_t calls = SimCalls().size() - 1;
    printf("loop passes=%d calls_per_pass=%.3f heap_allocations=%d heap_live=%d traces=%zu\n",
           passes, (double)calls / passes, SimHeap().allocations, SimHeap().live,
           SimDebugOutput().size());
    return 0;
}

/* One close start over a table of n processes: the current process first,
   the instance last, other programs between. */
static double Search(DWORD n, size_t *calls)
{
    SimReset();
    SimClearProcesses();
    SimProcess self;
    self.id = 4;
    self.path = u"C:\\Tools\\nosaver.exe";
    SimAddProcess(self);
    for (DWORD i = 0; i + 2 < n; i++) {
        SimProcess other;
        other.id = 1000 + 4 * i;
        other.path = u"C:\\Windows\\System32\\svchost.exe";
        SimAddProcess(other);
    }
    SimProcess instance = self;
    instance.id = 8;
    SimAddProcess(instance);
    SimSetCurrentProcess(4);

    auto start = std::chrono::steady_clock::now();
    CloseRunningInstance();
    auto end = std::chrono::steady_clock::now();
    if (SimTerminated().size() != 1 || SimTerminated()[0].first != 8) {
        fprintf(stderr, "simbench: the instance was not terminated\n");
        exit(1);
    }
    *calls = SimCalls().size();
    return std::chrono::duration<double>(end - start).count();
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "loop") == 0)
        return Loop(atoi(argv[2]));
    if (argc >= 3 && strcmp(argv[1], "search") == 0) {
        for (int i = 2; i < argc; i++) {
            DWORD n = (DWORD)atol(argv[i]);
            std::vector<double> times;
            size_t calls = 0;
            for (int run = 0; run < 5; run++)
                times.push_back(Search(n, &calls));
            std::sort(times.begin(), times.end());
            printf("search processes=%u calls=%zu calls_per_process=%.3f seconds=%.6f "
                   "us_per_process=%.3f\n",
                   n, calls, (double)calls / n, times[2], times[2] * 1e6 / n);
        }
        return 0;
    }
    fprintf(stderr, "usage: simbench loop PASSES | simbench search N...\n");
    return 2;
}
