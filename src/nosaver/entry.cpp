/*
 * The process entry, in place of the C runtime's start-up code: nosaver
 * needs none of what that code sets up, only the argument text that it
 * derives from the command line, which SkipProgramName derives here.
 */
#include "nosaver/nosaver.h"

namespace {

/* Ends the program name outside double quotes, and is skipped after it.
   The scans read bytes as signed characters, so every byte of 0x80 and
   above counts as a blank too. */
bool IsBlank(unsigned char c)
{
    return c <= ' ' || c >= 0x80;
}

} // namespace

char *SkipProgramName(char *commandLine)
{
    char *p = commandLine;
    bool quoted = false;

    for (; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!quoted && IsBlank(c))
            break;
        if (c == '"')
            quoted = !quoted;
        /* The trail byte goes with its lead byte unexamined, even when it
           is a quote; but a lead byte at the very end has no trail byte,
           and the terminator is never stepped over. */
        else if (quoted && IsDBCSLeadByte(c) && p[1] != '\0')
            ++p;
    }
    while (*p != '\0' && IsBlank(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

#ifdef _WIN32

/* The start of the image, placed by the linker: the module handle. */
extern "C" IMAGE_DOS_HEADER __ImageBase;

/*
 * Where the process starts. The linker's default entry for a GUI
 * executable; it takes nothing that nosaver uses and never returns.
 * SW_SHOWDEFAULT asks for whatever show command the starting program gave;
 * WinMain ignores it anyway.
 */
extern "C" [[noreturn]] void WinMainCRTStartup()
{
    ExitProcess(static_cast<UINT>(WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr,
                                          SkipProgramName(GetCommandLineA()), SW_SHOWDEFAULT)));
}

#endif
