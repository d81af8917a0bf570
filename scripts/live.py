#!/usr/bin/env python3
"""Runs nosaver under Wine and prints its trace lines as they arrive.

    live.py STATE [CODEPAGE]

Runs the shipped 32-bit build/win32/nosaver.exe under Debian's i386 Wine,
emulated by qemu-i386 (scripts/wine32.sh). Listens to the
debugger output stream as a viewer does and prints every message with the
time and the sender's process id, as a Windows whose ANSI code page is
CODEPAGE (936, Chinese, by default; 1252 for Western European) shows it.
Ctrl-C starts "nosaver close", which ends the instance; its lines are
printed too, then everything is taken down.
"""
import os
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import winenv  # noqa: E402

# Wine takes the ANSI code page from the locale.
LOCALES = {936: "zh_CN.UTF-8", 950: "zh_TW.UTF-8", 932: "ja_JP.UTF-8", 949: "ko_KR.UTF-8",
           1250: "pl_PL.UTF-8", 1251: "ru_RU.UTF-8", 1252: "en_US.UTF-8"}


def shown(text):
    return "".join(c if c >= " " or c == "\t" else "\\n" if c == "\n" else "\\x%02x" % ord(c)
                   for c in text)


def main(state, codepage):
    if codepage not in LOCALES:
        sys.exit("code page %d is not one of %s" % (codepage, sorted(LOCALES)))
    locale = LOCALES[codepage]
    harness = os.path.join(ROOT, "build", "win32", "harness.exe")
    exe = os.path.join(ROOT, "build", "win32", "nosaver.exe")
    wine = listener = instance = None
    seen = 0

    def show_new():
        nonlocal seen
        messages = listener.messages()
        for m in messages[seen:]:
            print("%9.3f s  pid %-5d %s" % (m.ms / 1000.0, m.pid, shown(m.text("cp%d" % codepage))),
                  flush=True)
        seen = len(messages)

    # Everything set up is taken down, even after a Ctrl-C during set-up.
    try:
        print("setting up the emulated 32-bit Wine in %s" % state, flush=True)
        winenv.setup(state, harness, "wine32")
        wine = winenv.Wine(state)
        listener = wine.listen()
        instance = wine.spawn(exe, b"nosaver.exe", locale=locale)
        print("%s runs as process %d under %s, code page %d; an event every 5 s. "
              "Ctrl-C stops it." % (os.path.relpath(exe, ROOT), instance.pid, wine.version,
                                    codepage), flush=True)
        while instance.running():
            show_new()
            time.sleep(0.2)
        print("nosaver ended with exit code %s" % instance.exit_code())
    except KeyboardInterrupt:
        if instance is not None:
            print("\nnosaver close", flush=True)
            closer = wine.spawn(exe, b"nosaver.exe close", locale=locale)
            print("close ended with exit code %s; the instance with exit code %s" %
                  (closer.exit_code(30), instance.exit_code(30)))
            time.sleep(0.5)
    finally:
        if listener is not None:
            show_new()
            listener.stop()
        if instance is not None:
            instance.stop()
        winenv.cleanup(state)

if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: live.py STATE [CODEPAGE]")
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) == 3 else 936)
