/*
 * The record: the sessions whose nosaver CloseInstances ended, kept for
 * RestartInstances in the registry, as the steps may run in different
 * processes and, in an upgrade, come from two versions of this DLL
 * (installer.h tells the format that may never change).
 */
#include "installer/installer.h"

namespace {

/* Where the record is, for every version: nosaver's own key of
   HKEY_LOCAL_MACHINE, in the 32-bit view whatever Windows runs (this DLL is
   32-bit, and Windows Installer runs it so on 64-bit Windows too). */
constexpr WCHAR kRecordPath[] = WTEXT("Software\\nosaver");
constexpr WCHAR kRecordValue[] = WTEXT("RestartSessions");
constexpr REGSAM kRecordAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY;

} // namespace

void AddSession(DWORD *sessions, DWORD *count, DWORD session)
{
    DWORD k = 0;
    while (k < *count && sessions[k] != session)
        k++;
    if (k == *count && k < kMaxSessions)
        sessions[(*count)++] = session;
}

bool OpenRecord(HKEY *record)
{
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordPath, 0, kRecordAccess, record);
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND)
        LogDebugString(kMsgRecordUnread, SignedError(static_cast<DWORD>(opened)));
    return opened == ERROR_SUCCESS;
}

/* In the order first written; a trailing part of a number is dropped, and
   a value of another type or longer than any record written holds none. */
DWORD ReadRecord(HKEY record, DWORD *sessions)
{
    DWORD stored[kMaxSessions];
    DWORD type = 0;
    DWORD bytes = sizeof stored;
    if (RegQueryValueExW(record, kRecordValue, nullptr, &type, reinterpret_cast<BYTE *>(stored),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_BINARY)
        return 0;
    DWORD count = 0;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); i++)
        if (stored[i] < kFirstPseudoSession)
            AddSession(sessions, &count, stored[i]);
    return count;
}

bool RemoveRecord(HKEY record)
{
    const LONG removed = RegDeleteValueW(record, kRecordValue);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND)
        LogDebugString(kMsgRecordNotRemoved, SignedError(static_cast<DWORD>(removed)));
    DWORD values = 1;
    DWORD subKeys = 1;
    LONG error = RegQueryInfoKeyW(record, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                                  nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(record);
    if (error == ERROR_SUCCESS && values == 0 && subKeys == 0)
        error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordPath);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        LogDebugString(kMsgKeyKept, SignedError(static_cast<DWORD>(error)));
    return removed == ERROR_SUCCESS;
}

void WriteRecord(const DWORD *sessions, DWORD count)
{
    if (count == 0)
        return;
    HKEY record = nullptr;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordPath, 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, kRecordAccess, nullptr, &record, nullptr);
    if (error == ERROR_SUCCESS) {
        /* Another step of the same installation may have ended some. */
        DWORD all[kMaxSessions];
        DWORD known = ReadRecord(record, all);
        for (DWORD i = 0; i < count; i++)
            AddSession(all, &known, sessions[i]);
        error = RegSetValueExW(record, kRecordValue, 0, REG_BINARY, reinterpret_cast<BYTE *>(all),
                               known * sizeof(DWORD));
        RegCloseKey(record);
    }
    if (error != ERROR_SUCCESS)
        LogDebugString(kMsgRecordFailed, SignedError(static_cast<DWORD>(error)));
}

bool ForgetRecord()
{
    HKEY record = nullptr;
    return OpenRecord(&record) && RemoveRecord(record);
}
