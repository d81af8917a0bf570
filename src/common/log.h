/*
 * The one log call of nosaver's code, and the message catalogue it takes
 * its formats from.
 *
 * Each binary links exactly one sink, a named implementation of this
 * interface:
 *   the trace (nosaver/trace.cpp), nosaver.exe's: the message is formatted
 *     in the runtime's default "C" locale, decoded in the calling thread's
 *     ANSI code page and handed to OutputDebugStringW, with nothing added;
 *   the installer's log (installer/log.cpp), the installer DLL's: the
 *     message is UTF-8, goes to OutputDebugStringW whole and into the log
 *     of the installation whose step runs.
 * Callers pass the formats of common/messages.h.
 */
#ifndef NOSAVER_COMMON_LOG_H
#define NOSAVER_COMMON_LOG_H

#include "common/messages.h"
#include "common/win.h"

#include <cstddef>

/* Largest formatted message of the trace, terminator included, in 4 KiB
   on the stack: every message of the catalogue fits it many times over,
   and only a long path can make one longer, which is cut. */
inline constexpr std::size_t kTraceTextCapacity = 4096;
/* UTF-16 units the trace converts without the heap, terminator included:
   every message without a path fits, so the keep-awake loop, which sends
   one every 5 s for the instance's life, never touches the heap. */
inline constexpr int kTraceFixedUnits = 128;

void LogDebugString(const char *format, ...) NS_PRINTF(1, 2);

/* A last-error code as the "%ld" of the failure messages shows it. */
inline long SignedError(DWORD error)
{
    return static_cast<LONG>(error);
}

#endif /* NOSAVER_COMMON_LOG_H */
