#!/usr/bin/env python3
"""Two clean builds of the 32-bit executable and the installer's closing
step give the same bytes as each other and as the build being tested, and
so do the release packages made from them: one built in the checkout, one
from a copy of it in a folder whose path has blanks, parentheses, accented
letters and the name nosaver-2.0, with a wixl that takes 2 s longer to
start, as on a busy machine."""
import filecmp
import glob
import os
import shutil
import subprocess
import sys

from report import check, failures, finish

# Where the second build's sources go, under WORK.
ELSEWHERE = os.path.join("a b", "D\u00e9p\u00f4t nosaver-2.0 (copy)", "src")


def slow_wixl(work):
    """A folder holding a wixl that waits 2 s, then runs the real one and
    leaves a mark that it did."""
    folder = os.path.join(work, "slow tools")
    os.makedirs(folder)
    wrapper = os.path.join(folder, "wixl")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nsleep 2\ntouch \"$0.ran\"\nexec '%s' \"$@\"\n" % shutil.which("wixl"))
    os.chmod(wrapper, 0o755)
    return folder


def build(source, folder, env=None):
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=",
                    "--toolchain", os.path.join(source, "cmake", "mingw-i686.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "nosaver", "installer"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cpack", "--config", os.path.join(folder, "CPackConfig.cmake"), "-B",
                    os.path.join(folder, "package")], check=True, stdout=subprocess.DEVNULL)
    msi = os.path.join(folder, "nosaver.msi")
    subprocess.run([sys.executable, os.path.join(source, "packaging", "msi.py"), folder, "1.0.0", msi],
                   check=True, env=env)
    return (os.path.join(folder, "nosaver.exe"),
            glob.glob(os.path.join(glob.escape(folder), "package", "*.zip")),
            os.path.join(folder, "installer.dll"), msi)


def main(source, tested, work):
    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, ELSEWHERE)
    # The checkout as it is, uncommitted changes and its git history (the
    # packages' time) included, its builds left out.
    shutil.copytree(source, copy, symlinks=True,
                    ignore=lambda d, names: ["build"] if os.path.samefile(d, source) else [])
    tools = slow_wixl(work)
    first, first_zip, first_dll, first_msi = build(source, os.path.join(work, "first"))
    second, second_zip, second_dll, second_msi = build(
        copy, os.path.join(copy, "build", "win32"),
        dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"]))
    check(len(first_zip) == len(second_zip) == 1, "each build makes one package", (first_zip, second_zip))
    check(os.path.exists(os.path.join(tools, "wixl.ran")), "the second package's wixl was the slow one")
    if failures:
        return finish("reproducible builds")
    for a, b, what in ((first, second, "two clean builds are identical"),
                       (first, tested, "the tested executable is identical to a clean build"),
                       (first_zip[0], second_zip[0], "their packages are identical"),
                       (first_dll, second_dll, "so are their CloseInstances steps"),
                       (first_dll, os.path.join(os.path.dirname(tested), "installer.dll"),
                        "and the tested CloseInstances"),
                       (first_msi, second_msi, "and their Windows Installer packages, though one "
                        "wixl took 2 s longer")):
        check(filecmp.cmp(a, b, shallow=False), what)
    shutil.rmtree(work, ignore_errors=True)
    return finish("reproducible builds")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_reproducible.py SOURCE TESTED_EXE WORK")
    sys.exit(main(*sys.argv[1:]))
