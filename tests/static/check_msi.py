"""The Windows Installer package, read back with msitools: what it
installs where, its shortcuts, its upgrade rules, its folder's permissions,
and which of nosaver's own steps run in each case, with which data, where
and when, found by evaluating the package's own conditions. What Wine
cannot show, the rights and the session a step runs with on Windows and
the rules Windows Installer enforces, is what these tables say.

    check_msi(PACKAGE, VERSION, EXE, DLL) checks a package against the
    nosaver.exe and the steps' DLL it should hold.
"""
import os
import re
import subprocess
import tempfile

import pefile

import ice
import package_rules
from check_pe import check_imports
from msi_condition import evaluate
from msitables import ASYNC, COMMIT, CONTINUE, IN_SCRIPT, NO_IMPERSONATE, ROLLBACK, msiinfo, \
    properties, read_table
from package_rules import CASES, SET_PROPERTY, data_of, runs
from report import check

# Fixed for every version, forever: it is how one version finds another.
UPGRADE_CODE = "{7A9895DC-659C-40BB-9B40-693AC74D9DCD}"
# Custom action types: where the code is, and when and how it runs.
DLL_IN_BINARY, EXE_IN_FILE = 1, 18
# Who may do what to the installed folder and nosaver.exe.
FULL, READ_RUN = 0x1F01FF, 0x1200A9


def table(package, name):
    """The rows of a table as dicts, in stored order."""
    return read_table(package, name).rows


def keyed(package, name, key):
    return {r[key]: r for r in table(package, name)}


def sequence(package, name):
    return {r["Action"]: (int(r["Sequence"]), r["Condition"]) for r in table(package, name)}


def check_msi(path, version, exe, dll):
    props = properties(path)
    check({k: props.get(k) for k in ("ProductName", "ProductVersion", "Manufacturer", "UpgradeCode",
                                     "ALLUSERS", "ARPNOMODIFY", "ARPNOREPAIR")} ==
          {"ProductName": "nosaver", "ProductVersion": version,
           "Manufacturer": "the nosaver developers", "UpgradeCode": UPGRADE_CODE,
           "ALLUSERS": "1", "ARPNOMODIFY": "1", "ARPNOREPAIR": "1"},
          "nosaver %s per machine, its upgrade code, no Modify or Repair" % version, props)

    # The files and where they go: Program Files (32-bit)\nosaver.
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["msiextract", "-C", out, path], check=True, capture_output=True)
        folder = os.path.join(out, "Program Files", "nosaver")
        files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        check(files == ["LICENSE.txt", "README.txt", "nosaver.exe"],
              "it installs nosaver.exe, README.txt and LICENSE.txt in Program Files\\nosaver", files)
        installed = {f: open(os.path.join(folder, f), "rb").read() for f in files}
    check(installed.get("nosaver.exe") == exe, "its nosaver.exe is the one released")
    size_kb = -(-sum(len(data) for data in installed.values()) // 1024)
    check(props.get("ARPSIZE") == str(size_kb), "Programs and Features shows their size, %d KB"
          % size_kb, props.get("ARPSIZE"))
    exe_key = next((k for k, f in keyed(path, "File", "File").items()
                    if f["FileName"] == "nosaver.exe"), None)

    shortcuts = sorted((s["Directory_"], s["Name"], s["Target"], s["Arguments"], s["WkDir"])
                       for s in table(path, "Shortcut"))
    target = "[#%s]" % exe_key
    check(shortcuts == [("ProgramMenuFolder", "Stop nosaver", target, "close", "INSTALLDIR"),
                        ("ProgramMenuFolder", "nosaver", target, "", "INSTALLDIR"),
                        ("StartupFolder", "nosaver", target, "", "INSTALLDIR")],
          "shortcuts: nosaver in the Startup folder (all users, as ALLUSERS=1), nosaver and "
          "Stop nosaver (close) in the Start menu", shortcuts)

    upgrades = sorted((u["VersionMin"], u["VersionMax"], int(u["Attributes"]), u["ActionProperty"])
                      for u in table(path, "Upgrade") if u["UpgradeCode"] == UPGRADE_CODE)
    check(upgrades == [("", version, 1, "WIX_UPGRADE_DETECTED"),
                       (version, "", 2, "WIX_DOWNGRADE_DETECTED")],
          "an older version is upgraded, a newer one only detected", upgrades)
    conditions = [c["Condition"] for c in table(path, "LaunchCondition")]
    check(conditions == ["NOT WIX_DOWNGRADE_DETECTED"], "and then refused", conditions)

    execute, ui = sequence(path, "InstallExecuteSequence"), sequence(path, "InstallUISequence")
    actions = keyed(path, "CustomAction", "Action")
    registry = [(r["Root"], r["Key"], r["Name"], r["Value"], r["Component_"])
                for r in table(path, "Registry")]
    check(registry == [], "no registry value: the folder is in Windows Installer's own record "
          "(ARPINSTALLLOCATION)", registry)
    check_folder(path, props, execute, ui, actions)
    check_lockdown(path)

    # nosaver's own steps: the project's DLL, stored in the package.
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["msidump", "-s", "-d", out, path], check=True, capture_output=True,
                       cwd=out)
        binary = actions.get("CloseInstances", {}).get("Source", "?")
        stream = os.path.join(out, "_Streams", "Binary." + binary)
        code = open(stream, "rb").read() if os.path.exists(stream) else b""
    check(code == dll, "the steps' code is the DLL the project builds, not nosaver.exe close")
    pe = pefile.PE(data=code) if code else None
    entries = [e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols] if pe else []
    if pe:
        check(pe.FILE_HEADER.Machine == 0x14C and pe.FILE_HEADER.Characteristics & 0x2000,
              "the steps' DLL is a 32-bit DLL")
        check_imports(pe, ["KERNEL32.dll", "ADVAPI32.dll", "PSAPI.DLL", "USERENV.dll",
                           "WTSAPI32.dll", "msvcrt.dll", "msi.dll"])
    steps = {name: a for name, a in actions.items() if a["Source"] == binary}
    check(steps and all(a["Target"] in entries and int(a["Type"]) & 0x3F == DLL_IN_BINARY
                        for a in steps.values()),
          "every step of the DLL calls one of its entries", sorted(steps))
    check(all(int(a["Type"]) & NO_IMPERSONATE for a in steps.values()
              if int(a["Type"]) & IN_SCRIPT),
          "the in-script steps run not impersonated: as LocalSystem on Windows, which may end and "
          "start the processes of every session",
          {n: a["Type"] for n, a in steps.items()})
    in_script = {n: a for n, a in steps.items() if int(a["Type"]) & IN_SCRIPT}
    for case, (given, mode, fatal, restarts, forgets) in CASES.items():
        for rollback in (True, False):
            props_case = dict(given, **({} if rollback else {"RollbackDisabled": "1"}))
            check_case(case + ("" if rollback else ", rollback disabled"), props_case, execute,
                       actions, in_script, mode, fatal, restarts, forgets, rollback)

    # The start step: the installed nosaver.exe, not waited for, on the
    # client side of a user-interface installation, never elevated.
    start = actions.get("StartNosaver", {})
    kind = int(start.get("Type", 0))
    check((kind & 0x3F, kind & (CONTINUE | ASYNC), kind & IN_SCRIPT, start.get("Source")) ==
          (EXE_IN_FILE, CONTINUE | ASYNC, 0, exe_key),
          "the start step runs the installed nosaver.exe and does not wait for it", start)
    check("StartNosaver" not in execute and
          ui.get("StartNosaver", (0,))[0] > ui.get("ExecuteAction", (1 << 30,))[0],
          "it runs in the user-interface sequence after the installation, as the person",
          ui.get("StartNosaver"))
    check(all(runs(ui, "StartNosaver", dict(given, UserSID=user, **elevated)) ==
              (not given.get("REMOVE") and user != "S-1-5-18" and not elevated)
              for given, *_rest in CASES.values() for user in ("S-1-5-21-1", "S-1-5-18")
              for elevated in ({}, {"MsiRunningElevated": "1"})),
          "not on removal, and never from an elevated msiexec or as LocalSystem",
          ui.get("StartNosaver"))
    p = ice.Package(path)
    for number, words, rule in ice.RULES + package_rules.RULES:
        bad = rule(p)
        check(not bad, "%s: %s" % (number, words), bad)
    return props


def check_case(case, props, execute, actions, steps, mode, fatal, restarts, forgets, rollback):
    """Which of the DLL's steps run in this case, in which order and way."""
    at = lambda name: execute.get(name, (None,))[0]  # noqa: E731
    ran = sorted((at(n), n) for n in steps if runs(execute, n, props))
    kinds = {n: int(steps[n]["Type"]) for _, n in ran}
    by = lambda entry, flags: [n for _, n in ran if steps[n]["Target"] == entry  # noqa: E731
                               and kinds[n] & (ROLLBACK | COMMIT | IN_SCRIPT) == flags]
    closing = by("CloseInstances", IN_SCRIPT)
    rollbacks = by("RestartInstances", IN_SCRIPT | ROLLBACK)
    later = IN_SCRIPT | (COMMIT if rollback else 0)
    restart, forget = by("RestartInstances", later), by("ForgetInstances", later)
    if mode is None:
        check(not ran, "%s: none of nosaver's steps runs" % case, ran)
        return
    data = data_of(execute, actions, closing[0], props) if len(closing) == 1 else None
    check(len(closing) == 1 and (data or "").split("|")[0] == mode and
          bool(kinds[closing[0]] & CONTINUE) != fatal and
          at("RemoveExistingProducts") < at(closing[0]) < at("RemoveFiles") < at("InstallFiles"),
          "%s: CloseInstances runs after the older version's removal and before the files "
          "change, in %s mode, and %s" % (case, mode, "its failure fails the installation" if fatal
                                          else "the installation goes on whatever it finds"),
          (closing, data))
    check(len(rollbacks) == 1 and at(rollbacks[0]) < at(closing[0]),
          "%s: its rollback step comes before it" % case, rollbacks)
    check(len(restart) == int(restarts) and len(forget) == int(forgets) and
          all(kinds[n] & CONTINUE and at("CreateShortcuts") < at(n) < at("InstallFinalize")
              for n in restart + forget) and
          len(ran) == 2 + restarts + forgets,
          "%s: %s%s, %s" % (case, "the file starts again where it was ended" if restarts else
                            "nothing starts again", ", the record is forgotten" if forgets else "",
                            "once the installation can no longer fail (a commit step)" if rollback
                            else "at the end of the script, as no commit step runs"), ran)


def check_folder(path, props, execute, ui, actions):
    """The folder: where Windows Installer has nosaver (FindInstallDir), in a
    removal always, in an upgrade or a repair unless another is given; the
    given one; or the default. A given one is checked before anything
    changes."""
    directories = keyed(path, "Directory", "Directory")
    check(directories["INSTALLDIR"]["Directory_Parent"] == "ProgramFilesFolder",
          "the default folder is under the 32-bit Program Files", directories["INSTALLDIR"])
    check(not table(path, "AppSearch"), "no search reads a folder from anywhere else")
    secure = props.get("SecureCustomProperties", "").split(";")
    check(all(p in secure for p in ("INSTALLDIR", "NOSAVER_PRODUCT_DIR")),
          "INSTALLDIR and the folder found pass from the user interface to the installation",
          secure)
    given, product = "D:\\Given\\", "P\\"
    folders = {
        "a first installation given a folder": ({"INSTALLDIR": given}, given),
        "a first installation": ({}, ""),
        "an upgrade": ({"WIX_UPGRADE_DETECTED": "{OLD}"}, product),
        "an upgrade given a folder": ({"WIX_UPGRADE_DETECTED": "{OLD}", "INSTALLDIR": given}, given),
        "a repair": ({"Installed": "1", "REINSTALL": "ALL"}, product),
        "a repair given a folder": ({"Installed": "1", "REINSTALL": "ALL", "INSTALLDIR": given},
                                    given),
        "a removal given a folder": ({"Installed": "1", "REMOVE": "ALL", "INSTALLDIR": given},
                                     product),
    }
    for name, seq in (("InstallExecuteSequence", execute), ("InstallUISequence", ui)):
        for case, (given_props, expected) in folders.items():
            props_case = dict(given_props)
            for _, action in sorted((v[0], k) for k, v in seq.items()):
                a = actions.get(action, {})
                if not evaluate(seq[action][1], props_case):
                    continue
                if a.get("Target") == "FindInstallDir" and int(a["Type"]) & 0x3F == DLL_IN_BINARY:
                    check(seq[action][0] > seq["FindRelatedProducts"][0],
                          "%s: FindInstallDir runs once the older product is known" % name)
                    props_case["NOSAVER_PRODUCT_DIR"] = product
                elif int(a.get("Type", 0)) & 0x3F == SET_PROPERTY and a.get("Source") == \
                        "INSTALLDIR":
                    check(seq[action][0] < seq["CostFinalize"][0], "%s: %s is set before "
                          "costing" % (name, action), seq[action])
                    props_case["INSTALLDIR"] = re.sub(r"\[(\w+)\]",
                                                      lambda m: props_case.get(m.group(1), ""),
                                                      a["Target"])
            check(props_case.get("INSTALLDIR", "") == expected,
                  "%s: %s installs %s" % (name, case, expected or "into the default folder"),
                  props_case.get("INSTALLDIR"))
    refuse = actions.get("CheckInstallDir", {})
    check(int(refuse.get("Type", 0)) & (0x3F | IN_SCRIPT) == DLL_IN_BINARY and
          refuse.get("Target") == "CheckInstallDir" and
          runs(execute, "CheckInstallDir", {"INSTALLDIR": "Tools"}) and
          not runs(execute, "CheckInstallDir", {}) and
          not runs(execute, "CheckInstallDir", {"INSTALLDIR": "P", "REMOVE": "ALL"}) and
          execute["FindInstallDir"][0] < execute["CheckInstallDir"][0] <
          execute["InstallInitialize"][0],
          "a folder, given or found, is checked before anything changes, but not for a removal",
          refuse)


def check_lockdown(path):
    """Administrators and SYSTEM may change the folder and nosaver.exe,
    users may only read and run them, nothing of a parent's rights comes in;
    Windows Installer 5 sets this (Windows 7 and later)."""
    tables = msiinfo("tables", path).split()
    check("LockPermissions" not in tables, "no LockPermissions table beside "
          "MsiLockPermissionsEx (Windows Installer 5 fails such a package with error 1941)")
    locks = {(r["Table"], r["LockObject"]): r["SDDLText"] for r in table(path, "MsiLockPermissionsEx")
             } if "MsiLockPermissionsEx" in tables else {}
    exe = next(k for k, f in keyed(path, "File", "File").items() if f["FileName"] == "nosaver.exe")
    folders = {r["Directory_"] for r in table(path, "CreateFolder")}

    def aces(sddl):
        m = re.fullmatch(r"D:P(?:AI)?((?:\([^)]*\))*)", sddl or "")
        rights = {"FA": FULL}
        out = {}
        for ace in re.findall(r"\(([^)]*)\)", m.group(1)) if m else []:
            kind, _flags, mask, _, _, who = ace.split(";")
            out[who] = (kind, rights.get(mask) or int(mask, 0))
        return out

    for key, what in ((("CreateFolder", "INSTALLDIR"), "the folder"), (("File", exe), "nosaver.exe")):
        check(aces(locks.get(key)) == {"SY": ("A", FULL), "BA": ("A", FULL), "BU": ("A", READ_RUN)}
              and (key[0] != "CreateFolder" or "INSTALLDIR" in folders),
              "%s: SYSTEM and Administrators may change it, Users read and run it, nothing "
              "inherited" % what, locks.get(key))
