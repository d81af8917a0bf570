/*
 * Process entry and command dispatch.
 *
 * The argument text decides with the single-instance guard what this
 * start does:
 *
 *   guard created, not "close"   -> keep-awake loop, never returns
 *   guard created, "close"       -> nothing runs: say so, drop the guard
 *   guard not created, not close -> another instance runs: end at once
 *   guard not created, "close"   -> close the running instance
 *
 * "Not created" covers both an existing guard (last error 183) and a null
 * handle. Every path ends with exit code 0.
 */
#include "app/app.h"
#include "instance/instance.h"
#include "trace/trace.h"

#include <string.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    HANDLE guard;
    BOOL isClose;
    DWORD error;

    (void)instance;
    (void)previous;
    (void)showCommand;

    LogDebugString(MSG_COMMAND_LINE, commandLine);
    if (strcmp(commandLine, "test") == 0)
        LogDebugString(MSG_COMMAND_IS_TEST);

    guard = CreateMutexW(NULL, FALSE, GUARD_MUTEX_NAME);
    isClose = strcmp(commandLine, "close") == 0;
    error = GetLastError();

    if (error != ERROR_ALREADY_EXISTS && guard != NULL) {
        if (!isClose)
            RunKeepAwakeLoop();
        LogDebugString(MSG_EXIT_APP);
        CloseHandle(guard);
        return 0;
    }
    if (isClose)
        CloseRunningInstance();
    return 0;
}
