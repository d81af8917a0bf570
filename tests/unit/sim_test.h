/* Common frame of the unit tests: a fresh simulated Windows per test. */
#ifndef NOSAVER_TESTS_SIM_TEST_H
#define NOSAVER_TESTS_SIM_TEST_H

#include "platform/simwin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { SimReset(); }

    /* What reached the debugger output stream, as UTF-8. */
    static std::vector<std::string> Traces() { return SimDebugOutputUtf8(); }
};

#endif
