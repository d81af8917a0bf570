/*
 * The work of the running instance: every 5 seconds, one mouse event with
 * MOUSEEVENTF_ABSOLUTE alone at the position the cursor already has. It
 * counts as input, so the screen saver does not start, yet it neither
 * moves the cursor nor presses a button.
 */
#include "nosaver/nosaver.h"
#include "common/log.h"

void RunKeepAwakeLoop()
{
    /* Kept from pass to pass: a failed read reuses the last position,
       and before the first successful one the event goes to (0, 0). */
    POINT cursor = {0, 0};

    for (;;) {
        Sleep(kKeepAwakeIntervalMs);
        GetCursorPos(&cursor);
        /* Negative coordinates pass as their two's complement, as the
           signed values they are. */
        mouse_event(MOUSEEVENTF_ABSOLUTE, static_cast<DWORD>(cursor.x),
                    static_cast<DWORD>(cursor.y), 0, 0);
        LogDebugString(kMsgMoveMouse, static_cast<int>(cursor.x), static_cast<int>(cursor.y));
    }
}
