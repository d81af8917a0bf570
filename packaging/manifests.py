#!/usr/bin/env python3
"""The package managers' manifests of a release, made from its files.

    manifests.py check-url URL [HOMEPAGE]
    manifests.py write URL VERSION PACKAGES OUT [HOMEPAGE]

URL is where the release files are published, with {version} standing
for the version, e.g. https://example.org/nosaver/v{version}/; each file's
address is URL followed by its name. HOMEPAGE is the project's page, which
both manifests name; without it, it is the folder that holds the versions'
folders, where scoop's checkver looks for new versions
(https://example.org/nosaver/ for the URL above). check-url refuses a URL
that is not https, lacks {version} in its path or does not end in "/", and
a HOMEPAGE that is not an https address. write reads the zip and the .msi
of VERSION in PACKAGES and writes into OUT:

    winget/nosaver.nosaver.yaml                 the version manifest
    winget/nosaver.nosaver.installer.yaml       the zip (portable) and the .msi
    winget/nosaver.nosaver.locale.en-US.yaml    name, publisher, license, homepage, texts
    scoop/nosaver.json                          the zip and homepage, with checkver and autoupdate

Every hash, version and product code is taken from the files themselves,
never typed. tests/static/check_manifests.py holds them to the rules of
winget's manifest schema 1.6.0 and of scoop's manifest schema.
"""
import hashlib
import json
import os
import re
import sys
import urllib.parse

import yaml

from msitables import properties

IDENTIFIER = "nosaver.nosaver"
MANIFEST_VERSION = "1.6.0"
PUBLISHER = "the nosaver developers"
LICENSE = "MIT"
SHORT = "Keeps the screen saver from starting."
DESCRIPTION = (
    "nosaver keeps the screen saver from starting. While it runs, it sends one mouse event "
    "every 5 seconds at the place where the mouse pointer already is: Windows counts it as "
    "input, but the pointer does not move and nothing is clicked. It has no window, tray icon "
    "or settings. Start it with nosaver; stop it with nosaver close. There is one nosaver per "
    "logged-on user session.")


def url_problem(url, release=True):
    """Why URL cannot serve as the release address (or, when release is
    False, as the homepage), or None."""
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:
        parts = None
    if not parts or parts.scheme != "https" or not parts.netloc:
        return "is not an https URL"
    if not release:
        # winget takes a homepage of up to 2048 characters.
        if re.search(r"[\s\"'<>\\^`|{}]", url) or len(url) > 2048:
            return "holds characters that an address cannot, or is over 2048 long"
        return None
    if re.search(r"[\s\"'<>\\^`|]", url) or parts.query or parts.fragment:
        return "holds characters, a query or a fragment that a file address cannot"
    if "{version}" not in parts.path:
        return "lacks {version} in its path, where each release's files go"
    rest = url.replace("{version}", "")
    if "{" in rest or "}" in rest:
        return "holds braces other than {version}"
    if not url.endswith("/"):
        return "does not end in /, which the files' names follow"
    return None


def listing(url):
    """The address of the folder that holds the versions' folders of URL,
    and the pattern of the version's folder name in it."""
    parts = urllib.parse.urlsplit(url)
    segments = parts.path.split("/")
    at = next(i for i, s in enumerate(segments) if "{version}" in s)
    folder = urllib.parse.urlunsplit(parts._replace(path="/".join(segments[:at]) + "/"))
    return folder, re.escape(segments[at]).replace(re.escape("{version}"), r"([\d.]+)")


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest().upper()


def msi_codes(msi):
    """The product and upgrade codes, as the package itself holds them."""
    values = properties(msi)
    return values["ProductCode"], values["UpgradeCode"]


def dump_yaml(path, kind, data):
    with open(path, "w", newline="\n") as f:
        f.write("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n"
                % (kind, MANIFEST_VERSION))
        yaml.safe_dump(data, f, sort_keys=False, allow_unicode=False, width=100)


def write(url, version, packages, out, homepage=None):
    folder, pattern = listing(url)
    homepage = homepage or folder
    base = url.replace("{version}", version)
    name = "nosaver-%s-win32" % version
    zip_path, msi = (os.path.join(packages, name + ext) for ext in (".zip", ".msi"))
    product, upgrade = msi_codes(msi)
    head = {"PackageIdentifier": IDENTIFIER, "PackageVersion": version}
    tail = {"ManifestVersion": MANIFEST_VERSION}

    winget = os.path.join(out, "winget")
    os.makedirs(winget, exist_ok=True)
    dump_yaml(os.path.join(winget, IDENTIFIER + ".yaml"), "version",
              {**head, "DefaultLocale": "en-US", "ManifestType": "version", **tail})
    dump_yaml(os.path.join(winget, IDENTIFIER + ".installer.yaml"), "installer", {
        **head,
        "Installers": [
            {"Architecture": "x86", "InstallerType": "zip", "NestedInstallerType": "portable",
             "NestedInstallerFiles": [{"RelativeFilePath": name + "\\nosaver.exe",
                                       "PortableCommandAlias": "nosaver"}],
             "InstallerUrl": base + name + ".zip", "InstallerSha256": sha256(zip_path)},
            {"Architecture": "x86", "InstallerType": "msi", "Scope": "machine",
             "InstallerUrl": base + name + ".msi", "InstallerSha256": sha256(msi),
             # winget passes an .msi /quiet or /passive alone, with which
             # msiexec restarts the computer unasked when a file is in use.
             "InstallerSwitches": {"Silent": "/quiet /norestart",
                                   "SilentWithProgress": "/passive /norestart"},
             "ExpectedReturnCodes": [
                 {"InstallerReturnCode": 3010, "ReturnResponse": "rebootRequiredToFinish"},
                 {"InstallerReturnCode": 1641, "ReturnResponse": "rebootInitiated"}],
             "ProductCode": product, "UpgradeBehavior": "install",
             "AppsAndFeaturesEntries": [{"DisplayName": "nosaver", "Publisher": PUBLISHER,
                                         "ProductCode": product, "UpgradeCode": upgrade}]},
        ],
        "ManifestType": "installer", **tail})
    dump_yaml(os.path.join(winget, IDENTIFIER + ".locale.en-US.yaml"), "defaultLocale", {
        **head, "PackageLocale": "en-US", "Publisher": PUBLISHER, "PackageName": "nosaver",
        "PackageUrl": homepage, "License": LICENSE, "ShortDescription": SHORT,
        "Description": DESCRIPTION,
        "Moniker": "nosaver", "Tags": ["screensaver", "idle", "keep-awake"],
        "ManifestType": "defaultLocale", **tail})

    scoop = os.path.join(out, "scoop")
    os.makedirs(scoop, exist_ok=True)
    with open(os.path.join(scoop, "nosaver.json"), "w", newline="\n") as f:
        json.dump({
            "version": version,
            "description": SHORT,
            "homepage": homepage,
            "license": LICENSE,
            "url": base + name + ".zip",
            "hash": sha256(zip_path).lower(),
            "extract_dir": name,
            "bin": "nosaver.exe",
            # checkver reads the folder above the versions' folders and
            # takes the newest name that fits the pattern.
            "checkver": {"url": folder, "regex": pattern + "/"},
            "autoupdate": {"url": url.replace("{version}", "$version") + "nosaver-$version-win32.zip",
                           "extract_dir": "nosaver-$version-win32",
                           "hash": {"url": "$url.sha256"}},
        }, f, indent=4)
        f.write("\n")


if __name__ == "__main__":
    if sys.argv[1:2] == ["check-url"] and len(sys.argv) in (3, 4):
        problems = [("release URL", sys.argv[2], url_problem(sys.argv[2]))] + [
            ("homepage", page, url_problem(page, release=False)) for page in sys.argv[3:]]
        sys.exit(next(("the %s %r %s" % p for p in problems if p[2]), 0))
    if sys.argv[1:2] == ["write"] and len(sys.argv) in (6, 7):
        sys.exit(write(*sys.argv[2:]))
    sys.exit("usage: manifests.py check-url URL [HOMEPAGE] | "
             "write URL VERSION PACKAGES OUT [HOMEPAGE]")
