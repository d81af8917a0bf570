#!/usr/bin/env python3
"""run.sh's live tool (scripts/live.py) ended by signals, however they come:
nothing it started may be left, and it ends without a traceback.

    test_live.py CASE STATE

sigterm          SIGTERM, as `timeout` sends it, once the instance has traced
                 its start: the instance is closed with "nosaver close".
sigint-repeated  four Ctrl-C 0.3 s apart, 0.6 s after the environment is
                 ready, while the trace listener starts.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
import winenv
from wine import ROOT
from report import check, finish

LIVE = os.path.join(ROOT, "scripts", "live.py")
# trigger line, delay after it, signals (0.3 s apart), exit code, what it must say
CASES = {
    "sigterm": ("lpCmdLine:[]", 0, [signal.SIGTERM], 128 + signal.SIGTERM,
                "close ended with exit code 0; the instance with exit code 0"),
    "sigint-repeated": ("environment ready", 0.6, [signal.SIGINT] * 4, 0, ""),
}
SETUP_BOUND_S = 300
STOP_BOUND_S = 120


def main(case, state):
    trigger, delay, signals, code, said = CASES[case]
    state = os.path.abspath(state)
    live = subprocess.Popen([sys.executable, LIVE, state, "936", "zh_CN.UTF-8"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    lines, seen = [], threading.Event()

    def read():
        for raw in live.stdout:
            lines.append(raw.decode("utf-8", "replace"))
            if trigger in lines[-1]:
                seen.set()
    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        if not seen.wait(SETUP_BOUND_S):
            raise AssertionError("no %r within %d s:\n%s" % (trigger, SETUP_BOUND_S, "".join(lines)))
        time.sleep(delay)
        with open(os.path.join(state, "env.json")) as f:
            conf = json.load(f)
        ours = {pid: winenv.start_time(pid) for pid in winenv.members(state)}
        check({conf["xvfb"], conf["keeper"]} <= set(ours), "its display and keeper are among "
              "the %d processes of its environment" % len(ours), sorted(ours))
        if case == "sigterm":
            check(any("nosaver.exe" in winenv.command_of(p) for p in ours),
                  "nosaver.exe is among them")
        for sig in signals:
            live.send_signal(sig)
            time.sleep(0.3)
        live.wait(STOP_BOUND_S)
        reader.join(10)
        output = "".join(lines)
        check(live.returncode == code, "%s ends it with exit code %d" % (
            " and ".join(signal.Signals(s).name for s in signals), code), live.returncode)
        check("Traceback" not in output and said in output,
              "it says %r and shows no traceback" % said, output)
        left = [p for p, start in ours.items() if winenv.start_time(p) == start]
        left += [p for p in winenv.members(state) if p not in left]
        check(not left, "nothing of its environment is left",
              ["%d %s" % (p, winenv.command_of(p)) for p in left])
        check(not os.path.exists(conf["prefix"]) and
              not os.path.exists("/tmp/.X11-unix/X%s" % conf["display"][1:]),
              "its prefix and its display's socket are gone")
    except (AssertionError, OSError, subprocess.TimeoutExpired) as e:
        check(False, str(e))
    finally:
        if live.poll() is None:
            live.kill()
        winenv.cleanup(state)  # whatever a failure left
    sys.exit(finish("live %s" % case))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in CASES:
        sys.exit("usage: test_live.py %s STATE" % "|".join(CASES))
    main(sys.argv[1], sys.argv[2])
