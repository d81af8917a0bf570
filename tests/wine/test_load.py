#!/usr/bin/env python3
"""The real program under load under Wine, bounded in count and time.

50 plain starts in a row while an instance runs; two "close" starts at
once; "close" while the instance is already being killed; two "close"
starts back to back. Every start must end with exit code 0, the instance
must go on passing every 5 s under the load, each start terminates at
most once, nothing but a nosaver.exe may be terminated, and what each
start traces must agree with what it did (from Wine's relay log).
"""
import re
import statistics
import subprocess
import threading
import time

from scenario import Scenario

PLAIN_STARTS = 50
START_BOUND_S = 10     # a plain start that takes longer than this has hung
LOAD_BOUND_S = 120     # the whole scenario
FIND_AND_CLOSE = "\u67e5\u627e\u5e76\u5173\u95ed\u5df2\u7ecf\u8fd0\u884c\u7684\u7a0b\u5e8f.\n"


def terminations(started):
    """(target pid, succeeded) of each TerminateProcess the start made,
    from its relay log: the target is the process last opened with 0x042B."""
    prefix = "%04x:" % started.pid
    own = " ret=" + started.image
    opened, found = None, []
    with open(started.relay_log, "rb") as f:
        for raw in f:
            line = raw.decode("utf-8", "replace")
            if not line.startswith(prefix):
                continue
            m = re.search(r":Call KERNEL32\.OpenProcess\(0000042b,00000000,([0-9a-f]+)\)" + own, line)
            if m:
                opened = int(m.group(1), 16)
            m = re.search(r":Ret  KERNEL32\.TerminateProcess\(\) retval=([0-9a-f]+)" + own, line)
            if m:
                found.append((opened, int(m.group(1), 16) != 0))
    return found


class Load:
    def __init__(self, s, exe):
        self.s = s
        self.exe = exe
        self.closes = 0
        self.decoy = s.start(s.install("decoy", "idle.exe", s.wine.harness), b"idle.exe sleep")

    def instance(self):
        instance = self.s.start(self.exe, b"nosaver.exe")
        self.s.equal(self.s.wait_texts(instance, 1, 10), ["lpCmdLine:[]\n"], "an instance started")
        return instance

    def close_starts(self, closers, instance, what, killed=False):
        """Checks a round of close starts against the instance they were
        aimed at."""
        s = self.s
        self.closes += len(closers)
        for c in closers:
            s.finish_start(c)
        code = instance.exit_code(10)
        s.check(code == 0 or (killed and code == 1),
                "%s: the instance has ended (exit code %r)" % (what, code))
        allowed = {instance.pid} | {c.pid for c in closers}
        instance_ended_by = []
        for c in closers:
            texts = s.wait_texts(c, 1, 5, codepage="gbk")
            kills = terminations(c)
            s.check(len(kills) <= 1, "%s: close %d terminates at most once" % (what, c.pid), kills)
            s.check(all(pid in allowed for pid, _ in kills),
                    "%s: close %d terminates only a nosaver.exe" % (what, c.pid), kills)
            instance_ended_by += [c.pid for pid, ok in kills if ok and pid == instance.pid]
            s.check(self.consistent(texts, kills),
                    "%s: what close %d traces agrees with what it did" % (what, c.pid),
                    (texts, kills))
        # Two closes that both opened the instance before it was gone may
        # both be told their termination succeeded (Wine's server ends a
        # process that is already ending without complaint), so this asks
        # for at least one, not exactly one; the pids above keep any kill
        # on the instance or a closer.
        if not killed:
            s.check(len(instance_ended_by) >= 1,
                    "%s: a close start terminated the instance" % what, instance_ended_by)
        s.check(self.decoy.running(), "%s: the decoy is untouched" % what)
        print("load: %s: %s" % (what, "; ".join(self.outcome(c, instance, closers)
                                               for c in closers)))

    def outcome(self, closer, instance, closers):
        texts = self.s.texts(closer, "gbk")
        kills = terminations(closer)
        names = {instance.pid: "the instance"}
        names.update({c.pid: "close %d" % c.pid for c in closers})
        if kills:
            pid, ok = kills[0]
            return "close %d %s %s" % (closer.pid, "terminated" if ok else "failed to terminate",
                                        names.get(pid, pid))
        if texts[1:] == ["exit app!\n"]:
            return "close %d found no guard" % closer.pid
        if texts and texts[-1].startswith("OpenProcess failed"):
            return "close %d found nothing (%s)" % (closer.pid, texts[-1])
        return "close %d was cut short after %d lines" % (closer.pid, len(texts))

    @staticmethod
    def consistent(texts, kills):
        """A close start's traces against its terminations. It may have been
        cut short by another close start terminating it."""
        if texts[:1] != ["lpCmdLine:[close]\n"]:
            return False
        rest = texts[1:]
        if rest == ["exit app!\n"]:  # it found no guard: nothing ran
            return not kills
        if rest[:1] != [FIND_AND_CLOSE] or not all(
                t.startswith("processExeName:[nosaver.exe]") for t in rest[1:2]):
            return not rest and not kills
        found = [t for t in rest if t.startswith("Process full name\uff1a\n")]
        failed = [t for t in rest if t.startswith("TerminateProcess failed,error code:")]
        nothing = [t for t in rest if t.startswith("OpenProcess failed,error code:")]
        if nothing:
            return not kills and not found
        if failed:
            return len(kills) == 1 and not kills[0][1]
        if found:
            return len(kills) == 1 and kills[0][1]
        return not kills


def body(s):
    begin = time.monotonic()
    exe = s.install("load")
    load = Load(s, exe)

    # 50 plain starts in a row while the instance runs. The load begins
    # after the instance's first event: under Wine the first GetCursorPos
    # of a process can wait about 10 s for the desktop while many processes
    # start (seen in the relay log), which is Wine's, not the program's.
    instance = load.instance()
    s.check(len(s.wait_texts(instance, 2, 20)) >= 2, "the instance made its first pass")
    durations, plain = [], []
    t0 = time.monotonic()
    for _ in range(PLAIN_STARTS):
        # Timed from the process's creation: bringing up a Wine process
        # is Wine's time, not the program's.
        started = s.start(exe, b"nosaver.exe")
        t = time.monotonic()
        code = started.exit_code(START_BOUND_S)
        durations.append(time.monotonic() - t)
        plain.append((started, code))
    elapsed = time.monotonic() - t0
    s.check(all(code == 0 for _, code in plain),
            "all %d plain starts end with exit code 0" % PLAIN_STARTS,
            [(p.pid, code) for p, code in plain if code != 0])
    s.check(max(durations) < START_BOUND_S, "no start took %d s or more" % START_BOUND_S)
    time.sleep(0.5)
    wrong = [(p.pid, s.texts(p)) for p, _ in plain if s.texts(p) != ["lpCmdLine:[]\n"]]
    s.check(not wrong, "each traces its one line and nothing more", wrong[:3])

    # The instance went on: an event every 5 s through the load, and one after.
    moves_before = len([m for m in s.listener.messages(instance.pid) if m.text().startswith("move")])
    s.listener.wait(lambda ms: len([m for m in ms if m.pid == instance.pid and
                                    m.text().startswith("move")]) > moves_before, 8)
    moves = [m for m in s.listener.messages(instance.pid) if m.text().startswith("move")]
    gaps = [(b.ms - a.ms) / 1000.0 for a, b in zip(moves, moves[1:])]
    s.check(instance.running(), "the instance still runs")
    s.check(len(moves) >= 2 + int(elapsed / 5.0),
            "the instance sent an event for every 5 s of the load, and one after", (len(moves), elapsed))
    s.check(gaps and all(4.9 <= g <= 8.0 for g in gaps), "events came 5 s apart", gaps)
    print("load: %d plain starts in %.1f s while the instance ran (each %.2f-%.2f s, median %.2f s); "
          "the instance sent %d events %.1f-%.1f s apart" %
          (PLAIN_STARTS, elapsed, min(durations), max(durations), statistics.median(durations),
           len(moves), min(gaps or [0]), max(gaps or [0])))

    # Two close starts at once, twice.
    for round_ in range(2):
        t = time.monotonic()
        closers = []
        threads = [threading.Thread(target=lambda: closers.append(
            s.start(exe, b"nosaver.exe close", locale="zh_CN.UTF-8", relay=True)))
            for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        load.close_starts(closers, instance, "two closes at once (%d)" % (round_ + 1))
        print("load: two close starts at once ended in %.1f s" % (time.monotonic() - t))
        instance = load.instance()

    # Close while the instance is being killed: the kill sent a little
    # before the close start, at once, or a little after it.
    for delay in (-0.1, 0.0, 0.05, 0.1):
        t = time.monotonic()
        killers = []

        def kill(pid=instance.pid):
            killers.append(subprocess.Popen(
                s.wine.command([s.wine.harness, "kill", str(pid)]), env=s.wine.env(),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                start_new_session=True))
        if delay < 0:
            kill()
            time.sleep(-delay)
        else:
            threading.Timer(delay, kill).start()
        closer = s.start(exe, b"nosaver.exe close", locale="zh_CN.UTF-8", relay=True)
        while not killers:
            time.sleep(0.01)
        killers[0].wait(30)
        when = ("0.10 s before" if delay < 0 else "with" if delay == 0 else
                "%.2f s after" % delay)
        load.close_starts([closer], instance, "close, the instance killed %s it" % when,
                          killed=True)
        print("load: close while the instance was killed ended in %.1f s" % (time.monotonic() - t))
        instance = load.instance()

    # Two close starts back to back: the second while the first is at work.
    t = time.monotonic()
    first = s.start(exe, b"nosaver.exe close", locale="zh_CN.UTF-8", relay=True)
    second = s.start(exe, b"nosaver.exe close", locale="zh_CN.UTF-8", relay=True)
    load.close_starts([first, second], instance, "two closes back to back")
    print("load: two close starts back to back ended in %.1f s" % (time.monotonic() - t))

    total = time.monotonic() - begin
    s.check(total < LOAD_BOUND_S, "the scenario stayed within %d s" % LOAD_BOUND_S, total)
    print("load: %d plain starts and %d close starts in %.1f s, all ended with exit code 0"
          % (PLAIN_STARTS, load.closes, total))


if __name__ == "__main__":
    Scenario("load").run(body)
