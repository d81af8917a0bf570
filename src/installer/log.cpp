/*
 * The installer's log, the DLL's log sink, and the installation whose step
 * runs.
 *
 * LogDebugString here is the installer's log: the line is UTF-8, goes to
 * the debugger output stream and, while a step runs, into that
 * installation's log, both as UTF-16, so that a path of any length and any
 * letters arrives whole.
 */
#include "installer/installer.h"

#include <cstdarg>

namespace {

/* The installation whose step runs, for the lines of LogDebugString. */
MSIHANDLE g_install = 0;

/* Lines of up to this many units, and the beginning of longer ones when the
   heap has no room, are converted on the stack: a line with a path of the
   usual length fits. */
constexpr std::size_t kFixedLineUnits = 256;
/* Room for a formatted line: a path of any length in UTF-8 and its words. */
constexpr std::size_t kMaxLineBytes = 4 * kMaxPathUnits;

/* Sends a UTF-8 line to the debugger output stream and, while a step runs,
   into the installation's log as "nosaver: <line>", of the given kind.
   Windows Installer reads a message as a template, so the line's brackets
   and braces go escaped ([\[] and so on), to arrive as they are; a line end
   is left to the log. Without memory for a long line its beginning is sent,
   from buffers on the stack, cut where a character begins. */
void SendLine(INSTALLMESSAGE kind, char *text)
{
    static constexpr WCHAR kPrefix[] = WTEXT("nosaver: ");
    constexpr std::size_t kPrefixUnits = sizeof kPrefix / sizeof(WCHAR) - 1;
    WCHAR fixedWide[kFixedLineUnits];
    WCHAR fixedLine[kPrefixUnits + 4 * kFixedLineUnits];

    int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    WCHAR *wide = units > static_cast<int>(kFixedLineUnits)
                      ? AllocateUnits(static_cast<std::size_t>(units))
                      : fixedWide;
    if (wide == nullptr) {
        std::size_t cut = kFixedLineUnits - 1;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            cut--;
        text[cut] = '\0';
        wide = fixedWide;
        units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    }
    if (units > 0 && MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, units) != 0) {
        OutputDebugStringW(wide);
        std::size_t length = static_cast<std::size_t>(units) - 1;
        WCHAR *line = nullptr;
        if (g_install != 0) {
            line = length < kFixedLineUnits ? fixedLine : AllocateUnits(kPrefixUnits + 4 * length + 1);
            if (line == nullptr) {
                line = fixedLine;
                length = kFixedLineUnits - 1;
            }
        }
        if (line != nullptr) {
            std::size_t n = 0;
            for (const WCHAR *p = kPrefix; *p != 0; p++)
                line[n++] = *p;
            for (std::size_t i = 0; i < length; i++) {
                const WCHAR c = wide[i];
                if (c == '[' || c == ']' || c == '{' || c == '}') {
                    line[n++] = '[';
                    line[n++] = '\\';
                    line[n++] = c;
                    line[n++] = ']';
                } else if (c != '\n' || i + 1 < length) {
                    line[n++] = c;
                }
            }
            line[n] = 0;
            const MSIHANDLE record = MsiCreateRecord(0);
            MsiRecordSetStringW(record, 0, line);
            MsiProcessMessage(g_install, kind, record);
            MsiCloseHandle(record);
            if (line != fixedLine)
                HeapFree(GetProcessHeap(), 0, line);
        }
    }
    if (wide != fixedWide)
        HeapFree(GetProcessHeap(), 0, wide);
}

/* Formats a line, growing its buffer up to kMaxLineBytes, and sends it; a
   longer one is sent as far as it goes. */
void LogV(INSTALLMESSAGE kind, const char *format, va_list args) NS_PRINTF(2, 0);
void LogV(INSTALLMESSAGE kind, const char *format, va_list args)
{
    char fixed[kTraceTextCapacity];
    char *text = fixed;
    std::size_t capacity = sizeof fixed;
    for (;;) {
        va_list again;
        va_copy(again, args);
        const int length = _vsnprintf(text, capacity - 1, format, again);
        va_end(again);
        if (length >= 0) {
            text[length] = '\0';
            break;
        }
        char *grown = capacity < kMaxLineBytes
                          ? static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, 4 * capacity))
                          : nullptr;
        if (grown == nullptr) {
            text[capacity - 1] = '\0';
            break;
        }
        if (text != fixed)
            HeapFree(GetProcessHeap(), 0, text);
        text = grown;
        capacity *= 4;
    }
    SendLine(kind, text);
    if (text != fixed)
        HeapFree(GetProcessHeap(), 0, text);
}

} // namespace

void BeginStep(MSIHANDLE install)
{
    g_install = install;
}

void EndStep()
{
    g_install = 0;
}

void LogDebugString(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(INSTALLMESSAGE_INFO, format, args);
    va_end(args);
}

void LogError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogV(static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_ICONERROR), format, args);
    va_end(args);
}
