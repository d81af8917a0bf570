/*
 * Entry and keep-awake loop.
 */
#ifndef NOSAVER_APP_APP_H
#define NOSAVER_APP_APP_H

#include "platform/win.h"

/* The single-instance guard; a name in the session's own namespace. */
inline constexpr WCHAR kGuardMutexName[] = WTEXT("Local_ZAV_DISABLE_SCREENSAVER");
/* Time between two injected mouse events. */
inline constexpr DWORD kKeepAwakeIntervalMs = 5000;

/* Injects one motionless mouse event every 5 s for the rest of the process. */
[[noreturn]] void RunKeepAwakeLoop();

/*
 * The argument text of a command line: what follows the program name and
 * the blanks after it, where a blank is any byte of 0x20 or below or of
 * 0x80 or above. The program name ends at the first blank outside double
 * quotes; a quote switches the quoted state and belongs to the name;
 * inside quotes a lead byte of the ANSI code page takes the next byte with
 * it, unless that is the terminator. Returns a pointer into the command
 * line, at its terminator when there is no argument.
 */
char *SkipProgramName(char *commandLine);

#ifndef _WIN32
/* On Windows <windows.h> declares it; the entry calls it with the argument
   text and ends the process with its result. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
#endif

#endif /* NOSAVER_APP_APP_H */
