#!/usr/bin/env python3
"""Runs nosaver under Wine and prints its trace lines as they arrive.

    live.py STATE CODEPAGE LOCALE        (scripts/run.sh checks the arguments)

Runs the shipped 32-bit build/win32/nosaver.exe under Debian's i386 Wine,
emulated by qemu-i386 (scripts/wine32.sh), in an environment in the folder
STATE. Listens to the debugger output stream as a viewer does and prints
every message with the time and the sender's process id, as a Windows whose
ANSI code page is CODEPAGE shows it; Wine takes that code page from LOCALE.

Ctrl-C, SIGTERM and SIGHUP (the terminal gone) start "nosaver close", which
ends the instance; its lines are printed too, then everything is taken down.
Signals that come while that happens are ignored. Exit code 0 after Ctrl-C,
128 + the signal's number after the others, 1 when the folder is in use or
the set-up fails.
"""
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
import winenv
from wine import Wine


class Stop(Exception):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


# The signal that stopped the run, then None once its clean-up has begun.
stopping = []


def stop(signum):
    """Only the first signal stops the run; the clean-up it starts runs to
    its end whatever comes after."""
    if not stopping:
        stopping.append(signum)
        raise Stop(signum)


def quiet():
    """Sends further output nowhere: its terminal or reader is gone."""
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.dup2(null, 2)


class Output:
    """Standard output that outlives its reader: once the terminal or the
    pipe is gone, output goes nowhere and the run stops as after SIGPIPE."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        try:
            return self.stream.write(text)
        except OSError:
            self.lost()

    def flush(self):
        try:
            self.stream.flush()
        except OSError:
            self.lost()

    def lost(self):
        quiet()
        self.stream = open(os.devnull, "w")
        stop(signal.SIGPIPE)


def say(text=""):
    print(text, flush=True)


def shown(text):
    return "".join(c if c >= " " or c == "\t" else "\\n" if c == "\n" else "\\x%02x" % ord(c)
                   for c in text)


def main(state, codepage, locale):
    harness = os.path.join(ROOT, "build", "win32", "harness.exe")
    exe = os.path.join(ROOT, "build", "win32", "nosaver.exe")
    wine = listener = instance = None
    seen = 0
    terminal = os.isatty(1)
    sys.stdout = Output(sys.stdout)

    def on_signal(signum, frame):
        if signum == signal.SIGHUP and terminal:
            quiet()  # the terminal is gone
        stop(signum)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)

    def show_new():
        nonlocal seen
        messages = listener.messages()
        for m in messages[seen:]:
            say("%9.3f s  pid %-5d %s" % (m.ms / 1000.0, m.pid,
                                         shown(m.text("cp%d" % codepage))))
        seen = len(messages)

    def attempt(what, action):
        try:
            action()
        except Exception as e:  # the other steps still run
            say("run.sh: %s: %s" % (what, e))

    def close():
        say("\nnosaver close")
        closer = wine.spawn(exe, b"nosaver.exe close", locale=locale)
        say("close ended with exit code %s; the instance with exit code %s" %
            (closer.exit_code(30), instance.exit_code(30)))
        time.sleep(0.5)  # its last messages

    code = 0
    owned = True  # unless the folder turns out to be another run's
    try:
        say("setting up the emulated 32-bit Wine in %s" % state)
        winenv.setup(state, harness, "wine32")
        wine = Wine(state)
        listener = wine.listen()
        instance = wine.spawn(exe, b"nosaver.exe", locale=locale)
        say("%s runs as process %d under %s, code page %d; an event every 5 s. "
            "Ctrl-C stops it." % (os.path.relpath(exe, ROOT), instance.pid, wine.version,
                                  codepage))
        while instance.running():
            show_new()
            time.sleep(0.2)
        say("nosaver ended with exit code %s" % instance.exit_code())
    except Stop as stopped:
        code = 0 if stopped.signum == signal.SIGINT else 128 + stopped.signum
    except winenv.InUse as e:
        owned = False
        say("run.sh: %s.\nAnother run.sh runs in this checkout; stop it first (Ctrl-C "
            "in its terminal)." % e)
        code = 1
    except (RuntimeError, AssertionError, subprocess.SubprocessError, OSError) as e:
        say("run.sh: %s" % e)
        code = 1
    finally:
        stopping.append(None)
        if instance is not None and instance.running():
            attempt("nosaver close", close)
        if listener is not None:
            attempt("the last messages", show_new)
            attempt("the listener", listener.stop)
        if instance is not None:
            attempt("the instance", instance.stop)
        if owned:
            attempt("cleaning up", lambda: winenv.cleanup(state))
    return code


if __name__ == "__main__":
    if len(sys.argv) != 4 or not sys.argv[2].isdigit():
        sys.exit("usage: live.py STATE CODEPAGE LOCALE (bash scripts/run.sh --help)")
    try:
        sys.exit(main(sys.argv[1], int(sys.argv[2]), sys.argv[3]))
    except Stop as stopped:  # one that came between the run's end and its clean-up
        sys.exit(128 + stopped.signum)
