/* The own executable's file name, its narrow and UTF-16 forms, and the
   match of a process's path on the simulated Windows. */
#include "nosaver/nosaver.h"
#include "sim_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using ExeNameTest = ProcessTableTest;

TEST_F(ExeNameTest, OwnNameAndKey)
{
    const std::u16string cut = LongPath(300, 154, u"nosaver.exe");
    const struct {
        std::u16string path;
        bool unterminated;
        std::string name; /* bytes */
        bool mayBeCut;
    } cases[] = {
        {u"C:\\Tools\\idle.exe", false, "idle.exe", false},
        {u"idle.exe", false, "idle.exe", false},
        {u"C:/Tools/idle.exe", false, "C:/Tools/idle.exe", false},
        {u"C:\\Tools\\", false, "", false},
        {u"C:\\Caf\u00e9\\caf\u00e9.exe", false, "caf\xe9.exe", false},
        {u"C:\\\u5de5\u5177\\nosaver.exe", false, "nosaver.exe", false},
        {u"C:\\Tools\\\u95f2.exe", false, "", false},
        {LongPath(255, 100, u"nosaver.exe"), false, "nosaver.exe" + std::string(255 - 111, 'n'),
         false},
        {cut, false, SimUtf8(cut.substr(154, 255 - 154)), true},
        {cut, true, SimUtf8(cut.substr(154, 255 - 154)), true},
    };
    for (const auto &c : cases) {
        SetUp();
        Table({Process(kSelf, c.path)});
        SimSetUnterminatedPaths(c.unterminated);
        char name[kOwnNameBytes];
        memset(name, '#', sizeof name);
        WCHAR ownPath[kOwnPathUnits];
        BOOL mayBeCut = GetCurrentExeName(name, ownPath);
        EXPECT_EQ(std::string(name), c.name) << SimUtf8(c.path);
        EXPECT_EQ(mayBeCut != FALSE, c.mayBeCut) << SimUtf8(c.path);
        EXPECT_EQ(std::u16string(ownPath), c.path.substr(0, kOwnPathUnits - 1));
        EXPECT_EQ(SimCalls()[0], "GetModuleFileNameW(NULL,256)");

        WCHAR key[kOwnPathUnits];
        WideFromLatin1(name, key, kOwnPathUnits);
        std::u16string expected;
        for (unsigned char b : c.name)
            expected += (char16_t)b;
        EXPECT_EQ(std::u16string(key), expected);
    }

    SetUp();
    Table({Process(kSelf, kToolsPath)});
    SimFail("GetModuleFileNameW", ERROR_ACCESS_DENIED);
    char name[kOwnNameBytes];
    WCHAR ownPath[kOwnPathUnits];
    EXPECT_FALSE(GetCurrentExeName(name, ownPath));
    EXPECT_STREQ(name, "");
    EXPECT_EQ(ownPath[0], 0);
}

TEST_F(ExeNameTest, AProcessMatchesByItsFileName)
{
    /* Own paths that were cut at 255 units, as the key's last part. */
    const char16_t *inName = u"C:\\Tools\\idle.ex";
    const char16_t *inFolder = u"C:\\Deep\\idle";
    const char16_t *shortName = u"C:\\Tools\\n";
    const struct {
        const char16_t *path;
        const char16_t *key;
        const char16_t *cutOwnPath;
        bool matches;
    } cases[] = {
        {u"C:\\Tools\\idle.exe", u"idle.exe", nullptr, true},
        {u"idle.exe", u"idle.exe", nullptr, true},
        {u"C:\\Tools\\idle.exe", u"Idle.exe", nullptr, true},
        {u"C:\\T\\IDLE.EXE", u"IDLE.EXE", nullptr, true},
        {u"C:\\T\\idle.exe", u"IDLE.EXE", nullptr, true},
        {u"C:\\TOOLS\\IDLE.EXE", u"idle.exe", nullptr, false},
        {u"C:\\T\\Idle.exe", u"IDLE.EXE", nullptr, false},
        {u"C:\\T\\caf\u00e9.exe", u"CAF\u00c9.exe", nullptr, false},
        {u"C:\\T\\caf\u00c9.exe", u"CAF\u00c9.exe", nullptr, true},
        /* merely containing the key is not enough */
        {u"C:\\Old\\myidle.exe", u"idle.exe", nullptr, false},
        {u"C:\\idle.exe\\other.exe", u"idle.exe", nullptr, false},
        {u"C:\\Tools\\idle.exe.bak", u"idle.exe", nullptr, false},
        {u"C:\\Tools\\idle.ex", u"idle.exe", nullptr, false},
        {u"C:\\Tools\\idle.exe\\", u"idle.exe", nullptr, false},
        /* a key that may be cut matches the beginning of a name in the own
           folder, and nothing elsewhere */
        {u"C:\\Tools\\idle.exe", u"idle.ex", inName, true},
        {u"c:\\TOOLS\\idle.exe", u"idle.ex", inName, true},
        {u"C:\\Tools\\IDLE.EXE2", u"IDLE.EX", u"C:\\Tools\\IDLE.EX", true},
        {u"C:\\Other\\idle.exe", u"idle.ex", inName, false},
        {u"C:\\Tools\\Sub\\idle.exe", u"idle.ex", inName, false},
        {u"C:\\Tools\\myidle.exe", u"idle.ex", inName, false},
        {u"C:\\Tools\\idle.e", u"idle.ex", inName, false},
        {u"C:\\Tool", u"idle.ex", inName, false},
        {u"C:\\Windows\\notepad.exe", u"n", shortName, false},
        {u"C:\\Tools\\notepad.exe", u"n", shortName, true},
        /* cut inside a folder's name: the instance is found below it */
        {u"C:\\Deep\\idle-folder\\nosaver.exe", u"idle", inFolder, true},
        {u"C:\\Windows\\idle.exe", u"idle", inFolder, false},
        /* an empty key matches nothing */
        {u"C:\\Tools\\idle.exe", u"", nullptr, false},
        {u"C:\\Tools\\", u"", u"C:\\Tools\\", false},
        {u"", u"", nullptr, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(MatchesExeName(c.path, c.key, c.cutOwnPath) != FALSE, c.matches)
            << SimUtf8(c.path) << " / " << SimUtf8(c.key) << " / "
            << (c.cutOwnPath ? SimUtf8(c.cutOwnPath) : "whole");
}

} // namespace
