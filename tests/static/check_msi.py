"""The Windows Installer package, read back with msitools: what it
installs where, its shortcuts, its upgrade rules, and where the two steps
of nosaver's own run. What Wine cannot show, the rights and the session a
step runs with on Windows, is what these tables say.

    check_msi(PACKAGE, VERSION, EXE, DLL) checks a package against the
    nosaver.exe and the closing step's DLL it should hold.
"""
import os
import subprocess
import tempfile

import pefile

from check_pe import check_imports
from report import check

# Fixed for every version, forever: it is how one version finds another.
UPGRADE_CODE = "{7A9895DC-659C-40BB-9B40-693AC74D9DCD}"
# Custom action types: where the code is, and when and how it runs.
DLL_IN_BINARY, EXE_IN_FILE, SET_PROPERTY = 1, 18, 51
CONTINUE, ASYNC, IN_SCRIPT, NO_IMPERSONATE = 0x40, 0x80, 0x400, 0x800
ROLLBACK = 0x100
REPLACED_OR_REMOVED = 'REMOVE="ALL" OR WIX_UPGRADE_DETECTED OR REINSTALL'
# nosaver's own steps: DLL entry, what else their type says besides a
# deferred, not impersonated DLL from the package, and when they run.
STEPS = {
    "CloseInstances": ("CloseInstances", 0, REPLACED_OR_REMOVED),
    "RestartEndedInstances": ("RestartInstances", ROLLBACK | CONTINUE, REPLACED_OR_REMOVED),
    "RestartInstances": ("RestartInstances", CONTINUE, 'NOT (REMOVE="ALL")'),
    "ForgetInstances": ("ForgetInstances", CONTINUE, 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'),
}


def table(package, name):
    """The rows of a table as dicts, in stored order."""
    lines = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:]]


def keyed(package, name, key):
    return {r[key]: r for r in table(package, name)}


def properties(package):
    return {r["Property"]: r["Value"] for r in table(package, "Property")}


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
    directories = keyed(path, "Directory", "Directory")
    check(directories["INSTALLDIR"]["Directory_Parent"] == "ProgramFilesFolder",
          "the folder is under the 32-bit Program Files", directories["INSTALLDIR"])
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
    at = lambda name: execute.get(name, (None,))[0]  # noqa: E731

    # The installation folder, remembered in the 32-bit view of
    # HKLM\Software\nosaver and read back before costing, unless given.
    registry = [(r["Root"], r["Key"], r["Name"], r["Value"], r["Component_"])
                for r in table(path, "Registry")]
    check(registry == [("2", "Software\\nosaver", "InstallDir", "[INSTALLDIR]", "Program")],
          "the folder is written to HKLM\\Software\\nosaver InstallDir", registry)
    search = [(a["Property"], r["Root"], r["Key"], r["Name"], r["Type"])
              for a in table(path, "AppSearch") for r in table(path, "RegLocator")
              if r["Signature_"] == a["Signature_"]]
    check(search == [("NOSAVER_INSTALLED_DIR", "2", "Software\\nosaver", "InstallDir", "2")],
          "and read back from there, as it stands, in the 32-bit view", search)
    use = actions.get("UseInstalledDir", {})
    check((int(use.get("Type", 0)), use.get("Source"), use.get("Target")) ==
          (SET_PROPERTY, "INSTALLDIR", "[NOSAVER_INSTALLED_DIR]") and all(
              seq.get("AppSearch", (0,))[0] < seq.get("UseInstalledDir", (0,))[0] <
              seq.get("CostFinalize", (0,))[0] and seq["UseInstalledDir"][1] ==
              "NOSAVER_INSTALLED_DIR AND NOT INSTALLDIR" for seq in (execute, ui)),
          "in both sequences it becomes INSTALLDIR before costing, unless INSTALLDIR is given",
          (use, execute.get("UseInstalledDir"), ui.get("UseInstalledDir")))

    # nosaver's own steps: the project's DLL, deferred, not impersonated
    # (LocalSystem in session 0 on Windows), each with the installed
    # nosaver.exe's path as its data.
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["msidump", "-s", "-d", out, path], check=True, capture_output=True,
                       cwd=out)
        source = actions.get("CloseInstances", {}).get("Source", "?")
        stream = os.path.join(out, "_Streams", "Binary." + source)
        code = open(stream, "rb").read() if os.path.exists(stream) else b""
    check(code == dll, "the steps' code is the DLL the project builds, not nosaver.exe close")
    pe = pefile.PE(data=code) if code else None
    entries = [e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols] if pe else []
    for name, (entry, flags, condition) in STEPS.items():
        step, data = actions.get(name, {}), actions.get("Set%sData" % name, {})
        kind = int(step.get("Type", 0))
        check((kind, step.get("Source"), step.get("Target")) ==
              (DLL_IN_BINARY | IN_SCRIPT | NO_IMPERSONATE | flags, source, entry) and
              entry in entries and execute.get(name, (0, ""))[1] == condition,
              "%s: %s of the DLL, deferred, not impersonated%s%s, when %s" % (
                  name, entry, ", on rollback only" if flags & ROLLBACK else "",
                  ", its failure ignored" if flags & CONTINUE else ", its failure fails all",
                  condition), (step, execute.get(name)))
        if name != "ForgetInstances":
            check((int(data.get("Type", 0)), data.get("Source"), data.get("Target")) ==
                  (SET_PROPERTY, name, target) and at(data["Action"]) < at("InstallInitialize"),
                  "%s is given the full path of the installed nosaver.exe" % name, data)
    check(at("InstallInitialize") < at("RestartEndedInstances") < at("CloseInstances")
          < at("RemoveExistingProducts") < at("RemoveFiles") < at("InstallFiles")
          < at("WriteRegistryValues") < at("RestartInstances") < at("InstallFinalize")
          and at("RemoveFiles") < at("ForgetInstances") < at("InstallFinalize"),
          "the closing step runs before an older version is removed and before files are "
          "removed or replaced, after its rollback step; the restart once the new file and the "
          "folder's value are in place; forgetting at the end of a removal",
          sorted((v[0], k) for k, v in execute.items()))
    if pe:
        check(pe.FILE_HEADER.Machine == 0x14C and pe.FILE_HEADER.Characteristics & 0x2000,
              "the steps' DLL is a 32-bit DLL")
        check_imports(pe, ["KERNEL32.dll", "ADVAPI32.dll", "PSAPI.DLL", "USERENV.dll",
                           "WTSAPI32.dll", "msvcrt.dll", "msi.dll"])

    # The start step: the installed nosaver.exe, not waited for, on the
    # client side of a user-interface installation, never as LocalSystem.
    start = actions.get("StartNosaver", {})
    kind = int(start.get("Type", 0))
    check((kind & 0x3F, kind & (CONTINUE | ASYNC), kind & IN_SCRIPT, start.get("Source")) ==
          (EXE_IN_FILE, CONTINUE | ASYNC, 0, exe_key),
          "the start step runs the installed nosaver.exe and does not wait for it", start)
    check("StartNosaver" not in execute and
          ui.get("StartNosaver", (0,))[0] > ui.get("ExecuteAction", (1 << 30,))[0],
          "it runs in the user-interface sequence after the installation, as the person",
          ui.get("StartNosaver"))
    check(ui.get("StartNosaver", (0, ""))[1] == 'NOT REMOVE AND UserSID <> "S-1-5-18"',
          "not on removal, and never as LocalSystem", ui.get("StartNosaver"))
    return props
