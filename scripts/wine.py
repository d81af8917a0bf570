#!/usr/bin/env python3
"""Windows programs under Wine, for the scenarios, the run script and the
benchmarks: an environment that scripts/winenv.py has set up, described by
the file env.json of its state folder, and what runs in it.

    Wine(STATE)      the environment: runs a program to its end, starts one
                     with an exact command line (Started), listens to the
                     debugger output stream as a viewer does (Listener),
                     reads and places the cursor
    winpath(PATH)    the Windows name of a host path

KINDS names the two Wines, both Debian 12's Wine 8: "wine64", which runs
x86-64 programs natively, and "wine32", its i386 build, which runs 32-bit
programs under CPU emulation (scripts/wine32.sh) in a 32-bit prefix.
Every process of an environment carries MARK=STATE in its environment.
"""
import json
import os
import re
import subprocess
import time

import pefile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
# The mark in the environment of every process of an environment: its state folder.
MARK = "NOSAVER_WINENV"
# Each kind's loader and server, as commands.
WINE32 = ["bash", os.path.join(ROOT, "scripts", "wine32.sh")]
KINDS = {
    "wine64": (["/usr/lib/wine/wine64"], ["/usr/lib/wine/wineserver64"]),
    "wine32": (WINE32 + ["wine"], WINE32 + ["wineserver"]),
}

# The calls that the relay log shows when a scenario asks for it.
RELAY_INCLUDE = ";".join([
    "KERNEL32.CreateMutexW", "KERNEL32.GetLastError", "KERNEL32.CloseHandle",
    "KERNEL32.Sleep", "user32.GetCursorPos", "user32.mouse_event",
    "KERNEL32.MultiByteToWideChar", "KERNEL32.OutputDebugStringW",
    "KERNEL32.GetModuleFileNameW", "KERNEL32.GetCurrentProcessId",
    "KERNEL32.OpenProcess", "KERNEL32.GetProcessId", "KERNEL32.TerminateProcess",
    "KERNEL32.WideCharToMultiByte", "KERNEL32.HeapAlloc", "KERNEL32.HeapFree",
    "PSAPI.EnumProcesses", "PSAPI.EnumProcessModules", "PSAPI.GetModuleFileNameExW",
])


def winpath(path):
    """The Windows name of a host path (drive Z: is the host's root); a
    Windows path such as C:\\x.exe as it is."""
    if re.match(r"[A-Za-z]:\\", path):
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def is_pe32(exe):
    """Whether a Windows program is 32-bit (machine i386)."""
    return pefile.PE(exe, fast_load=True).FILE_HEADER.Machine == 0x14C


def wait_for(predicate, timeout, step=0.05):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


class Wine:
    """A booted Wine environment, as described by STATE/env.json."""

    def __init__(self, state):
        state = os.path.abspath(state)
        with open(os.path.join(state, "env.json")) as f:
            self.conf = json.load(f)
        self.state = state
        self.harness = self.conf["harness"]
        self.loader, self.server = KINDS[self.conf["kind"]]
        self.version = self.conf.get("version", "")
        self.scratch = os.path.join(state, "scratch")
        os.makedirs(self.scratch, exist_ok=True)
        self.counter = 0

    def env(self, locale="C.UTF-8", debug="-all"):
        env = dict(os.environ)
        # winemenubuilder would copy the prefix's shortcuts into the
        # desktop menus of the user running the tests.
        env.update(WINEPREFIX=self.conf["prefix"], DISPLAY=self.conf["display"],
                   WINEDEBUG=debug, LC_ALL=locale, LANG=locale,
                   WINEDLLOVERRIDES="winemenubuilder.exe=d", **{MARK: self.state})
        return env

    def command(self, args):
        """The command line that runs a Windows program under this Wine."""
        return self.loader + list(args)

    def scratch_file(self, stem):
        self.counter += 1
        return os.path.join(self.scratch, "%s-%d-%d" % (stem, os.getpid(), self.counter))

    def run(self, args, timeout=60, **kw):
        """Runs a Windows program to its end; returns (exit code, stdout)."""
        out = self.scratch_file("out")
        with open(out, "wb") as o:
            code = subprocess.run(self.command(args), env=self.env(**kw), stdout=o,
                                  stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                  timeout=timeout, start_new_session=True).returncode
        with open(out, "rb") as o:
            return code, o.read().decode("utf-8", "replace")

    def cursor(self):
        code, out = self.run([self.harness, "cursor"])
        x, y = out.split()
        return int(x), int(y)

    def move_cursor(self, x, y):
        """Places the pointer and waits until Windows programs see it there.

        Both places Wine keeps it must agree: xdotool moves the display's
        pointer, SetCursorPos also Wine's own record of it in the server.
        For 100 ms after any mouse input, such as each of nosaver's mouse
        events, Wine answers GetCursorPos from that record instead of
        asking the display, and nothing else sets it on a display with no
        Windows window under the pointer: left alone it says 0,0."""
        for _ in range(50):
            subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=self.env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            placed, _ = self.run([self.harness, "cursor", str(x), str(y)])
            if placed == 0 and self.cursor() == (x, y):
                return
            time.sleep(0.1)
        raise AssertionError("the pointer does not go to %d,%d" % (x, y))

    def spawn(self, exe, command_line, locale="C.UTF-8", relay=False, utf8=False):
        """Starts exe with the exact command line through the harness: bytes
        in the ANSI code page, as CreateProcessA takes them, or with utf8 a
        text in UTF-8, as CreateProcessW takes it."""
        return Started(self, exe, command_line, locale, relay, utf8)

    def kill(self, pid):
        self.run([self.harness, "kill", str(pid)])

    def listen(self):
        return Listener(self)


class Started:
    """A program started by `harness spawn`: its pid, exit code, relay log."""

    def __init__(self, wine, exe, command_line, locale, relay, utf8=False):
        self.wine = wine
        self.result = wine.scratch_file("spawn")
        self.relay_log = self.result + ".relay"
        debug = "+pid,+relay" if relay else "-all"
        # The program's own calls return into its image: at 0x140000000
        # for x86-64, at 0x400000 for 32 bits. A program named by its
        # Windows path is of the harness's bitness.
        self.image = "004" if is_pe32(exe if os.path.exists(exe) else wine.harness) else "1400"
        with open(self.relay_log, "wb") as log:
            self.process = subprocess.Popen(
                wine.command([wine.harness, "spawnw" if utf8 else "spawn", winpath(exe),
                              command_line.hex(), winpath(self.result)]),
                env=wine.env(locale=locale, debug=debug), stdout=subprocess.DEVNULL,
                stderr=log if relay else subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                start_new_session=True)
        # A new Wine process can take tens of seconds to come up while the
        # machine is busy with other tests.
        line = wait_for(lambda: self._field("pid") or self._field("error"), 90)
        if not self._field("pid"):
            state = "still starting" if self.process.poll() is None else \
                "the starter ended with %d" % self.process.returncode
            raise AssertionError("could not start %s: %s (%s)" % (exe, line, state))
        self.pid = int(self._field("pid"))

    def _field(self, name):
        try:
            with open(self.result) as f:
                for line in f:
                    if line.startswith(name + " "):
                        return line.split()[1]
        except FileNotFoundError:
            pass
        return None

    def exit_code(self, timeout=0):
        """The exit code, waiting up to timeout seconds; None while it runs."""
        code = wait_for(lambda: self._field("exit"), timeout)
        return int(code) if code is not None else None

    def running(self):
        return self.exit_code() is None

    def relay_calls(self):
        """The program's own relayed calls, e.g. 'user32.mouse_event(00008000,...)'."""
        prefix = "%04x:" % self.pid
        calls = []
        with open(self.relay_log, "rb") as f:
            for raw in f:
                line = raw.decode("utf-8", "replace").rstrip("\n")
                if not line.startswith(prefix) or ":Call " not in line:
                    continue
                call = line.split(":Call ", 1)[1]
                # Only calls made from the program's own image, not from
                # inside Wine's libraries on its behalf.
                ret = call.rsplit(" ret=", 1)
                if len(ret) == 2 and ret[1].startswith(self.image):
                    calls.append(ret[0])
        return calls

    def stop(self):
        """Ends the program if it still runs (for cleaning up)."""
        if self.running():
            self.wine.kill(self.pid)
            self.exit_code(10)
        if self.process.poll() is None:
            self.process.wait(10)


class Message:
    def __init__(self, ms, pid, data):
        self.ms, self.pid, self.data = ms, pid, data

    def text(self, codepage="cp1252"):
        return self.data.decode(codepage, "replace")

    def __repr__(self):
        return "Message(%d ms, pid %d, %r)" % (self.ms, self.pid, self.data)


class Listener:
    """The harness reading the debugger output stream as a viewer does."""

    def __init__(self, wine, locale="C.UTF-8"):
        self.wine = wine
        self.out = wine.scratch_file("dbwin")
        self.process = subprocess.Popen(
            wine.command([wine.harness, "listen", winpath(self.out)]), env=wine.env(locale=locale),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
            start_new_session=True)
        # Under emulation bringing up the desktop first can take a while.
        try:
            if not wait_for(lambda: os.path.exists(self.out + ".ready"), 60):
                raise AssertionError("the debug-output listener did not start")
        except BaseException:
            self.process.kill()
            raise

    def messages(self, pid=None):
        found = []
        with open(self.out, "rb") as f:
            for line in f.read().decode("ascii").splitlines():
                ms, sender, data = (line.split(" ") + [""])[:3]
                if pid is None or int(sender) == pid:
                    found.append(Message(int(ms), int(sender), bytes.fromhex(data)))
        return found

    def texts(self, pid, codepage="cp1252"):
        return [m.text(codepage) for m in self.messages(pid)]

    def wait(self, predicate, timeout):
        """Waits until predicate(messages) holds; returns the messages."""
        wait_for(lambda: predicate(self.messages()), timeout, 0.1)
        return self.messages()

    def stop(self):
        open(self.out + ".stop", "w").close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
