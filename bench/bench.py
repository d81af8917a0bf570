#!/usr/bin/env python3
"""nosaver's footprint and speed, measured side by side in one run.

    bench.py [--seconds S] [--runs N]

Reads the builds in build/ (run through bench/run.sh, which makes them)
and sets up Wine environments of its own in build/bench, both Debian 12's
Wine 8: natively for the x86-64 build, emulated by qemu-i386 for the
shipped 32-bit build, each measured against floors of its own bitness
under the same Wine. Prints each figure with what it is
measured against and the ratio.
"""
import argparse
import os
import re
import statistics
import subprocess
import time

import pefile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
import winenv
from wine import Wine

WIN32 = os.path.join(ROOT, "build", "win32")
WIN64 = os.path.join(ROOT, "build", "win64")
HOST = os.path.join(ROOT, "build", "host")
STATE = os.path.join(ROOT, "build", "bench")
PASS = ["Sleep", "GetCursorPos", "mouse_event", "MultiByteToWideChar", "OutputDebugStringW"]

rows = []
LABEL = ""  # the build being measured, before each figure


def row(figure, value, reference, ratio, target, met, info=None):
    """One figure; info, the reason why, makes it information rather than a
    goal that is met or not."""
    figure = LABEL + figure
    rows.append((figure, value, reference, ratio, "-" if info else target,
                 "information: " + info if info else "yes" if met else "NO"))
    print("  %s: %s against %s (ratio %s)" % (figure, value, reference, ratio), flush=True)


def simbench(*args):
    out = subprocess.run([os.path.join(HOST, "simbench")] + list(args), check=True,
                         capture_output=True, text=True).stdout
    return [dict(kv.split("=") for kv in line.split()[1:]) for line in out.splitlines()]


def sections(path):
    """The headers' and each section's bytes in the file, and how many of
    each section's bytes are content: [(name, file bytes, content bytes)]."""
    pe = pefile.PE(path, fast_load=True)
    headers = pe.OPTIONAL_HEADER.SizeOfHeaders
    return [("headers", headers, headers)] + [
        (s.Name.rstrip(b"\0").decode(), s.SizeOfRawData, s.Misc_VirtualSize) for s in pe.sections]


def size():
    exe = os.path.join(WIN32, "nosaver.exe")
    n = os.path.getsize(exe)
    for limit, unit in ((16384, "16 KiB"), (8192, "8 KiB")):
        row("size of build/win32/nosaver.exe", "%d bytes" % n, "%d bytes (%s)" % (limit, unit),
            "%.2f" % (n / limit), "<= 1.00", n <= limit)
    parts = sections(exe)
    row("what each part of build/win32/nosaver.exe weighs: file bytes (content bytes)",
        ", ".join("%s %d (%d)" % part for part in parts), "%d bytes in all" % n,
        "%.2f" % (sum(raw for _, raw, _ in parts) / n), "1.00: nothing beyond the sections",
        sum(raw for _, raw, _ in parts) == n)


class Program:
    """A Windows program started straight from the host: its Unix process
    is the Windows process, so /proc tells its memory and CPU time."""

    def __init__(self, wine, exe, args=(), debug="-all", stderr=None):
        self.process = subprocess.Popen(
            wine.command([exe] + list(args)), env=wine.env(debug=debug),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=stderr or subprocess.DEVNULL, start_new_session=True)
        self.pid = None

    def unix_pid(self):
        """The Windows process's own Unix process: under emulation the started
        process is scripts/wine32.sh, which runs it in a child of its own."""
        if self.pid is None:
            pid = self.process.pid
            for _ in range(50):
                with open("/proc/%d/comm" % pid) as f:
                    if f.read().strip() not in ("bash", "sh", "unshare"):
                        break
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    children = f.read().split()
                if children:
                    pid = int(children[0])
                else:
                    time.sleep(0.1)
            self.pid = pid
        return self.pid

    def status(self, field):
        with open("/proc/%d/status" % self.unix_pid()) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return 0

    def cpu_ms(self):
        with open("/proc/%d/stat" % self.unix_pid()) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime + stime
        return ticks * 1000 // os.sysconf("SC_CLK_TCK")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def loop_pass(wine, exe):
    wine.run(["reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
              "/d", "kernel32.*;user32.*", "/f"])
    log = os.path.join(wine.state, "loop-relay.log")
    with open(log, "wb") as f:
        program = Program(wine, exe, debug="+relay", stderr=f)
        time.sleep(16)
        program.stop()
    own, anchor = [], None
    with open(log, "rb") as f:
        for raw in f:
            m = re.match(r"[0-9a-f]+:Call (\w+)\.(\w+)\(.* ret=([0-9a-f]+)$",
                         raw.decode("utf-8", "replace").rstrip())
            if not m:
                continue
            dll, function, ret = m.group(1), m.group(2), int(m.group(3), 16)
            if function == "CreateMutexW" and anchor is None:
                anchor = ret
            # The program's own calls return into its image, near WinMain's.
            if anchor is not None and abs(ret - anchor) < 0x100000:
                own.append(function)
    sleeps = [i for i, f in enumerate(own) if f == "Sleep"]
    if len(sleeps) < 3:
        row("calls per loop pass (Wine relay log)", "fewer than 3 passes seen", "", "-", "", False)
        return
    one = own[sleeps[1]:sleeps[2]]
    row("KERNEL32/USER32 calls per loop pass (Wine relay log)",
        "%d: %s" % (len(one), ", ".join(one)), "%d: %s" % (len(PASS), ", ".join(PASS)),
        "%.2f" % (len(one) / len(PASS)), "exactly these", one == PASS)


def heap():
    sim = simbench("loop", "10000")[0]
    allocations = int(sim["heap_allocations"]) / 10000
    row("heap blocks per loop pass (simulated Windows, 10000 passes)", "%g" % allocations, "0",
        "-", "0", allocations == 0 and int(sim["heap_live"]) == 0)


def idle(wine, exe, seconds, build):
    floor_exe = os.path.join(build, "idle.exe")
    programs = {"nosaver": Program(wine, exe), "floor": Program(wine, floor_exe),
                "floor+input": Program(wine, floor_exe, ["input"])}
    try:
        time.sleep(12)  # past start-up and two passes, into the steady state
        cpu0 = {k: p.cpu_ms() for k, p in programs.items()}
        rss = {k: [] for k in programs}
        private = {k: [] for k in programs}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for k, p in programs.items():
                rss[k].append(p.status("VmRSS"))
                private[k].append(p.status("RssAnon"))
            time.sleep(1)
        cpu = {k: p.cpu_ms() - cpu0[k] for k, p in programs.items()}
    finally:
        for p in programs.values():
            p.stop()
    top = {k: max(v) for k, v in rss.items()}
    anon = {k: max(v) for k, v in private.items()}
    # Only floor+input does this job: any program that reads the cursor
    # under Wine loads user32 and its X11 driver. And under emulation the
    # memory is mostly the emulator's cache of translated code.
    for floor in ("floor", "floor+input"):
        ratio = top["nosaver"] / top[floor]
        info = ("the emulator's cache of translated code more than the program's memory"
                if build == WIN32 else
                "reading the cursor loads user32 and its X11 driver, which this floor does not"
                if floor == "floor" else None)
        row("resident memory over %d s, against %s" % (seconds, floor),
            "%d kB (private %d kB)" % (top["nosaver"], anon["nosaver"]),
            "%d kB (private %d kB)" % (top[floor], anon[floor]), "%.3f" % ratio, "<= 1.05",
            ratio <= 1.05, info)
    tick = 1000 // os.sysconf("SC_CLK_TCK")
    for floor in ("floor", "floor+input"):
        # Less than the floor is the floor's noise, not a cost of nosaver's.
        row("CPU time over %d s, against %s" % (seconds, floor), "%d ms" % cpu["nosaver"],
            "%d ms" % cpu[floor], "%+d ms" % (cpu["nosaver"] - cpu[floor]),
            "at most 2 ticks more (%d ms)" % (2 * tick), cpu["nosaver"] - cpu[floor] <= 2 * tick)


def close_time(wine, exe, runs):
    listener = wine.listen()
    times = {"nosaver close": [], "taskkill /f /im nosaver.exe": []}
    try:
        for _ in range(runs):
            for kind in times:
                started = len(listener.messages())
                instance = Program(wine, exe)
                if not listener.wait(lambda ms: len(ms) > started, 10)[started:]:
                    raise RuntimeError("the instance did not start")
                args = ["close"] if kind == "nosaver close" else None
                t0 = time.perf_counter()
                if args:
                    closer = Program(wine, exe, args)
                else:
                    closer = Program(wine, "taskkill", ["/f", "/im", "nosaver.exe"])
                instance.process.wait(30)
                times[kind].append(time.perf_counter() - t0)
                closer.process.wait(30)
    finally:
        listener.stop()
    ours = statistics.median(times["nosaver close"])
    theirs = statistics.median(times["taskkill /f /im nosaver.exe"])
    row("nosaver close, start to instance gone (median of %d)" % runs, "%.0f ms" % (ours * 1000),
        "taskkill /f /im nosaver.exe: %.0f ms" % (theirs * 1000), "%.2f" % (ours / theirs),
        "<= 1.00", ours <= theirs)


def search():
    results = simbench("search", "1000", "10000", "65535")
    base = float(results[0]["us_per_process"])
    for r in results:
        per = float(r["us_per_process"])
        row("search over %s simulated processes" % r["processes"],
            "%s calls per process, %.2f us per process" % (r["calls_per_process"], per),
            "1000 processes: %.2f us per process" % base, "%.2f" % (per / base),
            "<= 2.00 (linear or better)", per / base <= 2.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=60, help="length of the idle measurement")
    parser.add_argument("--runs", type=int, default=10, help="close timings of each kind")
    args = parser.parse_args()

    global LABEL
    size()
    heap()
    search()
    # Each build under the Wine that runs it, against floors of its bitness.
    for LABEL, kind, build in (("x86-64, Wine 8: ", "wine64", WIN64),
                               ("32-bit, Wine 8 emulated by qemu-i386: ", "wine32", WIN32)):
        state = os.path.join(STATE, kind)
        print("setting up %sin %s ..." % (LABEL, state), flush=True)
        try:
            winenv.setup(state, os.path.join(build, "harness.exe"), kind)
            wine = Wine(state)
            exe = os.path.join(wine.scratch, "nosaver.exe")
            subprocess.run(["cp", os.path.join(build, "nosaver.exe"), exe], check=True)
            loop_pass(wine, exe)
            idle(wine, exe, args.seconds, build)
            close_time(wine, exe, args.runs)
        finally:
            winenv.cleanup(state)
    LABEL = ""

    print()
    print("| figure | nosaver | against | ratio | target | met |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        print("| %s |" % " | ".join(r))


if __name__ == "__main__":
    main()
