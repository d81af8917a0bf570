#!/usr/bin/env python3
"""Two clean builds of the 32-bit executable, in different folders, give
the same bytes as each other and as the build being tested."""
import filecmp
import os
import shutil
import subprocess
import sys


def build(source, folder):
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=",
                    "--toolchain", os.path.join(source, "cmake", "mingw-i686.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "nosaver"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(folder, "nosaver.exe")


def main(source, tested, work):
    first = build(source, os.path.join(work, "first"))
    second = build(source, os.path.join(work, "second-build-elsewhere"))
    failures = 0
    for a, b, what in ((first, second, "two clean builds are identical"),
                       (first, tested, "the tested executable is identical to a clean build")):
        same = filecmp.cmp(a, b, shallow=False)
        print("%s  %s" % ("ok  " if same else "FAIL", what))
        failures += not same
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_reproducible.py SOURCE TESTED_EXE WORK")
    sys.exit(main(*sys.argv[1:]))
