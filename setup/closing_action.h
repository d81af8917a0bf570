/*
 * The entries of the installer's custom action DLL, as Windows Installer
 * calls them; setup/closing_action.cpp says what each does.
 */
#ifndef NOSAVER_SETUP_CLOSING_ACTION_H
#define NOSAVER_SETUP_CLOSING_ACTION_H

#include "platform/win.h"

extern "C" {
UINT WINAPI CheckInstallDir(MSIHANDLE install);
UINT WINAPI CloseInstances(MSIHANDLE install);
UINT WINAPI RestartInstances(MSIHANDLE install);
UINT WINAPI ForgetInstances(MSIHANDLE install);
}

#endif /* NOSAVER_SETUP_CLOSING_ACTION_H */
