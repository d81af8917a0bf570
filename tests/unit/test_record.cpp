/* The record of sessions and ForgetInstances, which forgets it. */
#include "installer_test.h"

namespace {

/* The record is read as a set: a record of 1,000 zeros starts one nosaver
   in session 0; pseudo sessions and a trailing part of a number are
   dropped. A removal takes the record and nothing else of the key. */
TEST_F(InstallerTest, TheRecordIsASetAndOnlyItIsForgotten)
{
    Machine({});
    LogOnUsers();
    SimLogOn(0, "erin");
    std::string record(4000, '\0');
    record += RecordBytes({2, 0xFFFFFFFF, 2, 0xFFFFFFFE, 1, 0});
    record += "\x01";
    SimSetRegistryValue(u"Software\\nosaver", u"RestartSessions", REG_BINARY, record);
    EXPECT_EQ(RestartInRecordedSessions(kInstalled.c_str()), 3u);
    EXPECT_EQ(SimCallsOf({"WTSQueryUserToken"}),
              (std::vector<std::string>{"WTSQueryUserToken(0)", "WTSQueryUserToken(2)",
                                        "WTSQueryUserToken(1)"}));

    SimSetRegistryValue(u"Software\\nosaver", u"Owner", 1, "it");
    SimSetRegistryValue(u"Software\\nosaver", u"RestartSessions", REG_BINARY, RecordBytes({1}));
    EXPECT_EQ(Step(ForgetInstances, u""), ERROR_SUCCESS);
    EXPECT_EQ(SimRegistry(), (std::vector<std::string>{kRecordPath, kRecordPath + "\\Owner=6974"}));
    ExpectNothingLeftOpen();
}

} // namespace
