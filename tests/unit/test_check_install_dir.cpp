/* CheckInstallDir: a folder of nosaver's own on a drive of this computer. */
#include "installer_test.h"

namespace {

/* The owners of folders: Administrators, SYSTEM, TrustedInstaller, and a
   person. */
const std::string kAdmins = "S-1-5-32-544";
const std::string kSystem = "S-1-5-18";
const std::string kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::string kPerson = "S-1-5-21-1004336348-1177238915-682003330-1001";

/* INSTALLDIR as given, or as the folder where Windows Installer has nosaver
   (product): taken, or refused with a line that names the rule it breaks.
   The folders: C:\Windows, Windows' own; C:\Tools\empty, made by an
   administrator; C:\Tools\zip and C:\Tools\zipped, holding the zip's files;
   C:\Tools\other, another program's README.txt and LICENSE.txt; C:\Users\p,
   a person's own with the zip's nosaver.exe, and C:\Tools\link, the
   person's link to C:\Tools\empty. */
TEST_F(InstallerTest, CheckInstallDirTakesOnlyAFolderOfItsOwn)
{
    const std::string notFull = "INSTALLDIR must be a full path on a drive of this computer, such "
                                "as C:\\Tools\\nosaver, not: ";
    const std::string network = "INSTALLDIR must be on a drive of this computer, not a network "
                                "path: ";
    const std::string root = "INSTALLDIR must be a folder, not the root of a drive: ";
    const std::string own = "INSTALLDIR must be a folder of nosaver's own, new or holding only "
                            "nosaver.exe, README.txt and LICENSE.txt: ";
    const std::string owned = "INSTALLDIR must be owned by Administrators, SYSTEM or "
                              "TrustedInstaller, as whoever owns it may change who can replace "
                              "nosaver.exe: ";
    /* The longest folder from which nosaver.exe's path has 259 characters. */
    const std::u16string longest = LongPath(MAX_PATH - 13, 100, u"x");
    const struct {
        std::u16string folder;
        std::string refusal; /* empty: taken */
        std::u16string product = u"";
        bool repair = false;
        const char *failing = nullptr; /* an operation that fails with error 5 */
    } cases[] = {
        {u"", ""},
        {u"C:\\Tools\\nosaver", ""},
        {u"d:\\Outils \u00e9t\u00e9\\nosaver\\", ""},
        {u"Tools\\nosaver", notFull + "Tools\\nosaver"},
        {u"\\Tools\\nosaver", notFull + "\\Tools\\nosaver"},
        {u"C:Tools", notFull + "C:Tools"},
        {u"C:/Tools/nosaver", notFull + "C:/Tools/nosaver"},
        {u"C:\\Tools\\a:b", notFull + "C:\\Tools\\a:b"},
        {u"\\\\?\\C:\\Tools", notFull + "\\\\?\\C:\\Tools"},
        {u"C:\\Tools\\..\\Windows", notFull + "C:\\Tools\\..\\Windows"},
        {u"\\\\server\\share\\nosaver", network + "\\\\server\\share\\nosaver"},
        {u"\\\\?\\UNC\\server\\share", network + "\\\\?\\UNC\\server\\share"},
        {u"\\\\server", network + "\\\\server"},
        {u"C:\\", root + "C:\\"},
        {u"e:\\\\", root + "e:\\\\"},
        {longest, ""},
        {longest + u"y", "INSTALLDIR is too long: nosaver.exe's path there would have 260 "
                         "characters, and Windows starts programs only from paths of fewer than "
                         "260: " + SimUtf8(longest) + "y"},
        {u"C:\\Windows\\", own + "C:\\Windows\\ holds explorer.exe"},
        {u"C:\\Tools\\empty", ""},
        {u"C:\\Tools\\zip", ""},
        {u"c:\\tools\\ZIPPED\\", ""},
        {u"C:\\Tools\\other", own + "C:\\Tools\\other holds README.txt and no nosaver.exe"},
        {u"C:\\Users\\p", owned + "C:\\Users\\p"},
        {u"C:\\Tools\\link", owned + "C:\\Tools\\link"},
        {u"C:\\Tools\\system", ""},
        {u"C:\\Windows\\explorer.exe", "INSTALLDIR must be a folder, not a file: "
                                       "C:\\Windows\\explorer.exe"},
        {u"C:\\Tools\\empty", "INSTALLDIR cannot be checked: C:\\Tools\\empty cannot be read,error "
                              "code:5",
         u"", false, "GetSecurityInfo"},
        {u"C:\\Tools\\zip", "INSTALLDIR cannot be checked: C:\\Tools\\zip cannot be read,error "
                            "code:5",
         u"", false, "FindFirstFileW"},
        /* The folder Windows Installer has nosaver in, whoever owns it. */
        {u"C:\\Users\\p", "", u"c:\\users\\P\\", true},
        {u"C:\\Users\\p\\", "", u"C:\\Users\\p", false},
        {u"C:\\Tools\\zip", "nosaver is installed in C:\\Users\\p\\; a repair cannot move it to "
                            "C:\\Tools\\zip: remove nosaver, then install it there",
         u"C:\\Users\\p\\", true},
        {u"C:\\Tools\\zip", "", u"C:\\Users\\p\\", false},
        {u"\\\\server\\share", network + "\\\\server\\share", u"\\\\server\\share", true},
    };
    for (const auto &c : cases) {
        SetUp();
        SimAddFile(u"C:\\Windows\\explorer.exe", kVolume, 1);
        SimAddFolder(u"C:\\Windows", kTrustedInstaller);
        SimAddFolder(u"C:\\Tools\\empty", kAdmins);
        SimAddFolder(u"C:\\Tools\\system", kSystem);
        SimAddFile(u"C:\\Tools\\zip\\nosaver.exe", kVolume, 3);
        for (const char16_t *name : {u"NOSAVER.EXE", u"readme.txt", u"License.TXT"})
            SimAddFile(u"C:\\Tools\\zipped\\" + std::u16string(name), kVolume, 4);
        SimAddFolder(u"C:\\Tools\\zipped", kTrustedInstaller);
        SimAddFile(u"C:\\Tools\\other\\README.txt", kVolume, 5);
        SimAddFile(u"C:\\Tools\\other\\LICENSE.txt", kVolume, 6);
        SimAddFolder(u"C:\\Users\\p", kPerson);
        SimAddFile(u"C:\\Users\\p\\nosaver.exe", kVolume, 7);
        SimAddFolder(u"C:\\Tools\\link", kPerson, u"C:\\Tools\\empty");
        SimSetInstallProperty(u"INSTALLDIR", c.folder);
        SimSetInstallProperty(u"NOSAVER_PRODUCT_DIR", c.product);
        SimSetInstallProperty(u"Installed", c.repair ? u"2026/12/01 10:00:00" : u"");
        if (c.failing != nullptr)
            SimFail(c.failing, ERROR_ACCESS_DENIED);
        EXPECT_EQ(CheckInstallDir(kInstall), c.refusal.empty() ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE)
            << SimUtf8(c.folder);
        EXPECT_EQ(InstallLog(), c.refusal.empty() ? std::vector<std::string>{}
                                                  : std::vector<std::string>{"nosaver: " + c.refusal})
            << SimUtf8(c.folder);
        if (!c.refusal.empty()) {
            EXPECT_EQ(SimInstallLog().back().first, INSTALLMESSAGE_ERROR | MB_ICONERROR);
        }
        ExpectNothingLeftOpen();
    }
}

} // namespace
