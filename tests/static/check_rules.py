#!/usr/bin/env python3
"""Proof that every rule of packaging/ice.py and packaging/package_rules.py,
which packaging/msi.py holds every package to, can fail:
the package as built keeps each ICE and each of nosaver's own rules, and
each mutation below, SQL that msibuild runs on a copy of it in WORK, breaks
the ICE or rule it is listed under. Every rule must be broken by at least
one mutation of its ICE or name.

A mutation that inserts into a table the package lacks creates it first
(CREATE below). The summary information is no table msibuild's SQL can
change; a statement "UPDATE `_SummaryInformation` SET `Value` = '...' WHERE
`PropertyId` = N" is carried out by exporting it, changing the row and
importing it again.

    check_rules.py PACKAGE WORK

Last, ice.py's own command refuses one of the broken copies, as msi.py
refuses the package it builds.
"""
import os
import re
import shutil
import subprocess
import sys

import report
from ice import RULES as ICE_RULES, failures
from msitables import Package, msiinfo
from package_rules import RULES as OWN_RULES

RULES = ICE_RULES + OWN_RULES

CREATE = {
    "AdvtUISequence": "CREATE TABLE `AdvtUISequence` (`Action` CHAR(72) NOT NULL, `Condition` "
    "CHAR(255), `Sequence` SHORT PRIMARY KEY `Action`)",
}
SUMMARY = re.compile(r"UPDATE `_SummaryInformation` SET `Value` = '(.*)' WHERE `PropertyId` = (\d+)")


def insert(table, **values):
    return "INSERT INTO `%s` (%s) VALUES (%s)" % (
        table, ", ".join("`%s`" % c for c in values),
        ", ".join(str(v) if isinstance(v, int) else "'%s'" % v for v in values.values()))


def update(table, assignments, where=None):
    sets = ", ".join("`%s` = %s" % (c, v if isinstance(v, int) else "'%s'" % v)
                     for c, v in assignments.items())
    condition = " WHERE `%s` = '%s'" % where if where else ""
    return "UPDATE `%s` SET %s%s" % (table, sets, condition)


def delete(table, column, value):
    return "DELETE FROM `%s` WHERE `%s` = '%s'" % (table, column, value)


def component(name, guid, **more):
    """A component in INSTALLDIR that the feature Complete installs."""
    return [insert("Component", Component=name, ComponentId=guid, Directory_="INSTALLDIR",
                   Attributes=0, **more),
            insert("FeatureComponents", Feature_="Complete", Component_=name)]


def directory(name, parent, default="."):
    return insert("Directory", Directory=name, Directory_Parent=parent, DefaultDir=default)


def lock(name, obj, sddl="D:(A;;FA;;;SY)"):
    return insert("MsiLockPermissionsEx", MsiLockPermissionsEx=name, LockObject=obj, Table="File",
                  SDDLText=sddl)


def lock_permissions(domain):
    """A LockPermissions table, with or without its Domain column."""
    keys = ["`LockObject`", "`Table`"] + ["`Domain`"] * domain + ["`User`"]
    columns = ["`LockObject` CHAR(72) NOT NULL", "`Table` CHAR(32) NOT NULL"]
    columns += ["`Domain` CHAR(255) LOCALIZABLE"] * domain
    columns += ["`User` CHAR(255) NOT NULL LOCALIZABLE", "`Permission` LONG"]
    return "CREATE TABLE `LockPermissions` (%s PRIMARY KEY %s)" % (", ".join(columns),
                                                                  ", ".join(keys))


def summary(pid, value):
    return "UPDATE `_SummaryInformation` SET `Value` = '%s' WHERE `PropertyId` = %d" % (value, pid)


def hashed(key):
    """A row of MsiFileHash for the file."""
    return insert("MsiFileHash", File_=key, Options=0, HashPart1=1, HashPart2=2, HashPart3=3,
                  HashPart4=4)


IEXEC, IUI = "InstallExecuteSequence", "InstallUISequence"
# The property setters of nosaver's steps, and the data they set.
STEP_DATA = [(action, prefix + "[INSTALLDIR]nosaver.exe") for action, prefix in (
    ("SetCloseInstancesData", "replace|"), ("SetCloseInstancesDataForUpgrade", "upgrade|"),
    ("SetCloseInstancesOnRemovalData", "remove|"), ("SetRestartInstancesOnRollbackData", ""),
    ("SetRestartInstancesData", ""), ("SetRestartInstancesWithoutRollbackData", ""))]
# Key columns of the Upgrade table cannot be updated: rows are replaced.
UPGRADE_CODE = "{7A9895DC-659C-40BB-9B40-693AC74D9DCD}"
GUID = "{0F7D3A49-6B0C-4E4B-9A8B-3C1D2E5F6A7%d}"
MUTATIONS = [
    ("ICE02", "Program's key path is a registry entry that is not there",
     [update("Component", {"Attributes": 4}, ("Component", "Program"))]),
    ("ICE03", "a shortcut belongs to a component that does not exist",
     [update("Shortcut", {"Component_": "Nowhere"}, ("Shortcut", "Stop"))]),
    ("ICE03", "an AppSearch row names a signature that no locator has",
     [insert("AppSearch", Property="NOSAVER_ELSEWHERE", Signature_="NoSuchSignature")]),
    ("ICE03", "a file has no name", [update("File", {"FileName": ""}, ("File", "License"))]),
    ("ICE03", "a shortcut's name is longer than its column",
     [update("Shortcut", {"Name": "n" * 129}, ("Shortcut", "Stop"))]),
    ("ICE03", "a DLL custom action's source is not in the Binary table",
     [update("CustomAction", {"Source": "NoBinary"}, ("Action", "CloseInstances"))]),
    ("ICE03", "a component's GUID is in lower case",
     [update("Component", {"ComponentId": "{65f3d048-c261-4cd4-a5a6-f98bdb70dfb2}"},
             ("Component", "Program"))]),
    ("ICE03", "a condition lacks its closing parenthesis",
     [update(IEXEC, {"Condition": 'NOT (REMOVE="ALL"'}, ("Action", "RestartInstances"))]),
    ("ICE04", "a file's sequence is past the media's last",
     [update("File", {"Sequence": 9}, ("File", "License"))]),
    ("ICE05", "there is no Manufacturer", [delete("Property", "Property", "Manufacturer")]),
    ("ICE06", "a LockPermissions table lacks its Domain column",
     [lock_permissions(domain=False)]),
    ("ICE08", "two components share a GUID",
     component("Twin", GUID % 0) + [update("Component", {"ComponentId": GUID % 1})]),
    ("ICE09", "Program is installed into the SystemFolder",
     [directory("SystemFolder", "TARGETDIR"),
      update("Component", {"Directory_": "SystemFolder"}, ("Component", "Program"))]),
    ("ICE10", "a feature disallows advertisement, its parent favors it",
     [update("Feature", {"Attributes": 4}, ("Feature", "Complete")),
      insert("Feature", Feature="Extra", Feature_Parent="Complete", Display=0, Level=1,
             Attributes=8)]),
    ("ICE12", "the type 51 that sets INSTALLDIR runs after CostFinalize",
     [update(IEXEC, {"Sequence": 1005}, ("Action", "UseProductDir"))]),
    ("ICE12", "a type 35 runs before CostFinalize",
     [insert("CustomAction", Action="SetDirEarly", Type=35, Source="INSTALLDIR",
             Target="[ProgramFilesFolder]nosaver"), insert(IEXEC, Action="SetDirEarly", Sequence=52)]),
    ("ICE12", "the user-interface sequence has type 51 actions and no CostFinalize",
     [delete(IUI, "Action", "CostFinalize")]),
    ("ICE14", "the root feature follows its parent",
     [update("Feature", {"Attributes": 2}, ("Feature", "Complete"))]),
    ("ICE16", "the product name is 64 characters long",
     [update("Property", {"Value": "n" * 64}, ("Property", "ProductName"))]),
    ("ICE18", "a component with no file has its folder as key path, not created",
     component("Folder", GUID % 2)),
    ("ICE19", "an advertised shortcut's component has no ComponentId",
     [update("Shortcut", {"Target": "Complete"}, ("Shortcut", "Stop")),
      update("Component", {"ComponentId": ""}, ("Component", "Program"))]),
    ("ICE21", "a component belongs to no feature",
     [insert("Component", Component="Stray", ComponentId=GUID % 3, Directory_="INSTALLDIR",
             Attributes=0)]),
    ("ICE24", "the product code is in lower case",
     [update("Property", {"Value": "{4fecfd00-de02-5650-8a42-41edf11531d8}"},
             ("Property", "ProductCode"))]),
    ("ICE24", "the product version's major field is 256",
     [update("Property", {"Value": "256.0.0"}, ("Property", "ProductVersion"))]),
    ("ICE24", "the product language is a word",
     [update("Property", {"Value": "en"}, ("Property", "ProductLanguage"))]),
    ("ICE26", "the execute sequence lacks InstallValidate",
     [delete(IEXEC, "Action", "InstallValidate")]),
    ("ICE26", "the user-interface sequence installs files",
     [insert(IUI, Action="InstallFiles", Sequence=1350)]),
    ("ICE27", "the execute sequence names an action that does not exist",
     [insert(IEXEC, Action="NoSuchAction", Sequence=1450)]),
    ("ICE27", "RemoveShortcuts comes after CreateShortcuts",
     [update(IEXEC, {"Sequence": 4600}, ("Action", "RemoveShortcuts"))]),
    ("ICE27", "AppSearch comes after CostInitialize", [insert(IUI, Action="AppSearch", Sequence=850)]),
    ("ICE27", "the administrative sequence installs files with no InstallFinalize",
     [delete("AdminExecuteSequence", "Action", "InstallFinalize")]),
    ("ICE29", "two binary streams are the same once cut to 62 characters",
     [insert("Binary", Name="B" * 60 + "1"), insert("Binary", Name="B" * 60 + "2")]),
    ("ICE30", "another component installs a README.txt into the same folder",
     component("Copy", GUID % 4, KeyPath="Readme2") +
     [insert("File", File="Readme2", Component_="Copy", FileName="README.txt", FileSize=1,
             Attributes=512, Sequence=3)]),
    ("ICE32", "a component reference is 40 characters wide, components 72",
     ["CREATE TABLE `RemoveRegistry` (`RemoveRegistry` CHAR(72) NOT NULL, `Root` SHORT NOT NULL, "
      "`Key` CHAR(255) NOT NULL LOCALIZABLE, `Name` CHAR(255) LOCALIZABLE, `Component_` CHAR(40) "
      "NOT NULL PRIMARY KEY `RemoveRegistry`)"]),
    ("ICE35", "Program runs from source only",
     [update("Component", {"Attributes": 1}, ("Component", "Program"))]),
    ("ICE36", "an icon nothing uses", [insert("Icon", Name="unused.ico")]),
    ("ICE38", "Program is installed into AppDataFolder with a file key path",
     [directory("AppDataFolder", "TARGETDIR"),
      update("Component", {"Directory_": "AppDataFolder"}, ("Component", "Program"))]),
    ("ICE39", "a file of the compressed package is marked compressed",
     [update("File", {"Attributes": 16896}, ("File", "License"))]),
    ("ICE39", "the package code is no GUID", [summary(9, "nosaver")]),
    ("ICE40", "REINSTALLMODE is set in the Property table",
     [insert("Property", Property="REINSTALLMODE", Value="amus")]),
    ("ICE43", "without ALLUSERS the shortcuts are the user's, their component has a file key path",
     [delete("Property", "Property", "ALLUSERS")]),
    ("ICE45", "a file sets a reserved attribute bit",
     [update("File", {"Attributes": 640}, ("File", "License"))]),
    ("ICE46", "a property Reinstallmode", [insert("Property", Property="Reinstallmode", Value="omus")]),
    ("ICE46", "a condition reads Remove",
     [update(IEXEC, {"Condition": 'NOT (Remove="ALL")'}, ("Action", "RestartInstances"))]),
    ("ICE47", "the feature has 1601 components",
     [q for i in range(1601) for q in component("Many%d" % i, "{00000000-0000-0000-0000-%012d}" % i)]),
    ("ICE48", "INSTALLDIR is set to C:\\nosaver",
     [insert("Property", Property="INSTALLDIR", Value="C:\\nosaver")]),
    ("ICE49", "a default registry value is a number",
     [insert("Registry", Registry="DefaultNumber", Root=2, Key="Software\\nosaver", Value="#1",
             Component_="Program")]),
    ("ICE50", "an advertised shortcut's icon is a .dat",
     [insert("Icon", Name="nosaver.dat"),
      update("Shortcut", {"Target": "Complete", "Icon_": "nosaver.dat"}, ("Shortcut", "Stop"))]),
    ("ICE52", "AppSearch sets a private property",
     [insert("AppSearch", Property="Nosaver_Dir", Signature_="InstalledDir")]),
    ("ICE53", "a registry value is written under the installer's policies",
     [insert("Registry", Registry="Policy", Root=2,
             Key="Software\\Policies\\Microsoft\\Windows\\Installer", Name="Seen", Value="1",
             Component_="Program")]),
    ("ICE54", "Program's key file takes its version from README.txt",
     [update("File", {"Version": "Guide"}, ("File", "NosaverExe"))]),
    ("ICE56", "TARGETDIR's DefaultDir is Temp",
     [update("Directory", {"DefaultDir": "Temp"}, ("Directory", "TARGETDIR"))]),
    ("ICE56", "a shortcut is in a second root",
     [insert("Directory", Directory="OtherRoot", DefaultDir="Other"),
      update("Shortcut", {"Directory_": "OtherRoot"}, ("Shortcut", "Stop"))]),
    ("ICE57", "Program also writes an HKCU value",
     [insert("Registry", Registry="UserValue", Root=1, Key="Software\\nosaver", Name="Seen",
             Value="1", Component_="Program")]),
    ("ICE58", "81 media", [insert("Media", DiskId=n, LastSequence=3) for n in range(2, 82)]),
    ("ICE59", "an advertised shortcut's feature does not install its component",
     [insert("Feature", Feature="Extra", Display=0, Level=1, Attributes=0),
      update("Shortcut", {"Target": "Extra"}, ("Shortcut", "Stop"))]),
    ("ICE60", "nosaver.exe has a version and no language",
     [update("File", {"Language": ""}, ("File", "NosaverExe"))]),
    ("ICE60", "nosaver.exe has a version and a hash", [hashed("NosaverExe")]),
    ("ICE61", "the upgrade property is set in the Property table",
     [insert("Property", Property="WIX_UPGRADE_DETECTED", Value="1")]),
    ("ICE61", "an upgrade property has lower-case letters",
     [update("Upgrade", {"ActionProperty": "Wix_Upgrade_Detected"},
             ("ActionProperty", "WIX_UPGRADE_DETECTED"))]),
    ("ICE61", "the upgrade property is not secure",
     [update("Property", {"Value": "WIX_DOWNGRADE_DETECTED"}, ("Property", "SecureCustomProperties"))]),
    ("ICE61", "both upgrade rows set the same property",
     [update("Upgrade", {"ActionProperty": "WIX_UPGRADE_DETECTED"})]),
    ("ICE61", "an upgrade row's VersionMin is no version",
     [insert("Upgrade", UpgradeCode=UPGRADE_CODE, VersionMin="1.0.x", Attributes=2,
             ActionProperty="NOSAVER_ODD_FOUND")]),
    ("ICE61", "the upgrade removes every version from 0.0.1 on, newer ones too",
     [delete("Upgrade", "ActionProperty", "WIX_UPGRADE_DETECTED"),
      insert("Upgrade", UpgradeCode=UPGRADE_CODE, VersionMin="0.0.1", Attributes=256,
             ActionProperty="WIX_UPGRADE_DETECTED")]),
    ("ICE63", "RemoveExistingProducts comes before InstallValidate",
     [update(IEXEC, {"Sequence": 1300}, ("Action", "RemoveExistingProducts"))]),
    ("ICE63", "RemoveExistingProducts comes after the files are installed, before InstallFinalize",
     [update(IEXEC, {"Sequence": 6550}, ("Action", "RemoveExistingProducts"))]),
    ("ICE64", "a new folder in AppDataFolder is not removed",
     [directory("AppDataFolder", "TARGETDIR"), directory("NosaverData", "AppDataFolder", "nosaver")]),
    ("ICE66", "a custom action's ExtendedType in a package of schema 200",
     [update("CustomAction", {"ExtendedType": 1}, ("Action", "CloseInstances"))]),
    ("ICE67", "a shortcut of another component targets nosaver.exe of an optional component",
     component("Links", GUID % 5) + [update("Shortcut", {"Component_": "Links"}, ("Shortcut", "Stop")),
                                     update("Component", {"Attributes": 2}, ("Component", "Program"))]),
    ("ICE68", "a custom action of type 1027",
     [update("CustomAction", {"Type": 1027}, ("Action", "CloseInstances"))]),
    ("ICE68", "an immediate type 51 marked not to impersonate",
     [update("CustomAction", {"Type": 51 | 0x800}, ("Action", "SetInstallLocation"))]),
    ("ICE68", "a DLL custom action that is not waited for",
     [update("CustomAction", {"Type": 1 | 0xC0 | 0xC00}, ("Action", "CloseInstances"))]),
    ("ICE69", "a shortcut of another component names nosaver.exe",
     component("Links", GUID % 6)
     + [update("Shortcut", {"Component_": "Links"}, ("Shortcut", "Stop"))]),
    ("ICE70", "a registry number #12xz34",
     [insert("Registry", Registry="BadNumber", Root=2, Key="Software\\nosaver", Name="Count",
             Value="#12xz34", Component_="Program")]),
    ("ICE71", "the only medium is DiskId 2",
     ["DELETE FROM `Media`", insert("Media", DiskId=2, LastSequence=3, Cabinet="#nosaver.cab")]),
    ("ICE72", "the advertising sequence runs a DLL custom action",
     [insert("AdvtExecuteSequence", Action="CloseInstances", Sequence=1600)]),
    ("ICE73", "the product code is orca.msi's",
     [update("Property", {"Value": "{80F7E030-A751-11D2-A7D4-006097C99860}"},
             ("Property", "ProductCode"))]),
    ("ICE74", "FASTOEM is set", [insert("Property", Property="FASTOEM", Value="1")]),
    ("ICE75", "the start step runs nosaver.exe before CostFinalize",
     [update(IUI, {"Sequence": 990}, ("Action", "StartNosaver"))]),
    ("ICE77", "a deferred custom action runs after InstallFinalize",
     [update(IEXEC, {"Sequence": 6650}, ("Action", "ForgetInstances"))]),
    ("ICE77", "a deferred custom action runs before InstallInitialize of the administrative sequence",
     [insert("AdminExecuteSequence", Action="CloseInstances", Sequence=1450)]),
    ("ICE78", "an AdvtUISequence row",
     [insert("AdvtUISequence", Action="CostInitialize", Sequence=800)]),
    ("ICE79", "a condition names a component that does not exist",
     [update(IEXEC, {"Condition": "$NoSuchComponent>2"}, ("Action", "RestartInstances"))]),
    ("ICE80", "Program is a 64-bit component of an Intel package",
     [update("Component", {"Attributes": 256}, ("Component", "Program"))]),
    ("ICE80", "the package is for German only", [summary(7, "Intel;1031")]),
    ("ICE82", "FileCost and CostInitialize have the same number",
     [update("AdminUISequence", {"Sequence": 800}, ("Action", "FileCost"))]),
    ("ICE82", "RegisterUser is missing", [delete(IEXEC, "Action", "RegisterUser")]),
    ("ICE84", "InstallValidate has a condition",
     [update(IEXEC, {"Condition": "NOT Installed"}, ("Action", "InstallValidate"))]),
    ("ICE86", "a condition reads AdminUser",
     [update(IEXEC, {"Condition": "AdminUser"}, ("Action", "RestartInstances"))]),
    ("ICE87", "REMOVE is set in the Property table",
     [insert("Property", Property="REMOVE", Value="ALL")]),
    ("ICE90", "a shortcut is in NOSAVERMENU of the Start menu",
     [directory("NOSAVERMENU", "ProgramMenuFolder", "nosaver"),
      update("Shortcut", {"Directory_": "NOSAVERMENU"}, ("Shortcut", "Stop"))]),
    ("ICE91", "a shortcut is in PersonalFolder",
     [directory("PersonalFolder", "TARGETDIR"),
      update("Shortcut", {"Directory_": "PersonalFolder"}, ("Shortcut", "Stop"))]),
    ("ICE92", "Program is permanent and has no ComponentId",
     [update("Component", {"ComponentId": "", "Attributes": 16}, ("Component", "Program"))]),
    ("ICE92", "Program is permanent and uninstalled on supersedence",
     [update("Component", {"Attributes": 16 | 1024}, ("Component", "Program"))]),
    ("ICE93", "a custom action named InstallFiles",
     [insert("CustomAction", Action="InstallFiles", Type=51, Source="NOSAVER_X", Target="x")]),
    ("ICE96", "the advertising sequence lacks PublishProduct",
     [delete("AdvtExecuteSequence", "Action", "PublishProduct")]),
    ("ICE99", "a folder named CustomActionData", [directory("CustomActionData", "TARGETDIR")]),
    ("ICE101", "a feature name of 39 characters",
     [insert("Feature", Feature="F" * 39, Display=0, Level=1, Attributes=0)]),
    ("ICE104", "both LockPermissions and MsiLockPermissionsEx",
     [lock("LockGuide", "Guide"), lock_permissions(domain=True)]),
    ("ICE104", "permissions for a file that does not exist", [lock("LockNothing", "NoSuchFile")]),
    ("ICE104", "permissions whose SDDL holds a property",
     [lock("LockAdmin", "Guide", "D:(A;;FA;;;[ADMIN])")]),
    # nosaver's own rules
    ("nosaver data", "every step takes [#NosaverExe] again, blank where the file is removed",
     [update("CustomAction", {"Target": target.replace("[INSTALLDIR]nosaver.exe", "[#NosaverExe]")},
             ("Action", action)) for action, target in STEP_DATA]),
    ("nosaver data", "a removal's CloseInstances gets a folder with no file name",
     [update("CustomAction", {"Target": "remove|[INSTALLDIR]"},
             ("Action", "SetCloseInstancesOnRemovalData"))]),
    ("nosaver versions", "nosaver.exe's row is an unversioned file's, hashed",
     [update("File", {"Version": "", "Language": ""}, ("File", "NosaverExe")), hashed("NosaverExe")]),
    ("nosaver versions", "nosaver.exe's version is not its own",
     [update("File", {"Version": "1.0.0.1"}, ("File", "NosaverExe"))]),
]


def mutate(package, copy, statements):
    """Copies package to copy and runs statements on it; returns msibuild's
    complaint, if any."""
    copy = os.path.abspath(copy)
    shutil.copyfile(package, copy)
    tables, queries = Package(copy).names, []
    for statement in statements:
        target = re.match(r"INSERT INTO `(\w+)`", statement)
        if target and target[1] not in tables and target[1] in CREATE:
            queries += ["-q", CREATE[target[1]]]
            tables.add(target[1])
        if not SUMMARY.fullmatch(statement):
            queries += ["-q", statement]
    done = queries and subprocess.run(["msibuild", copy] + queries, capture_output=True, text=True)
    if done and done.returncode:
        return done.stdout + done.stderr
    changes = {int(m[2]): m[1] for m in map(SUMMARY.fullmatch, statements) if m}
    if changes:
        lines = msiinfo("export", copy, "_SummaryInformation").replace("\r\n", "\n").split("\n")
        rows = [line.split("\t", 1) for line in lines[3:] if line]
        rows = [(pid, changes.pop(int(pid), value)) for pid, value in rows] + list(changes.items())
        idt = os.path.join(os.path.dirname(copy), "_SummaryInformation.idt")
        with open(idt, "w", newline="\r\n") as f:
            f.write("\n".join(lines[:3] + ["%s\t%s" % row for row in rows]) + "\n")
        done = subprocess.run(["msibuild", copy, "-i", idt], capture_output=True, text=True)
        return done.stdout + done.stderr if done.returncode else None
    return None


def check_mutations(package, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    built = Package(package)
    for ice in sorted({rule[0] for rule in RULES},
                      key=lambda ice: (0, int(ice[3:])) if ice.startswith("ICE") else (1, ice)):
        kept = failures(built, ice, RULES)
        report.check(not kept, "%s holds in the package as built" % ice, kept)
    broken = set()
    for n, (ice, how, statements) in enumerate(MUTATIONS):
        copy = os.path.join(work, "%03d-%s.msi" % (n, ice))
        complaint = mutate(package, copy, statements)
        caught = [] if complaint else failures(copy, ice, RULES)
        broken |= {(ice, words) for words, _ in caught}
        report.check(bool(caught), "%s fails when %s" % (ice, how),
                     complaint or "no rule of %s failed" % ice)
    missing = [(ice, words) for ice, words, _ in RULES if (ice, words) not in broken]
    report.check(not missing, "every rule is broken by a mutation of its ICE or name", missing)
    refused = subprocess.run([sys.executable, "-m", "ice", os.path.join(work, "000-ICE02.msi")],
                             capture_output=True, text=True)
    report.check(refused.returncode == 1 and "FAIL  ICE02" in refused.stdout,
                 "ice.py refuses a package that breaks a rule", refused.stdout[-300:])


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: check_rules.py PACKAGE WORK")
    check_mutations(sys.argv[1], sys.argv[2])
    sys.exit(report.finish("%d mutations" % len(MUTATIONS)))
