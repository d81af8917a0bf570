/*
 * Entry and keep-awake loop.
 */
#ifndef NOSAVER_APP_APP_H
#define NOSAVER_APP_APP_H

#include "platform/win.h"

/* The single-instance guard; a name in the session's own namespace. */
#define GUARD_MUTEX_NAME WTEXT("Local_ZAV_DISABLE_SCREENSAVER")
/* Time between two injected mouse events. */
#define KEEP_AWAKE_INTERVAL_MS 5000

/* Injects one motionless mouse event every 5 s for the rest of the process. */
[[noreturn]] void RunKeepAwakeLoop(void);

#ifndef _WIN32
/* On Windows <windows.h> declares it; the runtime calls it with the
   command-line tail and ends the process with its result. */
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
#endif

#endif /* NOSAVER_APP_APP_H */
