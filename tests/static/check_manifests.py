"""The package managers' manifests that package.sh --release-url writes,
read back with the YAML and JSON libraries and held against the files they
describe: what winget and scoop rely on. The official schemas cannot be
fetched here, so the fields are checked, not the schemas.

    check_manifests(PACKAGES, VERSION, URL) checks PACKAGES/manifests.
"""
import hashlib
import json
import os
import re

import yaml

from check_msi import properties
from report import check

# What winget requires of each file of a multi-file manifest.
WINGET_REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher",
                      "PackageName", "License", "ShortDescription"],
}
INSTALLER_REQUIRED = ["Architecture", "InstallerType", "InstallerUrl", "InstallerSha256"]
SCOOP_REQUIRED = ["version", "description", "license", "url", "hash", "bin", "checkver",
                  "autoupdate"]
URL = "https://example.org/nosaver/v{version}/"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_manifests(packages, version, url=URL):
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
    check(sorted(winget) == sorted(WINGET_REQUIRED), "winget: a version, an installer and a "
          "default-locale manifest", sorted(winget))
    for kind, manifest in winget.items():
        missing = [k for k in WINGET_REQUIRED.get(kind, []) + ["ManifestType", "ManifestVersion"]
                   if not manifest.get(k)]
        check(not missing, "winget %s: the fields winget requires are there" % kind, missing)
    shared = {(m.get("PackageIdentifier"), m.get("PackageVersion"), m.get("ManifestVersion"))
              for m in winget.values()}
    check(len(shared) == 1 and re.fullmatch(r"[^.\s]{1,32}(\.[^.\s]{1,32}){1,7}",
                                            next(iter(shared))[0])
          and next(iter(shared))[1] == version
          and tuple(map(int, next(iter(shared))[2].split("."))) >= (1, 6, 0),
          "winget: one identifier, version %s and manifest version 1.6 or later" % version, shared)
    check(winget["version"]["DefaultLocale"] == winget["defaultLocale"]["PackageLocale"] == "en-US",
          "winget: the default locale is en-US")
    locale = winget["defaultLocale"]
    check((locale["PackageName"], locale["Publisher"], locale["License"]) ==
          ("nosaver", "the nosaver developers", "MIT") and len(locale.get("Description", "")) > 80,
          "winget: name, publisher, MIT license and a description to show", locale)

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

    with open(os.path.join(packages, "manifests", "scoop", "nosaver.json")) as f:
        scoop = json.load(f)
    check(all(scoop.get(k) for k in SCOOP_REQUIRED), "scoop: the fields it relies on",
          [k for k in SCOOP_REQUIRED if not scoop.get(k)])
    check((scoop["version"], scoop["hash"], scoop["url"], scoop["bin"], scoop.get("extract_dir")) ==
          (version, sha256(files[".zip"]), base + name + ".zip", "nosaver.exe", name),
          "scoop: the version, the zip's SHA-256 and address, nosaver.exe on the PATH", scoop)
    checkver, autoupdate = scoop["checkver"], scoop["autoupdate"]
    found = base.startswith(checkver["url"]) and re.match(checkver["regex"],
                                                          base[len(checkver["url"]):])
    check(found and found.group(1) == version,
          "scoop: checkver finds this version in the listing above it", checkver)
    check((autoupdate["url"].replace("$version", version),
           autoupdate["extract_dir"].replace("$version", version)) == (scoop["url"], name),
          "scoop: autoupdate gives this release's address back", autoupdate)
