/*
 * The simulated Windows: what a user sees and does at the desktop, the
 * cursor that user32 reads and the mouse input it is sent; the debugger
 * output stream; and Sleep, which ends the keep-awake loop for a test.
 */
#include "simwin/machine.h"

using simwin::M;
using simwin::Record;

/* ---- controls ---- */

void SimSetCursor(LONG x, LONG y)
{
    M().cursor = {x, y};
}

void SimSetCursorPath(const std::vector<POINT> &path)
{
    M().cursorPath = path;
}

void SimEndLoopAfter(int passes)
{
    M().passesLeft = passes;
}

const std::vector<std::u16string> &SimDebugOutput(void)
{
    return M().debugOutput;
}

std::vector<std::string> SimDebugOutputUtf8(void)
{
    std::vector<std::string> out;
    for (const std::u16string &text : M().debugOutput)
        out.push_back(SimUtf8(text));
    return out;
}

/* ---- kernel32 ---- */

void Sleep(DWORD milliseconds)
{
    Record("Sleep(%u)", milliseconds);
    if (M().passesLeft-- <= 0)
        throw SimLoopEnd();
}

void OutputDebugStringW(const WCHAR *text)
{
    Record("OutputDebugStringW");
    M().debugOutput.push_back(text);
}

/* ---- user32 ---- */

BOOL GetCursorPos(POINT *point)
{
    Record("GetCursorPos");
    simwin::Machine &m = M();
    if (m.cursorReads < m.cursorPath.size())
        m.cursor = m.cursorPath[m.cursorReads];
    m.cursorReads++;
    if (simwin::Faulted("GetCursorPos"))
        return FALSE;
    *point = m.cursor;
    return TRUE;
}

void mouse_event(DWORD flags, DWORD dx, DWORD dy, DWORD data, ULONG_PTR extraInfo)
{
    Record("mouse_event(0x%x,%d,%d,%u,%lu)", flags, static_cast<int>(dx), static_cast<int>(dy),
           data, static_cast<unsigned long>(extraInfo));
}
