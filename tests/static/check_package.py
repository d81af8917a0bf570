#!/usr/bin/env python3
"""The release package: what the zip holds, its checksum file, and that
packaging twice gives the same bytes.

    check_package.py WIN32_BUILD VERSION WORK
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import check, finish  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


def package(build, folder):
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", folder],
                   check=True, stdout=subprocess.DEVNULL)
    return folder


def check_contents(path, version):
    """Checks the zip at path, its checksum file and what it holds; returns
    the bytes of its nosaver.exe."""
    name = "nosaver-%s-win32" % version
    line = read(path + ".sha256").decode().split()
    check(line == [hashlib.sha256(read(path)).hexdigest(), name + ".zip"],
          "the checksum file holds the zip's SHA-256 and name", line)
    with zipfile.ZipFile(path) as z:
        names = sorted(z.namelist())
        check(names == sorted("%s/%s" % (name, f) for f in ("LICENSE.txt", "README.txt", "nosaver.exe")),
              "the zip holds nosaver.exe, README.txt and LICENSE.txt in %s/" % name, names)
        exe = z.read(name + "/nosaver.exe")
        guide = z.read(name + "/README.txt").decode("ascii")
        license_text = z.read(name + "/LICENSE.txt").decode("ascii")
        stamps = {i.date_time for i in z.infolist()}
        modes = {i.filename.rsplit("/", 1)[1]: (i.external_attr >> 16) & 0o777 for i in z.infolist()}
    for text, what in ((guide, "guide"), (license_text, "license")):
        check("\n" not in text.replace("\r\n", ""), "the %s has CRLF line ends" % what)
    topics = ["nosaver %s" % version, "nosaver close", "shell:startup", "Task Scheduler",
              "debug-output viewer", "no installation", "no administrator rights", "Windows XP"]
    missing = [t for t in topics if t not in guide.replace("\r\n", " ").replace("  ", " ")]
    check(not missing, "the guide covers starting, stopping, logon, the trace, no installation",
          missing)
    check("MIT License" in license_text and "Permission is hereby granted" in license_text,
          "the license is the MIT License")
    check(len(stamps) == 1, "every entry has the same fixed time", stamps)
    check(modes == {"nosaver.exe": 0o755, "README.txt": 0o644, "LICENSE.txt": 0o644},
          "entries carry plain permissions", modes)
    return exe


def main(build, version, work):
    name = "nosaver-%s-win32" % version
    first = package(build, os.path.join(work, "first"))
    # Everything that a second packaging stages gets new file times.
    time.sleep(1.1)
    os.utime(os.path.join(build, "nosaver.exe"))
    second = package(build, os.path.join(work, "second"))

    zips = [os.path.join(folder, name + ".zip") for folder in (first, second)]
    check(read(zips[0]) == read(zips[1]), "packaging twice gives the same zip bytes")
    check(read(zips[0] + ".sha256") == read(zips[1] + ".sha256"),
          "and the same checksum file both times")
    exe = check_contents(zips[0], version)
    check(exe == read(os.path.join(build, "nosaver.exe")), "the zip's nosaver.exe is the build's")

    size = os.path.getsize(zips[0])
    shutil.rmtree(work, ignore_errors=True)
    return finish("package %s: %d bytes" % (name, size))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_package.py WIN32_BUILD VERSION WORK")
    sys.exit(main(*sys.argv[1:]))
