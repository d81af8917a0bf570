/*
 * The close flow: find the running instance among all processes and
 * terminate it.
 *
 * The search reads the executable path of every process it may open, in
 * the order of one snapshot, and stops at the first that matches the key
 * (an instance, or another program of that file name) and that it can open
 * with the rights of kAccessTerminate and that is not this process. This
 * process always matches, since it runs the same file; it is passed over
 * with a trace.
 */
#include "nosaver/nosaver.h"
#include "common/log.h"

namespace {

/* Opens a process to read the path of its executable. Returns the open
   handle with the path read, or nullptr when either cannot be had. */
HANDLE OpenAndReadPath(DWORD id, WCHAR *path)
{
    /* Room for as many modules as the snapshot has identifiers, the same
       bytes, as "close" has always listed them; only the first, the
       executable's, is read. With the snapshot it takes a little over
       512 KiB of the stack, which is why nosaver.exe reserves 1 MiB (the
       top CMakeLists.txt). */
    HMODULE modules[kMaxProcessIds * sizeof(DWORD) / sizeof(HMODULE)];
    DWORD needed = 0;

    const HANDLE process = OpenProcess(kAccessReadPath, FALSE, id);
    if (process == nullptr)
        return nullptr;
    if (EnumProcessModules(process, modules, sizeof modules, &needed) &&
        needed >= sizeof(HMODULE) &&
        GetModuleFileNameExW(process, modules[0], path, kProcessPathUnits) != 0) {
        /* Windows XP leaves a path that fills the buffer unterminated. */
        path[kProcessPathUnits - 1] = 0;
        return process;
    }
    CloseHandle(process);
    return nullptr;
}

} // namespace

/* In the thread's ANSI code page, so that a viewer decodes it back. */
void NarrowToAnsiCP(const WCHAR *path, char *out, int bytes)
{
    if (WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path, -1, out, bytes, nullptr,
                            nullptr) != 0)
        return;
    /* UTF-8 as the ANSI code page takes no flags. */
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, path, -1, out, bytes, nullptr, nullptr) != 0)
        return;
    int i = 0;
    for (; path[i] != 0 && i + 1 < bytes; i++)
        out[i] = path[i] < 0x80 ? static_cast<char>(path[i]) : '?';
    out[i] = '\0';
}

HANDLE FindProcessByExeName(const WCHAR *key, const WCHAR *cutOwnPath)
{
    DWORD ids[kMaxProcessIds];
    WCHAR path[kProcessPathUnits];
    char narrow[kAnsiCPPathBytes];
    DWORD bytes = 0;

    const DWORD self = GetCurrentProcessId();
    if (!EnumProcesses(ids, sizeof ids, &bytes))
        return nullptr;
    DWORD count = bytes / sizeof(DWORD);
    if (count > kMaxProcessIds)
        count = kMaxProcessIds;

    for (DWORD i = 0; i < count; i++) {
        const HANDLE reader = OpenAndReadPath(ids[i], path);
        if (reader == nullptr)
            continue;
        /* The reader stays open until the process is opened again, so that
           its identifier cannot pass to another process in between. */
        const HANDLE process = MatchesExeName(path, key, cutOwnPath)
                                   ? OpenProcess(kAccessTerminate, FALSE, ids[i])
                                   : nullptr;
        CloseHandle(reader);
        if (process == nullptr)
            continue;
        /* Judged by the process behind the handle, which is what would be
           terminated; an identifier that cannot be told is passed over. */
        const DWORD id = GetProcessId(process);
        if (id != self && id != 0) {
            NarrowToAnsiCP(path, narrow, sizeof narrow);
            LogDebugString(kMsgProcessFullName, narrow);
            return process;
        }
        if (id == self) {
            NarrowToAnsiCP(path, narrow, sizeof narrow);
            LogDebugString(kMsgIgnoreCurrentProcess, static_cast<int>(self), narrow);
        }
        CloseHandle(process);
    }
    return nullptr;
}

void CloseRunningInstance()
{
    char name[kOwnNameBytes];
    WCHAR key[kOwnPathUnits];
    WCHAR ownPath[kOwnPathUnits];

    LogDebugString(kMsgFindAndClose);
    const bool keyMayBeCut = GetCurrentExeName(name, ownPath);
    LogDebugString(kMsgProcessExeName, name);
    WideFromLatin1(name, key, kOwnPathUnits);

    const HANDLE instance = FindProcessByExeName(key, keyMayBeCut ? ownPath : nullptr);
    if (instance == nullptr) {
        /* One line for every way of finding nothing, with whatever last
           error the search left: that of the last call that failed, or
           one that nothing in this search set. The line is kept as those
           who watch the trace know it; the number says little. */
        LogDebugString(kMsgOpenProcessFailed, SignedError(GetLastError()));
        return;
    }
    if (!TerminateProcess(instance, 0))
        LogDebugString(kMsgTerminateFailed, SignedError(GetLastError()));
    CloseHandle(instance);
}
