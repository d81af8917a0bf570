/*
 * The installer's record of the sessions whose nosaver its closing step
 * ended, and the start of nosaver there again once the new file is in
 * place (or, when the installation is rolled back, the old one).
 *
 * On Windows the steps run as LocalSystem in session 0, each in a process
 * of the installer's choosing, so what one step learns reaches the next
 * only through the registry. A start in a user's session takes that user's
 * own token (not elevated, whatever the installer's rights), environment
 * and desktop.
 */
#include "instance/instance.h"
#include "trace/trace.h"

namespace {

constexpr WCHAR kRecordKey[] = WTEXT("Software\\nosaver");
constexpr WCHAR kRecordValue[] = WTEXT("RestartSessions");
constexpr REGSAM kRecordAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY;

/* Reads the record into sessions (kMaxSessions) as a set: each session
   once, in the order first written, pseudo sessions and a trailing part
   of a number dropped. Returns how many it holds; none when the value is
   missing, of another type or longer than any record written. */
DWORD ReadRecord(HKEY key, DWORD *sessions)
{
    DWORD stored[kMaxSessions];
    DWORD type = 0;
    DWORD bytes = sizeof stored;
    if (RegQueryValueExW(key, kRecordValue, nullptr, &type, reinterpret_cast<BYTE *>(stored),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_BINARY)
        return 0;
    DWORD count = 0;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); i++) {
        DWORD k = 0;
        while (k < count && sessions[k] != stored[i])
            k++;
        if (k == count && stored[i] < kFirstPseudoSession)
            sessions[count++] = stored[i];
    }
    return count;
}

/* Removes the record from the open key, and the key when nothing else is
   in it: the package's own value and anybody else's stay. Returns whether
   there was a record. */
bool RemoveRecord(HKEY key)
{
    const bool removed = RegDeleteValueW(key, kRecordValue) == ERROR_SUCCESS;
    DWORD values = 1;
    DWORD subKeys = 1;
    const bool empty = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                        &values, nullptr, nullptr, nullptr,
                                        nullptr) == ERROR_SUCCESS &&
                       values == 0 && subKeys == 0;
    RegCloseKey(key);
    if (empty)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordKey);
    return removed;
}

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
    DWORD length = 0;
    while (path[length] != 0)
        length++;
    const auto commandLine = static_cast<WCHAR *>(
        HeapAlloc(GetProcessHeap(), 0, (length + 3) * sizeof(WCHAR)));
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
        if (!CreateEnvironmentBlock(&environment, token, FALSE))
            environment = nullptr;
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

void RememberSessions(const DWORD *sessions, DWORD count)
{
    if (count == 0)
        return;
    HKEY key = nullptr;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, kRecordAccess, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS) {
        /* Another step of the same installation may have ended some. */
        DWORD all[kMaxSessions];
        DWORD known = ReadRecord(key, all);
        for (DWORD i = 0; i < count; i++) {
            DWORD k = 0;
            while (k < known && all[k] != sessions[i])
                k++;
            if (k == known && known < kMaxSessions)
                all[known++] = sessions[i];
        }
        error = RegSetValueExW(key, kRecordValue, 0, REG_BINARY, reinterpret_cast<BYTE *>(all),
                               known * sizeof(DWORD));
        RegCloseKey(key);
    }
    if (error != ERROR_SUCCESS)
        LogDebugString(kMsgRecordFailed, SignedError(static_cast<DWORD>(error)));
}

DWORD RestartInSessions(const WCHAR *path)
{
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, kRecordAccess, &key);
    if (opened != ERROR_SUCCESS) {
        if (opened != ERROR_FILE_NOT_FOUND)
            LogDebugString(kMsgRecordUnread, SignedError(static_cast<DWORD>(opened)));
        return 0;
    }
    DWORD sessions[kMaxSessions];
    const DWORD count = ReadRecord(key, sessions);
    char *text = NewUtf8(path);
    /* A rollback step runs while its file may be away: the older version's
       own step, once its file is back, starts it instead. */
    const HANDLE file = count > 0 ? OpenExistingFile(path, 0) : INVALID_HANDLE_VALUE;
    if (count > 0 && file == INVALID_HANDLE_VALUE) {
        LogDebugString(kMsgNothingToStart, text, SignedError(GetLastError()));
        RegCloseKey(key);
        FreeUtf8(text);
        return 0;
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    RemoveRecord(key);

    DWORD started = 0;
    for (DWORD i = 0; i < count; i++)
        started += StartInSession(path, text, sessions[i]) ? 1 : 0;
    FreeUtf8(text);
    return started;
}

bool ForgetSessions()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, kRecordAccess, &key) != ERROR_SUCCESS)
        return false;
    return RemoveRecord(key);
}
