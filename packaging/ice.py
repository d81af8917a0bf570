#!/usr/bin/env python3
"""Windows Installer's own consistency rules, the ICEs, evaluated on the
package's tables as msitools reads them: Linux has no ICE database to run.
RULES holds one row for each rule: its ICE, the words of its documentation
and a function of the package that returns what breaks the rule (nothing
when it holds). Every rule is evaluated on whatever rows the tables hold.

ICE38, ICE43, ICE57 and ICE64 read the user's profile as the package's
ALLUSERS makes it: with ALLUSERS=1 the Start menu, Startup, Desktop,
Templates and Administrative Tools folders are the all-users ones, which
belong to the machine; the folders that stay per user whatever ALLUSERS is
(ICE91's list) always belong to the user.

    ice.py PACKAGE  prints every rule, Windows Installer's and nosaver's own
                    (package_rules.py), and exits non-zero if one fails.

packaging/msi.py holds every package it makes to the same rules, and
refuses one that breaks a rule.
"""
import collections
import os
import re
import sys

from msitables import ASYNC, COMMIT, CONTINUE, IN_SCRIPT, NO_IMPERSONATE, ROLLBACK, SCRIPT_64, \
    TS_AWARE, Package

# Custom action types (CustomAction table, Type column), beside msitables' flags.
BASE_TYPES = {1, 2, 5, 6, 7, 17, 18, 19, 21, 22, 23, 34, 35, 37, 38, 39, 50, 51, 53, 54}
EXE_TYPES, SCRIPT_TYPES, BUILT_IN = {2, 18, 34, 50}, {5, 6, 21, 22, 37, 38, 53, 54}, {19, 35, 51}
INSTALLED_FILE_TYPES = {17, 18, 21, 22}
CUSTOM_SOURCES = {**dict.fromkeys((1, 2, 5, 6), "Binary"), **dict.fromkeys((17, 18, 21, 22), "File"),
                  34: "Directory", 35: "Directory"}

STANDARD_ACTIONS = set("""ADMIN ADVERTISE AllocateRegistrySpace AppSearch BindImage CCPSearch
CostFinalize CostInitialize CreateFolders CreateShortcuts DeleteServices DisableRollback
DuplicateFiles ExecuteAction FileCost FindRelatedProducts ForceReboot INSTALL InstallAdminPackage
InstallExecute InstallExecuteAgain InstallFiles InstallFinalize InstallInitialize
InstallSFPCatalogFile InstallValidate IsolateComponents LaunchConditions MigrateFeatureStates
MoveFiles MsiConfigureServices MsiPublishAssemblies MsiUnpublishAssemblies InstallODBC
InstallServices PatchFiles ProcessComponents PublishComponents PublishFeatures PublishProduct
RegisterClassInfo RegisterComPlus RegisterExtensionInfo RegisterFonts RegisterMIMEInfo
RegisterProduct RegisterProgIdInfo RegisterTypeLibraries RegisterUser RemoveDuplicateFiles
RemoveEnvironmentStrings RemoveExistingProducts RemoveFiles RemoveFolders RemoveIniValues
RemoveODBC RemoveRegistryValues RemoveShortcuts ResolveSource RMCCPSearch ScheduleReboot
SelfRegModules SelfUnregModules SEQUENCE SetODBCFolders StartServices StopServices
UnpublishComponents UnpublishFeatures UnregisterClassInfo UnregisterComPlus
UnregisterExtensionInfo UnregisterFonts UnregisterMIMEInfo UnregisterProgIdInfo
UnregisterTypeLibraries ValidateProductID WriteEnvironmentStrings WriteIniValues
WriteRegistryValues""".split())
# Standard actions before the execution section, top-level ones and the
# transaction's own; every other one writes operations into the script.
NOT_SCRIPT = set("""ADMIN ADVERTISE INSTALL SEQUENCE AppSearch CCPSearch RMCCPSearch CostInitialize
FileCost CostFinalize FindRelatedProducts LaunchConditions ValidateProductID MigrateFeatureStates
InstallValidate ResolveSource ExecuteAction SetODBCFolders IsolateComponents DisableRollback
ScheduleReboot ForceReboot AllocateRegistrySpace InstallInitialize InstallFinalize InstallExecute
InstallExecuteAgain RemoveExistingProducts""".split())
SCRIPT_ACTIONS = STANDARD_ACTIONS - NOT_SCRIPT
SEQUENCES = ("InstallExecuteSequence", "InstallUISequence", "AdminExecuteSequence",
             "AdminUISequence", "AdvtExecuteSequence")
UI_SEQUENCES = ("InstallUISequence", "AdminUISequence")
COSTING = ("CostInitialize", "FileCost", "CostFinalize")
REQUIRED_ACTIONS = {
    "InstallExecuteSequence": COSTING + ("InstallValidate", "InstallInitialize", "InstallFinalize"),
    "AdminExecuteSequence": COSTING + ("InstallValidate", "InstallInitialize", "InstallFinalize"),
    "InstallUISequence": COSTING + ("ExecuteAction",),
    "AdminUISequence": COSTING + ("ExecuteAction",),
}
ADVERTISING_ACTIONS = set("""CostFinalize CostInitialize CreateShortcuts InstallFinalize
InstallInitialize InstallValidate MsiPublishAssemblies PublishComponents PublishFeatures
PublishProduct RegisterClassInfo RegisterExtensionInfo RegisterMIMEInfo RegisterProgIdInfo""".split())
# Sequence restrictions of the standard actions' pages: first before second.
ORDER = [("CostInitialize", "FileCost"), ("FileCost", "CostFinalize"),
         ("CostInitialize", "CostFinalize"), ("CostFinalize", "InstallValidate"),
         ("InstallValidate", "InstallInitialize"), ("InstallInitialize", "InstallFinalize"),
         ("InstallValidate", "RemoveFiles"), ("RemoveFiles", "InstallFiles"),
         ("InstallValidate", "InstallFiles"), ("CreateFolders", "InstallFiles"),
         ("InstallFiles", "CreateShortcuts"), ("RemoveShortcuts", "CreateShortcuts"),
         ("InstallValidate", "WriteRegistryValues"), ("RemoveRegistryValues", "WriteRegistryValues"),
         ("FindRelatedProducts", "MigrateFeatureStates"),
         ("FindRelatedProducts", "RemoveExistingProducts")]
UNCONDITIONED = ("CostInitialize", "CostFinalize", "FileCost", "InstallValidate",
                 "InstallInitialize", "InstallFinalize", "ProcessComponents", "PublishFeatures",
                 "PublishProduct", "RegisterProduct", "UnpublishFeatures")
REGISTRATION = ("RegisterProduct", "RegisterUser", "PublishProduct", "PublishFeatures")

# Folders that are per user whatever ALLUSERS is, and those it moves to
# the all-users profile.
PER_USER_ONLY = frozenset("""AppDataFolder FavoritesFolder NetHoodFolder PersonalFolder
PrintHoodFolder RecentFolder SendToFolder MyPicturesFolder LocalAppDataFolder""".split())
ALLUSERS_VARIES = frozenset("""DesktopFolder ProgramMenuFolder StartMenuFolder StartupFolder
TemplateFolder AdminToolsFolder""".split())
FOLDER_PROPERTIES = PER_USER_ONLY | ALLUSERS_VARIES | set("""CommonAppDataFolder
CommonFiles64Folder CommonFilesFolder FontsFolder ProgramFiles64Folder ProgramFilesFolder
System16Folder System64Folder SystemFolder TempFolder WindowsFolder WindowsVolume TARGETDIR
SourceDir""".split())
FOLDERS_64 = {"ProgramFiles64Folder", "CommonFiles64Folder", "System64Folder"}
FOLDERS_32 = {"ProgramFilesFolder", "CommonFilesFolder", "SystemFolder"}
# The properties of the installer's Property Reference, and a few more it sets.
SYSTEM_PROPERTIES = FOLDER_PROPERTIES | set("""OriginalDatabase ParentOriginalDatabase ACTION
ALLUSERS ARPAUTHORIZEDCDFPREFIX ARPCOMMENTS ARPCONTACT ARPINSTALLLOCATION ARPNOMODIFY ARPNOREMOVE
ARPNOREPAIR ARPPRODUCTICON ARPREADME ARPSIZE ARPSYSTEMCOMPONENT ARPURLINFOABOUT ARPURLUPDATEINFO
AVAILABLEFREEREG CCP_DRIVE DefaultUIFont DISABLEADVTSHORTCUTS DISABLEMEDIA DISABLEROLLBACK
EXECUTEACTION EXECUTEMODE FASTOEM INSTALLLEVEL LIMITUI LOGACTION MEDIAPACKAGEPATH
MSIARPSETTINGSIDENTIFIER MSIDISABLEEEUI MSIFASTINSTALL MSIINSTALLPERUSER MSINODISABLEMEDIA
MSIENFORCEUPGRADECOMPONENTRULES MSIUNINSTALLSUPERSEDEDCOMPONENTS PRIMARYFOLDER Privileged
PROMPTROLLBACKCOST REBOOT REBOOTPROMPT ROOTDRIVE SEQUENCE SHORTFILENAMES TRANSFORMS
TRANSFORMSATSOURCE TRANSFORMSSECURE MsiLogFileLocation MsiLogging MSIUSEREALADMINDETECTION Date
Time ADDDEFAULT ADDLOCAL ADDSOURCE ADVERTISE COMPADDDEFAULT COMPADDLOCAL COMPADDSOURCE
FILEADDDEFAULT FILEADDLOCAL FILEADDSOURCE MSIDISABLELUAPATCHING MsiPatchRemovalList
MSIRESTARTMANAGERCONTROL MSIDISABLERMRESTART MSIRMSHUTDOWN MSIPATCHREMOVE PATCH REINSTALL
REINSTALLMODE REMOVE Alpha BorderSide BorderTop CaptionHeight ColorBits Intel Intel64 Msix64
PhysicalMemory ScreenX ScreenY TextHeight VirtualMemory AFTERREBOOT CostingComplete Installed
MSICHECKCRCS MsiRestartManagerSessionKey MsiRunningElevated MsiSystemRebootPending MsiUIHideCancel
MsiUIProgressOnly MsiUISourceResOnly NOCOMPANYNAME NOUSERNAME OutOfDiskSpace OutOfNoRbDiskSpace
Preselected PrimaryVolumePath PrimaryVolumeSpaceAvailable PrimaryVolumeSpaceRemaining
PrimaryVolumeSpaceRequired ProductLanguage ReplacedInUseFiles RESUME RollbackDisabled UILevel
UpdateStarted UPGRADINGPRODUCTCODE VersionMsi AdminUser ComputerName MsiNetAssemblySupport
MsiNTProductType MsiNTSuiteBackOffice MsiNTSuiteDataCenter MsiNTSuiteEnterprise MsiNTSuitePersonal
MsiNTSuiteSmallBusiness MsiNTSuiteSmallBusinessRestricted MsiNTSuiteWebServer MsiTabletPC
MsiWin32AssemblySupport OLEAdvtSupport RedirectedDllSupport RemoteAdminTS ServicePackLevel
ServicePackLevelMinor SharedWindows ShellAdvtSupport SystemLanguageID TerminalServer TTCSupport
Version9X VersionDatabase VersionNT VersionNT64 WindowsBuild ARPHELPLINK ARPHELPTELEPHONE
DiskPrompt IsAdminPackage LeftUnit Manufacturer MediaSourceDir MSIINSTANCEGUID MSINEWINSTANCE
ParentProductCode PIDTemplate ProductCode ProductName ProductState ProductVersion UpgradeCode
PATCHNEWPACKAGECODE PATCHNEWSUMMARYCOMMENTS PATCHNEWSUMMARYSUBJECT AdminProperties COMPANYNAME
LogonUser MsiHiddenProperties PIDKEY ProductID UserLanguageID USERNAME UserSID
SecureCustomProperties CustomActionData""".split())
RESERVED_FOR_DIRECTORIES = SYSTEM_PROPERTIES - FOLDER_PROPERTIES
COMMAND_LINE_ONLY = ("ADDLOCAL", "REMOVE", "ADDSOURCE", "ADDDEFAULT", "REINSTALL", "ADVERTISE",
                     "COMPADDLOCAL", "COMPADDSOURCE", "FILEADDLOCAL", "FILEADDSOURCE",
                     "FILEADDDEFAULT")
# Codes of the installer's SDK samples that the ICE73 page names.
SAMPLE_CODES = ("{80F7E030-A751-11D2-A7D4-006097C99860}", "{000C1101-0000-0000-C000-000000000047}")
SAMPLE_UPGRADE = re.compile(r"\{8FC7[0-9A-F]{4}-88A0-4B41-82B8-8905D4AA904C\}", re.I)
# The installer version a table needs (Page Count Summary: 110, 405, 500...).
TABLE_SCHEMA = {"MsiLockPermissionsEx": 500, "IsolatedComponent": 110}
# Tables that older installers pass over by design, which a package for them
# may hold below the schema: "Windows Installer 4.5 and earlier ignores the
# MsiLockPermissionsEx table" (Securing Resources), so a package of schema
# 200 installs on Windows XP and is locked down by Windows Installer 5.0.
IGNORED_BELOW = {"MsiLockPermissionsEx"}
LOCKABLE = {"File": "File", "Registry": "Registry", "CreateFolder": "Directory_",
            "ServiceInstall": "ServiceInstall"}

# Foreign keys: (table, column): (key table, key column, whether every
# value must be found there).
FOREIGN_KEYS = {
    ("AppSearch", "Signature_"): ("Signature", "Signature", False),
    ("CompLocator", "Signature_"): ("Signature", "Signature", False),
    ("Component", "Directory_"): ("Directory", "Directory", True),
    ("CreateFolder", "Component_"): ("Component", "Component", True),
    ("CreateFolder", "Directory_"): ("Directory", "Directory", True),
    ("Directory", "Directory_Parent"): ("Directory", "Directory", True),
    ("Feature", "Directory_"): ("Directory", "Directory", True),
    ("Feature", "Feature_Parent"): ("Feature", "Feature", True),
    ("FeatureComponents", "Component_"): ("Component", "Component", True),
    ("FeatureComponents", "Feature_"): ("Feature", "Feature", True),
    ("File", "Component_"): ("Component", "Component", True),
    ("MsiFileHash", "File_"): ("File", "File", True),
    ("RegLocator", "Signature_"): ("Signature", "Signature", False),
    ("Registry", "Component_"): ("Component", "Component", True),
    ("RemoveFile", "Component_"): ("Component", "Component", True),
    ("RemoveRegistry", "Component_"): ("Component", "Component", True),
    ("ServiceControl", "Component_"): ("Component", "Component", True),
    ("ServiceInstall", "Component_"): ("Component", "Component", True),
    ("Shortcut", "Component_"): ("Component", "Component", True),
    ("Shortcut", "Directory_"): ("Directory", "Directory", True),
    ("Shortcut", "Icon_"): ("Icon", "Name", True),
}
LOCATORS = ("RegLocator", "IniLocator", "CompLocator", "DrLocator")
# Columns of the tables' pages; '?' marks a nullable one.
DOCUMENTED_COLUMNS = {
    "AppSearch": "Property Signature_",
    "CompLocator": "Signature_ ComponentId Type?",
    "CreateFolder": "Directory_ Component_",
    "CustomAction": "Action Type Source? Target? ExtendedType?",
    "LockPermissions": "LockObject Table Domain? User Permission?",
    "MsiLockPermissionsEx": "MsiLockPermissionsEx LockObject Table SDDLText Condition?",
    "RegLocator": "Signature_ Root Key Name? Type?",
    **{name: "Action Condition? Sequence?" for name in SEQUENCES + ("AdvtUISequence",)},
}
IDENTIFIER_COLUMNS = [("Property", "Property"), ("CustomAction", "Action"),
                      ("Directory", "Directory"), ("Component", "Component"), ("File", "File"),
                      ("Feature", "Feature"), ("Registry", "Registry"), ("Shortcut", "Shortcut"),
                      ("Binary", "Name"), ("Signature", "Signature"), ("RegLocator", "Signature_"),
                      ("MsiLockPermissionsEx", "LockObject"),
                      *[(t, "Action") for t in SEQUENCES]] + [k for k in FOREIGN_KEYS]
GUID_COLUMNS = [("Component", "ComponentId"), ("CompLocator", "ComponentId"),
                ("Upgrade", "UpgradeCode")]
VERSION_COLUMNS = [("File", "Version"), ("Upgrade", "VersionMin"), ("Upgrade", "VersionMax"),
                   ("Signature", "MinVersion"), ("Signature", "MaxVersion")]
CONDITION_COLUMNS = [*[(t, "Condition") for t in SEQUENCES], ("LaunchCondition", "Condition"),
                     ("Component", "Condition"), ("Condition", "Condition"),
                     ("MsiLockPermissionsEx", "Condition")]
VALUE_SETS = {("Registry", "Root"): {-1, 0, 1, 2, 3}, ("RegLocator", "Root"): {0, 1, 2, 3},
              ("RegLocator", "Type"): {0, 1, 2, 16, 17, 18}, ("CompLocator", "Type"): {0, 1},
              ("MsiLockPermissionsEx", "Table"): set(LOCKABLE)}
# Defined bits of the bit fields.
BITS = {("File", "Attributes"): 0x7607, ("Feature", "Attributes"): 0x3F,
        ("RemoveFile", "InstallMode"): 0x3}
# Formatted columns whose [$component] and [#file] references ICE69 reads.
COMPONENT_FORMATTED = {"Shortcut": ("Target", "Arguments", "Description"),
                       "Registry": ("Key", "Name", "Value"), "RemoveRegistry": ("Key", "Name")}

GUID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*")
FILENAME_BAD = re.compile(r'[\\/:*?"<>|]')
FORMATTED_REF = re.compile(r"\[([^\[\]]+)\]")
CONDITION_WORDS = {"AND", "OR", "NOT", "XOR", "EQV", "IMP"}
SID = r"(?:S-1(?:-\d+)+|[A-Z]{2}|<[^<>]+>)"
ACE = (r"\((?:A|D|OA|OD|AU|AL|OU|OL|ML|XA|XD|ZA|XU|SP|RA|SA|SC);[A-Z]*;(?:0x[0-9A-Fa-f]+|[A-Z]*);"
       r"[0-9A-Fa-f-]*;[0-9A-Fa-f-]*;" + SID + r"(?:;\([^()]*\))?\)")
ACL = r"(?:P|AI|AR|NO_ACCESS_CONTROL)*(?:%s)*" % ACE
SDDL = re.compile(r"(?:O:%s)?(?:G:%s)?(?:D:%s)?(?:S:%s)?" % (SID, SID, ACL, ACL))


def profile(p):
    """The folders whose contents belong to the installing user."""
    return PER_USER_ONLY | (frozenset() if p.props.get("ALLUSERS") == "1" else ALLUSERS_VARIES)


def makes_script(p, action):
    """Whether an action may put operations into the installation script:
    a standard action of the execution section, any custom action but an
    immediate built-in one (an immediate DLL may schedule others), anything
    unknown."""
    if action in STANDARD_ACTIONS:
        return action in SCRIPT_ACTIONS
    kind = p.ca_type(action)
    return kind is None or kind & IN_SCRIPT != 0 or kind & 0x3F not in BUILT_IN


def at(sequence, action):
    number = sequence.get(action, (None,))[0]
    return number if number is not None and number > 0 else None


def version(text, limits=(65535,) * 4):
    """The fields of a version string, or None if it is not one."""
    fields = text.split(".")
    if not 1 <= len(fields) <= len(limits) or not all(f.isdigit() for f in fields):
        return None
    values = tuple(int(f) for f in fields)
    return values if all(v <= m for v, m in zip(values, limits)) else None


def product_version(text):
    """ProductVersion's major.minor.build (at most 255.255.65535), as compared."""
    fields = version(text, (255, 255, 65535, 65535))
    return fields and (fields + (0, 0))[:3]


def condition_names(text):
    """The names a condition uses, with their $ & ! ? % prefixes."""
    text = re.sub(r'"[^"]*"', " ", text or "")
    return [n for n in re.findall(r"[$&!?%]?[A-Za-z_][A-Za-z0-9_.]*", text)
            if n.upper() not in CONDITION_WORDS]


def formatted_refs(text):
    return FORMATTED_REF.findall(text or "")


def public(name):
    return not any(c.islower() for c in name)


def shortcut_is_advertised(p, shortcut):
    return shortcut["Target"] in p.features


def hkcu_key_path(p, name):
    """What keeps a component from having an HKCU registry key path."""
    component = p.components[name]
    if not int(component["Attributes"]) & 4:
        return "%s uses a file or folder as its key path" % name
    row = p.registry.get(component["KeyPath"])
    if row is None:
        return "the key path registry entry of %s does not exist" % name
    if row["Root"] not in ("1", "-1"):
        return "the key path registry key of %s does not fall under HKCU" % name
    if row["Component_"] != name:
        return "the key path registry entry of %s belongs to %s" % (name, row["Component_"])
    return None


# ---- the rules ----

def ice02(p):
    bad = []
    for name, c in p.components.items():
        key, registry = c["KeyPath"], int(c["Attributes"]) & 4
        owner = (p.registry if registry else p.files).get(key, {}).get("Component_")
        if key and not int(c["Attributes"]) & 32 and owner != name:
            bad.append("%s: key path %s belongs to %s" % (name, key, owner))
    return bad


def ice03_foreign_keys(p):
    bad = []
    for (table, column), (key_table, key_column, strict) in FOREIGN_KEYS.items():
        keys = {r[key_column] for r in p.rows(key_table)}
        bad += ["%s.%s %s" % (table, column, r[column]) for r in p.rows(table)
                if strict and r[column] and r[column] not in keys]
    locators = {r["Signature_"] for t in LOCATORS for r in p.rows(t)}
    bad += ["AppSearch.Signature_ %s" % r["Signature_"] for r in p.rows("AppSearch")
            if r["Signature_"] not in locators]
    return bad


def ice03_custom_source(p):
    """The Source of a custom action is what its type says it is."""
    bad = []
    for name, row in p.actions.items():
        base = int(row["Type"]) & 0x3F
        table = CUSTOM_SOURCES.get(base)
        if table and row["Source"] not in p.keyed(table):
            bad.append("%s: %s not in %s" % (name, row["Source"], table))
        if base == 19 and row["Source"]:
            bad.append("%s: type 19 with a Source" % name)
    return bad


def column_values(p, columns):
    for table, column in columns:
        for r in p.rows(table):
            if r.get(column):
                yield table, column, r, r[column]


def ice03_nullable(p):
    bad = []
    for table in p.names - {"_SummaryInformation", "_ForceCodepage"}:
        documented = DOCUMENTED_COLUMNS.get(table, "").split()
        optional = {c.rstrip("?") for c in documented if c.endswith("?")}
        required = {c for c in documented if not c.endswith("?")}
        t = p.table(table)
        for column in t.columns:
            if column in required or (column not in optional and t.types[column][:1].islower()):
                bad += ["%s.%s" % (table, column) for r in t.rows if r[column] == ""]
    return bad


def ice03_overflow(p):
    bad = []
    for table in p.names - {"_SummaryInformation", "_ForceCodepage"}:
        t = p.table(table)
        for column, kind in t.types.items():
            size = int(kind[1:] or 0)
            if kind[:1] in "sSlL" and size:
                bad += ["%s.%s %r" % (table, column, r[column][:40]) for r in t.rows
                        if len(r[column]) > size]
    return bad


def ice03_values(p):
    """Identifiers, GUIDs, versions, value sets, cabinets, folder names,
    registry paths, languages, conditions and shortcut targets."""
    bad = ["identifier %s.%s %r" % (t, c, v) for t, c, _, v in column_values(p, IDENTIFIER_COLUMNS)
           if not IDENTIFIER.fullmatch(v)]
    bad += ["GUID %s.%s %s" % (t, c, v) for t, c, _, v in column_values(p, GUID_COLUMNS)
            if not GUID.fullmatch(v)]
    bad += ["version %s.%s %s" % (t, c, v) for t, c, _, v in column_values(p, VERSION_COLUMNS)
            if not version(v) and not (t == "File" and v in p.files)]
    bad += ["%s.%s not in the set: %s" % (t, c, v)
            for t, c, _, v in column_values(p, VALUE_SETS)
            if (int(v) if re.fullmatch(r"-?\d+", v) else v) not in VALUE_SETS[t, c]]
    bad += ["cabinet %s" % v for _, _, _, v in column_values(p, [("Media", "Cabinet")])
            if FILENAME_BAD.search(v.lstrip("#")) or v.lstrip("#") == ""]
    bad += ["DefaultDir %s" % v for _, _, _, v in column_values(p, [("Directory", "DefaultDir")])
            if any(FILENAME_BAD.search(name) or name == "" for side in v.split(":", 1)
                   for name in side.split("|", 1)) or v.count(":") > 1]
    bad += ["registry path %s" % v for _, _, _, v in
            column_values(p, [("Registry", "Key"), ("RegLocator", "Key")]) if v.startswith("\\")]
    bad += ["language %s" % v for _, _, _, v in column_values(p, [("File", "Language")])
            if not all(x.isdigit() and int(x) <= 65535 for x in v.split(","))]
    for t, c, _, v in column_values(p, CONDITION_COLUMNS):
        bare = re.sub(r'"[^"]*"', "", v)
        depth = 0
        for ch in bare:
            depth += {"(": 1, ")": -1}.get(ch, 0)
            if depth < 0:
                break
        if depth or '"' in bare:
            bad.append("condition %s.%s %r" % (t, c, v))
    bad += ["shortcut target %s" % s["Target"] for s in p.rows("Shortcut")
            if "[" not in s["Target"] and s["Target"] not in p.features]
    return bad


def ice04(p):
    last = max((int(m["LastSequence"]) for m in p.rows("Media")), default=0)
    return ["%s: %s" % (f["File"], f["Sequence"]) for f in p.rows("File")
            if int(f["Sequence"]) > last]


def ice06(p):
    return ["%s.%s" % (t, c.rstrip("?")) for t, columns in DOCUMENTED_COLUMNS.items() if t in p
            for c in columns.split() if c.rstrip("?") not in p.table(t).columns]


def ice09(p):
    return [n for n, c in p.components.items()
            if p.under(c["Directory_"], {"SystemFolder"}) and not int(c["Attributes"]) & 16]


def ice10(p):
    bad = []
    for name, f in p.features.items():
        parent = f["Feature_Parent"]
        if parent and parent not in p.features:
            bad.append("parent %s of %s not found" % (parent, name))
        elif parent and int(p.features[parent]["Attributes"]) & 4 and int(f["Attributes"]) & 8:
            bad.append("%s disallows advertisement, its parent %s favors it" % (name, parent))
    return bad


def ice12_costfinalize(p):
    return [t for t in SEQUENCES if at(p.seq(t), "CostFinalize") is None
            and any((p.ca_type(a) or 0) & 0x3F in (35, 51) for a in p.seq(t))]


def ice12_type35(p):
    bad = []
    for t in SEQUENCES:
        s = p.seq(t)
        cost = at(s, "CostFinalize") or 0
        for a in s:
            if (p.ca_type(a) or 0) & 0x3F == 35:
                if p.actions[a]["Source"] not in p.dirs:
                    bad.append("%s: folder %s not found in Directory table"
                               % (a, p.actions[a]["Source"]))
                if (at(s, a) or 0) < cost:
                    bad.append("%s in %s at %s, CostFinalize at %s" % (a, t, at(s, a), cost))
    return bad


def ice12_type51(p):
    bad = []
    for t in SEQUENCES:
        s = p.seq(t)
        cost = at(s, "CostFinalize")
        bad += ["%s in %s at %s, CostFinalize at %s" % (a, t, at(s, a), cost) for a in s
                if (p.ca_type(a) or 0) & 0x3F == 51 and p.actions[a]["Source"] in p.dirs
                and cost and (at(s, a) or 0) > cost]
    return bad


def ice14(p):
    return ["%s: %s" % (n, "its own parent" if f["Feature_Parent"] == n else "root follows parent")
            for n, f in p.features.items()
            if f["Feature_Parent"] == n or (not f["Feature_Parent"] and int(f["Attributes"]) & 2)]


def ice18(p):
    created = {(r["Directory_"], r["Component_"]) for r in p.rows("CreateFolder")}
    with_files = {f["Component_"] for f in p.rows("File")}
    bad = []
    for name, c in p.components.items():
        removes = any(r["Component_"] == name and r["DirProperty"] == c["Directory_"]
                      for r in p.rows("RemoveFile"))
        if (not c["KeyPath"] and not int(c["Attributes"]) & 4 and name not in with_files
                and not removes and (c["Directory_"], name) not in created):
            bad.append("%s: %s" % (name, c["Directory_"]))
    return bad


def ice19(p):
    bad = []
    for s in p.rows("Shortcut"):
        c = p.components.get(s["Component_"], {})
        if shortcut_is_advertised(p, s) and (not c.get("ComponentId")
                                             or int(c.get("Attributes", 0)) & 4):
            bad.append("%s: %s" % (s["Shortcut"], s["Component_"]))
    return bad


def ice26(p):
    bad = []
    for t in (t for t in REQUIRED_ACTIONS if t in p):
        s = p.seq(t)
        bad += ["%s is required in %s" % (a, t) for a in REQUIRED_ACTIONS[t] if at(s, a) is None]
        prohibited = (SCRIPT_ACTIONS | {"InstallInitialize", "InstallFinalize", "InstallExecute",
                                        "InstallExecuteAgain", "RemoveExistingProducts"}
                      if t in UI_SEQUENCES else {"ExecuteAction"})
        bad += ["%s is prohibited in %s" % (a, t) for a in s if a in prohibited]
    return bad


def ice27_known(p):
    dialogs = p.keyed("Dialog")
    bad = ["%s in %s" % (a, t) for t in SEQUENCES for a in p.seq(t)
           if a not in STANDARD_ACTIONS and a not in p.actions and a not in dialogs]
    return bad + ["%s in AdvtExecuteSequence" % a for a in p.seq("AdvtExecuteSequence")
                  if a in STANDARD_ACTIONS and a not in ADVERTISING_ACTIONS]


def ice27_order(p):
    bad = []
    for t in SEQUENCES:
        s = p.seq(t)
        bad += ["%s: %s (%s) must come before %s (%s)" % (t, a, at(s, a), b, at(s, b))
                for a, b in ORDER if at(s, a) and at(s, b) and at(s, a) >= at(s, b)]
    return bad


def ice27_sections(p):
    bad = []
    for t in SEQUENCES:
        s = p.seq(t)
        cost_start, cost_end = at(s, "CostInitialize"), at(s, "CostFinalize")
        validate, final = at(s, "InstallValidate"), at(s, "InstallFinalize")
        for a in s:
            n = at(s, a)
            if n and a in ("AppSearch", "CCPSearch") and cost_start and n > cost_start:
                bad.append("%s in %s: Search, not after CostInitialize" % (a, t))
            if n and a == "SetODBCFolders" and not (cost_end or 0) < n < (validate or 0):
                bad.append("%s in %s: Selection" % (a, t))
            if n and a in SCRIPT_ACTIONS and not (validate and final and validate < n < final):
                bad.append("%s in %s at %s: Execution, between InstallValidate and InstallFinalize"
                           % (a, t, n))
    return bad


def ice27_finalize(p):
    bad = []
    for t in SEQUENCES:
        s = p.seq(t)
        executes = any(at(s, a) for a in s if a in SCRIPT_ACTIONS)
        if executes != bool(at(s, "InstallFinalize")):
            bad.append("%s: %s" % (t, "script actions, no InstallFinalize" if executes
                                   else "InstallFinalize, no script actions"))
    return bad


def ice29(p):
    streams = collections.Counter()
    for name in p.names:
        t = p.table(name)
        if any(kind.startswith("v") for kind in t.types.values()):
            streams.update((name + "." + ".".join(r[k] for k in t.keys))[:62] for r in t.rows)
    return [s for s, n in streams.items() if n > 1]


def ice30(p):
    def path(d, short):
        parts, seen = [], set()
        while d and d not in seen:
            seen.add(d)
            row = p.dirs.get(d)
            parent = row and row["Directory_Parent"]
            if not row or not parent or parent == d:
                parts.append(d)
                break
            target = row["DefaultDir"].split(":")[0].split("|")
            name = target[0] if short else target[-1]
            if name != ".":
                parts.append(name.lower())
            d = parent
        return tuple(reversed(parts))

    owners = collections.defaultdict(set)
    for f in p.rows("File"):
        names = f["FileName"].split("|")
        directory = p.components.get(f["Component_"], {}).get("Directory_")
        for short in (True, False):
            name = names[0] if short else names[-1]
            owners[short, path(directory, short), name.lower()].add(f["Component_"])
    return sorted("%s in %s by %s" % (k[2], "\\".join(k[1]), sorted(v))
                  for k, v in owners.items() if len(v) > 1)


def ice32(p):
    bad = []
    for (table, column), (key_table, key_column, _) in FOREIGN_KEYS.items():
        if table in p and key_table in p:
            a, b = p.table(table).types.get(column), p.table(key_table).types.get(key_column)
            if a and b and a.lower() != b.lower():
                bad.append("%s.%s %s, %s.%s %s" % (table, column, a, key_table, key_column, b))
    return bad


def cabinet_files(p):
    media = sorted((int(m["LastSequence"]), m["Cabinet"]) for m in p.rows("Media"))
    compressed = int(p.summary.get(15) or 0) & 2
    for f in p.rows("File"):
        cabinet = next((c for last, c in media if int(f["Sequence"]) <= last), "")
        attributes = int(f["Attributes"] or 0)
        if cabinet and (attributes & 0x4000 or (compressed and not attributes & 0x2000)):
            yield f


def ice35(p):
    schema = int(p.summary.get(14) or 0)
    return ["%s of %s" % (f["File"], f["Component_"]) for f in cabinet_files(p)
            if int(p.components[f["Component_"]]["Attributes"]) & 3 == 1
            or (int(p.components[f["Component_"]]["Attributes"]) & 3 == 2 and schema < 200)]


def ice38(p):
    return [problem for n, c in p.components.items() if p.under(c["Directory_"], profile(p))
            for problem in [hkcu_key_path(p, n)] if problem]


def ice39_format(p):
    s, bad = p.summary, []
    if not re.fullmatch(r"\d+", s.get(14, "")):
        bad.append("Page Count %r" % s.get(14))
    if not re.fullmatch(r"\d+", s.get(15, "")) or int(s[15]) & ~0xF:
        bad.append("Word Count %r" % s.get(15))
    if not re.fullmatch(r"(Intel|Intel64|x64|Arm|Arm64)? *;(\d+(,\d+)*)?", s.get(7, "")):
        bad.append("Template %r" % s.get(7))
    if not GUID.fullmatch(s.get(9, "")):
        bad.append("Revision Number %r" % s.get(9))
    bad += ["time %d %r" % (i, s.get(i)) for i in (11, 12, 13) if (i != 11 or s.get(i))
            and not re.fullmatch(r"\d{4}/\d\d/\d\d \d\d:\d\d:\d\d", s.get(i, ""))]
    return bad


def ice39_compressed(p):
    if not int(p.summary.get(15) or 0) & 2:
        return []
    return [f["File"] for f in p.rows("File") if int(f["Attributes"] or 0) & 0x4000]


def ice43(p):
    return [problem for s in p.rows("Shortcut")
            if not shortcut_is_advertised(p, s) and p.under(s["Directory_"], profile(p))
            for problem in [hkcu_key_path(p, s["Component_"])] if problem]


def ice45(p):
    return ["%s %s.%s %s" % (r[p.table(t).keys[0]], t, c, r[c]) for (t, c), mask in BITS.items()
            for r in p.rows(t) if r[c] and int(r[c]) & ~mask]


def property_names(p):
    """The properties the package defines, and those it refers to."""
    defined = set(p.props) | {r["Property"] for r in p.rows("AppSearch")}
    defined |= {r["ActionProperty"] for r in p.rows("Upgrade")} | set(p.dirs)
    defined |= {r["Source"] for r in p.actions.values() if int(r["Type"]) & 0x3F == 51}
    used = {n for _, _, _, v in column_values(p, CONDITION_COLUMNS)
            for n in condition_names(v) if n[0].isalpha() or n[0] == "_"}
    formatted = [("CustomAction", "Target"), ("Registry", "Key"), ("Registry", "Name"),
                 ("Registry", "Value"), ("Shortcut", "Target"), ("Shortcut", "Arguments"),
                 ("LaunchCondition", "Description")]
    used |= {r for _, _, _, v in column_values(p, formatted) for r in formatted_refs(v)
             if IDENTIFIER.fullmatch(r)}
    return defined, used


def ice46(p):
    defined, used = property_names(p)
    spellings = collections.defaultdict(set)
    for name in defined | used | SYSTEM_PROPERTIES:
        spellings[name.lower()].add(name)
    return sorted(sorted(s) for s in spellings.values()
                  if len(s) > 1 and s & (defined | used))


def ice50(p):
    bad = []
    for s in p.rows("Shortcut"):
        if not shortcut_is_advertised(p, s) or not s["Icon_"]:
            continue
        key = p.components.get(s["Component_"], {}).get("KeyPath")
        target = p.files.get(key, {}).get("FileName", "").split("|")[-1]
        icon_ext, target_ext = (os.path.splitext(x)[1].lower() for x in (s["Icon_"], target))
        if icon_ext != target_ext or icon_ext not in (".exe", ".ico"):
            bad.append("%s: icon %s, key file %s" % (s["Shortcut"], s["Icon_"], target))
    return bad


def ice53(p):
    private = ("software\\microsoft\\windows\\currentversion\\installer",
               "software\\policies\\microsoft\\windows\\installer", "software\\classes\\installer")
    return [r["Registry"] for r in p.registry.values()
            if r["Key"].lower().startswith(private) or (r["Root"] == "0" and
                                                        r["Key"].lower().startswith("installer"))]


def ice56(p):
    used = {c["Directory_"] for c in p.components.values()}
    used |= {r["Directory_"] for t in ("Shortcut", "CreateFolder") for r in p.rows(t)}
    bad = []
    for name, d in p.dirs.items():
        root = not d["Directory_Parent"] or d["Directory_Parent"] == name
        if root and name != "TARGETDIR" and any(p.under(u, {name}) for u in used):
            bad.append("%s is an invalid root" % name)
    if "TARGETDIR" not in p.dirs or p.dirs["TARGETDIR"]["DefaultDir"] not in ("SourceDir",
                                                                              "SOURCEDIR"):
        bad.append("TARGETDIR: %s" % p.dirs.get("TARGETDIR"))
    return bad


def ice57(p):
    def where(directory):
        return "user" if p.under(directory, profile(p)) else "machine"

    def root(value):
        return {"1": "user", "-1": "either"}.get(value, "machine")

    bad = []
    for name, c in p.components.items():
        files = any(f["Component_"] == name for f in p.rows("File"))
        data = {where(c["Directory_"])} if files else set()
        data |= {root(r["Root"]) for r in p.registry.values() if r["Component_"] == name}
        data |= {"user" for s in p.rows("Shortcut") if s["Component_"] == name
                 and not shortcut_is_advertised(p, s) and p.under(s["Directory_"], profile(p))}
        if int(c["Attributes"]) & 4:
            key = root(p.registry.get(c["KeyPath"], {}).get("Root"))
        else:
            key = where(c["Directory_"])
        data.add(key)
        if {"user", "machine"} <= data or ("either" in data and key == "machine") or (
                "user" in data and key == "either"):
            bad.append("%s: %s data, %s key path" % (name, "+".join(sorted(data)), key))
    return bad


def ice59(p):
    mapped = {(r["Feature_"], r["Component_"]) for r in p.rows("FeatureComponents")}
    return [s["Shortcut"] for s in p.rows("Shortcut") if shortcut_is_advertised(p, s)
            and (s["Target"], s["Component_"]) not in mapped]


def ice60(p):
    fonts = p.keyed("Font")
    versioned = {n for n, f in p.files.items() if f["Version"] and f["Version"] not in p.files}
    bad = ["%s has a version, no language" % n for n in versioned
           if not p.files[n]["Language"] and n not in fonts]
    return bad + ["%s is versioned and hashed" % r["File_"] for r in p.rows("MsiFileHash")
                  if r["File_"] in versioned]


def upgrade_properties(p):
    return [r["ActionProperty"] for r in p.rows("Upgrade")]


def ice61_versions(p):
    bad = []
    for r in p.rows("Upgrade"):
        low, high = (r[c] and product_version(r[c]) for c in ("VersionMin", "VersionMax"))
        bad += ["%s %s" % (r["ActionProperty"], r[c]) for c, v in
                (("VersionMin", low), ("VersionMax", high)) if r[c] and not v]
        if low and high and high < low:
            bad.append("%s: VersionMax below VersionMin" % r["ActionProperty"])
    return bad


def ice61_newer(p):
    current = product_version(p.props.get("ProductVersion", ""))
    bad = []
    for r in p.rows("Upgrade"):
        attributes = int(r["Attributes"] or 0)
        if r["UpgradeCode"] != p.props.get("UpgradeCode") or attributes & 2 or not current:
            continue
        high = r["VersionMax"] and product_version(r["VersionMax"])
        if not high or high > current or (high == current and attributes & 0x200):
            bad.append("%s removes up to %s, this is %s" % (r["ActionProperty"],
                                                          r["VersionMax"] or "any",
                                                          p.props.get("ProductVersion")))
    return bad


def ice63(p):
    bad = []
    for t in ("InstallExecuteSequence", "AdminExecuteSequence"):
        s = p.seq(t)
        rep = at(s, "RemoveExistingProducts")
        if rep is None:
            continue
        validate, initialize, final = (at(s, a) for a in ("InstallValidate", "InstallInitialize",
                                                           "InstallFinalize"))
        executes = [n for n in (at(s, "InstallExecute"), at(s, "InstallExecuteAgain"))
                    if n and n < rep]

        def scripted(start):
            return [a for a in s if start < (at(s, a) or 0) < rep and makes_script(p, a)]

        if ((validate and initialize and validate < rep < initialize) or (final and rep > final)
                or any(start and start < rep and not (final and rep > final) and not scripted(start)
                       for start in [initialize] + executes)):
            continue
        bad.append("%s: RemoveExistingProducts at %s, %s" % (
            t, rep, "after " + ", ".join(scripted(initialize)) if initialize and rep > initialize
            else "before InstallValidate"))
    return bad


def ice64(p):
    removed = {r["DirProperty"] for r in p.rows("RemoveFile") if not r["FileName"]}
    return [n for n, d in p.dirs.items() if n not in FOLDER_PROPERTIES
            and d["DefaultDir"].split(":")[0] != "." and p.under(n, profile(p)) and n not in removed]


def ice66(p):
    schema = int(p.summary.get(14) or 0)
    needs = {t: v for t, v in TABLE_SCHEMA.items() if p.rows(t) and t not in IGNORED_BELOW}
    if any(r.get("ExtendedType") not in (None, "", "0") for r in p.actions.values()):
        needs["CustomAction.ExtendedType"] = 405
    return ["%s needs %d, the schema is %d" % (t, v, schema) for t, v in needs.items() if v > schema]


def shortcut_targets(p, s):
    """The files a shortcut's formatted Target names."""
    return [r[1:] for r in formatted_refs(s["Target"]) if r[:1] in "#!" and r[1:] in p.files]


def ice67(p):
    bad = []
    for s in p.rows("Shortcut"):
        if shortcut_is_advertised(p, s):
            continue
        for f in shortcut_targets(p, s):
            owner = p.files[f]["Component_"]
            if owner != s["Component_"] and int(p.components[owner]["Attributes"]) & 3 == 2:
                bad.append("%s: %s of %s" % (s["Shortcut"], f, owner))
    return bad


def ca_type_problem(kind):
    base = kind & 0x3F
    if base not in BASE_TYPES or kind & ~0x7FFF:
        return "%d is not a valid action type" % kind
    if kind & NO_IMPERSONATE and not kind & IN_SCRIPT:
        return "elevated (%d) but not deferred" % kind
    if base == 19 and kind != 19:
        return "type 19 uses no options (%d)" % kind
    if base in (35, 51) and kind & (CONTINUE | ASYNC | IN_SCRIPT | SCRIPT_64 | TS_AWARE):
        return "type %d uses no return or in-script options (%d)" % (base, kind)
    if kind & (CONTINUE | ASYNC) == CONTINUE | ASYNC and base not in EXE_TYPES:
        return "asynchronous without waiting is for executables only (%d)" % kind
    if kind & ASYNC and (base in SCRIPT_TYPES or kind & (IN_SCRIPT | ROLLBACK) == IN_SCRIPT | ROLLBACK):
        return "asynchronous script or rollback action (%d)" % kind
    if kind & SCRIPT_64 and base not in SCRIPT_TYPES:
        return "64-bit script flag on a non-script action (%d)" % kind
    if kind & IN_SCRIPT and kind & (ROLLBACK | COMMIT) == ROLLBACK | COMMIT:
        return "both rollback and commit (%d)" % kind
    if kind & TS_AWARE and not kind & IN_SCRIPT:
        return "TSAware without in-script (%d)" % kind
    return None


def ice68(p):
    return ["%s: %s" % (n, problem) for n, r in p.actions.items()
            for problem in [ca_type_problem(int(r["Type"]))] if problem]


def ice69(p):
    bad = []
    for table, columns in COMPONENT_FORMATTED.items():
        for r in p.rows(table):
            for c in columns:
                for ref in formatted_refs(r.get(c)):
                    other = (ref[1:] if ref[:1] == "$" else
                             p.files.get(ref[1:], {}).get("Component_") if ref[:1] in "#!" else None)
                    if other and other != r["Component_"]:
                        bad.append("%s %s.%s references %s of %s" % (
                            r[p.table(table).keys[0]], table, c, ref, other))
    return bad


def ice70(p):
    prop = r"(?:\[[^\[\]]+\])"
    number = re.compile(r"#(?:#.*|%.*|[xX](?:[0-9A-Fa-f]|" + prop + r")+|[+-]?(?:\d|" + prop
                        + r")+)", re.S)
    return ["%s: %s" % (r["Registry"], r["Value"]) for r in p.registry.values()
            if r["Value"].startswith("#") and not number.fullmatch(r["Value"])]


def ice73(p):
    codes = [p.props.get("ProductCode", ""), p.summary.get(9, ""), p.props.get("UpgradeCode", "")]
    return [c for c in codes if c.upper() in SAMPLE_CODES or SAMPLE_UPGRADE.fullmatch(c)]


def ice75(p):
    bad = []
    for t in ("InstallUISequence", "InstallExecuteSequence", "AdminUISequence",
              "AdminExecuteSequence"):
        s = p.seq(t)
        cost = at(s, "CostFinalize")
        bad += ["%s in %s at %s, CostFinalize at %s" % (a, t, at(s, a), cost) for a in s
                if at(s, a) and (p.ca_type(a) or 0) & 0x3F in INSTALLED_FILE_TYPES
                and not (cost and at(s, a) > cost)]
    return bad


def ice77(p):
    bad = []
    for t in ("InstallExecuteSequence", "AdminExecuteSequence"):
        s = p.seq(t)
        initialize, final = at(s, "InstallInitialize"), at(s, "InstallFinalize")
        for a in s:
            if at(s, a) and p.in_script(a) and not (initialize and final
                                                    and initialize < at(s, a) < final):
                bad.append("%s in %s at %s (InstallInitialize %s, InstallFinalize %s)"
                           % (a, t, at(s, a), initialize, final))
    return bad


def ice79(p):
    bad = []
    for t, c, r, v in column_values(p, CONDITION_COLUMNS):
        for name in condition_names(v):
            known = {"$": p.components, "?": p.components, "&": p.features, "!": p.features}
            if name[0] in known and name[1:] not in known[name[0]]:
                bad.append("%s in %s.%s" % (name, t, c))
    return bad


def ice80_platform(p):
    template = p.summary.get(7, "")
    platform, schema = template.split(";")[0].strip(), int(p.summary.get(14) or 0)
    wide = platform in ("Intel64", "x64", "Arm64")
    bad = ["%s needs schema %d" % (platform, n) for name, n in
           (("Intel64", 150), ("x64", 200), ("Arm64", 500)) if platform == name and schema < n]
    components64 = [n for n, c in p.components.items() if int(c["Attributes"]) & 0x100]
    scripts64 = [n for n, r in p.actions.items() if int(r["Type"]) & SCRIPT_64
                 and int(r["Type"]) & 0x3F in SCRIPT_TYPES]
    if not wide:
        bad += ["64-bit %s in a %s package" % (n, platform or "Intel")
                for n in components64 + scripts64]
        bad += ["64-bit folder %s" % d for d in p.dirs if d in FOLDERS_64]
        bad += ["64-bit locator %s" % r["Signature_"] for r in p.rows("RegLocator")
                if int(r["Type"] or 1) & 16]
    for n, c in p.components.items():
        is64 = int(c["Attributes"]) & 0x100
        if p.under(c["Directory_"], FOLDERS_32 if is64 else FOLDERS_64):
            bad.append("%s-bit component %s in a %s-bit folder" % (
                ("64", n, "32") if is64 else ("32", n, "64")))
    return bad


def ice80_language(p):
    languages = p.summary.get(7, "").split(";")[-1].split(",")
    language = p.props.get("ProductLanguage")
    return [] if language in languages else ["%s not in %s" % (language, p.summary.get(7))]


def ice82_duplicates(p):
    bad = []
    for t in SEQUENCES:
        numbers = collections.defaultdict(list)
        for a, (n, _) in p.seq(t).items():
            if n and n > 0:
                numbers[n].append(a)
        bad += ["%s: %s at %d" % (t, sorted(v), n) for n, v in numbers.items() if len(v) > 1]
    return bad


def ice84(p):
    return ["%s in %s: %s" % (a, t, s[a][1]) for t in ("AdvtExecuteSequence", "AdminExecuteSequence",
                                                       "InstallExecuteSequence")
            for s in [p.seq(t)] for a in UNCONDITIONED if a in s and s[a][1]]


def ice86(p):
    return ["%s.%s" % (t, c) for t, c, _, v in column_values(p, CONDITION_COLUMNS)
            if "AdminUser" in condition_names(v)]


def ice90(p):
    return [s["Shortcut"] for s in p.rows("Shortcut") if public(s["Directory_"])
            and p.under(s["Directory_"], PER_USER_ONLY | ALLUSERS_VARIES)]


def ice91(p):
    bad = ["file %s" % f["File"] for f in p.rows("File")
           if p.under(p.components.get(f["Component_"], {}).get("Directory_"), PER_USER_ONLY)]
    return bad + ["shortcut %s" % s["Shortcut"] for s in p.rows("Shortcut")
                  if p.under(s["Directory_"], PER_USER_ONLY)]


def ice92(p):
    bad = []
    for n, c in p.components.items():
        attributes = int(c["Attributes"])
        if attributes & 16 and not c["ComponentId"]:
            bad.append("%s: permanent, no ComponentId" % n)
        if attributes & 16 and attributes & 1024:
            bad.append("%s: permanent and uninstall-on-supersedence" % n)
    return bad


def ice96(p):
    if "AdvtExecuteSequence" not in p:
        return []
    s = p.seq("AdvtExecuteSequence")
    return [a for a in ("PublishFeatures", "PublishProduct") if at(s, a) is None]


def ice104_objects(p):
    bad = []
    for r in p.rows("MsiLockPermissionsEx"):
        column = LOCKABLE.get(r["Table"])
        if not column or r["LockObject"] not in {x[column] for x in p.rows(r["Table"])}:
            bad.append("%s: %s in %s" % (r["MsiLockPermissionsEx"], r["LockObject"], r["Table"]))
    return bad


def ice104_sddl(p):
    def valid(text):
        outside = re.sub(r"<[^<>]*>", "", text)
        return text and "[" not in outside and SDDL.fullmatch(text)

    return ["%s: %s" % (r["MsiLockPermissionsEx"], r["SDDLText"])
            for r in p.rows("MsiLockPermissionsEx") if not valid(r["SDDLText"])]


RULES = [
    ("ICE02", "references between the Component, File, and Registry tables are reciprocal", ice02),
    ("ICE03", 'validates ... foreign keys ("Not A Valid Foreign Key")', ice03_foreign_keys),
    ("ICE03", 'validates the data types ("Not A Nullable Column")', ice03_nullable),
    ("ICE03", 'validates the data types ("String overflow (greater than length permitted in '
     'column)")', ice03_overflow),
    ("ICE03", 'validates the data types ("Bad CustomSource data")', ice03_custom_source),
    ("ICE03", 'validates the data types ("Invalid identifier", "Invalid GUID string", "Invalid '
     'version string", "Bad conditional string", "Bad shortcut target" and others)', ice03_values),
    ("ICE04", "the sequence number of every file in the File table is less than or equal to the "
     "largest sequence number in the LastSequence column", ice04),
    ("ICE05", "the required properties: ProductName, ProductLanguage, ProductVersion, "
     "ProductCode, and Manufacturer",
     lambda p: [n for n in ("ProductName", "ProductLanguage", "ProductVersion", "ProductCode",
                            "Manufacturer") if not p.props.get(n)]),
    ("ICE06", "Validates for missing column or tables in the database (columns of the tables' "
     "pages)", ice06),
    ("ICE08", "Every component must have a unique GUID",
     lambda p: [i for i, n in collections.Counter(c["ComponentId"] for c in p.components.values()
                                                  if c["ComponentId"]).items() if n > 1]),
    ("ICE09", "the permanent bit is set for every component marked for installation into the "
     "SystemFolder", ice09),
    ("ICE10", "A child feature may not disallow advertisement while its parent feature allows "
     "advertisement", ice10),
    ("ICE12", "the CostFinalize action occurs in any sequence table containing actions of the "
     "type Custom Action Type 35 or Custom Action Type 51", ice12_costfinalize),
    ("ICE12", "every Custom Action Type 35 comes after the CostFinalize action", ice12_type35),
    ("ICE12", "every Custom Action Type 51 that has a foreign key to the Directory table in the "
     "Source column ... comes before the CostFinalize action", ice12_type51),
    ("ICE14", "root parent features do not have the msidbFeatureAttributesFollowParent bit set; "
     "No feature can be its own parent", ice14),
    ("ICE16", "the value of the ProductName property ... is no greater than 63 characters in "
     "length", lambda p: [n for n in [p.props.get("ProductName", "")] if len(n) > 63]),
    ("ICE18", "any empty directories used as a key path for a component are listed in the "
     "CreateFolder table", ice18),
    ("ICE19", "advertised components or shortcuts have a ComponentId", ice19),
    ("ICE21", "every component in the Component table belongs to a feature",
     lambda p: [n for n in p.components
                if n not in {r["Component_"] for r in p.rows("FeatureComponents")}]),
    ("ICE24", "the ProductCode Property is a valid GUID data type",
     lambda p: [c for c in [p.props.get("ProductCode", "")] if not GUID.fullmatch(c)]),
    ("ICE24", "the ProductVersion Property is a valid product version",
     lambda p: [v for v in [p.props.get("ProductVersion", "")] if not product_version(v)]),
    ("ICE24", "the ProductLanguage Property is a valid Language data type",
     lambda p: [v for v in [p.props.get("ProductLanguage", "")]
                if not (v.isdigit() and int(v) <= 65535)]),
    ("ICE26", "contain the actions that are required by the table and does not contain any "
     "actions disallowed in the table", ice26),
    ("ICE27", "the actions ... are a standard actions, a custom action listed in the CustomAction "
     "table, or a dialog box (and Only the following actions can be used in the "
     "AdvtExecuteSequence table)", ice27_known),
    ("ICE27", "actions subject to sequencing restrictions are in the correct relative order",
     ice27_order),
    ("ICE27", "actions restricted to a particular section of the sequence are located where "
     "they belong", ice27_sections),
    ("ICE27", "the InstallFinalize action must be in the table if and only if there are actions "
     "in the Execution section", ice27_finalize),
    ("ICE29", "truncated stream names remain unique", ice29),
    ("ICE30", "the installation of components containing the same file never installs the file "
     "more than once in the same directory", ice30),
    ("ICE32", "keys and foreign keys ... are of the same size and column definition types", ice32),
    ("ICE35", "components containing compressed files stored in a cabinet file are not set to "
     "run from source", ice35),
    ("ICE36", "every icon in the Icon table is listed at least once in the ARPPRODUCTICON "
     "property or the Class, ProgId, or Shortcut tables",
     lambda p: [i for i in p.keyed("Icon") if i != p.props.get("ARPPRODUCTICON") and i not in
                {r.get("Icon_") for t in ("Shortcut", "Class", "ProgId") for r in p.rows(t)}]),
    ("ICE38", "every component being installed under the current user's profile also specifies "
     "a registry key under the HKEY_CURRENT_USER root in the KeyPath column", ice38),
    ("ICE39", "checks the format of the Word Count, Page Count, Template, Revision Number, "
     "Create Time/Date, Last Saved and Last Printed properties", ice39_format),
    ("ICE39", "posts a warning if ... the source is compressed ... [and] files are also marked "
     "as compressed in the Attributes column of the File table", ice39_compressed),
    ("ICE40", "posts warnings on: The REINSTALLMODE property has been overridden",
     lambda p: [n for n in p.props if n == "REINSTALLMODE"]),
    ("ICE43", "non-advertised shortcuts [in the user's profile] are in components having a HKCU "
     "registry entry as their key path", ice43),
    ("ICE45", "bit field columns in the database do not set any reserved bits to 1", ice45),
    ("ICE46", "checks for custom properties ... that differ from a system defined property only "
     "by the case", ice46),
    ("ICE47", "Checks for features with more than 1600 components",
     lambda p: ["%s: %d" % fn for fn in collections.Counter(
         r["Feature_"] for r in p.rows("FeatureComponents")).items() if fn[1] > 1600]),
    ("ICE48", "checks for directories that are hard-coded to local paths in the Property table",
     lambda p: ["%s = %s" % nv for nv in p.props.items()
                if nv[0] in p.dirs and re.match(r"[A-Za-z]:", nv[1])]),
    ("ICE49", "checks for default registry entries that are not a REG_SZ type",
     lambda p: [r["Registry"] for r in p.registry.values() if not r["Name"]
                and r["Value"].startswith("#") and not r["Value"].startswith("##")]),
    ("ICE50", "shortcut icons are specified to display correctly and match their target file's "
     "extension", ice50),
    ("ICE52", "all properties set in the Property column of the AppSearch table must be public "
     "properties", lambda p: [r["Property"] for r in p.rows("AppSearch") if not public(r["Property"])]),
    ("ICE53", "checks for entries in the Registry table that write private installer information "
     "or policy values", ice53),
    ("ICE54", "checks for components that use a companion file as their key path",
     lambda p: ["%s: %s" % (n, c["KeyPath"]) for n, c in p.components.items()
                if c["KeyPath"] in p.files and p.files[c["KeyPath"]]["Version"] in p.files]),
    ("ICE56", "a single root directory, that the root is the TARGETDIR property, and that the "
     "SourceDir property value is in the DefaultDir column", ice56),
    ("ICE57", "individual components do not mix per-machine and per-user data", ice57),
    ("ICE58", "your Media Table does not have more than 80 rows",
     lambda p: ["%d rows" % len(p.rows("Media"))] if len(p.rows("Media")) > 80 else []),
    ("ICE59", "advertised shortcuts belong to components that are installed by the target "
     "feature of the shortcut", ice59),
    ("ICE60", "If the file is not a font and has a version, then it must have a language; no "
     "versioned files are listed in the MsiFileHash table", ice60),
    ("ICE61", "All ActionProperty properties are not pre-authored in the Property table",
     lambda p: [n for n in upgrade_properties(p) if n in p.props]),
    ("ICE61", "All ActionProperty properties are Public Properties",
     lambda p: [n for n in upgrade_properties(p) if not public(n)]),
    ("ICE61", "All ActionProperty properties are included in the SecureCustomProperties property",
     lambda p: [n for n in upgrade_properties(p)
                if n not in p.props.get("SecureCustomProperties", "").split(";")]),
    ("ICE61", "All ActionProperty properties are unique to each record in the Upgrade table",
     lambda p: [n for n, k in collections.Counter(upgrade_properties(p)).items() if k > 1]),
    ("ICE61", "All VersionMax values are not less than the corresponding VersionMin values; "
     "VersionMin and VersionMax values are valid product versions", ice61_versions),
    ("ICE61", "No attempt is made to remove a newer or equal version of the current product",
     ice61_newer),
    ("ICE63", "RemoveExistingProducts may be placed: Between InstallValidate and "
     "InstallInitialize; after InstallInitialize if the actions between ... do not generate any "
     "script actions; Immediately after InstallExecute or InstallExecuteAgain; After "
     "InstallFinalize", ice63),
    ("ICE64", "new directories in the user profile are removed correctly in roaming scenarios",
     ice64),
    ("ICE66", "uses the tables in the database to determine which schema your database should use",
     ice66),
    ("ICE67", "the target of a non-advertised shortcut belongs to the same component as the "
     "shortcut itself, or ... the target component ... does not change installation locations",
     ice67),
    ("ICE68", "all custom action types needed for an installation are valid", ice68),
    ("ICE69", "substrings of the form [$componentkey] within a Formatted string do not "
     "cross-reference components; [#FileKey] ... belonging to the same component", ice69),
    ("ICE70", "integer values for registry entries are specified correctly", ice70),
    ("ICE71", "the Media Table contains an entry with DiskId equal to 1",
     lambda p: ["no DiskId 1"] if p.rows("Media") and "1" not in p.keyed("Media") else []),
    ("ICE72", "only type 19, type 35, and type 51 custom actions are allowed in the "
     "AdvtExecuteSequence table",
     lambda p: [a for a in p.seq("AdvtExecuteSequence")
                if a in p.actions and p.ca_type(a) & 0x3F not in BUILT_IN]),
    ("ICE73", "your package does not reuse package codes, upgrade codes, or product codes of the "
     "Windows Installer SDK samples", ice73),
    ("ICE74", "the FASTOEM property has not been authored into the Property Table",
     lambda p: [n for n in p.props if n == "FASTOEM"]),
    ("ICE75", "custom actions that use an installed file as their source are sequenced after the "
     "CostFinalize action", ice75),
    ("ICE77", "in-script custom actions are sequenced after the InstallInitialize Action and "
     "before the InstallFinalize Action", ice77),
    ("ICE78", "the AdvtUISequence Table either does not exist or is empty",
     lambda p: list(p.seq("AdvtUISequence"))),
    ("ICE79", "validates the references to components and features entered in the database "
     "fields using the Condition data type", ice79),
    ("ICE80", "Template Summary ... correctly specifies ... depending on the presence of 64-bit "
     "components or custom action scripts", ice80_platform),
    ("ICE80", "the language ID specified by the ProductLanguage property must be contained in the "
     "Template Summary Property", ice80_language),
    ("ICE82", "posts a warning if there are two actions with the same sequence number",
     ice82_duplicates),
    ("ICE82", "RegisterProduct Action, RegisterUser Action, PublishProduct Action, and "
     "PublishFeatures Action are all present in the InstallExecuteSequence table",
     lambda p: [a for a in REGISTRATION if at(p.seq("InstallExecuteSequence"), a) is None]),
    ("ICE84", "the following standard actions have not been set with conditions", ice84),
    ("ICE86", "Package authors should use the Privileged property in conditional statements "
     "[, not AdminUser]", ice86),
    ("ICE87", "the following properties have not been authored in the Property Table",
     lambda p: [n for n in COMMAND_LINE_ONLY if n in p.props]),
    ("ICE90", "posts a warning if ... a shortcut's directory has been specified as a public "
     "property", ice90),
    ("ICE91", "posts a warning if a file, .ini file, or shortcut file is installed into a "
     "per-user only directory", ice91),
    ("ICE92", "a component without a Component Id GUID is not also specified as a permanent "
     "component; no component has both ... Permanent and ... UninstallOnSupersedence", ice92),
    ("ICE93", "[warns if] a custom action uses the same name as a standard action",
     lambda p: [a for a in p.actions if a in STANDARD_ACTIONS]),
    ("ICE96", "the PublishFeatures action and the PublishProduct action are entered in the "
     "AdvtExecuteSequence table", ice96),
    ("ICE99", "no property name entered in the Directory table duplicates a name reserved for "
     "the public or private use of the Windows Installer",
     lambda p: [d for d in p.dirs if d in RESERVED_FOR_DIRECTORIES]),
    ("ICE101", "no value in the Feature column of the Feature table exceeds a maximum length of "
     "38 characters", lambda p: [f for f in p.features if len(f) > 38]),
    ("ICE104", "only one of the two tables: MsiLockPermissionsEx and LockPermissions is present",
     lambda p: ["both"] if "LockPermissions" in p and "MsiLockPermissionsEx" in p else []),
    ("ICE104", "Could not find item ... which is referenced in the MsiLockPermissionsEx table",
     ice104_objects),
    ("ICE104", "SDDLText ... is required to be a valid FormattedSDDLText data type", ice104_sddl),
]


def failures(package, ice=None, rules=RULES):
    """(words, what breaks them) of every broken rule, or only ice's."""
    p = package if isinstance(package, Package) else Package(package)
    return [(words, bad) for number, words, rule in rules if ice in (None, number)
            for bad in [rule(p)] if bad]


def main(path):
    from package_rules import RULES as OWN_RULES
    p = Package(path)
    broken = 0
    for number, words, rule in RULES + OWN_RULES:
        bad = rule(p)
        broken += bool(bad)
        print("%s  %s: %s%s" % ("FAIL" if bad else "ok  ", number, words,
                                ": %s" % (bad,) if bad else ""))
    print("%d rules, %s" % (len(RULES + OWN_RULES), "%d broken" % broken if broken else "all hold"))
    return 1 if broken else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: ice.py PACKAGE")
    sys.exit(main(sys.argv[1]))
