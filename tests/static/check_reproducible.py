#!/usr/bin/env python3
"""Two clean builds of the 32-bit executable and the installer's closing
step, in different folders, give the same bytes as each other and as the
build being tested, and so do the release packages made from them."""
import filecmp
import glob
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import check, failures, finish  # noqa: E402


def build(source, folder):
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=",
                    "--toolchain", os.path.join(source, "cmake", "mingw-i686.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "nosaver", "closing_action"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cpack", "--config", os.path.join(folder, "CPackConfig.cmake"), "-B",
                    os.path.join(folder, "package")], check=True, stdout=subprocess.DEVNULL)
    msi = os.path.join(folder, "nosaver.msi")
    subprocess.run([sys.executable, os.path.join(source, "setup", "msi.py"), folder, "1.0.0", msi],
                   check=True)
    return (os.path.join(folder, "nosaver.exe"), glob.glob(os.path.join(folder, "package", "*.zip")),
            os.path.join(folder, "closing_action.dll"), msi)


def main(source, tested, work):
    first, first_zip, first_dll, first_msi = build(source, os.path.join(work, "first"))
    second, second_zip, second_dll, second_msi = build(
        source, os.path.join(work, "second-build-elsewhere"))
    check(len(first_zip) == len(second_zip) == 1, "each build makes one package", (first_zip, second_zip))
    if failures:
        return finish("reproducible builds")
    for a, b, what in ((first, second, "two clean builds are identical"),
                       (first, tested, "the tested executable is identical to a clean build"),
                       (first_zip[0], second_zip[0], "their packages are identical"),
                       (first_dll, second_dll, "so are their closing steps"),
                       (first_dll, os.path.join(os.path.dirname(tested), "closing_action.dll"),
                        "and the tested closing step"),
                       (first_msi, second_msi, "and their Windows Installer packages")):
        check(filecmp.cmp(a, b, shallow=False), what)
    shutil.rmtree(work, ignore_errors=True)
    return finish("reproducible builds")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_reproducible.py SOURCE TESTED_EXE WORK")
    sys.exit(main(*sys.argv[1:]))
