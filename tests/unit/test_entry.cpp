/* The process entry on the simulated Windows: the argument text that it
   derives from the command line. */
#include "nosaver/nosaver.h"
#include "sim_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class EntryTest : public SimTest {};

TEST_F(EntryTest, TheArgumentTextFollowsTheProgramNameAndItsBlanks)
{
    using namespace std::string_literals;
    const struct {
        UINT codePage;
        std::string commandLine; /* bytes after a terminator are never read */
        std::string argument;
    } cases[] = {
        {1252, "nosaver.exe", ""},
        {1252, "", ""},
        {1252, "nosaver.exe \t  \tclose", "close"},
        {1252, "nosaver.exe close ", "close "},
        {1252, "nosaver.exe \"close\"", "\"close\""},
        {1252, "\"C:\\My Tools\\nosaver.exe\"  close now", "close now"},
        /* A quote does not end the name: the glued word belongs to it. */
        {1252, "\"ta il.exe\"close", ""},
        /* With no name before them, the blanks in front are all skipped. */
        {1252, " \tnosaver.exe close", "nosaver.exe close"},
        /* Outside quotes a byte of 0x80 or above ends the name, lead byte
           or not, and is skipped like a blank; inside the text it stays. */
        {1252, "tail\x81.exe close", ".exe close"},
        {936, "tail\x81.exe close", ".exe close"},
        {1252, "nosaver.exe \xe9t\xe9 close", "t\xe9 close"},
        /* Inside quotes 0x81 is a lead byte only under code page 936, and
           then it takes the closing quote with it. */
        {1252, "\"t\x81\"x close", "close"},
        {936, "\"t\x81\"x close", ""},
        {936, "\"t\x81\"\" close", "close"},
        /* A lead byte last in the line has no trail byte to take. */
        {936, "\"t\x81\0\" x close"s, ""},
        {936, "\"\x81\0\0"s, ""},
    };
    for (const auto &c : cases) {
        SimReset();
        SimSetCodePage(c.codePage);
        /* Exactly the bytes of the case, so that a read past them shows. */
        std::vector<char> line(c.commandLine.begin(), c.commandLine.end());
        line.push_back('\0');
        const char *argument = SkipProgramName(line.data());
        std::string what = std::to_string(c.codePage) + " [" + c.commandLine.c_str() + "]";
        EXPECT_EQ(argument, line.data() + std::strlen(line.data()) - c.argument.size()) << what;
        EXPECT_EQ(std::string(argument), c.argument) << what;
    }
}

} // namespace
