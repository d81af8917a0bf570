/*
 * Command dispatch.
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
#include "nosaver/nosaver.h"
#include "common/log.h"

#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    LogDebugString(kMsgCommandLine, commandLine);
    /* "test" only says so, a second line in a debug-output viewer that
       shows the trace arrives; the start goes on as any other. */
    if (std::strcmp(commandLine, "test") == 0)
        LogDebugString(kMsgCommandIsTest);

    const HANDLE guard = CreateMutexW(nullptr, FALSE, kGuardMutexName);
    const bool isClose = std::strcmp(commandLine, "close") == 0;
    const DWORD error = GetLastError();

    if (error != ERROR_ALREADY_EXISTS && guard != nullptr) {
        if (!isClose)
            RunKeepAwakeLoop();
        LogDebugString(kMsgExitApp);
        CloseHandle(guard);
        return 0;
    }
    if (isClose)
        CloseRunningInstance();
    return 0;
}
