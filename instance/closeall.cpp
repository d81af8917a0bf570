/*
 * The installer's closing step: before the installed nosaver.exe is
 * replaced or removed, every process running that very file is ended.
 *
 * The installer runs this step with its own rights, which on Windows are
 * LocalSystem's in session 0. nosaver's guard belongs to a session, so
 * "nosaver close" run there would find no instance; and it ends only the
 * first instance it finds, while each logged-on user may run one. This
 * step therefore looks at every process it can open, in every session, and
 * knows nosaver by the full path of its executable, not by its file name.
 */
#include "instance/instance.h"
#include "trace/trace.h"

namespace {

/* The same path, ASCII capitals aside. */
bool SamePath(const WCHAR *a, const WCHAR *b)
{
    for (; *a != 0 && LowerAscii(*a) == LowerAscii(*b); a++, b++) {
    }
    return *a == 0 && *b == 0;
}

DWORD Length(const WCHAR *text)
{
    DWORD n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

/* Reads the path of the process's executable; false when it cannot be
   read whole. A path that fills the buffer may have been cut. */
bool ReadExePath(HANDLE process, WCHAR *path)
{
    HMODULE module = nullptr;
    DWORD needed = 0;

    if (!EnumProcessModules(process, &module, sizeof module, &needed) || needed < sizeof module)
        return false;
    const DWORD length = GetModuleFileNameExW(process, module, path, kProcessPathUnits);
    return length != 0 && length < kProcessPathUnits - 1;
}

/* Whether the process runs the file at path, for one that this step may
   not open to end: such a match cannot be ended. */
bool RunsFile(DWORD id, const WCHAR *path, WCHAR *buffer)
{
    const HANDLE reader = OpenProcess(kAccessReadPath, FALSE, id);
    if (reader == nullptr)
        return false;
    const bool runs = ReadExePath(reader, buffer) && SamePath(buffer, path);
    CloseHandle(reader);
    return runs;
}

/* Terminates the process and waits until it is gone. Returns
   ERROR_SUCCESS once it is, else why not: the termination's error, or the
   wait's (WAIT_TIMEOUT when it runs on). */
DWORD EndProcess(HANDLE process)
{
    const DWORD terminateError = TerminateProcess(process, 0) ? ERROR_SUCCESS : GetLastError();
    const DWORD waited = WaitForSingleObject(process, kProcessEndWaitMs);
    if (waited == WAIT_OBJECT_0)
        return ERROR_SUCCESS;
    if (terminateError != ERROR_SUCCESS)
        return terminateError;
    return waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
}

} // namespace

DWORD EndProcessesOfFile(const WCHAR *path, DWORD *ended)
{
    WCHAR found[kProcessPathUnits];
    char narrow[kNarrowPathBytes];
    DWORD bytes = 0;

    *ended = 0;
    NarrowFromPath(path, narrow, sizeof narrow);
    if (path[0] == 0 || Length(path) >= kProcessPathUnits - 1) {
        LogDebugString(kMsgEndPathUnusable, narrow);
        return 1;
    }
    const DWORD self = GetCurrentProcessId();
    /* One snapshot of process identifiers, on the heap: the installer runs
       this step on a thread of its own, whose stack size it chooses. */
    const auto ids = static_cast<DWORD *>(
        HeapAlloc(GetProcessHeap(), 0, kMaxProcessIds * sizeof(DWORD)));
    if (ids == nullptr) {
        /* HeapAlloc sets no last error. */
        LogDebugString(kMsgEndSnapshotFailed, SignedError(ERROR_NOT_ENOUGH_MEMORY));
        return 1;
    }
    if (!EnumProcesses(ids, kMaxProcessIds * sizeof(DWORD), &bytes)) {
        LogDebugString(kMsgEndSnapshotFailed, SignedError(GetLastError()));
        HeapFree(GetProcessHeap(), 0, ids);
        return 1;
    }
    DWORD count = bytes / sizeof(DWORD);
    if (count > kMaxProcessIds)
        count = kMaxProcessIds;

    DWORD left = 0;
    for (DWORD i = 0; i < count; i++) {
        const DWORD id = ids[i];
        if (id == self)
            continue;
        const HANDLE process = OpenProcess(kAccessEndProcess, FALSE, id);
        if (process == nullptr) {
            const DWORD error = GetLastError();
            if (RunsFile(id, path, found)) {
                LogDebugString(kMsgEndFailed, static_cast<int>(id), narrow, SignedError(error));
                left++;
            }
            continue;
        }
        if (ReadExePath(process, found) && SamePath(found, path)) {
            /* What counts is that it is gone: one that ended by itself
               just before cannot be terminated, and needs no more. */
            const DWORD error = EndProcess(process);
            if (error == ERROR_SUCCESS) {
                LogDebugString(kMsgEnded, static_cast<int>(id), narrow);
                ++*ended;
            } else {
                LogDebugString(kMsgEndFailed, static_cast<int>(id), narrow, SignedError(error));
                left++;
            }
        }
        CloseHandle(process);
    }
    HeapFree(GetProcessHeap(), 0, ids);
    return left;
}
