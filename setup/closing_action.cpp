/*
 * The installer's own steps as a custom action DLL: Windows Installer loads
 * it from the package and calls its entries (see nosaver.wxs). The work is
 * instance/'s; every line it traces goes to the debugger output stream and
 * into the installation's log, both as UTF-16, so that a path of any
 * length and any letters arrives whole.
 *
 *   CheckInstallDir   before anything changes: refuses an INSTALLDIR that
 *                     is not a full path.
 *   CloseInstances    before the file is replaced or removed: forgets the
 *                     sessions of an installation that did not finish (not
 *                     in an upgrade, whose older version's removal has just
 *                     recorded its own), ends every process running the
 *                     file and records their sessions. Its data is
 *                     "MODE|PATH": "replace" and "upgrade" fail the
 *                     installation when one runs on, "remove" logs it and
 *                     lets the removal go on.
 *   RestartInstances  once the installation can no longer fail, and when it
 *                     is rolled back: starts the file at PATH in the
 *                     sessions recorded, if it is there.
 *   ForgetInstances   once a removal can no longer fail: forgets them.
 */
#include "setup/closing_action.h"
#include "instance/instance.h"
#include "trace/trace.h"

#include <cstdarg>

namespace {

/* The installation whose step runs, for the lines of LogDebugString. */
MSIHANDLE g_install = 0;

/* Room for a formatted line: a path of any length in UTF-8 and its words. */
constexpr std::size_t kMaxLineBytes = 4 * kMaxPathUnits;
/* Room for the action's data: a mode, a bar and a path. */
constexpr DWORD kDataUnits = 16 + kMaxPathUnits;

enum class Mode { Replace, Upgrade, Remove };

WCHAR *AllocateUnits(std::size_t units)
{
    return static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, units * sizeof(WCHAR)));
}

/* A property of the installation in a heap block the caller frees; empty
   when it is not set or longer than any path. nullptr without memory. */
WCHAR *ReadProperty(MSIHANDLE install, const WCHAR *name)
{
    WCHAR *value = AllocateUnits(kDataUnits);
    DWORD units = kDataUnits;
    if (value != nullptr && MsiGetPropertyW(install, name, value, &units) != ERROR_SUCCESS)
        value[0] = 0;
    return value;
}

/* Sends a UTF-8 line to the debugger output stream and, while a step runs,
   into the installation's log as "nosaver: <line>", of the given kind.
   Windows Installer reads a message as a template, so the line's brackets
   and braces go escaped ([\[] and so on), to arrive as they are; a line end
   is left to the log. */
void SendLine(INSTALLMESSAGE kind, const char *text)
{
    static constexpr WCHAR kPrefix[] = WTEXT("nosaver: ");
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    WCHAR *wide = units > 0 ? AllocateUnits(static_cast<std::size_t>(units)) : nullptr;
    if (wide == nullptr || MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, units) == 0) {
        if (wide != nullptr)
            HeapFree(GetProcessHeap(), 0, wide);
        return;
    }
    OutputDebugStringW(wide);
    const std::size_t length = static_cast<std::size_t>(units) - 1;
    WCHAR *line = g_install != 0 ? AllocateUnits(sizeof kPrefix / sizeof(WCHAR) + 4 * length)
                                 : nullptr;
    if (line != nullptr) {
        std::size_t n = 0;
        for (const WCHAR *p = kPrefix; *p != 0; p++)
            line[n++] = *p;
        for (std::size_t i = 0; i < length; i++) {
            const WCHAR c = wide[i];
            if (c == '[' || c == ']' || c == '{' || c == '}') {
                line[n++] = '[';
                line[n++] = '\\';
                line[n++] = c;
                line[n++] = ']';
            } else if (c != '\n' || i + 1 < length) {
                line[n++] = c;
            }
        }
        line[n] = 0;
        const MSIHANDLE record = MsiCreateRecord(0);
        MsiRecordSetStringW(record, 0, line);
        MsiProcessMessage(g_install, kind, record);
        MsiCloseHandle(record);
        HeapFree(GetProcessHeap(), 0, line);
    }
    HeapFree(GetProcessHeap(), 0, wide);
}

/* Formats a line, growing its buffer up to kMaxLineBytes, and sends it; a
   longer one is sent as far as it goes. */
void LogV(INSTALLMESSAGE kind, const char *format, va_list args) NS_PRINTF(2, 0);
void LogV(INSTALLMESSAGE kind, const char *format, va_list args)
{
    char fixed[kTraceTextCapacity];
    char *text = fixed;
    std::size_t capacity = sizeof fixed;
    for (;;) {
        va_list again;
        va_copy(again, args);
        const int length = _vsnprintf(text, capacity - 1, format, again);
        va_end(again);
        if (length >= 0) {
            text[length] = '\0';
            break;
        }
        char *grown = capacity < kMaxLineBytes
                          ? static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, 4 * capacity))
                          : nullptr;
        if (grown == nullptr) {
            text[capacity - 1] = '\0';
            break;
        }
        if (text != fixed)
            HeapFree(GetProcessHeap(), 0, text);
        text = grown;
        capacity *= 4;
    }
    SendLine(kind, text);
    if (text != fixed)
        HeapFree(GetProcessHeap(), 0, text);
}

void Log(INSTALLMESSAGE kind, const char *format, ...) NS_PRINTF(2, 3);
void Log(INSTALLMESSAGE kind, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(kind, format, args);
    va_end(args);
}

constexpr auto kError = static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR);

/* A drive's folder (C:\...) or a share's (\\server\share...), in the
   backslashes and letters that a Windows path may have. */
bool IsFullPath(const WCHAR *path)
{
    const WCHAR letter = static_cast<WCHAR>(path[0] | 0x20);
    std::size_t i = 0;
    if (letter >= 'a' && letter <= 'z' && path[1] == ':' && path[2] == '\\') {
        i = 3;
    } else if (path[0] == '\\' && path[1] == '\\') {
        /* \\server\share: two names, neither empty nor ? or . */
        i = 2;
        for (int part = 0; part < 2; part++) {
            const std::size_t start = i;
            while (path[i] != 0 && path[i] != '\\')
                i++;
            if (i == start || path[start] == '?' || path[start] == '.' ||
                (part == 0 && path[i] != '\\'))
                return false;
            if (path[i] == '\\')
                i++;
        }
    } else {
        return false;
    }
    for (; path[i] != 0; i++) {
        const WCHAR c = path[i];
        if (c < 0x20 || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|')
            return false;
    }
    return true;
}

/* Splits the closing step's data, "MODE|PATH", in place. */
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

/* In this DLL the lines that the work traces go into the installation's
   log as well, and their text is UTF-8. */
void LogDebugString(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(INSTALLMESSAGE_INFO, format, args);
    va_end(args);
}

/* An immediate step, before anything changes: INSTALLDIR, when given, must
   be a full path; a relative one would be taken from msiexec's working
   folder and lost to every later repair and removal. */
extern "C" UINT WINAPI CheckInstallDir(MSIHANDLE install)
{
    g_install = install;
    WCHAR *folder = ReadProperty(install, WTEXT("INSTALLDIR"));
    UINT result = ERROR_SUCCESS;
    if (folder == nullptr) {
        result = ERROR_INSTALL_FAILURE;
    } else {
        if (folder[0] != 0 && !IsFullPath(folder)) {
            char *text = NewUtf8(folder);
            Log(kError, kMsgInstallDirNotFull, text);
            FreeUtf8(text);
            result = ERROR_INSTALL_FAILURE;
        }
        HeapFree(GetProcessHeap(), 0, folder);
    }
    g_install = 0;
    return result;
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
    DWORD left = 1;
    Mode mode = Mode::Replace;
    char *text = NewUtf8(WTEXT(""));

    g_install = install;
    WCHAR *data = ReadProperty(install, WTEXT("CustomActionData"));
    if (data != nullptr) {
        const WCHAR *path = nullptr;
        mode = SplitData(data, &path);
        /* Only the removal of the older version inside this upgrade may
           have recorded sessions before this step; any other record was
           left by an installation that did not finish. */
        if (mode != Mode::Upgrade && ForgetSessions())
            Log(INSTALLMESSAGE_INFO, kMsgStaleRecord);
        left = EndProcessesOfFile(path, &ended, sessions, &sessionCount);
        RememberSessions(sessions, sessionCount);
        FreeUtf8(text);
        text = NewUtf8(path);
        HeapFree(GetProcessHeap(), 0, data);
    }
    UINT result = ERROR_SUCCESS;
    if (left == 0) {
        Log(INSTALLMESSAGE_INFO, kMsgClosed, static_cast<int>(ended), text);
    } else if (mode == Mode::Remove) {
        Log(INSTALLMESSAGE_INFO, kMsgCloseFailedOnRemoval, static_cast<int>(left),
            static_cast<int>(ended), text);
    } else {
        Log(kError, kMsgCloseFailed, static_cast<int>(left), static_cast<int>(ended),
            text);
        result = ERROR_INSTALL_FAILURE;
    }
    FreeUtf8(text);
    g_install = 0;
    return result;
}

/* Starts the installed nosaver.exe in every session where CloseInstances
   ended one, when it is there. A start that fails is logged; the
   installation goes on. */
extern "C" UINT WINAPI RestartInstances(MSIHANDLE install)
{
    g_install = install;
    WCHAR *path = ReadProperty(install, WTEXT("CustomActionData"));
    if (path != nullptr) {
        RestartInSessions(path);
        HeapFree(GetProcessHeap(), 0, path);
    }
    g_install = 0;
    return ERROR_SUCCESS;
}

/* A removal starts nothing again. */
extern "C" UINT WINAPI ForgetInstances(MSIHANDLE install)
{
    g_install = install;
    ForgetSessions();
    g_install = 0;
    return ERROR_SUCCESS;
}

#ifdef _WIN32
/* The DLL's entry: nothing to set up or tear down. */
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *)
{
    return TRUE;
}
#endif
