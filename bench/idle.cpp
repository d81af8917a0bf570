/*
 * The floors of the idle benchmark, built like nosaver.exe:
 *
 *   idle.exe          only sleeps: what Wine itself costs for any program.
 *   idle.exe input    every 5 s also reads the cursor and injects the same
 *                     motionless event as nosaver: what reading the cursor
 *                     and injecting input cost under Wine, without nosaver's
 *                     own code. user32 is loaded only in this mode.
 */
#include <windows.h>

typedef BOOL(WINAPI *GetCursorPosFn)(POINT *);
typedef void(WINAPI *MouseEventFn)(DWORD, DWORD, DWORD, DWORD, ULONG_PTR);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    GetCursorPosFn getCursorPos = NULL;
    MouseEventFn mouseEvent = NULL;

    if (lstrcmpA(commandLine, "input") == 0) {
        HMODULE user32 = LoadLibraryA("user32.dll");
        getCursorPos = (GetCursorPosFn)(void *)GetProcAddress(user32, "GetCursorPos");
        mouseEvent = (MouseEventFn)(void *)GetProcAddress(user32, "mouse_event");
    }
    for (;;) {
        Sleep(5000);
        if (getCursorPos != NULL && mouseEvent != NULL) {
            POINT cursor = {0, 0};
            getCursorPos(&cursor);
            mouseEvent(MOUSEEVENTF_ABSOLUTE, (DWORD)cursor.x, (DWORD)cursor.y, 0, 0);
        }
    }
}
