/*
 * The installer's closing step: before the installed nosaver.exe is
 * replaced or removed, every process running that very file is ended.
 *
 * The installer runs this step with its own rights, which on Windows are
 * LocalSystem's in session 0. nosaver's guard belongs to a session, so
 * "nosaver close" run there would find no instance; and it ends only the
 * first instance it finds, while each logged-on user may run one. This
 * step therefore looks at every process it can open, in every session, and
 * knows nosaver by the file its executable is: the path a process reports
 * is the one it was started with, short names, capitals and all, so the
 * step opens that path and asks the file system which file it is.
 */
#include "instance/instance.h"
#include "trace/trace.h"

namespace {

/* A file as the file system knows it, whatever path leads to it. */
struct FileId {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

/* Every sharing mode and no access to the data: a running program's file
   opens this way. */
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD Length(const WCHAR *text)
{
    DWORD n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

WCHAR *AllocateUnits(DWORD units)
{
    return static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(WCHAR)));
}

/* Opens the file at path and reads which it is; false, with the last
   error set, when it cannot. A path of MAX_PATH units or more is opened
   through the \\?\ prefix (\\?\UNC\ for a share), which takes any length. */
bool GetFileId(const WCHAR *path, FileId *id)
{
    const DWORD length = Length(path);
    const bool prefixed = path[0] == '\\' && path[1] == '\\' && (path[2] == '?' || path[2] == '.') &&
                          path[3] == '\\';
    WCHAR *longForm = nullptr;
    if (length >= MAX_PATH && !prefixed) {
        const bool share = path[0] == '\\' && path[1] == '\\';
        const WCHAR *prefix = share ? WTEXT("\\\\?\\UNC") : WTEXT("\\\\?\\");
        const DWORD prefixUnits = share ? 7 : 4;
        const DWORD skip = share ? 1 : 0;
        longForm = AllocateUnits(prefixUnits + length - skip + 1);
        if (longForm == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        for (DWORD i = 0; i < prefixUnits; i++)
            longForm[i] = prefix[i];
        for (DWORD i = skip; i <= length; i++)
            longForm[prefixUnits + i - skip] = path[i];
    }
    const HANDLE file = CreateFileW(longForm != nullptr ? longForm : path, 0, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (longForm != nullptr)
        HeapFree(GetProcessHeap(), 0, longForm);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (known)
        *id = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
               information.nFileIndexLow};
    return known;
}

/* Whether two full paths name the same file by their letters, compared as
   Windows compares file names: CompareStringOrdinal where Windows has it
   (Vista and later), else each unit upper-cased by the system's table. */
bool SameName(const WCHAR *a, const WCHAR *b)
{
    using CompareOrdinal = int(WINAPI *)(const WCHAR *, int, const WCHAR *, int, BOOL);
    const HMODULE kernel = GetModuleHandleW(WTEXT("kernel32.dll"));
    const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "CompareStringOrdinal")
                                           : nullptr;
    if (found != nullptr)
        return reinterpret_cast<CompareOrdinal>(reinterpret_cast<void *>(found))(a, -1, b, -1,
                                                                                 TRUE) ==
               CSTR_EQUAL;
    for (;; a++, b++) {
        if (*a == 0 || *b == 0)
            return *a == *b;
        WCHAR upperA = *a;
        WCHAR upperB = *b;
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, a, 1, &upperA, 1);
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, b, 1, &upperB, 1);
        if (upperA != upperB)
            return false;
    }
}

/* Reads the full path of the process's executable into path
   (kMaxPathUnits); false, with the last error set, when it cannot be read
   whole. */
bool ReadExePath(HANDLE process, WCHAR *path)
{
    HMODULE module = nullptr;
    DWORD needed = 0;

    if (!EnumProcessModules(process, &module, sizeof module, &needed))
        return false;
    if (needed < sizeof module) {
        SetLastError(ERROR_PARTIAL_COPY);
        return false;
    }
    const DWORD length = GetModuleFileNameExW(process, module, path, kMaxPathUnits);
    if (length == 0)
        return false;
    if (length >= kMaxPathUnits - 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
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

DWORD EndProcessesOfFile(const WCHAR *path, DWORD *ended, DWORD *sessions, DWORD *sessionCount)
{
    char narrow[kNarrowPathBytes];
    DWORD bytes = 0;

    *ended = 0;
    *sessionCount = 0;
    NarrowFromPath(path, narrow, sizeof narrow);
    if (path[0] == 0) {
        LogDebugString(kMsgEndPathUnusable, narrow);
        return 1;
    }
    FileId installed = {};
    const bool identified = GetFileId(path, &installed);
    if (!identified)
        LogDebugString(kMsgFileUnopened, narrow, SignedError(GetLastError()));

    const DWORD self = GetCurrentProcessId();
    /* One snapshot of process identifiers and room for one path, on the
       heap: the installer runs this step on a thread of its own, whose
       stack size it chooses. */
    const auto ids = static_cast<DWORD *>(
        HeapAlloc(GetProcessHeap(), 0, kMaxProcessIds * sizeof(DWORD)));
    WCHAR *found = AllocateUnits(kMaxPathUnits);
    bool listed = false;
    if (ids == nullptr || found == nullptr) {
        /* HeapAlloc sets no last error. */
        LogDebugString(kMsgEndSnapshotFailed, SignedError(ERROR_NOT_ENOUGH_MEMORY));
    } else {
        listed = EnumProcesses(ids, kMaxProcessIds * sizeof(DWORD), &bytes) != 0;
        if (!listed)
            LogDebugString(kMsgEndSnapshotFailed, SignedError(GetLastError()));
    }
    if (!listed) {
        if (ids != nullptr)
            HeapFree(GetProcessHeap(), 0, ids);
        if (found != nullptr)
            HeapFree(GetProcessHeap(), 0, found);
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
        /* A match this step may read but not end still counts: it keeps
           the file in use. One it may not even read is not nosaver's. */
        const HANDLE process = OpenProcess(kAccessEndProcess, FALSE, id);
        const DWORD openError = process != nullptr ? ERROR_SUCCESS : GetLastError();
        const HANDLE reader = process != nullptr ? process : OpenProcess(kAccessReadPath, FALSE, id);
        if (reader == nullptr)
            continue;
        if (!ReadExePath(reader, found)) {
            LogDebugString(kMsgPathUnreadable, static_cast<int>(id), SignedError(GetLastError()));
            CloseHandle(reader);
            continue;
        }
        FileId running = {};
        const bool matches = identified && GetFileId(found, &running)
                                 ? running.volume == installed.volume &&
                                       running.indexHigh == installed.indexHigh &&
                                       running.indexLow == installed.indexLow
                                 : SameName(found, path);
        if (!matches) {
            CloseHandle(reader);
            continue;
        }
        /* The path as the process has it, which says how it was started. */
        NarrowFromPath(found, narrow, sizeof narrow);
        if (process == nullptr) {
            LogDebugString(kMsgEndFailed, static_cast<int>(id), narrow, SignedError(openError));
            left++;
            CloseHandle(reader);
            continue;
        }
        DWORD session = 0;
        const bool sessionKnown = ProcessIdToSessionId(id, &session) != 0;
        /* What counts is that it is gone: one that ended by itself just
           before cannot be terminated, and needs no more. */
        const DWORD error = EndProcess(process);
        if (error == ERROR_SUCCESS) {
            LogDebugString(kMsgEnded, static_cast<int>(id), static_cast<int>(session), narrow);
            ++*ended;
            DWORD k = 0;
            while (k < *sessionCount && sessions[k] != session)
                k++;
            if (sessionKnown && k == *sessionCount && k < kMaxSessions)
                sessions[(*sessionCount)++] = session;
        } else {
            LogDebugString(kMsgEndFailed, static_cast<int>(id), narrow, SignedError(error));
            left++;
        }
        CloseHandle(process);
    }
    HeapFree(GetProcessHeap(), 0, found);
    HeapFree(GetProcessHeap(), 0, ids);
    return left;
}
