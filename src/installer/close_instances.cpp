/*
 * CloseInstances: before the installed nosaver.exe is replaced or removed,
 * every instance of it, each process running that very file, is ended:
 * terminated and waited for until it is gone.
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

DWORD EndInstancesOfFile(const WCHAR *path, DWORD *ended, DWORD *sessions, DWORD *sessionCount)
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
    const GetFileIdEx getEx = FindGetFileIdEx();
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
        /* An instance this step may read but not end still counts: it keeps
           the file in use. A process it may not even read is not one. */
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
        const bool instance = identified && GetFileId(found, 0, getEx, &running)
                                  ? SameFile(running, installed)
                                  : SameName(found, -1, path, -1);
        if (!instance) {
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
    if (mode != Mode::Upgrade && ForgetRecord())
        LogDebugString(kMsgStaleRecord);
    const DWORD left = EndInstancesOfFile(path, &ended, sessions, &sessionCount);
    WriteRecord(sessions, sessionCount);
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
