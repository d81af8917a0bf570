#!/usr/bin/env python3
"""Runs nosaver under Wine and prints its trace lines as they arrive.

    live.py STATE WIN64_BUILD

Sets up a Wine environment in STATE, listens to the debugger output stream
as a viewer does, starts nosaver and prints every message with the time and
the sender's process id. Ctrl-C starts "nosaver close", which ends the
instance; its lines are printed too, then everything is taken down.
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import winenv  # noqa: E402


def shown(text):
    return "".join(c if c >= " " or c == "\t" else "\\n" if c == "\n" else "\\x%02x" % ord(c)
                   for c in text)


def main(state, build):
    harness = os.path.join(build, "harness.exe")
    print("setting up Wine in %s ..." % state, flush=True)
    winenv.setup(state, harness)
    wine = winenv.Wine(state, harness)
    listener = wine.listen()
    exe = os.path.join(build, "nosaver.exe")
    seen = 0
    instance = None

    def show_new():
        nonlocal seen
        messages = listener.messages()
        for m in messages[seen:]:
            print("%9.3f s  pid %-5d %s" % (m.ms / 1000.0, m.pid, shown(m.text())), flush=True)
        seen = len(messages)

    try:
        instance = wine.spawn(exe, b"nosaver.exe")
        print("nosaver runs as process %d; an event every 5 s. Ctrl-C stops it." % instance.pid,
              flush=True)
        while instance.running():
            show_new()
            time.sleep(0.2)
        print("nosaver ended with exit code %s" % instance.exit_code())
    except KeyboardInterrupt:
        print("\nnosaver close", flush=True)
        closer = wine.spawn(exe, b"nosaver.exe close")
        print("close ended with exit code %s; the instance with exit code %s" %
              (closer.exit_code(30), instance.exit_code(30) if instance else None))
        time.sleep(0.5)
    finally:
        show_new()
        listener.stop()
        if instance is not None:
            instance.stop()
        winenv.cleanup(state)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: live.py STATE WIN64_BUILD")
    main(*sys.argv[1:])
