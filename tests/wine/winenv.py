#!/usr/bin/env python3
"""Runs Windows programs under Wine for the scenarios and for the run script.

One Wine environment is a virtual X display (Xvfb), a private Wine prefix
and a wineserver kept alive between program starts, described by the file
env.json in a state folder:

    winenv.py setup STATE HARNESS [KIND]   start the display and the server,
                                           boot a prefix
    winenv.py cleanup STATE                end all of it, remove the prefix

KIND is the Wine that runs the programs, both Debian 12's Wine 8: "wine64",
which runs x86-64 programs natively, or "wine32", its i386 build, which
runs 32-bit programs under CPU emulation (scripts/wine32.sh) in a 32-bit
prefix. HARNESS is the harness.exe of the same bitness.

The classes below drive programs in such an environment: the harness's
debug-output listener, starts with exact command lines, exit codes.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pefile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
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
    """The Windows name of a host path (drive Z: is the host's root)."""
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
                   WINEDLLOVERRIDES="winemenubuilder.exe=d")
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
        """Places the pointer and waits until Windows programs see it there."""
        for _ in range(50):
            subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=self.env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self.cursor() == (x, y):
                return
            time.sleep(0.1)
        raise AssertionError("the pointer does not go to %d,%d" % (x, y))

    def spawn(self, exe, command_line, locale="C.UTF-8", relay=False):
        """Starts exe with the exact command line (bytes) through the harness."""
        return Started(self, exe, command_line, locale, relay)

    def kill(self, pid):
        self.run([self.harness, "kill", str(pid)])

    def listen(self):
        return Listener(self)


class Started:
    """A program started by `harness spawn`: its pid, exit code, relay log."""

    def __init__(self, wine, exe, command_line, locale, relay):
        self.wine = wine
        self.result = wine.scratch_file("spawn")
        self.relay_log = self.result + ".relay"
        debug = "+pid,+relay" if relay else "-all"
        # The program's own calls return into its image: at 0x140000000
        # for x86-64, at 0x400000 for 32 bits.
        self.image = "004" if is_pe32(exe) else "1400"
        with open(self.relay_log, "wb") as log:
            self.process = subprocess.Popen(
                wine.command([wine.harness, "spawn", winpath(exe), command_line.hex(),
                              winpath(self.result)]),
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
        if not wait_for(lambda: os.path.exists(self.out + ".ready"), 60):
            raise AssertionError("the debug-output listener did not start")

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


# ---- setting up and tearing down an environment ----

def free_display():
    for n in range(90, 200):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display number")


def setup(state, harness, kind="wine64"):
    state = os.path.abspath(state)
    cleanup(state)
    os.makedirs(state, exist_ok=True)
    print("starting a virtual display", flush=True)
    n = free_display()
    log = open(os.path.join(state, "xvfb.log"), "wb")
    xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            stdout=log, stderr=log, stdin=subprocess.DEVNULL, start_new_session=True)
    conf = {"display": ":%d" % n, "prefix": os.path.join(state, "prefix"), "xvfb": xvfb.pid,
            "kind": kind, "harness": os.path.abspath(harness)}
    with open(os.path.join(state, "env.json"), "w") as f:
        json.dump(conf, f)
    if not wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % n), 30):
        raise RuntimeError("Xvfb did not start")

    wine = Wine(state)
    env = wine.env()
    os.makedirs(conf["prefix"])
    # The server first, outside any namespace of the loader's, and kept
    # alive between program starts so that each takes a fraction of a
    # second; it ends by itself 15 minutes after the last. Every Wine
    # process runs in a session of its own, out of reach of a Ctrl-C meant
    # for the script.
    subprocess.run(wine.server + ["-p900"], env=env, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    print("booting a new Wine prefix (%s)" % ("about 20 s under emulation" if kind == "wine32"
                                               else "about 10 s"), flush=True)
    boot_log = os.path.join(state, "wineboot.log")
    with open(boot_log, "wb") as blog:
        booted = subprocess.run(wine.command(["wineboot", "-i"]), env=env, stdout=blog,
                                stderr=blog, stdin=subprocess.DEVNULL, timeout=240,
                                start_new_session=True).returncode
    if booted != 0:
        with open(boot_log, "rb") as blog:
            tail = blog.read().decode("utf-8", "replace").splitlines()[-5:]
        raise RuntimeError("Wine could not boot a prefix (exit code %d):\n%s" %
                           (booted, "\n".join(tail)))
    conf["version"] = subprocess.run(wine.command(["--version"]), env=env, capture_output=True,
                                     text=True, stdin=subprocess.DEVNULL).stdout.strip()
    if kind == "wine32":
        qemu = subprocess.run(WINE32 + ["--qemu"], capture_output=True, text=True).stdout.strip()
        emulator = subprocess.run([qemu, "--version"], capture_output=True, text=True).stdout
        conf["version"] += " i386, emulated by " + emulator.split(" (")[0].replace(" version", "")
    with open(os.path.join(state, "env.json"), "w") as f:
        json.dump(conf, f)
    code, _ = wine.run(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                        "/t", "REG_SZ", "/d", RELAY_INCLUDE, "/f"])
    if code != 0:
        raise RuntimeError("could not set RelayInclude")
    # The first program that reads the cursor brings up Wine's desktop,
    # which takes seconds; do it now rather than inside a scenario.
    print("bringing up Wine's desktop", flush=True)
    wine.cursor()
    print("%s environment ready: display %s, prefix %s" %
          (conf["version"], conf["display"], conf["prefix"]))
    return 0


def cleanup(state):
    conf_file = os.path.join(state, "env.json")
    if not os.path.exists(conf_file):
        return
    with open(conf_file) as f:
        conf = json.load(f)
    # An environment of an older checkout may name a kind no longer known.
    server = KINDS.get(conf.get("kind"), KINDS["wine64"])[1]
    env = dict(os.environ, WINEPREFIX=conf["prefix"])
    if os.path.isdir(conf["prefix"]):
        subprocess.run(server + ["-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(server + ["-w"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    try:
        os.killpg(conf["xvfb"], signal.SIGTERM)
    except ProcessLookupError:
        pass
    shutil.rmtree(conf["prefix"], ignore_errors=True)
    shutil.rmtree(os.path.join(state, "scratch"), ignore_errors=True)
    os.remove(conf_file)


if __name__ == "__main__":
    if not (sys.argv[1:2] == ["setup"] and len(sys.argv) in (4, 5) or
            sys.argv[1:2] == ["cleanup"] and len(sys.argv) == 3):
        sys.exit("usage: winenv.py setup STATE HARNESS [wine64|wine32] | cleanup STATE")
    if sys.argv[1] == "setup":
        sys.exit(setup(*sys.argv[2:]))
    else:
        cleanup(sys.argv[2])
