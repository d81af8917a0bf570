/*
 * The simulated Windows: controls for a host that runs nosaver without
 * Windows.
 *
 * The files of tests/simwin implement the platform operations declared in
 * src/common/win.h, one part of Windows to a file, with a small model of
 * the parts of Windows that nosaver uses: per-session named mutexes, the
 * thread's last error and ANSI code page, the cursor, mouse input, the
 * debugger output stream, the heap, a table of processes with their
 * sessions and accounts, files known by several paths, the users logged
 * on, the registry and Windows Installer that the installer's steps use.
 * Every call is recorded, and any operation of SimOperations() can be
 * made to fail with a chosen last error.
 */
#ifndef NOSAVER_TESTS_SIMWIN_H
#define NOSAVER_TESTS_SIMWIN_H

#include "common/win.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

/* Windows' names for what the simulation gives back and nosaver's code
   does not name itself, for the simulation and its tests. */
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_FUNCTION_FAILED = 1627;
constexpr DWORD ERROR_BAD_CONFIGURATION = 1610;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_GREATER_THAN = 3;
constexpr int IDOK = 1;
constexpr DWORD PROCESS_ALL_ACCESS = 0x1FFFFF;

/* Thrown by Sleep when the passes allowed by SimEndLoopAfter are used up:
   the only way out of the keep-awake loop on the host. */
struct SimLoopEnd {};

/* A process in the simulated table. */
struct SimProcess {
    DWORD id = 0;
    std::u16string path;
    /* Access rights OpenProcess grants; others are refused with
       ERROR_ACCESS_DENIED. */
    DWORD grants = 0x1FFFFF;
    /* Its modules cannot be listed (a 64-bit process seen from 32 bits). */
    bool modulesFail = false;
    /* Its module path cannot be read. */
    bool pathFails = false;
    /* Non-zero: TerminateProcess fails with this last error. */
    DWORD terminateError = 0;
    /* Listed by EnumProcesses, but gone when it is opened. */
    bool goneBeforeOpen = false;
    /* Still running when waited for after its termination. */
    bool endsLate = false;
    /* The account it runs as. A process may open only the processes of
       its own account, unless it runs as "SYSTEM", which may open all of
       them in every session. */
    std::string account = "user";
    /* The terminal-services session it runs in. */
    DWORD session = 1;
    /* Non-empty: the process ends once its path has been read and no
       handle refers to it any more, and its identifier passes to a new
       process running this path. */
    std::u16string successorPath;
};

struct SimHeapStats {
    int allocations; /* HeapAlloc calls that succeeded */
    int live;        /* blocks not yet freed */
};

/*
 * Back to a fresh machine: session 1; one process, the current one, with
 * id 100, path C:\Tools\nosaver.exe and account "user"; code page 1252; cursor at (0, 0);
 * no mutexes, faults or recorded calls; the first Sleep ends the loop.
 */
void SimReset(void);

/* Every platform call so far, in order, e.g. "Sleep(5000)",
   "mouse_event(0x8000,-5,7,0,0)", "OpenProcess(0x410,FALSE,200)". */
const std::vector<std::string> &SimCalls(void);
/* The recorded calls whose text starts with one of the given prefixes. */
std::vector<std::string> SimCallsOf(const std::vector<std::string> &prefixes);

/* An operation of the simulated Windows that a test can make fail: its
   name as SimFail and the recorded calls give it, and the last errors
   it fails with in the fault sweeps, as Windows gives them. */
struct SimOperation {
    const char *name;
    std::vector<DWORD> errors;
};
/* Every operation that can be made to fail, in one table. */
const std::vector<SimOperation> &SimOperations(void);

/* Thrown for an operation that is not in SimOperations(), whether a test
   asked SimFail for it or a simulated call checked itself under it. */
struct SimUnknownOperation : std::logic_error {
    using std::logic_error::logic_error;
};

/* Makes the nth call (1-based, counted from now; 0 for every call) of the
   named operation fail, setting the given last error. An operation that
   is not in SimOperations() throws SimUnknownOperation. */
void SimFail(const char *operation, DWORD error, int nth = 0);

void SimSetSession(DWORD session);
/* Another process holds a handle to the named mutex of the session. */
void SimHoldMutex(DWORD session, const WCHAR *name);
/* How many handles refer to the named mutex of the session. */
int SimMutexHolders(DWORD session, const WCHAR *name);

void SimSetCursor(LONG x, LONG y);
/* The user moves the cursor: the nth read, failed ones included, finds it
   at path[n - 1]; after the last point it stays there. */
void SimSetCursorPath(const std::vector<POINT> &path);
/* Sleep throws SimLoopEnd on its call after this many. */
void SimEndLoopAfter(int passes);

/* What OutputDebugStringW received, one entry per call. */
const std::vector<std::u16string> &SimDebugOutput(void);
/* The same, as UTF-8. */
std::vector<std::string> SimDebugOutputUtf8(void);

/* The thread's ANSI code page, which is also the system's that
   IsDBCSLeadByte tests against: 1252 or 936; any other is rejected by the
   conversions like an unknown code page. */
void SimSetCodePage(UINT codePage);

SimHeapStats SimHeap(void);

/* Adds a process; EnumProcesses lists the table in the order of adding. */
void SimAddProcess(const SimProcess &process);
/* Empties the table, the current process included. */
void SimClearProcesses(void);
/* Makes the process with this id the current one: GetCurrentProcessId
   returns it and GetModuleFileNameW(NULL, ...) reads its path. */
void SimSetCurrentProcess(DWORD id);
/* EnumProcesses reports this byte count instead of the true one. */
void SimSetEnumBytes(DWORD bytes);
/* Like Windows XP: a path read that fills the buffer has no terminator. */
void SimSetUnterminatedPaths(bool on);
/* (process id, exit code) of every successful termination, in order. */
const std::vector<std::pair<DWORD, UINT>> &SimTerminated(void);
/* The executable path of each process terminated, in the same order. */
const std::vector<std::u16string> &SimTerminatedPaths(void);
/* Handles of any kind not yet closed. */
int SimOpenHandles(void);

/* Files: path opens the file (volume, index); several paths may lead to
   one file, as short names, hard links and other drives do. Paths are
   matched as file systems match names, capitals aside; the \\?\ prefix
   is taken off, and without it a path of MAX_PATH units or more does not
   open. With onlyFor set, only processes of that account can open it (a
   drive letter that only that user has). */
void SimAddFile(const std::u16string &path, DWORD volume, DWORD index,
                const std::string &onlyFor = "", uint64_t id128High = 0);
/* A link at path, itself the file (volume, index), that leads to the file
   at target unless it is opened with FILE_FLAG_OPEN_REPARSE_POINT. */
void SimAddLink(const std::u16string &path, DWORD volume, DWORD index,
                const std::u16string &target);
/* A folder owned by the account of that SID (S-1-5-32-544 for
   Administrators); with linkTo, a link (a junction) to that folder, owned
   so itself. A folder that holds a file or folder of the machine exists
   too, owned by Administrators. GetSecurityInfo gives the owner of a
   folder opened with FILE_FLAG_BACKUP_SEMANTICS, of the link itself with
   FILE_FLAG_OPEN_REPARSE_POINT; FindFirstFileW lists a folder. */
void SimAddFolder(const std::u16string &path, const std::string &owner,
                  const std::u16string &linkTo = u"");
/* Whether kernel32 has GetFileInformationByHandleEx with FileIdInfo
   (Windows 8 and later; the default) or not. FileIdInfo gives the volume
   and a 128-bit identifier: the file's index, then id128High. */
void SimSetFileIdInfo(bool present);
/* Windows Installer: a property of the installation that MsiGetPropertyW
   reads, and the messages sent with MsiProcessMessage, (kind, field 0). */
void SimSetInstallProperty(const std::u16string &name, const std::u16string &value);
/* A property as the installation has it, one set by MsiSetPropertyW too. */
std::u16string SimInstallProperty(const std::u16string &name);
const std::vector<std::pair<int, std::u16string>> &SimInstallLog(void);
/* Windows Installer's record of an installed product: the InstallLocation
   that MsiGetProductInfoW gives for its code. */
void SimSetProductLocation(const std::u16string &product, const std::u16string &location);
/* Who is logged on in a session, whose token WTSQueryUserToken gives to
   "SYSTEM"; an empty account logs the session off. */
void SimLogOn(DWORD session, const std::string &account);
/* Whether kernel32 has CompareStringOrdinal (Windows Vista and later; the
   default) or not (Windows XP). */
void SimSetCompareStringOrdinal(bool present);
/* The registry under HKEY_LOCAL_MACHINE: a value set, and the whole of it
   listed as "KEY" for each key and "KEY\NAME=HEX" for each value. */
void SimSetRegistryValue(const std::u16string &key, const std::u16string &name, DWORD type,
                         const std::string &bytes);
std::vector<std::string> SimRegistry(void);

/* UTF-16 and UTF-8 for tests and messages. An unpaired surrogate becomes
   U+FFFD, as Windows makes it, and so does each byte that does not start
   a valid UTF-8 sequence. */
std::string SimUtf8(const std::u16string &text);
std::u16string SimUtf16(const std::string &utf8);

/* What MultiByteToWideChar and WideCharToMultiByte make of a text in code
   page 1252 or 936, for tests to compare with; neither is recorded nor
   can fail. */
std::u16string SimDecodeAnsi(UINT codePage, const std::string &bytes);
std::string SimEncodeAnsi(UINT codePage, const std::u16string &text);

#endif /* NOSAVER_TESTS_SIMWIN_H */
