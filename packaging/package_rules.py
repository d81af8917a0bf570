"""nosaver's own rules for its Windows Installer package, beside Windows
Installer's (ice.py), in the same form: RULES holds, for each rule, a
name, its words and a function of the package that returns what breaks it.

Where Microsoft's documentation can be read two ways, these rules take the
reading under which the package has the least to go on (docs/installer.md
lists the readings): a formatted [#file] is blank wherever the file's
component is being removed ("If the component is absent, the path is
blank"), so a step's data must come from what is resolved in every case.

    CASES    the cases of an installation, as the properties Windows
             Installer sets in them
    version_resource(PATH)  a program's version and language as the File
             table holds them, which msi.py writes and a rule checks
"""
import os
import re
import subprocess
import tempfile

import pefile

from msi_condition import evaluate
from msitables import IN_SCRIPT

INSTALLED = {"Installed": "00:00:00"}
# The cases of an installation, and what nosaver's steps must do in each:
# CloseInstances' mode (None: no CloseInstances), whether its failure
# fails the installation, whether the file starts again where it ran,
# whether the record is forgotten.
CASES = {
    "a first installation": ({}, "replace", True, True, False),
    "an upgrade": ({"WIX_UPGRADE_DETECTED": "{OLD}"}, "upgrade", True, True, False),
    "a repair": (dict(INSTALLED, REINSTALL="ALL"), "replace", True, True, False),
    "a removal": (dict(INSTALLED, REMOVE="ALL"), "remove", False, False, True),
    "its removal by a newer version": (dict(INSTALLED, REMOVE="ALL", UPGRADINGPRODUCTCODE="{NEW}"),
                                       "replace", True, False, False),
    "a maintenance run that changes nothing": (dict(INSTALLED), None, None, False, False),
}
# The folder every case has resolved, and nosaver.exe there.
FOLDER = "C:\\Folder\\"
EXE = FOLDER + "nosaver.exe"
SET_PROPERTY = 51


def version_resource(path):
    """(version, language) of a program's version resource, as the File
    table holds them ("1.0.0.0", "1033"), or None for a file without one."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError:
        return None
    pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    version = "%d.%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                               fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    # The Translation's first language; a resource without one is neutral.
    translations = [var.entry[b"Translation"] for info in getattr(pe, "FileInfo", [])
                    for block in info if block.Key == b"VarFileInfo"
                    for var in block.Var if b"Translation" in var.entry]
    language = int(translations[0].split()[0], 16) if translations else 0
    return version, str(language)


def runs(seq, name, props):
    """Whether the action is in the sequence and its condition holds."""
    return name in seq and evaluate(seq[name][1], props)


def data_of(execute, actions, step, props):
    """The data a deferred step gets, as authored: the value of the last
    property setter for its name that runs before it."""
    value = None
    for at, name in sorted((v[0], k) for k, v in execute.items()):
        a = actions.get(name, {})
        if (int(a.get("Type", 0)) & 0x3F == SET_PROPERTY and a.get("Source") == step and
                evaluate(execute[name][1], props) and at < execute[step][0]):
            value = a["Target"]
    return value


def formatted(p, text, props):
    """Formatted text as the case resolves it, [#file] blank while its
    component is being removed."""
    removing = props.get("REMOVE") == "ALL"

    def field(m):
        name = m.group(1)
        if name.startswith("#"):
            row = p.files.get(name[1:])
            return "" if removing or not row else FOLDER + row["FileName"].split("|")[-1]
        return props.get(name, "")
    return re.sub(r"\[([#!$]?\w+)\]", field, text or "")


def cases():
    """Each case, with and without rollback, as its properties."""
    for case, (given, *_rest) in CASES.items():
        for rollback in (True, False):
            yield (case + ("" if rollback else ", rollback disabled"),
                   dict(given, INSTALLDIR=FOLDER, **({} if rollback else {"RollbackDisabled": "1"})))


def step_data(p):
    """Every in-script step of nosaver's DLL that runs gets, in every case,
    the full path of nosaver.exe: CloseInstances as MODE|PATH,
    RestartInstances as PATH."""
    execute = p.seq("InstallExecuteSequence")
    steps = {name: a for name, a in p.actions.items()
             if int(a["Type"]) & 0x3F == 1 and int(a["Type"]) & IN_SCRIPT}
    bad = []
    for case, props in cases():
        for name, action in sorted(steps.items()):
            if not runs(execute, name, props) or action["Target"] == "ForgetInstances":
                continue
            data = formatted(p, data_of(execute, p.actions, name, props), props)
            path = data.split("|", 1)[1] if action["Target"] == "CloseInstances" and \
                "|" in data else data
            if path != EXE:
                bad.append("%s: %s gets %r" % (case, name, data))
    return bad


def versioned_files(p):
    """Each installed program's File row holds the version and language of
    its own version resource; every other file has no version; a versioned
    file has no hash (Windows Installer hashes only unversioned files)."""
    bad = []
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["msiextract", "-C", out, p.path], check=True, capture_output=True)
        extracted = {name: os.path.join(folder, name) for folder, _, names in os.walk(out)
                     for name in names}
        for key, row in p.files.items():
            name = row["FileName"].split("|")[-1]
            resource = version_resource(extracted[name]) if name in extracted else None
            if ((row["Version"], row["Language"]) != resource) if resource else row["Version"]:
                bad.append("%s: Version %r, Language %r; its version resource: %r" % (
                    name, row["Version"], row["Language"], resource))
    hashed = {r["File_"] for r in p.rows("MsiFileHash")}
    bad += ["%s is versioned and hashed" % key for key, row in p.files.items()
            if row["Version"] and key in hashed]
    return bad


RULES = [
    ("nosaver data", "each step of nosaver's that runs gets the full path of nosaver.exe in every "
     "case, [#file] read as blank where its component is being removed", step_data),
    ("nosaver versions", "each program's File row holds its own version resource's version and "
     "language, and no versioned file is hashed", versioned_files),
]
