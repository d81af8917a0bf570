#!/usr/bin/env python3
"""Builds nosaver's Windows Installer package from packaging/nosaver.wxs.

    msi.py [--exe EXE] WIN32_BUILD VERSION OUT

The package holds the files of the win32 build folder: its nosaver.exe
(or EXE, a signed one), installer.dll (the installer's steps), and the guide and the license
as the build's configuration writes them for the packages
(package/README.txt, package/LICENSE.txt). VERSION is
the package's version, OUT the package to write.

nosaver.exe is a versioned file: its File row carries the version and
language of its own version resource, and it has no hash (Windows Installer
hashes only unversioned files); README.txt and LICENSE.txt stay unversioned
and hashed.

Every package it makes is held to Windows Installer's own rules (ice.py)
and nosaver's (package_rules.py), and one that breaks a rule is refused.

The same files and version always give the same bytes. wixl writes the
current time into the package and a random package code; it runs under a
clock frozen at the release time that the build's configuration fixed for
every package (CPACK_NOSAVER_EPOCH: SOURCE_DATE_EPOCH, else the time of the
last commit), and the package code is then set to one derived from the
version and everything that went in. The cabinet takes the files' times,
which are set to the release time too. The product code is derived from the
version alone, so each version has its own and keeps it.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

import ice
import package_rules
from msitables import COMMIT, ROLLBACK, Package

HERE = os.path.dirname(os.path.abspath(__file__))
# Steps that run only when an installation is rolled back, and ones that run
# only once it has succeeded. wixl knows neither Execute="rollback" nor
# Execute="commit" and writes them as deferred steps; their type then gets
# the flag (msidbCustomActionTypeRollback, msidbCustomActionTypeCommit).
STEP_FLAGS = {"RestartInstancesOnRollback": ROLLBACK, "RestartInstances": COMMIT,
              "ForgetInstances": COMMIT}
# Who may change the installed folder and nosaver.exe (Windows Installer 5,
# Windows 7 and later): SYSTEM and Administrators; Users read and run.
# Protected, so that nothing of a parent's looser rights comes in.
RIGHTS = "(A;%(inherit)s;FA;;;SY)(A;%(inherit)s;FA;;;BA)(A;%(inherit)s;0x1200a9;;;BU)"
FOLDER_SDDL = "D:PAI" + RIGHTS % {"inherit": "OICI"}
FILE_SDDL = "D:PAI" + RIGHTS % {"inherit": ""}
# Properties that the user-interface sequence finds or sets and the
# installation itself must see, which Windows Installer passes on only when
# they are listed as secure.
SECURE = ("WIX_DOWNGRADE_DETECTED", "WIX_UPGRADE_DETECTED", "INSTALLDIR", "NOSAVER_PRODUCT_DIR")
SOURCE = os.path.join(HERE, "nosaver.wxs")
FILES = ("nosaver.exe", "README.txt", "LICENSE.txt", "installer.dll")
# Where each is in a win32 build folder.
IN_BUILD = ("nosaver.exe", "package/README.txt", "package/LICENSE.txt", "installer.dll")
# The files that are installed (installer.dll stays in the package), and
# their keys in the File table (packaging/nosaver.wxs).
INSTALLED = ("nosaver.exe", "README.txt", "LICENSE.txt")
FILE_KEYS = {"nosaver.exe": "NosaverExe", "README.txt": "Guide", "LICENSE.txt": "License"}


def upgrade_code():
    with open(SOURCE) as f:
        return uuid.UUID(re.search(r'UpgradeCode="\{([0-9A-F-]{36})\}"', f.read()).group(1))


def additions(stage):
    """What the package holds beyond what wixl writes, as SQL for msibuild:
    the version and language of each installed program (wixl leaves the
    File table's Version empty and hashes every file), the permissions of
    the folder and the file, and the secure properties."""
    versioned = []
    for name in FILES:
        found = package_rules.version_resource(os.path.join(stage, name)) \
            if name in INSTALLED else None
        if found:
            versioned += [
                "UPDATE `File` SET `Version` = '%s', `Language` = '%s' WHERE `FileName` = '%s'"
                % (found[0], found[1], name),
                "DELETE FROM `MsiFileHash` WHERE `File_` = '%s'" % FILE_KEYS[name]]
    return versioned + [
        "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, "
        "`LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, "
        "`Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)",
        "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, "
        "`SDDLText`) VALUES ('LockFolder', 'INSTALLDIR', 'CreateFolder', '%s')" % FOLDER_SDDL,
        "INSERT INTO `MsiLockPermissionsEx` (`MsiLockPermissionsEx`, `LockObject`, `Table`, "
        "`SDDLText`) VALUES ('LockProgram', 'NosaverExe', 'File', '%s')" % FILE_SDDL,
        "UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'SecureCustomProperties'"
        % ";".join(SECURE),
    ]


def braced(code):
    return "{%s}" % str(code).upper()


def product_code(version):
    return braced(uuid.uuid5(upgrade_code(), "product " + version))


def package_code(stage, version):
    digest = hashlib.sha256(version.encode())
    digest.update("\n".join(additions(stage)).encode())
    for name in (SOURCE,) + tuple(os.path.join(stage, f) for f in FILES):
        with open(name, "rb") as f:
            data = f.read()
        digest.update(b"%s %d\n" % (os.path.basename(name).encode(), len(data)))
        digest.update(data)
    return braced(uuid.uuid5(upgrade_code(), "package " + digest.hexdigest()))


def release_epoch(win32):
    """The release time the build's configuration fixed for its packages."""
    with open(os.path.join(win32, "CPackConfig.cmake")) as f:
        return int(re.search(r'set\(CPACK_NOSAVER_EPOCH "(\d+)"\)', f.read()).group(1))


def build(win32, version, out, exe=None):
    sources = [os.path.join(win32, f) for f in IN_BUILD]
    if exe:
        sources[0] = exe
    missing = [f for f in sources if not os.path.isfile(f)]
    if missing:
        raise SystemExit("msi.py: no %s" % ", ".join(missing))
    with tempfile.TemporaryDirectory() as stage:
        for source, name in zip(sources, FILES):
            shutil.copyfile(source, os.path.join(stage, name))
        make(stage, version, out, release_epoch(win32))


def make(stage, version, out, epoch):
    if not re.fullmatch(r"\d{1,3}\.\d{1,3}\.\d{1,5}", version):
        raise SystemExit("msi.py: %r is no version Windows Installer takes (major.minor.build)"
                         % version)
    size = 0
    for f in FILES:
        os.utime(os.path.join(stage, f), (epoch, epoch))
        if f in INSTALLED:
            size += os.path.getsize(os.path.join(stage, f))
    # -f: the clock stands still at that time. Without it faketime only
    # starts the clock there, and a wixl that takes a second longer writes
    # another time.
    clock = ["faketime", "-f", time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))]
    env = dict(os.environ, TZ="UTC")
    partial = os.path.abspath(out) + ".partial"
    os.makedirs(os.path.dirname(partial), exist_ok=True)
    try:
        subprocess.run(clock + ["wixl", "--arch", "x86", "-D", "Version=" + version,
                                "-D", "ProductCode=" + product_code(version),
                                "-D", "SizeKB=%d" % -(-size // 1024), "-o", partial,
                                SOURCE], cwd=stage, env=env, check=True)
        # wixl can fail and still exit with 0.
        if not os.path.isfile(partial):
            raise SystemExit("msi.py: wixl made no package")
        types = {step: Package(partial).ca_type(step) for step in STEP_FLAGS}
        for query in additions(stage) + ["UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'"
                                    % (types[step] | flag, step)
                                    for step, flag in sorted(STEP_FLAGS.items())]:
            subprocess.run(clock + ["msibuild", partial, "-q", query], env=env, check=True)
        subprocess.run(clock + ["msibuild", partial, "-s",
                                "nosaver %s: keeps the screen saver from starting" % version,
                                "the nosaver developers", "Intel;1033",
                                package_code(stage, version)], env=env, check=True)
        # As WiX does when it links a package: one that breaks a rule of
        # Windows Installer's or of nosaver's own is no package.
        broken = ice.failures(partial, None, ice.RULES + package_rules.RULES)
        if broken:
            raise SystemExit("msi.py: the package breaks %d rule(s): %s" % (
                len(broken), "; ".join("%s: %s" % (words, bad) for words, bad in broken)))
        os.replace(partial, out)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


if __name__ == "__main__":
    args = sys.argv[1:]
    exe = args[1] if args[:1] == ["--exe"] and len(args) > 1 else None
    args = args[2:] if exe else args
    if len(args) != 3:
        sys.exit("usage: msi.py [--exe EXE] WIN32_BUILD VERSION OUT")
    build(args[0], args[1], args[2], exe)
