#!/usr/bin/env python3
"""One environment per state folder, one display per environment.

A second set-up on the folder of a running environment is refused and
leaves it as it was; a pointer placed there is seen there also right after
a mouse event; an environment set up beside it gets a display of its own,
and cleaning that one up leaves the first one's display alone.
"""
import os
import subprocess
import sys

import winenv
from wine import Wine
from scenario import Scenario


def body(s):
    wine = s.wine
    conf_file = os.path.join(wine.state, "env.json")
    with open(conf_file) as f:
        before = f.read()
    again = subprocess.run([sys.executable, winenv.HERE, "setup", wine.state, wine.harness,
                            wine.conf["kind"]], capture_output=True, text=True, timeout=60)
    s.check(again.returncode != 0 and "is in use by process" in again.stderr,
            "a second set-up on the folder is refused", (again.returncode, again.stderr))
    with open(conf_file) as f:
        s.equal(f.read(), before, "and its environment is as it was")
    wine.move_cursor(101, 202)
    # For a moment after a mouse event Wine reads the pointer from its own
    # record instead of the display; the two must agree.
    code, out = wine.run([wine.harness, "nudge"])
    s.equal((code, out.split()), (0, ["101", "202"]),
            "right after a mouse event the pointer is still seen where it was put")

    beside = wine.state + "-beside"
    try:
        winenv.setup(beside, wine.harness, wine.conf["kind"])
        other = Wine(beside)
        s.check(other.conf["display"] != wine.conf["display"],
                "a set-up beside it gets a display of its own",
                (wine.conf["display"], other.conf["display"]))
        other.move_cursor(303, 404)
        s.equal(wine.cursor(), (101, 202), "each display has a pointer of its own")
    finally:
        winenv.cleanup(beside)
    s.equal(wine.cursor(), (101, 202), "cleaning up the other leaves this display alone")


if __name__ == "__main__":
    Scenario("winenv").run(body)
