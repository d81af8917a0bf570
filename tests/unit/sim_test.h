/* Common frame of the unit tests: a fresh simulated Windows per test. */
#ifndef NOSAVER_TESTS_SIM_TEST_H
#define NOSAVER_TESTS_SIM_TEST_H

#include "simwin/simwin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

/* The current process of the process tables, and the instance's path. */
const DWORD kSelf = 100;
const std::u16string kToolsPath = u"C:\\Tools\\nosaver.exe";

inline SimProcess Process(DWORD id, const std::u16string &path)
{
    SimProcess p;
    p.id = id;
    p.path = path;
    return p;
}

/* A path of the given length whose file name starts at nameAt. */
inline std::u16string LongPath(size_t length, size_t nameAt, const std::u16string &name)
{
    std::u16string path = u"C:\\" + std::u16string(nameAt - 4, u'd') + u"\\" + name;
    path.resize(length, u'n');
    return path;
}

/* The process p with one of its fields set. */
template <typename T, typename V>
SimProcess With(SimProcess p, T SimProcess::*field, V value)
{
    p.*field = value;
    return p;
}

/* The process p run by the account in the session. */
inline SimProcess As(SimProcess p, const char *account, DWORD session)
{
    p.account = account;
    p.session = session;
    return p;
}

/* Adds the processes in enumeration order; the one with id kSelf becomes
   the current process. */
inline void Table(const std::vector<SimProcess> &processes)
{
    for (const SimProcess &p : processes)
        SimAddProcess(p);
    SimSetCurrentProcess(kSelf);
}

/* The processes terminated so far, each checked to have exit code 0. */
inline std::vector<DWORD> Terminated()
{
    std::vector<DWORD> ids;
    for (const auto &t : SimTerminated()) {
        EXPECT_EQ(t.second, 0u) << "exit code of " << t.first;
        ids.push_back(t.first);
    }
    return ids;
}

/* The operation of a recorded call: "OpenProcess" of "OpenProcess(0x410,FALSE,200)". */
inline std::string OperationOf(const std::string &call)
{
    return call.substr(0, call.find_first_of("(="));
}

/* Session numbers as the bytes of the installer's REG_BINARY record: 32
   bits each, little-endian. */
inline std::string RecordBytes(const std::vector<uint32_t> &ids)
{
    std::string bytes;
    for (uint32_t id : ids)
        for (int i = 0; i < 4; i++)
            bytes += static_cast<char>((id >> (8 * i)) & 0xFF);
    return bytes;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { SimReset(); }

    /* What reached the debugger output stream, as UTF-8. */
    static std::vector<std::string> Traces() { return SimDebugOutputUtf8(); }
};

/* A test of nosaver.exe that makes its own process table, where a viewer
   decodes the trace in code page 936. */
class ProcessTableTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        SimSetCodePage(936);
        SimClearProcesses();
    }
};

#endif
