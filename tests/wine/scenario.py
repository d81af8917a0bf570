"""Shared frame of the Wine scenarios: checks, started programs, cleanup."""
import os
import shutil
import sys
import time
import traceback

from wine import ROOT, Wine


class Scenario:
    """Runs a scenario's steps in order, reports every check, and ends every
    program it started, whatever happens."""

    def __init__(self, name, args=()):
        """args names the scenario's own arguments after STATE BUILD."""
        if len(sys.argv) != 3 + len(args):
            sys.exit("usage: %s STATE BUILD %s" % (sys.argv[0], " ".join(args)))
        self.name = name
        self.build = sys.argv[2]
        self.args = sys.argv[3:]
        # What the scenario runs, as its last line names it.
        self.subject = os.path.join(self.build, "nosaver.exe")
        self.wine = Wine(sys.argv[1])
        self.started = []
        self.failures = 0
        self.listener = None

    def check(self, condition, what, detail=None):
        print("%s  %s" % ("ok  " if condition else "FAIL", what))
        if not condition:
            self.failures += 1
            if detail is not None:
                print("      got: %r" % (detail,))
        return condition

    def equal(self, actual, expected, what):
        return self.check(actual == expected, what, None if actual == expected
                          else "%r, expected %r" % (actual, expected))

    def install(self, folder_name, exe_name="nosaver.exe", source=None):
        """Copies the build's nosaver.exe, or another program, into a fresh
        folder; returns its path."""
        folder = os.path.join(self.wine.scratch_file(self.name), folder_name)
        os.makedirs(folder)
        path = os.path.join(folder, exe_name)
        shutil.copy(source or os.path.join(self.build, "nosaver.exe"), path)
        return path

    def start(self, exe, command_line, **kw):
        started = self.wine.spawn(exe, command_line, **kw)
        self.started.append(started)
        return started

    def finish_start(self, started, timeout=15):
        """Waits for a start that should end by itself; checks exit code 0."""
        code = started.exit_code(timeout)
        self.equal(code, 0, "start %d ends with exit code 0" % started.pid)
        return code

    def texts(self, started, codepage="cp1252"):
        return self.listener.texts(started.pid, codepage)

    def wait_texts(self, started, count, timeout, codepage="cp1252"):
        """Waits for at least count messages of a program, and a moment more
        for any it should not have sent; returns its texts."""
        self.listener.wait(lambda ms: len([m for m in ms if m.pid == started.pid]) >= count,
                           timeout)
        time.sleep(0.3)
        return self.texts(started, codepage)

    def run(self, body):
        self.listener = self.wine.listen()
        try:
            body(self)
        except Exception:
            traceback.print_exc()
            self.failures += 1
        finally:
            for started in self.started:
                try:
                    started.stop()
                except Exception:
                    traceback.print_exc()
            self.listener.stop()
        print("%s: %s, %s under %s" % (
            self.name, "passed" if self.failures == 0 else "%d check(s) failed" % self.failures,
            os.path.relpath(self.subject, ROOT), self.wine.version))
        sys.exit(1 if self.failures else 0)
