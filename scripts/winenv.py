#!/usr/bin/env python3
"""Runs Windows programs under Wine for the scenarios and for the run script.

One Wine environment is a virtual X display (Xvfb), a private Wine prefix
and a wineserver kept alive between program starts, described by the file
env.json in a state folder:

    winenv.py setup STATE HARNESS [KIND]   start the display and the server,
                                           boot a prefix
    winenv.py cleanup STATE                end all of it, remove the prefix

A state folder serves one environment at a time: a set-up on a folder in
use is refused (InUse) and leaves it alone. The lock file STATE/lock is
held by a keeper process for as long as the environment lives; the keeper
watches the environment's owner (the process that called setup, or the
parent of `winenv.py setup`, such as ctest) and takes everything down when
the owner ends without cleaning up. Every process of the environment, from
Xvfb to the Wine services and the programs they start, carries NOSAVER_WINENV=STATE
in its environment, which is how cleanup finds them all, whatever step the
set-up or a run got to.

KIND is the Wine that runs the programs, both Debian 12's Wine 8: "wine64",
which runs x86-64 programs natively, or "wine32", its i386 build, which
runs 32-bit programs under CPU emulation (scripts/wine32.sh) in a 32-bit
prefix. HARNESS is the harness.exe of the same bitness.

What runs in an environment, and how, is scripts/wine.py's.
"""
import contextlib
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import time

from wine import KINDS, MARK, RELAY_INCLUDE, WINE32, Wine, wait_for

HERE = os.path.abspath(__file__)

# ---- setting up and tearing down an environment ----

class InUse(RuntimeError):
    """The state folder serves an environment of another living process."""


# The lock of each state folder this process holds: {state: fd}.
_held = {}


def start_time(pid):
    """When a process started (clock ticks since boot), or None if it has ended."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return fields[19] if fields[0] != "Z" else None
    except (OSError, IndexError):
        return None


def command_of(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
    except OSError:
        return ""


def members(state, prefix=None):
    """The pids of the processes of the environment in state: those whose
    environment carries its mark, or names its prefix (as the Wine processes
    of environments made before the mark did)."""
    state = os.path.abspath(state)
    wanted = {("%s=%s" % (MARK, state)).encode(),
              ("WINEPREFIX=%s" % (prefix or os.path.join(state, "prefix"))).encode()}
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if wanted.intersection(f.read().split(b"\0")):
                    found.append(int(name))
        except OSError:
            pass
    return found


def _lock(state, owner):
    """Takes state's lock for owner, or raises InUse naming who holds it.
    An owner that has ended leaves its keeper taking its environment down;
    that is waited for."""
    path = os.path.join(state, "lock")
    end = time.monotonic() + 60
    while True:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            with os.fdopen(fd) as f:
                try:
                    holder = json.loads(f.read())
                except ValueError:
                    holder = {}
            if holder and start_time(holder["pid"]) != holder["start"] and time.monotonic() < end:
                time.sleep(0.2)
                continue
            raise InUse("%s is in use by process %s (%s); it is left as it is" % (
                state, holder.get("pid", "?"), holder.get("command", "starting")))
        start = start_time(owner)
        record = json.dumps({"pid": owner, "start": start, "command": command_of(owner)}).encode()
        os.ftruncate(fd, 0)
        os.pwrite(fd, record, 0)
        _held[state] = fd
        return fd, start


def _write_conf(state, conf):
    path = os.path.join(state, "env.json")
    with open(path + ".new", "w") as f:
        json.dump(conf, f)
    os.replace(path + ".new", path)


def _xvfb(state, env):
    """Starts a virtual display on a number the X server picks free itself;
    returns its process and the display's name."""
    log_path = os.path.join(state, "xvfb.log")
    read, write = os.pipe()
    with open(log_path, "wb") as log:
        try:
            xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                 "-nolisten", "tcp"], pass_fds=(write,), stdout=log, stderr=log,
                stdin=subprocess.DEVNULL, env=env, start_new_session=True)
        finally:
            os.close(write)
    number = b""
    with os.fdopen(read, "rb", buffering=0) as r:
        end = time.monotonic() + 30
        while not number.endswith(b"\n") and \
                select.select([r], [], [], max(0, end - time.monotonic()))[0]:
            chunk = r.read(16)
            if not chunk:
                break
            number += chunk
    if not number.strip().isdigit():
        try:
            how = "exit code %d" % xvfb.wait(1)
        except subprocess.TimeoutExpired:
            how = "no display after 30 s"
        with open(log_path, "rb") as log:
            tail = log.read().decode("utf-8", "replace").strip().splitlines()[-3:]
        raise RuntimeError("Xvfb did not start (%s): %s" % (how, " / ".join(tail)))
    return xvfb, ":" + number.decode().strip()


def setup(state, harness, kind="wine64", owner=None):
    """Sets up an environment in state for owner (by default this process),
    after taking down whatever an earlier one there left."""
    state = os.path.abspath(state)
    os.makedirs(state, exist_ok=True)
    owner = owner or os.getpid()
    lock, start = _lock(state, owner)
    _teardown(state)
    env = dict(os.environ, **{MARK: state})
    # The keeper holds the lock for the life of the environment.
    keeper = subprocess.Popen([sys.executable, HERE, "keep", state, str(owner), str(start)],
                              pass_fds=(lock,), env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    print("starting a virtual display", flush=True)
    xvfb, display = _xvfb(state, env)
    conf = {"display": display, "prefix": os.path.join(state, "prefix"), "xvfb": xvfb.pid,
            "kind": kind, "harness": os.path.abspath(harness), "keeper": keeper.pid,
            "owner": owner}
    _write_conf(state, conf)

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
        emulator = subprocess.run(WINE32 + ["--qemu-version"], capture_output=True, text=True).stdout
        conf["version"] += " i386, emulated by " + emulator.split(" (")[0].replace(" version", "")
    _write_conf(state, conf)
    code, _ = wine.run(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude",
                        "/t", "REG_SZ", "/d", RELAY_INCLUDE, "/f"])
    if code != 0:
        raise RuntimeError("could not set RelayInclude")
    # The first program that reads the cursor brings up Wine's desktop,
    # which takes seconds; do it now rather than inside a scenario.
    print("bringing up Wine's desktop", flush=True)
    wine.cursor()
    print("%s environment ready: display %s, prefix %s" %
          (conf["version"], conf["display"], conf["prefix"]), flush=True)
    return 0


def _end(pids, sig):
    for pid in pids:
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            pass


def _teardown(state):
    """Ends every process of the environment in state and removes its prefix;
    each step is tried whatever became of the others. Returns what failed."""
    state = os.path.abspath(state)
    try:
        with open(os.path.join(state, "env.json")) as f:
            conf = json.load(f)
    except (OSError, ValueError):
        conf = {}
    prefix = conf.get("prefix", os.path.join(state, "prefix"))
    # An environment of an older checkout may name a kind no longer known.
    server = KINDS.get(conf.get("kind"), KINDS["wine64"])[1]
    env = dict(os.environ, WINEPREFIX=prefix)
    failed = []

    def step(what, action):
        try:
            action()
        except Exception as e:  # the next steps still run
            failed.append("%s: %s" % (what, e))

    def server_ends():
        # Wine's own way: the server ends itself. The wait is bounded; the
        # last step ends whatever is left.
        if os.path.isdir(prefix):
            for flag in ("-k", "-w"):
                try:
                    subprocess.run(server + [flag], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=10)
                except subprocess.TimeoutExpired:
                    pass

    def display_ends():
        # Xvfb removes its socket (and lock file, if it made one) on SIGTERM.
        xvfb = conf.get("xvfb")
        if xvfb and (xvfb in members(state, prefix) or
                     command_of(xvfb).startswith("Xvfb %s " % conf.get("display"))):
            _end([xvfb], signal.SIGTERM)
            wait_for(lambda: start_time(xvfb) is None, 5)

    def killed(which=lambda pid: True):
        """Kills the environment's processes that which picks until none is left."""
        def left():
            return [pid for pid in members(state, prefix) if which(pid)]
        if not wait_for(lambda: _end(left(), signal.SIGKILL) or not left(), 20, 0.1):
            raise RuntimeError("processes left: %s" % left())

    def programs_end():
        # The programs and whatever is starting one first, so that none is
        # left to bring a new server up once the server has gone.
        spared = {conf.get("xvfb"), conf.get("keeper")}
        killed(lambda pid: pid not in spared and "wineserver" not in command_of(pid))

    # The server works in a folder of its own, such as
    # /tmp/wine-XXXXXX/server-DEV-INODE, which it leaves behind.
    server_dirs = []

    def server_dirs_found():
        for pid in members(state, prefix):
            if "wineserver" in command_of(pid):
                server_dirs.append(os.readlink("/proc/%d/cwd" % pid))

    def server_dirs_removed():
        for folder in server_dirs:
            if os.path.basename(folder).startswith("server-"):
                shutil.rmtree(folder, ignore_errors=True)
                with contextlib.suppress(OSError):
                    os.rmdir(os.path.dirname(folder))  # only when nothing else is in it

    step("the server's folder", server_dirs_found)
    step("the programs", programs_end)
    step("the server", server_ends)
    step("the display", display_ends)
    step("the processes", killed)  # whatever is left, the keeper among them
    step("the server's folder", server_dirs_removed)
    step("the prefix", lambda: shutil.rmtree(prefix, ignore_errors=True))
    step("the scratch files", lambda: shutil.rmtree(os.path.join(state, "scratch"),
                                                    ignore_errors=True))
    step("env.json", lambda: os.path.exists(os.path.join(state, "env.json")) and
         os.remove(os.path.join(state, "env.json")))
    return failed


def cleanup(state):
    """Ends everything of the environment in state, however far it got,
    and releases the folder."""
    state = os.path.abspath(state)
    failed = _teardown(state)
    lock = _held.pop(state, None)
    if lock is not None:
        os.close(lock)
    if failed:
        raise RuntimeError("cleaning up %s: %s" % (state, "; ".join(failed)))


def keep(state, owner, start):
    """The keeper: holds the lock it inherited until it is ended by
    cleanup, or takes the environment down itself once its owner ends."""
    for sig in (signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, signal.SIG_IGN)
    try:
        watch = os.pidfd_open(owner)
    except ProcessLookupError:
        watch = None
    if watch is not None and start_time(owner) == start:
        select.select([watch], [], [])
    _teardown(state)


if __name__ == "__main__":
    command = sys.argv[1:2]
    if command == ["keep"] and len(sys.argv) == 5:
        keep(os.path.abspath(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
        sys.exit(0)
    if not (command == ["setup"] and len(sys.argv) in (4, 5) or
            command == ["cleanup"] and len(sys.argv) == 3):
        sys.exit("usage: winenv.py setup STATE HARNESS [wine64|wine32] | cleanup STATE")
    try:
        if command == ["setup"]:
            # The environment lives as long as the process that asked for it.
            sys.exit(setup(*sys.argv[2:], owner=os.getppid()))
        cleanup(sys.argv[2])
    except (InUse, RuntimeError) as e:
        sys.exit("winenv.py: %s" % e)
