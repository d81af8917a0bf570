/* Common frame of the unit tests: a fresh simulated Windows per test. */
#ifndef NOSAVER_TESTS_SIM_TEST_H
#define NOSAVER_TESTS_SIM_TEST_H

#include "platform/simwin.h"

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

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { SimReset(); }

    /* What reached the debugger output stream, as UTF-8. */
    static std::vector<std::string> Traces() { return SimDebugOutputUtf8(); }
};

#endif
