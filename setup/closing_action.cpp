/*
 * The installer's own steps as a custom action DLL: Windows Installer loads
 * it from the package and calls its entries, deferred and not impersonated
 * (see nosaver.wxs). Each gets the path of the installed nosaver.exe as
 * the action's data; the work is instance/'s. Every line the work traces
 * also goes into the installation's log.
 *
 *   CloseInstances    before the file is replaced or removed: ends every
 *                     process running it and remembers their sessions;
 *                     fails the installation when one runs on.
 *   RestartInstances  once the new file is in place, and when the
 *                     installation is rolled back: starts the file again in
 *                     the sessions remembered.
 *   ForgetInstances   at the end of a removal: forgets them.
 */
#include "instance/instance.h"
#include "trace/trace.h"

#include <msi.h>
#include <msiquery.h>

#include <cstdarg>

namespace {

/* The installation whose step runs, for the lines of LogDebugString. */
MSIHANDLE g_install = 0;

/* The action's data, the installed file's path, in a heap block the caller
   frees; empty when there is none or it is longer than any path. */
WCHAR *ReadPath(MSIHANDLE install)
{
    const auto path = static_cast<WCHAR *>(
        HeapAlloc(GetProcessHeap(), 0, kMaxPathUnits * sizeof(WCHAR)));
    DWORD units = kMaxPathUnits;
    if (path != nullptr &&
        MsiGetPropertyW(install, L"CustomActionData", path, &units) != ERROR_SUCCESS)
        path[0] = 0;
    return path;
}

/* Formats a line and sends it to the debugger output stream and, while a
   step runs, into the installation's log as "nosaver: <line>", of the
   given kind. Windows Installer reads a message as a template, so the
   line's brackets and braces go escaped ([\[] and so on), to arrive as
   they are; a line end is left to the log. */
void LogV(INSTALLMESSAGE kind, const char *format, va_list args) NS_PRINTF(2, 0);
void LogV(INSTALLMESSAGE kind, const char *format, va_list args)
{
    static constexpr char kPrefix[] = "nosaver: ";
    char text[kTraceTextCapacity];
    /* A cut line is sent as far as it goes. */
    _vsnprintf(text, sizeof text - 1, format, args);
    text[sizeof text - 1] = '\0';
    OutputDebugStringA(text);
    if (g_install == 0)
        return;
    DWORD length = 0;
    while (text[length] != '\0')
        length++;
    const auto line = static_cast<char *>(
        HeapAlloc(GetProcessHeap(), 0, sizeof kPrefix + 4 * length));
    if (line == nullptr)
        return;
    DWORD n = 0;
    for (const char c : kPrefix)
        line[n++] = c;
    n--;
    for (DWORD i = 0; i < length; i++) {
        const char c = text[i];
        if (c == '[' || c == ']' || c == '{' || c == '}') {
            line[n++] = '[';
            line[n++] = '\\';
            line[n++] = c;
            line[n++] = ']';
        } else if (c != '\n' || i + 1 < length) {
            line[n++] = c;
        }
    }
    line[n] = '\0';
    const MSIHANDLE record = MsiCreateRecord(0);
    MsiRecordSetStringA(record, 0, line);
    MsiProcessMessage(g_install, kind, record);
    MsiCloseHandle(record);
    HeapFree(GetProcessHeap(), 0, line);
}

void Log(INSTALLMESSAGE kind, const char *format, ...) NS_PRINTF(2, 3);
void Log(INSTALLMESSAGE kind, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(kind, format, args);
    va_end(args);
}

} // namespace

/* In this DLL the lines that the work traces go into the installation's
   log as well. */
void LogDebugString(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(INSTALLMESSAGE_INFO, format, args);
    va_end(args);
}

/* Ends every process running the installed nosaver.exe, in every session,
   and remembers where for RestartInstances. Reports the outcome in the
   installer's log; fails the installation, which Windows Installer then
   rolls back, when one runs on. */
extern "C" UINT __stdcall CloseInstances(MSIHANDLE install)
{
    DWORD sessions[kMaxSessions];
    DWORD sessionCount = 0;
    DWORD ended = 0;
    DWORD left = 1;
    char narrow[kNarrowPathBytes] = "";

    g_install = install;
    WCHAR *path = ReadPath(install);
    if (path != nullptr) {
        left = EndProcessesOfFile(path, &ended, sessions, &sessionCount);
        RememberSessions(sessions, sessionCount);
        NarrowFromPath(path, narrow, sizeof narrow);
        HeapFree(GetProcessHeap(), 0, path);
    }
    if (left == 0)
        Log(INSTALLMESSAGE_INFO, "%lu running nosaver.exe ended (%s)", ended, narrow);
    else
        Log(static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR),
            "%lu running nosaver.exe could not be ended, %lu were (%s); close them and try again",
            left, ended, narrow);
    g_install = 0;
    return left == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

/* Starts the installed nosaver.exe in every session where CloseInstances
   ended one. A start that fails is logged; the installation goes on. */
extern "C" UINT __stdcall RestartInstances(MSIHANDLE install)
{
    g_install = install;
    WCHAR *path = ReadPath(install);
    if (path != nullptr) {
        RestartInSessions(path);
        HeapFree(GetProcessHeap(), 0, path);
    }
    g_install = 0;
    return ERROR_SUCCESS;
}

/* A removal starts nothing again. */
extern "C" UINT __stdcall ForgetInstances(MSIHANDLE install)
{
    g_install = install;
    ForgetSessions();
    g_install = 0;
    return ERROR_SUCCESS;
}

/* The DLL's entry: nothing to set up or tear down. */
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *)
{
    return TRUE;
}
