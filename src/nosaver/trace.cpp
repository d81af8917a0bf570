/*
 * The trace, nosaver.exe's log sink.
 *
 * A message is formatted into a zeroed 4096-byte buffer (at most 4095
 * bytes of output), decoded in the thread's ANSI code page and sent with
 * OutputDebugStringW. Messages of up to 127 bytes are decoded in a buffer
 * on the stack; longer ones take a heap block of one unit per byte, so
 * the keep-awake loop never touches the heap.
 */
#include "common/log.h"

#include <cstdarg>
#include <cstring>

namespace {

/* Passes the bytes on one unit each; always terminates within units. */
void WidenBytes(const char *text, WCHAR *out, int units)
{
    int i = 0;

    for (; i < units - 1 && text[i] != '\0'; i++)
        out[i] = static_cast<unsigned char>(text[i]);
    out[i] = 0;
}

/* The installer's DLL has one of its own (installer/text.cpp tells why). */
WCHAR *AllocateUnits(int units)
{
    return static_cast<WCHAR *>(
        HeapAlloc(GetProcessHeap(), 0, static_cast<std::size_t>(units) * sizeof(WCHAR)));
}

} // namespace

void LogDebugString(const char *format, ...)
{
    char text[kTraceTextCapacity];
    WCHAR fixed[kTraceFixedUnits];
    WCHAR *wide = fixed;
    int units = kTraceFixedUnits;

    std::memset(text, 0, sizeof text);
    va_list args;
    va_start(args, format);
    /* -1 means either a cut, which fills all 4095 bytes, or a failure,
       which leaves them short; only the failure empties the message. */
    if (_vsnprintf(text, sizeof text - 1, format, args) < 0 && text[sizeof text - 2] == '\0')
        text[0] = '\0';
    va_end(args);

    int bytes = static_cast<int>(std::strlen(text)) + 1;
    if (bytes > kTraceFixedUnits) {
        if (WCHAR *block = AllocateUnits(bytes); block != nullptr) {
            wide = block;
            units = bytes;
        } else {
            /* No memory: send the beginning that the stack buffer holds. */
            text[kTraceFixedUnits - 1] = '\0';
            bytes = kTraceFixedUnits;
        }
    }

    int converted = MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, wide, units);
    if (converted == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        const int needed = MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, nullptr, 0);
        if (WCHAR *grown = needed > 0 ? AllocateUnits(needed) : nullptr; grown != nullptr) {
            const int retried = MultiByteToWideChar(CP_THREAD_ACP, 0, text, bytes, grown, needed);
            if (retried != 0) {
                if (wide != fixed)
                    HeapFree(GetProcessHeap(), 0, wide);
                wide = grown;
                units = needed;
                converted = retried;
            } else {
                /* The grown block may hold fewer units than the text has
                   bytes; the fallback below needs the one that holds all. */
                HeapFree(GetProcessHeap(), 0, grown);
            }
        }
    }
    /* A code page that cannot be used still leaves the ASCII readable. */
    if (converted == 0)
        WidenBytes(text, wide, units);

    OutputDebugStringW(wide);

    if (wide != fixed)
        HeapFree(GetProcessHeap(), 0, wide);
}
