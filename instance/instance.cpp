/*
 * The close flow: find the running instance among all processes and
 * terminate it.
 *
 * The search reads the executable path of every process it may open, in
 * the order of one snapshot, and stops at the first match that it can open
 * with the rights of ACCESS_TERMINATE and that is not this process. This
 * process always matches, since it runs the same file; it is passed over
 * with a trace.
 */
#include "instance/instance.h"
#include "trace/trace.h"

/* A path in the thread's ANSI code page holds up to 3 bytes per unit. */
#define NARROW_PATH_BYTES (3 * PROCESS_PATH_UNITS)

/* Makes a path readable in the narrow trace texts: in the thread's ANSI
   code page, so that a viewer decodes it back, with '?' for a character
   that page lacks. */
static void NarrowFromPath(const WCHAR *path, char *out, int bytes)
{
    int i;

    if (WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path, -1, out, bytes, NULL,
                            NULL) != 0)
        return;
    /* UTF-8 as the ANSI code page takes no flags. */
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, path, -1, out, bytes, NULL, NULL) != 0)
        return;
    for (i = 0; path[i] != 0 && i + 1 < bytes; i++)
        out[i] = path[i] < 0x80 ? (char)path[i] : '?';
    out[i] = '\0';
}

/* Opens a process to read the path of its executable. Returns the open
   handle with the path read, or NULL when either cannot be had. */
static HANDLE OpenAndReadPath(DWORD id, WCHAR *path)
{
    HMODULE modules[MAX_PROCESS_IDS * sizeof(DWORD) / sizeof(HMODULE)];
    DWORD needed = 0;
    HANDLE process;

    process = OpenProcess(ACCESS_READ_PATH, FALSE, id);
    if (process == NULL)
        return NULL;
    if (EnumProcessModules(process, modules, sizeof modules, &needed) &&
        needed >= sizeof(HMODULE) &&
        GetModuleFileNameExW(process, modules[0], path, PROCESS_PATH_UNITS) != 0) {
        /* Windows XP leaves a path that fills the buffer unterminated. */
        path[PROCESS_PATH_UNITS - 1] = 0;
        return process;
    }
    CloseHandle(process);
    return NULL;
}

HANDLE FindProcessByExeName(const WCHAR *key, const WCHAR *cutOwnPath)
{
    DWORD ids[MAX_PROCESS_IDS];
    WCHAR path[PROCESS_PATH_UNITS];
    char narrow[NARROW_PATH_BYTES];
    DWORD self;
    DWORD bytes = 0;
    DWORD count;
    DWORD i;

    self = GetCurrentProcessId();
    if (!EnumProcesses(ids, sizeof ids, &bytes))
        return NULL;
    count = bytes / sizeof(DWORD);
    if (count > MAX_PROCESS_IDS)
        count = MAX_PROCESS_IDS;

    for (i = 0; i < count; i++) {
        HANDLE reader;
        HANDLE process;
        DWORD id;

        reader = OpenAndReadPath(ids[i], path);
        if (reader == NULL)
            continue;
        /* The reader stays open until the process is opened again, so that
           its identifier cannot pass to another process in between. */
        process = MatchesExeName(path, key, cutOwnPath)
                      ? OpenProcess(ACCESS_TERMINATE, FALSE, ids[i])
                      : NULL;
        CloseHandle(reader);
        if (process == NULL)
            continue;
        /* Judged by the process behind the handle, which is what would be
           terminated; an identifier that cannot be told is passed over. */
        id = GetProcessId(process);
        if (id != self && id != 0) {
            NarrowFromPath(path, narrow, sizeof narrow);
            LogDebugString(MSG_PROCESS_FULL_NAME, narrow);
            return process;
        }
        if (id == self) {
            NarrowFromPath(path, narrow, sizeof narrow);
            LogDebugString(MSG_IGNORE_CURRENT_PROCESS, (int)self, narrow);
        }
        CloseHandle(process);
    }
    return NULL;
}

void CloseRunningInstance(void)
{
    char name[OWN_NAME_BYTES];
    WCHAR key[OWN_PATH_UNITS];
    WCHAR ownPath[OWN_PATH_UNITS];
    BOOL keyMayBeCut;
    HANDLE instance;

    LogDebugString(MSG_FIND_AND_CLOSE);
    keyMayBeCut = GetCurrentExeName(name, ownPath);
    LogDebugString(MSG_PROCESS_EXE_NAME, name);
    WideFromNarrow(name, key, OWN_PATH_UNITS);

    instance = FindProcessByExeName(key, keyMayBeCut ? ownPath : NULL);
    if (instance == NULL) {
        LogDebugString(MSG_OPEN_PROCESS_FAILED, (long)(LONG)GetLastError());
        return;
    }
    if (!TerminateProcess(instance, 0))
        LogDebugString(MSG_TERMINATE_FAILED, (long)(LONG)GetLastError());
    CloseHandle(instance);
}
