/*
 * The simulated Windows: the machine itself, made anew for each test, and
 * the record of every call made to it.
 */
#include "simwin/machine.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

simwin::Machine *g_machine;

} // namespace

namespace simwin {

Machine &M()
{
    if (g_machine == nullptr)
        SimReset();
    return *g_machine;
}

void Record(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    M().calls.push_back(text);
}

} // namespace simwin

using simwin::M;

void SimReset(void)
{
    delete g_machine;
    g_machine = new simwin::Machine();
    SimProcess self;
    self.id = 100;
    self.path = u"C:\\Tools\\nosaver.exe";
    SimAddProcess(self);
    g_machine->currentId = 100;
}

const std::vector<std::string> &SimCalls(void)
{
    return M().calls;
}

std::vector<std::string> SimCallsOf(const std::vector<std::string> &prefixes)
{
    std::vector<std::string> out;
    for (const std::string &call : M().calls)
        for (const std::string &prefix : prefixes)
            if (call.compare(0, prefix.size(), prefix) == 0) {
                out.push_back(call);
                break;
            }
    return out;
}
