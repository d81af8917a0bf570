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

} // namespace

/* In this DLL a trace line goes to the debugger output stream and, while a
   step runs, into the installation's log as "nosaver: <line>". */
void LogDebugString(const char *format, ...)
{
    char text[kTraceTextCapacity];
    va_list args;
    va_start(args, format);
    /* A cut line is sent as far as it goes. */
    _vsnprintf(text, sizeof text - 1, format, args);
    text[sizeof text - 1] = '\0';
    va_end(args);
    OutputDebugStringA(text);
    if (g_install == 0)
        return;
    const MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"nosaver: [1]");
    MsiRecordSetStringA(record, 1, text);
    MsiProcessMessage(g_install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
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

    g_install = install;
    WCHAR *path = ReadPath(install);
    if (path != nullptr) {
        left = EndProcessesOfFile(path, &ended, sessions, &sessionCount);
        RememberSessions(sessions, sessionCount);
    }
    const MSIHANDLE record = MsiCreateRecord(3);
    MsiRecordSetStringW(record, 0,
                        left == 0 ? L"nosaver: [1] running nosaver.exe ended ([3])"
                                  : L"nosaver: [2] running nosaver.exe could not be ended, "
                                    L"[1] were ([3]); close them and try again");
    MsiRecordSetInteger(record, 1, static_cast<int>(ended));
    MsiRecordSetInteger(record, 2, static_cast<int>(left));
    MsiRecordSetStringW(record, 3, path != nullptr ? path : L"");
    MsiProcessMessage(install,
                      left == 0 ? INSTALLMESSAGE_INFO
                                : static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR),
                      record);
    MsiCloseHandle(record);
    if (path != nullptr)
        HeapFree(GetProcessHeap(), 0, path);
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
