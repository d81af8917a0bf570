/* FindInstallDir: the folder from Windows Installer's record of the
   product. */
#include "installer_test.h"

namespace {

/* The folder of an installed nosaver comes from Windows Installer's own
   record of the product: this one's in a repair or a removal, the older
   one's in an upgrade, the first of several that has one. */
TEST_F(InstallerTest, FindInstallDirReadsWindowsInstallersRecord)
{
    const std::u16string installed = u"C:\\Tools\\nosaver\\";
    const struct {
        const char *what;
        std::u16string installedWhen, productCode, related;
        std::u16string found;
        std::vector<std::string> lines;
    } cases[] = {
        {"a repair or a removal", u"2026/12/01 10:00:00", u"{THIS}", u"{OLD}", installed,
         {"Windows Installer has nosaver {THIS} in C:\\Tools\\nosaver\\\n"}},
        {"an upgrade", u"", u"{NEW}", u"{GONE};{BLANK};{OLD}", installed,
         {"no folder of nosaver {GONE} in Windows Installer's record,error code:1605\n",
          "no folder of nosaver {BLANK} in Windows Installer's record,error code:1608\n",
          "Windows Installer has nosaver {OLD} in C:\\Tools\\nosaver\\\n"}},
        {"a first installation", u"", u"{NEW}", u"", u"", {}},
    };
    for (const auto &c : cases) {
        SetUp();
        SimSetProductLocation(u"{THIS}", installed);
        SimSetProductLocation(u"{OLD}", installed);
        SimSetProductLocation(u"{BLANK}", u"");
        SimSetInstallProperty(u"Installed", c.installedWhen);
        SimSetInstallProperty(u"ProductCode", c.productCode);
        SimSetInstallProperty(u"WIX_UPGRADE_DETECTED", c.related);
        EXPECT_EQ(FindInstallDir(kInstall), ERROR_SUCCESS) << c.what;
        EXPECT_EQ(SimInstallProperty(u"NOSAVER_PRODUCT_DIR"), c.found) << c.what;
        EXPECT_EQ(Traces(), c.lines) << c.what;
        ExpectNothingLeftOpen();
    }
}

} // namespace
