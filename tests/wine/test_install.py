#!/usr/bin/env python3
"""The Windows Installer package as a user and an administrator use it.

    test_install.py STATE WIN32_BUILD PACKAGES

PACKAGES holds the release's nosaver-<version>-win32.msi; an older version
of the same files is built beside it. An install that fails, and one given
a relative INSTALLDIR, which is refused; a silent install of the older one
over the zip's nosaver.exe running in the same folder, which it ends and
starts again, and its Start-menu shortcuts; nosaver started from the
Startup shortcut and the release installed over it while it runs; the
older one refused over the release; the release removed while nosaver
runs; and an install with its user interface, which starts no nosaver, as
Wine's one user runs it elevated. From the upgrade on, a program named
nosaver.exe runs in another folder, and must survive.

Then the folder of the first installation, given with INSTALLDIR, is kept
by an upgrade, a repair and the removal that do not give it, in a folder
with accented letters and in one whose nosaver.exe has a path of 259
characters; each ends the nosaver started through another spelling of the
installed file's path (its short form, or capitals), and the repair starts
it again. No record of the sessions to start again is left behind.

Last, the folder is nosaver's own and comes from Windows Installer's
record: C:\\windows, C:\\, a folder holding another program's files, one
holding another program's README.txt and LICENSE.txt, one too deep to
start nosaver.exe from, and existing folders that Wine gives its one user
as owner, are refused and nothing changes; a repair after nosaver.exe was
deleted puts it back in its folder, a repair given another folder is
refused, and a registry value naming the folder of the zip's running
nosaver.exe sends no step there: the removal leaves that copy running and
its folder whole.

Wine runs an upgrade's removal of the older version at once, as a plain
removal (without UPGRADINGPRODUCTCODE), ahead of the new version's steps:
that removal ends nosaver and, being a removal, starts nothing again. So
under Wine an upgrade restarts nothing; the unit tests show the upgrade's
restart on the simulated Windows.

Wine runs every step of the installer as the one user of its one session,
and puts the Startup folder into that user's profile even for a
per-machine install; the static checks read from the package what Windows
does instead. Every silent msiexec here carries /norestart, as the README's
commands do.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import time

from scenario import Scenario
from wine import ROOT, winpath

OLDER = "0.9.9"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


class Machine:
    """The prefix as the package sees it, and the installer run on it."""

    def __init__(self, s):
        self.s = s
        self.drive = os.path.join(s.wine.conf["prefix"], "drive_c")
        self.folder = os.path.join(self.drive, "Program Files", "nosaver")
        self.seen = set()  # pids of nosaver starts already accounted for

    def msiexec(self, *args):
        """Runs msiexec to its end; returns its exit code and seconds. An
        argument with a blank is quoted; the command line goes in UTF-8,
        whatever the ANSI code page, as paths may hold any letter."""
        exe = os.path.join(self.drive, "windows", "system32", "msiexec.exe")
        began = time.monotonic()
        line = " ".join(["msiexec.exe"] + ['"%s"' % a if " " in a else a for a in args])
        started = self.s.start(exe, line.encode(), utf8=True)
        return started.exit_code(180), time.monotonic() - began

    def shortcuts(self):
        """{folder/name: Windows path} of the package's shortcuts."""
        menus = glob.glob(os.path.join(glob.escape(self.drive), "users", "*", "AppData", "Roaming",
                                       "Microsoft", "Windows", "Start Menu"))
        found = {}
        for menu in menus:
            for name in ("Programs/StartUp/nosaver.lnk", "Programs/nosaver.lnk",
                         "Programs/Stop nosaver.lnk"):
                if os.path.exists(os.path.join(menu, name)):
                    found[name] = "C:" + os.path.join(menu, name)[len(self.drive):].replace("/", "\\")
        return found

    def open(self, shortcut):
        """Opens a shortcut as a double-click does."""
        code, _ = self.s.wine.run(["start", self.shortcuts()[shortcut]])
        return code

    def entries(self):
        """The Programs and Features entries named nosaver: {key: values}."""
        _, out = self.s.wine.run(["reg", "query", UNINSTALL, "/s"])
        entries = {}
        for block in out.replace("\r", "").split("\n\n"):
            lines = block.strip().splitlines()
            values = dict(re.match(r"\s+(\S+)\s+REG_\w+\s*(.*)", v).groups()
                          for v in lines[1:] if re.match(r"\s+\S+\s+REG_", v))
            if values.get("DisplayName") == "nosaver":
                entries[lines[0].rsplit("\\", 1)[1]] = values
        return entries

    def mentions(self):
        """The registry's lines that mention nosaver."""
        export = self.s.wine.scratch_file("registry")
        self.s.wine.run(["regedit", "/E", winpath(export)])
        with open(export, "rb") as f:
            text = f.read().decode("utf-16", "replace").lower()
        return {line for line in text.splitlines() if "nosaver" in line}

    def start(self, exe):
        """Starts nosaver through the given Windows path; its pid once it
        runs its loop."""
        self.s.start(exe, b"nosaver.exe")
        return self.new_instance()

    def short(self, path):
        """The short (8.3) form of a Windows path."""
        _, out = self.s.wine.run([self.s.wine.harness, "short", path])
        return out

    def remember(self, folder):
        """Sets the remembered folder as an administrator might."""
        self.s.wine.run(["reg", "add", "HKLM\\Software\\nosaver", "/v", "InstallDir", "/d",
                         folder, "/f"])

    def said(self, log, words):
        """Whether a /l*v log, in the ANSI code page, holds the words."""
        with open(log, "rb") as f:
            return words in f.read().decode("cp1252", "replace")

    def record_left(self):
        """Whether the steps left their record of sessions in the registry."""
        code, _ = self.s.wine.run(["reg", "query", "HKLM\\Software\\nosaver", "/v",
                                   "RestartSessions"])
        return code == 0

    def new_instance(self, timeout=30):
        """The pid of the next nosaver instance to start, once it runs its
        loop; None when none starts."""
        def instance(messages):
            pids = {m.pid for m in messages if m.text() == "lpCmdLine:[]\n"} - self.seen
            return [p for p in pids if any(m.pid == p and m.text().startswith("move mouse")
                                           for m in messages)]
        found = instance(self.s.listener.wait(instance, timeout))
        self.seen.update(found)
        return found[0] if len(found) == 1 else None

    def ended(self, pid, ms=5000):
        """Whether the process has ended, waiting up to ms for it."""
        _, out = self.s.wine.run([self.s.wine.harness, "wait", str(pid), str(ms)])
        return out.split()[:1] in (["gone"], ["exit"])


def build_older(s):
    """The same files as an older version's package."""
    older = os.path.join(s.wine.scratch_file("older"), "nosaver-%s-win32.msi" % OLDER)
    subprocess.run([sys.executable, os.path.join(ROOT, "packaging", "msi.py"), s.build, OLDER, older],
                   check=True)
    return older


def body(s):
    release = glob.glob(os.path.join(glob.escape(s.args[0]), "nosaver-*-win32.msi"))
    s.equal(len(release), 1, "one release package")
    s.subject = release = release[0]
    version = re.fullmatch(r"nosaver-(.*)-win32\.msi", os.path.basename(release)).group(1)
    older = build_older(s)
    m = Machine(s)
    before = m.mentions()
    timings = []

    def install(what, *args, expect=0):
        code, seconds = m.msiexec(*args)
        timings.append("%s %.1f s" % (" ".join(a.split("=")[0] for a in args[:1] + args[2:]
                                               if not a.startswith("Z:")), seconds))
        s.equal(code, expect, "%s: msiexec exits with %d" % (what, expect))

    # An installation that fails leaves nothing behind: here the folder
    # that it would make is a file.
    with open(m.folder, "w") as f:
        f.write("in the way\n")
    install("an install that fails", "/i", winpath(release), "/qn", "/norestart", expect=1603)
    s.check(os.path.isfile(m.folder) and not m.shortcuts() and not m.entries(),
            "and leaves no file, shortcut or Programs and Features entry")
    os.remove(m.folder)
    log = s.wine.scratch_file("msiexec") + ".log"
    install("an install into a relative INSTALLDIR", "/i", winpath(release), "/qn", "/norestart",
            "INSTALLDIR=Tools\\nosaver", "/l*v", winpath(log), expect=1603)
    s.check(m.said(log, "nosaver: INSTALLDIR must be a full path") and not m.shortcuts() and
            not m.entries(), "is refused with a message that says why, and changes nothing")

    # The zip's nosaver.exe, unpacked where the package installs and
    # running, which the first installation ends and starts again.
    os.makedirs(m.folder)
    shutil.copy(os.path.join(s.build, "nosaver.exe"), os.path.join(m.folder, "nosaver.exe"))
    unpacked = m.start("C:\\Program Files\\nosaver\\nosaver.exe")
    install("a silent install of %s over it while it runs" % OLDER, "/i", winpath(older), "/qn",
            "/norestart")
    again = m.new_instance()
    s.check(unpacked and m.ended(unpacked) and again and not m.record_left(),
            "ends the nosaver that ran there and starts the installed one again", (unpacked, again))
    s.wine.kill(again)
    s.check(again and m.ended(again), "which then ends")
    s.equal(sorted(os.listdir(m.folder)) if os.path.isdir(m.folder) else [],
            ["LICENSE.txt", "README.txt", "nosaver.exe"],
            "nosaver.exe, README.txt and LICENSE.txt are in Program Files\\nosaver")
    s.equal(sorted(m.shortcuts()), ["Programs/StartUp/nosaver.lnk", "Programs/Stop nosaver.lnk",
                                    "Programs/nosaver.lnk"],
            "the Startup shortcut and the two Start-menu shortcuts are there")
    entries = m.entries()
    entry = next(iter(entries.values()), {})
    s.check(len(entries) == 1 and {k: entry.get(k) for k in (
        "DisplayVersion", "Publisher", "NoModify", "NoRepair")} ==
        {"DisplayVersion": OLDER, "Publisher": "the nosaver developers", "NoModify": "0x1",
         "NoRepair": "0x1"} and entry.get("Size"),
        "one Programs and Features entry: nosaver %s, its publisher and size, no Modify or "
        "Repair" % OLDER, entries)

    started = m.open("Programs/nosaver.lnk") == 0 and m.new_instance()
    s.check(started, "the Start-menu shortcut nosaver starts nosaver")
    m.open("Programs/Stop nosaver.lnk")
    s.check(started and m.ended(started), "Stop nosaver ends it")

    # A program named nosaver.exe in another folder, which nothing the
    # installer does may end ("nosaver close" would: it goes by the name).
    bystander = s.start(s.install("elsewhere", "nosaver.exe", s.wine.harness), b"nosaver.exe sleep")

    first = m.open("Programs/StartUp/nosaver.lnk") == 0 and m.new_instance()
    s.check(first, "the Startup shortcut starts nosaver, which runs")

    install("the release over it while it runs", "/i", winpath(release), "/qn", "/norestart")
    s.check(first and m.ended(first), "the running nosaver has been ended")
    entries = m.entries()
    s.check([e.get("DisplayVersion") for e in entries.values()] == [version],
            "one Programs and Features entry, of %s" % version, entries)
    with open(os.path.join(m.folder, "nosaver.exe"), "rb") as f, \
            open(os.path.join(s.build, "nosaver.exe"), "rb") as g:
        s.check(f.read() == g.read(), "the release's nosaver.exe is installed")

    install("%s over the release" % OLDER, "/i", winpath(older), "/qn", "/norestart", expect=1603)
    s.equal([e.get("DisplayVersion") for e in m.entries().values()], [version],
            "is refused: the release stays")

    second = m.open("Programs/StartUp/nosaver.lnk") == 0 and m.new_instance()
    install("a removal while nosaver runs", "/x", winpath(release), "/qn", "/norestart")
    s.check(second and m.ended(second), "the running nosaver has been ended")

    def nothing_left(when):
        left = [p for p in (m.folder,) if os.path.exists(p)] + list(m.shortcuts())
        s.equal(left, [], "%s: no file, folder or shortcut is left" % when)
        s.equal(sorted(m.mentions() - before), [], "and nothing in the registry")

    nothing_left("after the removal")

    install("an install with its user interface", "/i", winpath(release), "/qf")
    s.check(m.new_instance(10) is None and os.path.isfile(os.path.join(m.folder, "nosaver.exe")),
            "installs, and starts no nosaver: its msiexec runs elevated, as Wine's one user does")
    install("its removal", "/x", winpath(release), "/qn", "/norestart")
    nothing_left("after that removal")
    keeps_its_folder(s, m, install, older, release)
    takes_only_a_folder_of_its_own(s, m, install, release)
    follows_windows_installers_record(s, m, install, release)
    starts = {msg.pid for msg in s.listener.messages() if msg.text() == "lpCmdLine:[]\n"}
    s.equal(starts, m.seen, "nosaver started only from its shortcuts, after the first install "
            "over a running copy and the repair: not after the other silent, elevated or failed "
            "ones")
    s.check(bystander.running(), "the other nosaver.exe runs on")
    print("install: msiexec took %s" % ", ".join(timings))


def keeps_its_folder(s, m, install, older, release):
    """Installations in a folder of their own, which later ones keep."""
    log = s.wine.scratch_file("msiexec") + ".log"
    before = m.mentions()
    for folder, length in (("Outils \u00e9t\u00e9", None), ("Long \u00e9t\u00e9 ", 259)):
        if length:  # C:\FOLDER\nosaver\nosaver.exe, 259 characters
            folder += "x" * (length - len("C:\\%s\\nosaver\\nosaver.exe" % folder))
        installdir = "C:\\%s\\nosaver" % folder
        exe = installdir + "\\nosaver.exe"
        where = os.path.join(m.drive, folder, "nosaver")
        what = "in C:\\%s" % folder if not length else \
            "where nosaver.exe's path has %d characters" % len(exe)
        install("%s: an install of %s" % (what, OLDER), "/i", winpath(older), "/qn", "/norestart",
                "INSTALLDIR=" + installdir)
        spellings = {"its short path": m.short(exe), "capitals": exe.upper()}
        first, second = spellings if not length else reversed(list(spellings))

        running = m.start(spellings[first])
        install("%s: the release over it, without INSTALLDIR" % what, "/i", winpath(release),
                "/qn", "/norestart")
        s.check(running and m.ended(running) and not m.record_left(), "%s: the nosaver started "
                "through %s has been ended" % (what, first))
        with open(os.path.join(where, "nosaver.exe"), "rb") as f, \
                open(os.path.join(s.build, "nosaver.exe"), "rb") as g:
            s.check(f.read() == g.read() and not os.path.exists(m.folder),
                    "%s: the release is installed there, not in Program Files" % what)

        if not length:
            running = m.start(spellings[second])
            install("%s: a repair while nosaver runs" % what, "/i", winpath(release), "/qn",
                    "/norestart", "REINSTALL=ALL", "REINSTALLMODE=amus", "/l*v", winpath(log))
            again = m.new_instance()
            s.check(running and m.ended(running) and again and not m.record_left(),
                    "%s: the repair ends nosaver and starts it again" % what, (running, again))
            with open(log, "rb") as f:
                lines = [line for line in f.read().decode("cp1252", "replace").splitlines()
                         if line.startswith("nosaver: started process[%s]" % again)]
            s.check(len(lines) == 1 and "in session 1: %s" % exe in lines[0],
                    "%s: the installation's log says where it started it" % what, lines)
            # Not with Stop nosaver: "nosaver close" goes by the file name and
            # would end the other nosaver.exe, which runs longer.
            s.wine.kill(again)
            s.check(again and m.ended(again), "%s: which then ends" % what)
        running = m.start(spellings[second])
        install("%s: its removal, without INSTALLDIR" % what, "/x", winpath(release), "/qn",
                "/norestart")
        s.check(running and m.ended(running), "%s: the nosaver started through %s has been "
                "ended" % (what, second))
        s.equal([p for p in (where,) if os.path.exists(p)] + list(m.shortcuts()), [],
                "%s: no file, folder or shortcut is left" % what)
        s.equal(sorted(m.mentions() - before), [], "%s: nothing in the registry" % what)


def takes_only_a_folder_of_its_own(s, m, install, release):
    """Folders that are not nosaver's own are refused, and nothing changes."""
    log = s.wine.scratch_file("msiexec") + ".log"
    made = []

    def folder(name, files=()):
        path = os.path.join(m.drive, name)
        os.makedirs(path)
        for file in files:
            with open(os.path.join(path, file), "w") as f:
                f.write("another program's %s\n" % file)
        made.append(path)
        return "C:\\" + name

    deep = "Deep" + "p" * (260 - len("C:\\Deep\\nosaver.exe"))
    cases = [
        ("C:\\windows\\", "holds"),
        ("C:\\", "not the root of a drive"),
        (folder("Foreign", ["tool.exe"]), "holds tool.exe"),
        (folder("Other", ["README.txt", "LICENSE.txt"]), "and no nosaver.exe"),
        ("C:\\" + deep, "would have 260 characters"),
        # Wine makes every folder its one user's, whatever is asked: an
        # empty folder and the zip's are refused for their owner here.
        (folder("Empty"), "must be owned by Administrators"),
        (folder("Zipped", ["nosaver.exe"]), "must be owned by Administrators"),
    ]
    before = snapshot(m)
    for given, words in cases:
        install("an install into %s" % given, "/i", winpath(release), "/qn", "/norestart",
                "INSTALLDIR=" + given, "/l*v", winpath(log), expect=1603)
        s.check(m.said(log, "nosaver: INSTALLDIR") and m.said(log, words) and
                snapshot(m) == before, "%s is refused (%s), and nothing changes" % (given, words))
    for path in made:
        shutil.rmtree(path)


def snapshot(m):
    """The prefix's files outside the user's and Wine's own folders, the
    shortcuts, and the registry's lines that mention nosaver."""
    files = sorted(os.path.relpath(os.path.join(d, f), m.drive) for d, _, fs in os.walk(m.drive)
                   for f in fs if not os.path.relpath(d, m.drive).split(os.sep)[0].lower() in
                   ("users", "windows", "programdata"))
    return files, m.shortcuts(), m.mentions()


def follows_windows_installers_record(s, m, install, release):
    """The folder comes from Windows Installer's record, not from what an
    administrator or an antivirus changed."""
    log = s.wine.scratch_file("msiexec") + ".log"
    tools = os.path.join(m.drive, "Tools", "nosaver")
    before = m.mentions()
    install("an install into C:\\Tools\\nosaver", "/i", winpath(release), "/qn", "/norestart",
            "INSTALLDIR=C:\\Tools\\nosaver")
    os.remove(os.path.join(tools, "nosaver.exe"))
    install("a repair once nosaver.exe was deleted", "/i", winpath(release), "/qn", "/norestart",
            "REINSTALL=ALL", "REINSTALLMODE=amus", "/l*v", winpath(log))
    s.check(sorted(os.listdir(tools)) == ["LICENSE.txt", "README.txt", "nosaver.exe"] and
            not os.path.exists(m.folder) and
            m.said(log, "nosaver: Windows Installer has nosaver"),
            "puts nosaver.exe back in C:\\Tools\\nosaver, and nothing in Program Files")
    install("a repair given another folder", "/i", winpath(release), "/qn", "/norestart",
            "REINSTALL=ALL", "REINSTALLMODE=amus", "INSTALLDIR=C:\\Elsewhere", "/l*v",
            winpath(log), expect=1603)
    s.check(m.said(log, "a repair cannot move it") and
            not os.path.exists(os.path.join(m.drive, "Elsewhere")) and
            sorted(os.listdir(tools)) == ["LICENSE.txt", "README.txt", "nosaver.exe"],
            "is refused, and nothing moves")
    install("the removal, given another folder", "/x", winpath(release), "/qn", "/norestart",
            "INSTALLDIR=C:\\Elsewhere")
    s.equal([p for p in (tools, m.folder) if os.path.exists(p)] + list(m.shortcuts()), [],
            "takes everything from C:\\Tools\\nosaver")
    s.equal(sorted(m.mentions() - before), [], "and leaves nothing in the registry")

    # The zip's nosaver.exe runs from C:\Zipped, and a registry value that
    # older packages kept names that folder.
    zipped = os.path.join(m.drive, "Zipped")
    os.makedirs(zipped)
    for name in ("nosaver.exe", "README.txt"):
        shutil.copy(os.path.join(s.build, "nosaver.exe") if name == "nosaver.exe" else
                    os.path.join(s.build, "package", "README.txt"), os.path.join(zipped, name))
    running = m.start("C:\\Zipped\\nosaver.exe")
    install("an install", "/i", winpath(release), "/qn", "/norestart")
    m.remember("C:\\Zipped")
    install("the removal with InstallDir naming C:\\Zipped", "/x", winpath(release), "/qn",
            "/norestart")
    s.check(running and not m.ended(running, 0) and
            sorted(os.listdir(zipped)) == ["README.txt", "nosaver.exe"] and
            not os.path.exists(m.folder) and not m.shortcuts(),
            "leaves the zip's nosaver.exe running in its folder whole, and takes everything "
            "from Program Files")
    s.wine.kill(running)
    s.check(running and m.ended(running), "which then ends")
    s.wine.run(["reg", "delete", "HKLM\\Software\\nosaver", "/f"])
    shutil.rmtree(zipped)
    s.equal(sorted(m.mentions() - before), [], "nothing of nosaver is left in the registry")


if __name__ == "__main__":
    Scenario("install", ["PACKAGES"]).run(body)
