"""The package managers' manifests that package.sh --release-url writes,
read back with the YAML and JSON libraries, held to the rules of the
package managers' schemas and against the files they describe: what winget
and scoop rely on.

    check_manifests(PACKAGES, VERSION, URL, HOMEPAGE) checks PACKAGES/manifests.
"""
import hashlib
import json
import os
import re

import yaml
from jsonschema import Draft7Validator, Draft202012Validator, FormatChecker

from msitables import properties
from report import check


def _given(**rule):
    return {k: v for k, v in rule.items() if v is not None}


def text(least=None, most=None, pattern=None, **more):
    return _given(type="string", minLength=least, maxLength=most, pattern=pattern, **more)


def array(item, least=0, most=None, unique=False):
    return _given(type="array", items=item, minItems=least, maxItems=most, uniqueItems=unique)


def one_of(*values):
    return {"enum": list(values)}


def record(required, **fields):
    """An object of these fields only. The tables below name only the fields
    we write, so that a new field fails until its rule is added; where a
    schema takes a string or a list, they take the string we write."""
    return {"type": "object", "required": required, "properties": fields,
            "additionalProperties": False}


# winget manifest schema 1.6.0 (schemas/JSON/manifests/v1.6.0 of the winget
# client's repository: manifest.version, manifest.installer and
# manifest.defaultLocale), in its own keywords.
WINGET_SCHEMA = "1.6.0"
_NAME = r'[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}'
_NUMBER = (r"(0|[1-9][0-9]{0,3}|[1-5][0-9]{4}|6[0-4][0-9]{3}|65[0-4][0-9]{2}|655[0-2][0-9]"
           r"|6553[0-5])")
_EVERY = {  # the fields of all three
    "PackageIdentifier": text(most=128, pattern=r"^%s(\.%s){1,7}$" % (_NAME, _NAME)),
    "PackageVersion": text(most=128, pattern=r'^[^\\/:\*\?"<>\|\x01-\x1f]+$'),
    "ManifestVersion": text(pattern=r"^%s(\.%s){2}$" % (_NUMBER, _NUMBER)),
}
_REQUIRED = ["PackageIdentifier", "PackageVersion", "ManifestType", "ManifestVersion"]
LOCALE = text(most=20,
              pattern=r"^([a-zA-Z]{2,3}|[iI]-[a-zA-Z]+|[xX]-[a-zA-Z]{1,8})(-[a-zA-Z]{1,8})*$")
WEB_ADDRESS = text(most=2048, pattern=r"^([Hh][Tt][Tt][Pp][Ss]?)://.+$")
TAG, PRODUCT_CODE = text(1, 40), text(1, 255)
INSTALLER_TYPE = one_of("msix", "msi", "appx", "exe", "zip", "inno", "nullsoft", "wix", "burn",
                        "pwa", "portable")
INSTALLER = record(
    ["Architecture", "InstallerUrl", "InstallerSha256"],
    Architecture=one_of("x86", "x64", "arm", "arm64", "neutral"),
    InstallerType=INSTALLER_TYPE,
    NestedInstallerType=one_of("msix", "msi", "appx", "exe", "inno", "nullsoft", "wix", "burn",
                               "portable"),
    NestedInstallerFiles=array(record(["RelativeFilePath"], RelativeFilePath=text(1, 512),
                                      PortableCommandAlias=text(1, 40)), most=1024),
    Scope=one_of("user", "machine"),
    InstallerSwitches=record([], Silent=text(1, 512), SilentWithProgress=text(1, 512)),
    ExpectedReturnCodes=array(record(
        [], InstallerReturnCode={"type": "integer", "minimum": -2147483648, "maximum": 4294967295,
                                 "not": {"enum": [0]}},
        ReturnResponse=one_of("packageInUse", "packageInUseByApplication", "installInProgress",
                              "fileInUse", "missingDependency", "diskFull", "insufficientMemory",
                              "invalidParameter", "noNetwork", "contactSupport",
                              "rebootRequiredToFinish", "rebootRequiredForInstall",
                              "rebootInitiated", "cancelledByUser", "alreadyInstalled",
                              "downgrade", "blockedByPolicy", "systemNotSupported", "custom")),
        most=128),
    InstallerUrl=WEB_ADDRESS,
    InstallerSha256=text(pattern=r"^[A-Fa-f0-9]{64}$"),
    ProductCode=PRODUCT_CODE,
    UpgradeBehavior=one_of("install", "uninstallPrevious"),
    AppsAndFeaturesEntries=array(record(
        [], DisplayName=text(1, 256), Publisher=text(1, 256), DisplayVersion=text(1, 128),
        ProductCode=PRODUCT_CODE, UpgradeCode=PRODUCT_CODE, InstallerType=INSTALLER_TYPE),
        most=128, unique=True))
WINGET = {
    "version": record(_REQUIRED + ["DefaultLocale"], **_EVERY, ManifestType={"const": "version"},
                      DefaultLocale=LOCALE),
    "installer": record(_REQUIRED + ["Installers"], **_EVERY, ManifestType={"const": "installer"},
                        Installers=array(INSTALLER, least=1, most=1024)),
    "defaultLocale": record(
        _REQUIRED + ["PackageLocale", "Publisher", "PackageName", "License", "ShortDescription"],
        **_EVERY, ManifestType={"const": "defaultLocale"}, PackageLocale=LOCALE,
        Publisher=text(2, 256), PackageName=text(2, 256), PackageUrl=WEB_ADDRESS,
        License=text(3, 512), ShortDescription=text(3, 256), Description=text(3, 10000),
        Moniker=TAG, Tags=array(TAG, most=16, unique=True)),
}

# scoop's app manifest schema (schema.json of its main repository, as it is
# since it requires homepage and license; JSON Schema draft-07). It forbids
# fields it does not name at the top and in checkver, autoupdate and the
# latter's hash, and requires url when no architecture gives one.
_URI = text(format="uri")
_HASH = (r"^([a-fA-F0-9]{64}|(sha1|sha256|sha512|md5):"
         r"([a-fA-F0-9]{32}|[a-fA-F0-9]{40}|[a-fA-F0-9]{64}|[a-fA-F0-9]{128}))$")
SCOOP = record(
    ["version", "homepage", "license", "url"],
    version=text(pattern=r"^[\w\.\-+_]+$"), description=text(), homepage=_URI,
    license={"anyOf": [text(), record(["identifier"], url=_URI, identifier=text())]},
    url=text(format="uri", **{"not": {"pattern": r"(\$)"}}), hash=text(pattern=_HASH),
    extract_dir=text(), bin=text(),
    checkver=record([], url=_URI, regex=text(format="regex")),
    autoupdate=record([], url=_URI, extract_dir=text(), hash=record([], url={"anyOf": [
        _URI, text(pattern=r"^(\$url|\$baseurl).[\w\d]+$"),
        text(pattern=r"^.*(\$url|\$baseurl).*$")]})))
# Checking "uri" takes python3-rfc3987: without it, this raises KeyError
# rather than let any address through.
FORMATS = FormatChecker(["uri", "regex"])


def check_schema(what, manifest, rules, validator):
    errors = ["%s: %s" % ("/".join(map(str, e.absolute_path)) or "top", e.message)
              for e in validator(rules, format_checker=FORMATS).iter_errors(manifest)]
    check(not errors, "%s: follows its schema's rules for every field written" % what, errors)


INSTALLER_REQUIRED = ["Architecture", "InstallerType", "InstallerUrl", "InstallerSha256"]
SCOOP_REQUIRED = ["version", "description", "homepage", "license", "url", "hash", "bin",
                  "checkver", "autoupdate"]
URL = "https://example.org/nosaver/v{version}/"
# The homepage named without --homepage: the folder above the versions' folders.
HOMEPAGE = "https://example.org/nosaver/"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_manifests(packages, version, url=URL, homepage=HOMEPAGE):
    name = "nosaver-%s-win32" % version
    files = {ext: os.path.join(packages, name + ext) for ext in (".zip", ".msi")}
    base = url.replace("{version}", version)
    folder = os.path.join(packages, "manifests", "winget")
    winget = {}
    for file in sorted(os.listdir(folder)):
        with open(os.path.join(folder, file)) as f:
            manifest = yaml.safe_load(f)
        winget[manifest.get("ManifestType")] = manifest
        check(file == manifest.get("PackageIdentifier", "?") + {
            "version": ".yaml", "installer": ".installer.yaml",
            "defaultLocale": ".locale.%s.yaml" % manifest.get("PackageLocale")}.get(
                manifest.get("ManifestType"), "?"),
            "winget: %s is named after its identifier and type" % file)
    check(sorted(winget) == sorted(WINGET), "winget: a version, an installer and a "
          "default-locale manifest", sorted(winget))
    for kind, manifest in winget.items():
        check_schema("winget %s" % kind, manifest, WINGET.get(kind, {}), Draft202012Validator)
    shared = {(m.get("PackageIdentifier"), m.get("PackageVersion"), m.get("ManifestVersion"))
              for m in winget.values()}
    check(len(shared) == 1 and next(iter(shared))[1:] == (version, WINGET_SCHEMA),
          "winget: one identifier, version %s and manifest version %s, whose rules are checked"
          % (version, WINGET_SCHEMA), shared)
    check(winget["version"]["DefaultLocale"] == winget["defaultLocale"]["PackageLocale"] == "en-US",
          "winget: the default locale is en-US")
    locale = winget["defaultLocale"]
    check((locale["PackageName"], locale["Publisher"], locale["License"], locale.get("PackageUrl"))
          == ("nosaver", "the nosaver developers", "MIT", homepage)
          and len(locale.get("Description", "")) > 80,
          "winget: name, publisher, MIT license, the homepage %s and a description to show"
          % homepage, locale)

    installers = {i.get("InstallerType"): i for i in winget["installer"]["Installers"]}
    check(sorted(installers) == ["msi", "zip"] and all(
        i["Architecture"] == "x86" and all(i.get(k) for k in INSTALLER_REQUIRED)
        for i in installers.values()), "winget: two x86 installers, the zip and the .msi",
        installers)
    product = properties(files[".msi"])["ProductCode"]
    for kind, ext in (("zip", ".zip"), ("msi", ".msi")):
        installer = installers.get(kind, {})
        check(installer.get("InstallerSha256", "").lower() == sha256(files[ext]) and
              installer.get("InstallerUrl") == base + name + ext,
              "winget %s: the file's SHA-256, and an address ending in its name" % kind, installer)
    nested = installers["zip"].get("NestedInstallerFiles", [{}])
    check(installers["zip"].get("NestedInstallerType") == "portable" and
          nested == [{"RelativeFilePath": name + "\\nosaver.exe", "PortableCommandAlias": "nosaver"}],
          "winget zip: the portable nosaver.exe inside it, on the PATH as nosaver", nested)
    check((installers["msi"].get("Scope"), installers["msi"].get("ProductCode")) ==
          ("machine", product), "winget msi: per machine, the product code msiinfo reads %s"
          % product, installers["msi"])
    switches = installers["msi"].get("InstallerSwitches", {})
    codes = {c.get("InstallerReturnCode"): c.get("ReturnResponse")
             for c in installers["msi"].get("ExpectedReturnCodes", [])}
    check(sorted(switches) == ["Silent", "SilentWithProgress"] and
          all("/norestart" in v.split() for v in switches.values()) and
          codes.get(3010) == "rebootRequiredToFinish",
          "winget msi: its silent installs never let msiexec restart the computer, and a restart "
          "it needs is reported", (switches, codes))

    with open(os.path.join(packages, "manifests", "scoop", "nosaver.json")) as f:
        scoop = json.load(f)
    check_schema("scoop", scoop, SCOOP, Draft7Validator)
    check(all(scoop.get(k) for k in SCOOP_REQUIRED), "scoop: the fields it relies on",
          [k for k in SCOOP_REQUIRED if not scoop.get(k)])
    check((scoop["version"], scoop["hash"], scoop["url"], scoop["bin"], scoop.get("extract_dir"),
           scoop.get("homepage")) ==
          (version, sha256(files[".zip"]), base + name + ".zip", "nosaver.exe", name, homepage),
          "scoop: the version, the zip's SHA-256 and address, nosaver.exe on the PATH, the "
          "homepage", scoop)
    checkver, autoupdate = scoop["checkver"], scoop["autoupdate"]
    found = base.startswith(checkver["url"]) and re.match(checkver["regex"],
                                                          base[len(checkver["url"]):])
    check(found and found.group(1) == version,
          "scoop: checkver finds this version in the listing above it", checkver)
    check((autoupdate["url"].replace("$version", version),
           autoupdate["extract_dir"].replace("$version", version)) == (scoop["url"], name),
          "scoop: autoupdate gives this release's address back", autoupdate)
