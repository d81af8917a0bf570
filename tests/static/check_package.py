#!/usr/bin/env python3
"""The release packages, as scripts/package.sh makes them: what the zip
and the .msi hold, their checksum files, and that packaging twice gives the
same bytes. The packages stay in WORK/first for the tests that install
them (fixture package).

    check_package.py SOURCE WIN32_BUILD VERSION WORK
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile

from check_manifests import URL, check_manifests
from check_msi import check_msi
from msitables import package_code, properties
from report import check, finish


def read(path):
    with open(path, "rb") as f:
        return f.read()


# Release URLs and homepages that package.sh refuses, and words of the reason.
BAD_URLS = {
    ("--release-url", "http://example.org/nosaver/v{version}/"): "not an https URL",
    ("--release-url", "https://example.org/nosaver/"): "lacks {version}",
    ("--release-url", "https://example.org/nosaver/v{version}"): "does not end in /",
    ("--release-url", URL, "--homepage", "http://example.org/"): "homepage 'http://example.org/' "
                                                                 "is not an https URL",
    ("--release-url", URL, "--homepage", "https://example.org/no saver"): "characters",
    ("--homepage", "https://example.org/"): "--homepage needs --release-url",
}
HOMEPAGE = "https://example.org/nosaver/about"


def package(source, folder, *arguments):
    shutil.rmtree(folder, ignore_errors=True)
    return subprocess.run(["bash", os.path.join(source, "scripts", "package.sh"), "--no-build",
                           "--out", folder, *(arguments or ("--release-url", URL))],
                          capture_output=True, text=True)


def check_checksum(path):
    line = read(path + ".sha256").decode().split()
    check(line == [hashlib.sha256(read(path)).hexdigest(), os.path.basename(path)],
          "the checksum file holds the SHA-256 and name of %s" % os.path.basename(path), line)


def check_contents(path, version):
    """Checks the zip at path, its checksum file and what it holds; returns
    the bytes of its nosaver.exe."""
    name = "nosaver-%s-win32" % version
    check_checksum(path)
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


def main(source, build, version, work):
    name = "nosaver-%s-win32" % version
    shutil.rmtree(work, ignore_errors=True)
    first, second = (os.path.join(work, f) for f in ("first", "second"))
    made = package(source, first)
    check(made.returncode == 0, "package.sh --release-url makes the packages", made.stderr)
    # Everything that a second packaging stages gets new file times.
    time.sleep(1.1)
    for f in ("nosaver.exe", "installer.dll"):
        os.utime(os.path.join(build, f))
    package(source, second)

    compared = subprocess.run(["diff", "-r", first, second], capture_output=True, text=True)
    check(compared.returncode == 0, "packaging twice gives the same bytes: zip, msi, checksums "
          "and manifests", compared.stdout[:300])
    zip_path, msi = (os.path.join(first, name + kind) for kind in (".zip", ".msi"))
    exe = check_contents(zip_path, version)
    check(exe == read(os.path.join(build, "nosaver.exe")), "the zip's nosaver.exe is the build's")
    check_checksum(msi)
    product = check_msi(msi, version, exe, read(os.path.join(build, "installer.dll")))

    # Another version of the same files: a product code of its own, the
    # same upgrade code, another package code.
    other = os.path.join(work, "other.msi")
    subprocess.run([sys.executable, os.path.join(source, "packaging", "msi.py"), build, "0.9.9", other],
                   check=True)
    older = properties(other)
    check(older["ProductCode"] != product["ProductCode"] and
          older["UpgradeCode"] == product["UpgradeCode"] and
          package_code(other) != package_code(msi),
          "another version has its own product and package code, and the same upgrade code",
          (older["ProductCode"], product["ProductCode"]))

    check_manifests(first, version)
    made = package(source, second, "--release-url", URL, "--homepage", HOMEPAGE)
    check(made.returncode == 0, "package.sh --homepage makes the packages", made.stderr)
    check_manifests(second, version, homepage=HOMEPAGE)
    for arguments, words in BAD_URLS.items():
        refused = package(source, second, *arguments)
        check(refused.returncode != 0 and words in refused.stderr and not os.path.exists(second),
              "package.sh %s is refused (%s) and makes no package" % (" ".join(arguments), words),
              refused.stderr)

    shutil.rmtree(second, ignore_errors=True)
    return finish("packages %s: zip %d bytes, msi %d bytes" % (
        name, os.path.getsize(zip_path), os.path.getsize(msi)))


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit("usage: check_package.py SOURCE WIN32_BUILD VERSION WORK")
    sys.exit(main(*sys.argv[1:]))
