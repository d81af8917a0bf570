/*
 * The installer's steps: a custom action DLL that Windows Installer loads
 * from the package and calls (packaging/nosaver.wxs; docs/installer.md
 * tells what each step does in each case). Each step has one name, that of
 * its entry and of the file that holds it:
 *
 *   FindInstallDir     finds the folder where Windows Installer has nosaver
 *                      installed, for a repair, a removal or an upgrade
 *   CheckInstallDir    refuses an INSTALLDIR that is not a folder of
 *                      nosaver's own on this computer
 *   CloseInstances     ends every instance of the installed file (every
 *                      process running it) and records their sessions
 *   RestartInstances   starts the installed file again in the recorded
 *                      sessions, once it is there
 *   ForgetInstances    forgets the record
 *
 * The installer runs the deferred ones with its own rights, which on
 * Windows are LocalSystem's in session 0, each in a process of its
 * choosing: what one step learns reaches the next only through the
 * registry.
 */
#ifndef NOSAVER_INSTALLER_INSTALLER_H
#define NOSAVER_INSTALLER_INSTALLER_H

#include "common/log.h"
#include "common/process.h"

#include <cstddef>

extern "C" {
UINT WINAPI FindInstallDir(MSIHANDLE install);
UINT WINAPI CheckInstallDir(MSIHANDLE install);
UINT WINAPI CloseInstances(MSIHANDLE install);
UINT WINAPI RestartInstances(MSIHANDLE install);
UINT WINAPI ForgetInstances(MSIHANDLE install);
}

/* What CloseInstances opens an instance with: to read its path, end it and
   wait for it. */
inline constexpr DWORD kAccessEndProcess = kAccessReadPath | PROCESS_TERMINATE | SYNCHRONIZE;
/* How long it waits for one ended instance to be gone: an ended process
   is gone within milliseconds; five seconds leave room for a busy
   machine, and an upgrade waits no more than that for each instance. */
inline constexpr DWORD kProcessEndWaitMs = 5000;
/* The longest path Windows has, terminator included: the steps read and
   compare paths of any length, in heap blocks of this many units. */
inline constexpr DWORD kMaxPathUnits = 32768;
/* The most sessions the record holds: far more than one computer serves
   at once, in 4 KiB on the stack. */
inline constexpr DWORD kMaxSessions = 1024;
/* Session numbers that name no session: WTS_CURRENT_SESSION and
   WTS_ANY_SESSION, which WTSQueryUserToken would take for others. */
inline constexpr DWORD kFirstPseudoSession = 0xFFFFFFFE;

/* ---- text and the heap (text.cpp) ---- */

/* A heap block of that many UTF-16 units, nullptr without memory. */
WCHAR *AllocateUnits(std::size_t units);

/* The units of a terminated text, the terminator left out. */
inline DWORD TextUnits(const WCHAR *text)
{
    DWORD n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

/* The text in UTF-8, whole, in a heap block for FreeUtf8; the empty text
   when it cannot be made. The steps' lines carry paths this way. */
char *NewUtf8(const WCHAR *text);
void FreeUtf8(char *text);

/* ---- the log and the step's installation (log.cpp) ---- */

/* While a step runs, LogDebugString (this DLL's sink: UTF-8 text) and
   LogError also write into that installation's log. */
void BeginStep(MSIHANDLE install);
void EndStep();
/* A line of the installation that fails it, shown to the person where
   there is a user interface. */
void LogError(const char *format, ...) NS_PRINTF(1, 2);

/* ---- the installation's properties (properties.cpp) ---- */

/* A property of the installation (CustomActionData for a deferred step)
   in a heap block the caller frees, empty when it is not set; nullptr,
   logged, when it cannot be read (no memory, longer than any path). */
WCHAR *ReadProperty(MSIHANDLE install, const WCHAR *name);
/* Sets a property of the installation; false, logged, when it cannot. */
bool SetProperty(MSIHANDLE install, const WCHAR *name, const WCHAR *value);

/* ---- how files are known (files.cpp) ---- */

/* Opens the file at path with no access to its data and every sharing
   mode, as a running program's file opens; a path of MAX_PATH units or
   more through the \\?\ prefix (\\?\UNC\ for a share). flags go to
   CreateFileW. INVALID_HANDLE_VALUE, with the last error set, when it
   cannot. */
HANDLE OpenExistingFile(const WCHAR *path, DWORD flags);

/* A file as the file system knows it, whatever path leads to it: the
   128-bit identifier where Windows gives it (Windows 8 and later; on ReFS
   the 64-bit index alone is not unique), and the volume serial number and
   64-bit index that every Windows gives. */
struct FileId {
    bool hasId128;
    ULONGLONG volume128;
    BYTE id128[16];
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};
/* GetFileInformationByHandleEx, which FindGetFileIdEx looks up once for
   many GetFileId calls: nullptr where Windows lacks it (before Vista). */
using GetFileIdEx = BOOL(WINAPI *)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, void *, DWORD);
GetFileIdEx FindGetFileIdEx();
/* Reads which file path is; false, with the last error set, when it cannot
   be opened. flags go to CreateFileW: FILE_FLAG_OPEN_REPARSE_POINT makes a
   link the file itself instead of what it leads to. */
bool GetFileId(const WCHAR *path, DWORD flags, GetFileIdEx getEx, FileId *id);
/* The 128-bit identifiers where both files have one, else the volume and
   64-bit index. */
bool SameFile(const FileId &a, const FileId &b);
/* Whether two names (paths, or names in a folder) of the given units (-1:
   terminated) are the same as Windows compares file names, capitals aside:
   CompareStringOrdinal where Windows has it (Vista and later), else each
   unit upper-cased by the system's table. */
bool SameName(const WCHAR *a, int aUnits, const WCHAR *b, int bUnits);

/* ---- the record (record.cpp) ---- */

/*
 * The record of the sessions whose instance CloseInstances ended, kept
 * for RestartInstances: the REG_BINARY value RestartSessions of
 * HKEY_LOCAL_MACHINE\Software\nosaver in the 32-bit view, a session
 * number of 32 bits after another, little-endian. It is a contract between
 * versions: in an upgrade the older version's DLL writes it during its
 * removal and the newer DLL reads it, so its place, its name, its type
 * and its format may never change. It is read as a set: each session
 * once, pseudo sessions and a trailing part of a number dropped.
 *
 * AddSession adds session to the set of count sessions (kMaxSessions),
 * unless it is there or the set is full. WriteRecord adds sessions to the
 * record (none: nothing is written). OpenRecord opens the record's place;
 * false, logged unless it does not exist, when it cannot. ReadRecord reads
 * the record from it into sessions (kMaxSessions), returning how many.
 * RemoveRecord removes the record, closes the place, and removes the place
 * too when nothing else is in it; returns whether there was a record.
 * ForgetRecord does that for the place it opens: the package's own values
 * and anybody else's stay.
 */
void AddSession(DWORD *sessions, DWORD *count, DWORD session);
void WriteRecord(const DWORD *sessions, DWORD count);
bool OpenRecord(HKEY *record);
DWORD ReadRecord(HKEY record, DWORD *sessions);
bool RemoveRecord(HKEY record);
bool ForgetRecord();

/* ---- CloseInstances (close_instances.cpp) ---- */

/*
 * Ends every instance of the file at path: each process other than this
 * one whose executable is that file, in every session the caller may
 * open. A process's executable is that file when it opens as the same
 * file (FileId), so no spelling of its path counts: short names, the case
 * of any letter, the \\?\ prefix, a hard link. The installed path is
 * opened without following a final link, so that a link made there to
 * another program's file does not make that program nosaver. When a
 * process's file cannot be opened (a drive letter that only its user sees)
 * its full path is compared with path as Windows compares file names.
 * Paths of every length are read and compared whole.
 *
 * Ending an instance is terminating it with exit code 0 and waiting until
 * it is gone, so that its file is free. ended receives how many were
 * ended, and sessions (kMaxSessions) the sessions they ran in, each once,
 * their number in sessionCount. Returns how many instances could not be
 * ended: not opened to be ended, not terminated, or not gone in time; 1
 * when there is no path or no snapshot of the processes. A process whose
 * path cannot be read is logged and passed over.
 */
DWORD EndInstancesOfFile(const WCHAR *path, DWORD *ended, DWORD *sessions, DWORD *sessionCount);

/* ---- RestartInstances (restart_instances.cpp) ---- */

/* Starts the file at path in every session of the record, as that
   session's user on its desktop, logs each start and each session where it
   could not, and removes the record; returns how many it started. While no
   file is at path it starts nothing and keeps the record, for the step
   whose file is back. */
DWORD RestartInRecordedSessions(const WCHAR *path);

#endif /* NOSAVER_INSTALLER_INSTALLER_H */
