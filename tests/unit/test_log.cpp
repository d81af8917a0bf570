/* The installer's log: its lines reach the installation's log and the
   debugger whole. */
#include "installer_test.h"

namespace {

/* The log takes each line whole, as UTF-16: a path of 300 units in
   Cyrillic letters, and brackets that Windows Installer would otherwise
   take for its own fields. */
TEST_F(InstallerTest, LinesReachTheLogAndTheDebuggerWhole)
{
    std::u16string folder = u"C:\\\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u044b [x]\\";
    const std::u16string deep = folder + std::u16string(300 - folder.size() - 12, u'\u0436') +
                                u"\\nosaver.exe";
    ASSERT_EQ(deep.size(), 300u);
    Machine({As(Process(200, deep), "alice", 1)});
    SimAddFile(deep, kVolume, 90); /* code page 1252 has no Cyrillic letters */
    EXPECT_EQ(Step(CloseInstances, u"replace|" + deep), ERROR_SUCCESS);
    const std::string ended = "ended process[200] of session 1: " + SimUtf8(deep);
    EXPECT_EQ(Traces(), (std::vector<std::string>{ended + "\n", "1 running nosaver.exe ended (" +
                                                                    SimUtf8(deep) + ")\n"}));
    std::string escaped = "nosaver: " + ended;
    escaped.replace(escaped.find("[x]"), 3, "[\\[]x[\\]]");
    escaped.replace(escaped.find("[200]"), 5, "[\\[]200[\\]]");
    EXPECT_EQ(InstallLog().front(), escaped);
    EXPECT_EQ(SimInstallLog().front().first, INSTALLMESSAGE_INFO);
    ExpectNothingLeftOpen();
}

} // namespace
