#!/usr/bin/env python3
"""The close command of the real program under Wine.

Two decoys whose paths merely contain nosaver.exe run first; then an
instance, closed from its own folder; the next plain start becomes the new
instance, closed from a copy in another folder under code page 936.
"""
import re

from scenario import Scenario
from wine import winpath

# The ANSI code page that Wine takes from each locale the scenario uses.
ANSI = {"C.UTF-8": "cp1252", "zh_CN.UTF-8": "gbk"}
FIND_AND_CLOSE = "\u67e5\u627e\u5e76\u5173\u95ed\u5df2\u7ecf\u8fd0\u884c\u7684\u7a0b\u5e8f.\n"


def gbk(text):
    return text.encode("gbk")


def close_traces(exe_of_instance, locale):
    """What a close start sends when it finds the instance, as bytes: the
    instance's path in the ANSI code page, '?' for what it cannot hold."""
    return [b"lpCmdLine:[close]\n", gbk(FIND_AND_CLOSE), b"processExeName:[nosaver.exe]\n",
            gbk("Process full name\uff1a\n") +
            winpath(exe_of_instance).encode(ANSI[locale], "replace") + b";"]


def relay_units(text):
    """A text as the relay log shows a wide string: non-ASCII as \\xxxx."""
    return "".join(c if ord(c) < 0x80 else "\\%04x" % ord(c) for c in text)


def close_and_check(s, closer_exe, instance, instance_exe, locale):
    closer = s.start(closer_exe, b"nosaver.exe close", locale=locale, relay=True)
    s.finish_start(closer)
    s.equal(instance.exit_code(10), 0, "the instance ends with exit code 0")
    messages = s.wait_texts(closer, 4, 5, codepage="latin-1")
    s.equal([m.encode("latin-1") for m in messages], close_traces(instance_exe, locale),
            "close traces its argument, the search, its name and the instance's path")

    calls = closer.relay_calls()
    opens = [c for c in calls if c.startswith("KERNEL32.OpenProcess")]
    s.check(opens and all(re.match(r"KERNEL32\.OpenProcess\(00000(410|42b),00000000,", c)
                          for c in opens),
            "processes are opened with 0x0410 to read and 0x042B to terminate", opens[:3])
    s.check(any(re.match(r"KERNEL32\.OpenProcess\(0000042b,00000000,%08x\)" % instance.pid, c)
                for c in opens), "the instance is opened with 0x042B")
    kills = [c for c in calls if c.startswith("KERNEL32.TerminateProcess")]
    s.check(len(kills) == 1 and kills[0].endswith(",00000000)"),
            "one TerminateProcess with exit code 0", kills)
    return calls


def body(s):
    # Decoys first, so that they come before the instance in the snapshot.
    decoys = [s.start(s.install("decoy", "mynosaver.exe", s.wine.harness), b"mynosaver.exe sleep"),
              s.start(s.install("nosaver.exe", "editor.exe", s.wine.harness),
                      b"editor.exe sleep")]

    home = s.install("home")
    instance = s.start(home, b"nosaver.exe")
    s.equal(s.wait_texts(instance, 1, 10), ["lpCmdLine:[]\n"], "the instance started")

    calls = close_and_check(s, home, instance, home, "C.UTF-8")
    s.check(any(c.startswith("KERNEL32.OutputDebugStringW") and
                relay_units("\u00b2\u00e9\u00d5\u00d2") in c for c in calls),
            "under code page 1252 the Chinese text arrives as the characters of its bytes")
    s.check(all(d.running() for d in decoys), "the decoys are untouched")

    # The guard went with the instance and the closer: a plain start is
    # the new instance.
    again = s.start(home, b"nosaver.exe")
    texts = s.wait_texts(again, 2, 15)
    s.check(again.running() and texts[:1] == ["lpCmdLine:[]\n"] and texts[1:2] and
            texts[1].startswith("move mouse"), "the next plain start is the new instance", texts)

    elsewhere = s.install("elsewhere")
    calls = close_and_check(s, elsewhere, again, home, "zh_CN.UTF-8")
    s.check(any(c.startswith("KERNEL32.OutputDebugStringW") and relay_units(FIND_AND_CLOSE[:4]) in c
                for c in calls), "under code page 936 the Chinese text arrives as Chinese")
    s.check(all(d.running() for d in decoys), "the decoys are still untouched")


if __name__ == "__main__":
    Scenario("close").run(body)
