#!/usr/bin/env python3
"""Entry and keep-awake loop of the real program under Wine.

A "close" start with nothing running, then one instance and every kind of
further start while it runs: the trace each one sends, its exit code, the
instance's guard, its mouse events and that the cursor stays where it is.
"""
import re

from scenario import Scenario

GUARD = 'L"Local_ZAV_DISABLE_SCREENSAVER"'


def body(s):
    exe = s.install("entry")

    # Nothing runs: "close" takes the guard for a moment, says so and ends.
    # Blanks and tabs in front of the keyword are not part of the argument.
    for line in (b"nosaver.exe close", b"nosaver.exe \t  \tclose"):
        closer = s.start(exe, line)
        s.finish_start(closer)
        s.equal(s.wait_texts(closer, 2, 5), ["lpCmdLine:[close]\n", "exit app!\n"],
                "%r with nothing running traces its argument and exit app!" % line)

    # The first plain start becomes the instance.
    s.wine.move_cursor(321, 123)
    instance = s.start(exe, b"nosaver.exe", relay=True)
    texts = s.wait_texts(instance, 2, 20)
    s.equal(texts[:2], ["lpCmdLine:[]\n", "move mouse, src x[321], y[123]!\n"],
            "the instance traces its empty argument, then one event at the cursor")
    first, move = s.listener.messages(instance.pid)[:2]
    s.check(4900 <= move.ms - first.ms <= 8000,
            "the first event comes about 5 s after the start", move.ms - first.ms)
    s.check(instance.running(), "the instance keeps running")

    calls = instance.relay_calls()
    mutex = [c for c in calls if c.startswith("KERNEL32.CreateMutexW")]
    s.check(len(mutex) == 1 and re.match(r"KERNEL32\.CreateMutexW\(0+,0+,[0-9a-f]+ %s\)$" % GUARD,
                                         mutex[0]),
            "the guard is CreateMutexW(NULL, FALSE, Local_ZAV_DISABLE_SCREENSAVER)", mutex)
    loop = [re.sub(r"\(.*", "", c) for c in calls[calls.index(mutex[0]) + 2:]][:5]
    s.equal(loop, ["KERNEL32.Sleep", "user32.GetCursorPos", "user32.mouse_event",
                   "KERNEL32.MultiByteToWideChar", "KERNEL32.OutputDebugStringW"],
            "a pass is Sleep, GetCursorPos, mouse_event, then the trace")
    s.check("KERNEL32.Sleep(00001388)" in calls, "the pass sleeps 5000 ms",
            [c for c in calls if "Sleep" in c])
    events = [c for c in calls if c.startswith("user32.mouse_event")]
    s.equal(events[:1], ["user32.mouse_event(00008000,00000141,0000007b,00000000,00000000)"],
            "the event has MOUSEEVENTF_ABSOLUTE alone and the cursor position")
    s.equal(s.wine.cursor(), (321, 123), "the cursor has not moved")

    # Further starts while the instance runs: one line each (two for
    # "test"), exit code 0, and the instance goes on.
    others = [
        (b"nosaver.exe", ["lpCmdLine:[]\n"]),
        (b"nosaver.exe test", ["lpCmdLine:[test]\n", "lpCmdLine is test.\n"]),
        (b"nosaver.exe close ", ["lpCmdLine:[close ]\n"]),
        (b"nosaver.exe Close", ["lpCmdLine:[Close]\n"]),
        (b"nosaver.exe CLOSE", ["lpCmdLine:[CLOSE]\n"]),
        (b'nosaver.exe "close"', ['lpCmdLine:["close"]\n']),
        (b"nosaver.exe close now", ["lpCmdLine:[close now]\n"]),
        (b'"nosaver.exe"   test', ["lpCmdLine:[test]\n", "lpCmdLine is test.\n"]),
        # The name goes on after its closing quote; a byte of 0x80 or above
        # ends it outside quotes.
        (b'"nosaver.exe"test', ["lpCmdLine:[]\n"]),
        (b"nosaver\x81.exe test", ["lpCmdLine:[.exe test]\n"]),
    ]
    for line, expected in others:
        start = s.start(exe, line)
        s.finish_start(start, 10)
        s.equal(s.wait_texts(start, len(expected), 5), expected,
                "%r while the instance runs traces %d line(s) and ends" % (line, len(expected)))

    texts = s.wait_texts(instance, 3, 15)
    s.check(instance.running() and texts[2:3] == ["move mouse, src x[321], y[123]!\n"],
            "the instance went on undisturbed", texts)
    moves = [m for m in s.listener.messages(instance.pid) if m.text().startswith("move")]
    s.check(4900 <= moves[1].ms - moves[0].ms <= 7000,
            "events come about every 5 s", moves[1].ms - moves[0].ms)
    s.equal(s.wine.cursor(), (321, 123), "the cursor still has not moved")


if __name__ == "__main__":
    Scenario("entry").run(body)
