/*
 * RestartInstances: once the new file is in place (or, when the
 * installation is rolled back, the old one), nosaver starts again in each
 * session where CloseInstances ended it.
 *
 * A start in a user's session takes that user's own token (not elevated,
 * whatever the installer's rights), environment and desktop.
 */
#include "installer/installer.h"

namespace {

/* Starts the file at path in the session, as its user, on its desktop. */
bool StartInSession(const WCHAR *path, const char *text, DWORD session)
{
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(session, &token)) {
        LogDebugString(kMsgNoSessionUser, static_cast<int>(session), SignedError(GetLastError()));
        return false;
    }
    /* The command line is the quoted path; CreateProcessAsUserW may write
       to it. */
    const DWORD length = TextUnits(path);
    WCHAR *commandLine = AllocateUnits(length + 3);
    void *environment = nullptr;
    PROCESS_INFORMATION started = {};
    BOOL ok = FALSE;
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (commandLine != nullptr) {
        commandLine[0] = '"';
        for (DWORD i = 0; i < length; i++)
            commandLine[i + 1] = path[i];
        commandLine[length + 1] = '"';
        commandLine[length + 2] = 0;
        /* Without the user's own environment it inherits the installer's. */
        if (!CreateEnvironmentBlock(&environment, token, FALSE)) {
            LogDebugString(kMsgNoEnvironment, static_cast<int>(session),
                           SignedError(GetLastError()));
            environment = nullptr;
        }
        WCHAR desktop[] = WTEXT("winsta0\\default");
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.lpDesktop = desktop;
        ok = CreateProcessAsUserW(token, path, commandLine, nullptr, nullptr, FALSE,
                                  CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup,
                                  &started);
        error = ok ? ERROR_SUCCESS : GetLastError();
        if (environment != nullptr)
            DestroyEnvironmentBlock(environment);
        HeapFree(GetProcessHeap(), 0, commandLine);
    }
    CloseHandle(token);
    if (!ok) {
        LogDebugString(kMsgStartFailed, text, static_cast<int>(session), SignedError(error));
        return false;
    }
    LogDebugString(kMsgStarted, static_cast<int>(started.dwProcessId), static_cast<int>(session),
                   text);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

} // namespace

DWORD RestartInRecordedSessions(const WCHAR *path)
{
    HKEY record = nullptr;
    if (!OpenRecord(&record))
        return 0;
    DWORD sessions[kMaxSessions];
    const DWORD count = ReadRecord(record, sessions);
    char *text = NewUtf8(path);
    /* A rollback step runs while its file may be away: the older version's
       own step, once its file is back, starts it instead. */
    const HANDLE file = count > 0 ? OpenExistingFile(path, 0) : INVALID_HANDLE_VALUE;
    if (count > 0 && file == INVALID_HANDLE_VALUE) {
        LogDebugString(kMsgNothingToStart, text, SignedError(GetLastError()));
        RegCloseKey(record);
        FreeUtf8(text);
        return 0;
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    RemoveRecord(record);

    DWORD started = 0;
    for (DWORD i = 0; i < count; i++)
        started += StartInSession(path, text, sessions[i]) ? 1 : 0;
    FreeUtf8(text);
    return started;
}

/* Starts the installed nosaver.exe in every session where CloseInstances
   ended one, when it is there. A start that fails is logged; the
   installation goes on. */
extern "C" UINT WINAPI RestartInstances(MSIHANDLE install)
{
    BeginStep(install);
    WCHAR *path = ReadProperty(install, WTEXT("CustomActionData"));
    if (path != nullptr) {
        RestartInRecordedSessions(path);
        HeapFree(GetProcessHeap(), 0, path);
    }
    EndStep();
    return ERROR_SUCCESS;
}
