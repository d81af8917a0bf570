#!/usr/bin/env python3
"""The scripts refuse what they cannot do at once, saying why and never
with a traceback: fuzz.sh's seconds and targets, run.sh's code pages, and an
emulator setting (NOSAVER_QEMU) that names no qemu-i386, which wine32.sh
does not run and deps.sh leaves as it was.
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
from report import check, finish

# Every refusal comes before anything is built, installed or run.
BOUND_S = 30
FUZZ_USAGE = "TARGET: trace exename match close"
RUN_USAGE = "CODEPAGE: 932 936 949 950 1250 1251 1252 (936, Chinese, by default)"


def cases(tmp, notes):
    # script and arguments, NOSAVER_QEMU, exit code, what the output must say
    return [
        (["fuzz.sh", "--no-build", "-5"], None, 2, FUZZ_USAGE),
        (["fuzz.sh", "--no-build", "0", "close"], None, 2, FUZZ_USAGE),
        (["fuzz.sh", "--no-build", "5", "bogus"], None, 2, "unknown target 'bogus'"),
        (["fuzz.sh", "--no-build", "close", "10"], None, 2, FUZZ_USAGE),
        (["run.sh", "abc"], None, 2, RUN_USAGE),
        (["run.sh", "0x4e4"], None, 2, RUN_USAGE),
        (["run.sh", "1252", "extra"], None, 2, RUN_USAGE),
        (["run.sh", "--help"], None, 0, RUN_USAGE),
        (["deps.sh"], notes, 1, "leaves %s as it is" % notes),
        (["deps.sh"], tmp, 1, "leaves %s as it is" % tmp),
        (["wine32.sh", "wine", "--version"], "/bin/true", 2, "/bin/true is not a qemu-i386"),
        (["wine32.sh", "wine", "--version"], tmp, 2, "%s is not a qemu-i386" % tmp),
    ]


def main():
    with tempfile.TemporaryDirectory() as tmp:
        notes = os.path.join(tmp, "notes.txt")
        with open(notes, "w") as f:
            f.write("my notes\n")
        for args, qemu, code, said in cases(tmp, notes):
            env = dict(os.environ)
            env.pop("NOSAVER_QEMU", None)
            if qemu:
                env["NOSAVER_QEMU"] = qemu
            try:
                done = subprocess.run(["bash", os.path.join(ROOT, "scripts", args[0])] + args[1:],
                                      env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=BOUND_S)
                got, out = done.returncode, done.stdout.decode("utf-8", "replace")
            except subprocess.TimeoutExpired:
                got, out = "still running after %d s" % BOUND_S, ""
            check(got == code and said in out and "Traceback" not in out,
                  "%s%s: exit code %s and %r" % ("NOSAVER_QEMU=%s " % qemu if qemu else "",
                                                 " ".join(args), code, said),
                  "exit code %s; said:\n%s" % (got, out))
        with open(notes, "rb") as f:
            check(f.read() == b"my notes\n" and sorted(os.listdir(tmp)) == ["notes.txt"],
                  "what NOSAVER_QEMU named is left as it was")
    sys.exit(finish("arguments"))


if __name__ == "__main__":
    main()
