/*
 * CloseInstances: before the installed nosaver.exe is replaced or removed,
 * every process running that very file is ended.
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
#include "installer/installer.h"

namespace {

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

using GetInformationEx = BOOL(WINAPI *)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, void *, DWORD);

/* The kernel32 function of that name, nullptr where this Windows lacks
   it (Windows XP lacks the two that the step looks up). */
template <typename Function>
Function FindKernelFunction(const char *name)
{
    const HMODULE kernel = GetModuleHandleW(WTEXT("kernel32.dll"));
    const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void *>(found));
}

/* Reads which file path is; false, with the last error set, when it cannot
   be opened. flags go to CreateFileW: FILE_FLAG_OPEN_REPARSE_POINT makes a
   link the file itself instead of what it leads to. */
bool GetFileId(const WCHAR *path, DWORD flags, GetInformationEx getEx, FileId *id)
{
    const HANDLE file = OpenExistingFile(path, flags);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    FILE_ID_INFO extended;
    *id = {};
    id->hasId128 = known && getEx != nullptr && getEx(file, FileIdInfo, &extended, sizeof extended);
    const DWORD error = known ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!known) {
        SetLastError(error);
        return false;
    }
    id->volume = information.dwVolumeSerialNumber;
    id->indexHigh = information.nFileIndexHigh;
    id->indexLow = information.nFileIndexLow;
    if (id->hasId128) {
        id->volume128 = extended.VolumeSerialNumber;
        for (int i = 0; i < 16; i++)
            id->id128[i] = extended.FileId.Identifier[i];
    }
    return true;
}

/* The 128-bit identifiers where both files have one, else the volume and
   64-bit index. */
bool SameFile(const FileId &a, const FileId &b)
{
    if (a.hasId128 && b.hasId128) {
        if (a.volume128 != b.volume128)
            return false;
        for (int i = 0; i < 16; i++)
            if (a.id128[i] != b.id128[i])
                return false;
        return true;
    }
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

/* Whether two full paths name the same file by their letters, compared as
   Windows compares file names: CompareStringOrdinal where Windows has it
   (Vista and later), else each unit upper-cased by the system's table. */
bool SameName(const WCHAR *a, const WCHAR *b)
{
    using CompareOrdinal = int(WINAPI *)(const WCHAR *, int, const WCHAR *, int, BOOL);
    const auto compare = FindKernelFunction<CompareOrdinal>("CompareStringOrdinal");
    if (compare != nullptr)
        return compare(a, -1, b, -1, TRUE) == CSTR_EQUAL;
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

enum class Mode { Replace, Upgrade, Remove };

/* Splits CloseInstances' data, "MODE|PATH", in place. */
Mode SplitData(WCHAR *data, const WCHAR **path)
{
    static constexpr struct {
        WCHAR word[8];
        Mode mode;
    } kModes[] = {{WTEXT("replace"), Mode::Replace},
                  {WTEXT("upgrade"), Mode::Upgrade},
                  {WTEXT("remove"), Mode::Remove}};
    *path = data;
    std::size_t bar = 0;
    while (data[bar] != 0 && data[bar] != '|')
        bar++;
    if (data[bar] != '|')
        return Mode::Replace;
    *path = data + bar + 1;
    for (const auto &known : kModes) {
        std::size_t i = 0;
        while (i < bar && known.word[i] == data[i])
            i++;
        if (i == bar && known.word[i] == 0)
            return known.mode;
    }
    return Mode::Replace;
}

} // namespace

HANDLE OpenExistingFile(const WCHAR *path, DWORD flags)
{
    /* Every sharing mode and no access to the data: a running program's
       file opens this way. */
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD length = TextUnits(path);
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
            return INVALID_HANDLE_VALUE;
        }
        for (DWORD i = 0; i < prefixUnits; i++)
            longForm[i] = prefix[i];
        for (DWORD i = skip; i <= length; i++)
            longForm[prefixUnits + i - skip] = path[i];
    }
    const HANDLE file = CreateFileW(longForm != nullptr ? longForm : path, 0, kShareAll, nullptr,
                                    OPEN_EXISTING, flags, nullptr);
    if (longForm != nullptr) {
        const DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, longForm);
        SetLastError(error);
    }
    return file;
}

DWORD CloseInstancesOfFile(const WCHAR *path, DWORD *ended, DWORD *sessions, DWORD *sessionCount)
{
    DWORD bytes = 0;

    *ended = 0;
    *sessionCount = 0;
    if (path[0] == 0) {
        LogDebugString(kMsgEndPathUnusable, "");
        return 1;
    }
    /* The installed file itself, a link included: a link made to another
       program's file must not make that program nosaver. */
    const auto getEx = FindKernelFunction<GetInformationEx>("GetFileInformationByHandleEx");
    FileId installed = {};
    const bool identified = GetFileId(path, FILE_FLAG_OPEN_REPARSE_POINT, getEx, &installed);
    if (!identified) {
        const long error = SignedError(GetLastError());
        char *text = NewUtf8(path);
        LogDebugString(kMsgFileUnopened, text, error);
        FreeUtf8(text);
    }

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
        const bool matches = identified && GetFileId(found, 0, getEx, &running)
                                 ? SameFile(running, installed)
                                 : SameName(found, path);
        if (!matches) {
            CloseHandle(reader);
            continue;
        }
        /* The path as the process has it, which says how it was started. */
        char *text = NewUtf8(found);
        if (process == nullptr) {
            LogDebugString(kMsgEndFailed, static_cast<int>(id), text, SignedError(openError));
            left++;
            CloseHandle(reader);
            FreeUtf8(text);
            continue;
        }
        DWORD session = 0;
        const bool sessionKnown = ProcessIdToSessionId(id, &session) != 0;
        /* What counts is that it is gone: one that ended by itself just
           before cannot be terminated, and needs no more. */
        const DWORD error = EndProcess(process);
        if (error == ERROR_SUCCESS) {
            LogDebugString(kMsgEnded, static_cast<int>(id), static_cast<int>(session), text);
            ++*ended;
            if (sessionKnown)
                AddSession(sessions, sessionCount, session);
        } else {
            LogDebugString(kMsgEndFailed, static_cast<int>(id), text, SignedError(error));
            left++;
        }
        FreeUtf8(text);
        CloseHandle(process);
    }
    HeapFree(GetProcessHeap(), 0, found);
    HeapFree(GetProcessHeap(), 0, ids);
    return left;
}

/* Ends every process running the installed nosaver.exe, in every session,
   and records where for RestartInstances. Reports the outcome in the
   installer's log. Replacing the file fails the installation, which
   Windows Installer then rolls back, when one runs on; a removal goes on,
   and Windows Installer removes a file in use at the next restart. */
extern "C" UINT WINAPI CloseInstances(MSIHANDLE install)
{
    DWORD sessions[kMaxSessions];
    DWORD sessionCount = 0;
    DWORD ended = 0;

    BeginStep(install);
    WCHAR *data = ReadProperty(install, WTEXT("CustomActionData"));
    if (data == nullptr) {
        EndStep();
        return ERROR_INSTALL_FAILURE;
    }
    const WCHAR *path = nullptr;
    const Mode mode = SplitData(data, &path);
    /* Only the removal of the older version inside this upgrade may have
       recorded sessions before this step; any other record was left by an
       installation that did not finish. */
    if (mode != Mode::Upgrade && ForgetRecordedSessions())
        LogDebugString(kMsgStaleRecord);
    const DWORD left = CloseInstancesOfFile(path, &ended, sessions, &sessionCount);
    RecordSessions(sessions, sessionCount);
    char *text = NewUtf8(path);
    HeapFree(GetProcessHeap(), 0, data);
    UINT result = ERROR_SUCCESS;
    if (left == 0) {
        LogDebugString(kMsgClosed, static_cast<int>(ended), text);
    } else if (mode == Mode::Remove) {
        LogDebugString(kMsgCloseFailedOnRemoval, static_cast<int>(left), static_cast<int>(ended),
                       text);
    } else {
        LogError(kMsgCloseFailed, static_cast<int>(left), static_cast<int>(ended), text);
        result = ERROR_INSTALL_FAILURE;
    }
    FreeUtf8(text);
    EndStep();
    return result;
}
