/*
 * Trace output: formatted narrow messages to the debugger output stream.
 */
#ifndef NOSAVER_TRACE_TRACE_H
#define NOSAVER_TRACE_TRACE_H

#include "platform/win.h"
#include "trace/messages.h"

#include <cstddef>

/* Largest formatted message, terminator included; longer output is cut. */
inline constexpr std::size_t kTraceTextCapacity = 4096;
/* UTF-16 units converted without the heap, terminator included. */
inline constexpr int kTraceFixedUnits = 128;

/*
 * Formats the message in the runtime's default "C" locale, decodes it in
 * the calling thread's ANSI code page and hands it to OutputDebugStringW,
 * adding nothing. Callers pass the formats of trace/messages.h.
 */
void LogDebugString(const char *format, ...) NS_PRINTF(1, 2);

#endif /* NOSAVER_TRACE_TRACE_H */
