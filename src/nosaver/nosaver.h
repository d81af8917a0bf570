/*
 * nosaver.exe: the entry, the keep-awake loop and the "close" command.
 *
 * The running instance is known by nothing but the file name of its
 * executable, which is this program's own. The close flow reads that name,
 * looks through all processes for another one running a file of that name
 * and terminates the first it may.
 */
#ifndef NOSAVER_NOSAVER_NOSAVER_H
#define NOSAVER_NOSAVER_NOSAVER_H

#include "common/process.h"

#include <cstddef>

/* The single-instance guard. Every nosaver.exe that ever shipped uses this
   name, so that starts of two versions in one session see one guard; it
   may never change. "Local_" with an underscore is no namespace prefix:
   the name lives in the default namespace of the creator's session, which
   makes the guard one per session. */
inline constexpr WCHAR kGuardMutexName[] = WTEXT("Local_ZAV_DISABLE_SCREENSAVER");
/* Time between two injected mouse events: far below the shortest
   screen-saver timeout Windows offers (one minute), and long enough that
   the instance costs nothing measurable. */
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

/* ---- the "close" command ---- */

/* Capacities, terminator included, as "close" has always had them: its
   own path and the search key in 256 units, the name's narrow form in 256
   bytes, a path read from another process in MAX_PATH units. A longer own
   path is cut, which GetCurrentExeName reports and the match allows for;
   a longer path of another process is cut too, and its file name with it. */
inline constexpr DWORD kOwnPathUnits = 256;       /* own module path, and the search key */
inline constexpr std::size_t kOwnNameBytes = 256; /* the own file name as narrow text */
inline constexpr DWORD kProcessPathUnits = 260;   /* a path read from another process */

/* What the target is opened with, as one set, the same since the first
   "close": termination with the rights to write into the process and
   start a thread in it. A process that grants termination alone, such as
   an instance that another user or an elevated start runs, is passed over
   rather than ended: "close" ends only an instance that its own start
   fully controls. */
inline constexpr DWORD kAccessTerminate = PROCESS_TERMINATE | PROCESS_CREATE_THREAD |
                                          PROCESS_VM_OPERATION | PROCESS_VM_WRITE |
                                          PROCESS_QUERY_INFORMATION;

/*
 * Fills out (kOwnNameBytes) with the file name of the current executable
 * as narrow text: the characters after the last backslash of its path, one
 * byte each; empty when a character is above U+00FF. path (kOwnPathUnits)
 * receives the path as read, always terminated. Returns true when the path
 * filled its buffer, so that the name may be only the beginning of the
 * real one, or even of a folder's name.
 */
bool GetCurrentExeName(char *out, WCHAR *path);

/* A to Z become a to z; nothing else changes. */
inline WCHAR LowerAscii(WCHAR c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + ('a' - 'A')) : c;
}

/* Latin-1, the runtime's "%S" in the "C" locale, both ways. UTF-16 to
   Latin-1: each unit up to U+00FF is the byte of that value, and any unit
   above it empties the whole text. Latin-1 to UTF-16: each byte is the
   unit of that value. Both cut to their capacity and always terminate. */
void NarrowToLatin1(const WCHAR *wide, char *out, std::size_t bytes);
void WideFromLatin1(const char *narrow, WCHAR *out, std::size_t units);

/*
 * Whether a process whose executable has this path is an instance for the
 * key: its file name (the text after the last backslash) is the key, or
 * the key with its ASCII capitals lowered. When the own path was cut,
 * cutOwnPath is that path, and the key is its last part: then a path
 * matches that begins with the own folder (up to the last backslash, ASCII
 * capitals aside) followed by the key or the key lowered. An empty key
 * matches nothing.
 */
bool MatchesExeName(const WCHAR *path, const WCHAR *key, const WCHAR *cutOwnPath);

/*
 * Walks one snapshot of all processes and returns a handle, opened with
 * kAccessTerminate, to the first process other than this one that matches
 * the key (and cutOwnPath, as MatchesExeName says); nullptr when there is
 * none. Every other handle it opens is closed.
 */
HANDLE FindProcessByExeName(const WCHAR *key, const WCHAR *cutOwnPath);

/* Finds the running instance and terminates it with exit code 0. */
void CloseRunningInstance();

/* A path read from a process in the thread's ANSI code page, up to 3
   bytes per unit, terminator included. */
inline constexpr int kAnsiCPPathBytes = 3 * kProcessPathUnits;

/* A path in the thread's ANSI code page, for the narrow trace texts, with
   '?' for a character that page lacks; always terminated. */
void NarrowToAnsiCP(const WCHAR *path, char *out, int bytes);

#endif /* NOSAVER_NOSAVER_NOSAVER_H */
