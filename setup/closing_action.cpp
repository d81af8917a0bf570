/*
 * The installer's closing step as a custom action DLL: Windows Installer
 * loads it from the package and calls CloseInstances, deferred and not
 * impersonated, before the installed files are removed or replaced (see
 * nosaver.wxs). The path of the installed nosaver.exe comes as the
 * action's data; the work is EndProcessesOfFile's.
 */
#include "instance/instance.h"

#include <msi.h>
#include <msiquery.h>

/* Ends every process running the installed nosaver.exe, in every session.
   Reports the outcome in the installer's log; fails the installation,
   which Windows Installer then rolls back, when one runs on. */
extern "C" UINT __stdcall CloseInstances(MSIHANDLE install)
{
    WCHAR path[kProcessPathUnits];
    DWORD units = kProcessPathUnits;
    DWORD ended = 0;
    DWORD left = 1;

    if (MsiGetPropertyW(install, L"CustomActionData", path, &units) == ERROR_SUCCESS)
        left = EndProcessesOfFile(path, &ended);
    else
        path[0] = 0;

    const MSIHANDLE record = MsiCreateRecord(3);
    MsiRecordSetStringW(record, 0,
                        left == 0 ? L"nosaver: [1] running nosaver.exe ended ([3])"
                                  : L"nosaver: [2] running nosaver.exe could not be ended, "
                                    L"[1] were ([3]); close them and try again");
    MsiRecordSetInteger(record, 1, static_cast<int>(ended));
    MsiRecordSetInteger(record, 2, static_cast<int>(left));
    MsiRecordSetStringW(record, 3, path);
    MsiProcessMessage(install,
                      left == 0 ? INSTALLMESSAGE_INFO
                                : static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR),
                      record);
    MsiCloseHandle(record);
    return left == 0 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

/* The DLL's entry: nothing to set up or tear down. */
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, void *)
{
    return TRUE;
}
