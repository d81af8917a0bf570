/*
 * Instance shutdown: the "close" command.
 *
 * The running instance is known by nothing but the file name of its
 * executable, which is this program's own. The close flow reads that name,
 * looks through all processes for another one running a file of that name
 * and terminates the first it may.
 */
#ifndef NOSAVER_INSTANCE_INSTANCE_H
#define NOSAVER_INSTANCE_INSTANCE_H

#include "platform/win.h"

#include <cstddef>

/* Capacities, terminator included. */
inline constexpr DWORD kOwnPathUnits = 256;       /* own module path, and the search key */
inline constexpr std::size_t kOwnNameBytes = 256; /* the own file name as narrow text */
inline constexpr DWORD kProcessPathUnits = 260;   /* a path read from another process */
inline constexpr DWORD kMaxProcessIds = 65535;    /* one snapshot of process identifiers */

/* Reading a process's path, and what the target is opened with. */
inline constexpr DWORD kAccessReadPath = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
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

/* The runtime's "%S" in the "C" locale, both ways. UTF-16 to narrow: each
   unit up to U+00FF is the byte of that value, and any unit above it
   empties the whole text. Narrow to UTF-16: each byte is the unit of that
   value. Both cut to their capacity and always terminate. */
void NarrowFromWide(const WCHAR *wide, char *out, std::size_t bytes);
void WideFromNarrow(const char *narrow, WCHAR *out, std::size_t units);

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

/* A last-error code as the "%ld" of the failure messages shows it. */
inline long SignedError(DWORD error)
{
    return static_cast<LONG>(error);
}

/* A path read from a process in the thread's ANSI code page, up to 3
   bytes per unit, terminator included. */
inline constexpr int kNarrowPathBytes = 3 * kProcessPathUnits;

/* A path in the thread's ANSI code page, for the narrow trace texts, with
   '?' for a character that page lacks; always terminated. */
void NarrowFromPath(const WCHAR *path, char *out, int bytes);

/* ---- the installer's steps ---- */

/* What the closing step opens a process with: to read its path, end it and
   wait for it. */
inline constexpr DWORD kAccessEndProcess = kAccessReadPath | PROCESS_TERMINATE | SYNCHRONIZE;
/* How long it waits for one ended process to be gone. */
inline constexpr DWORD kProcessEndWaitMs = 5000;
/* The longest path Windows has, terminator included: the steps read and
   compare paths of any length, in heap blocks of this many units. */
inline constexpr DWORD kMaxPathUnits = 32768;
/* The most sessions whose instances the steps remember to start again. */
inline constexpr DWORD kMaxSessions = 1024;
/* Session numbers that name no session: WTS_CURRENT_SESSION and
   WTS_ANY_SESSION, which WTSQueryUserToken would take for others. */
inline constexpr DWORD kFirstPseudoSession = 0xFFFFFFFE;

/* Opens the file at path with no access to its data and every sharing
   mode, as a running program's file opens; a path of MAX_PATH units or
   more through the \\?\ prefix (\\?\UNC\ for a share). flags go to
   CreateFileW. INVALID_HANDLE_VALUE, with the last error set, when it
   cannot. */
HANDLE OpenExistingFile(const WCHAR *path, DWORD flags);

/* The text in UTF-8, whole, in a heap block for FreeUtf8; the empty text
   when it cannot be made. The steps' lines carry paths this way, so that
   their log shows every character of any length. */
char *NewUtf8(const WCHAR *text);
void FreeUtf8(char *text);

/*
 * Ends every process other than this one whose executable is the file at
 * path, in every session the caller may open. A process's executable is
 * that file when it opens as the same file, so no spelling of its path
 * counts: short names, the case of any letter, the \\?\ prefix, a hard
 * link. The file is known by its 128-bit identifier where Windows gives one
 * for both (GetFileInformationByHandleEx, Windows 8 and later), else by
 * volume and 64-bit index. The installed path is opened without following
 * a final link, so that a link made there to another program's file does
 * not make that program nosaver. When a process's file cannot be opened (a
 * drive letter that only its user sees) its full path is compared with
 * path as Windows compares file names. Paths of every length are read and
 * compared whole.
 *
 * Each match is terminated with exit code 0 and waited for until it is
 * gone, so that its file is free. ended receives how many were ended, and
 * sessions (kMaxSessions) the sessions they ran in, each once, their
 * number in sessionCount. Returns how many matches could not be ended: not
 * opened to be ended, not terminated, or not gone in time; 1 when there is
 * no path or no snapshot of the processes. A process whose path cannot be
 * read is logged and passed over.
 */
DWORD EndProcessesOfFile(const WCHAR *path, DWORD *ended, DWORD *sessions, DWORD *sessionCount);

/*
 * The record of the sessions whose instance the closing step ended, which
 * the later steps of an installation start again: a value of nosaver's own
 * key in the 32-bit view of HKEY_LOCAL_MACHINE, as the steps may run in
 * different processes. It is read as a set: each session once, pseudo
 * sessions dropped.
 *
 * RememberSessions adds sessions to the record (none: nothing is written).
 * RestartInSessions starts the file at path in every session of the record,
 * as that session's user on its desktop, logs each start and each session
 * where it could not, and removes the record; returns how many it started.
 * While no file is at path it starts nothing and keeps the record, for the
 * step whose file is back. ForgetSessions removes the record; returns
 * whether there was one. Both remove only the record's value, and
 * nosaver's key only when nothing else is in it.
 */
void RememberSessions(const DWORD *sessions, DWORD count);
DWORD RestartInSessions(const WCHAR *path);
bool ForgetSessions();

#endif /* NOSAVER_INSTANCE_INSTANCE_H */
