#!/usr/bin/env python3
"""Every relative link of the README and of docs/ leads to a file or
folder of the project, and every anchor to a heading of its file; the
PowerShell self-check of the README and of the guide for Windows users
is the same text; every silent or unattended msiexec command they give
says what to do about a restart, as without it msiexec restarts the
computer by itself whenever a file is in use.

    check_docs.py SOURCE
"""
import glob
import os
import re
import sys

from report import check, finish


# msiexec's levels that show no prompt before a restart, and its options
# that decide about a restart.
SILENT = re.compile(r"(?i)(?:^|\s)/(?:quiet|passive|q[nbr]?[+!-]*)(?=\s|$)")
RESTART = re.compile(r"(?i)(?:^|\s)(?:/norestart|/promptrestart|/forcerestart|REBOOT=)")


def msiexec_commands(text, markdown=True):
    """The msiexec commands of a page: in Markdown each line of a fenced
    block and each code span (its lines joined) that runs msiexec;
    elsewhere each line that does."""
    if not markdown:
        return [line.strip() for line in text.splitlines() if "msiexec" in line]
    fenced = re.findall(r"(?ms)^```[^\n]*\n(.*?)^```", text)
    rest = re.sub(r"(?ms)^```[^\n]*\n.*?^```", "", text)
    spans = [" ".join(span.split()) for span in re.findall(r"`([^`]+)`", rest)]
    return [c for c in [line for block in fenced for line in block.splitlines()] + spans
            if "msiexec" in c]


def unrestrained(commands):
    """The silent or unattended ones that leave a restart to msiexec."""
    return [c for c in commands if SILENT.search(c) and not RESTART.search(c)]


def anchors(path):
    """The anchors of a Markdown file's headings, as GitHub makes them."""
    with open(path) as f:
        return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
                for line in f if line.startswith("#")}


def main(source):
    pages = [os.path.join(source, "README.md")] + sorted(
        glob.glob(os.path.join(glob.escape(source), "docs", "*.md")))
    links = 0
    for page in pages:
        with open(page) as f:
            targets = re.findall(r"\]\(([^)\s]+)\)", f.read())
        broken = []
        for target in targets:
            if re.match(r"[a-z]+:", target):
                continue
            links += 1
            path, _, anchor = target.partition("#")
            full = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(full) or (anchor and not (full.endswith(".md") and
                                                             anchor in anchors(full))):
                broken.append(target)
        check(not broken, "%s: every relative link resolves" % os.path.relpath(page, source), broken)
    # The README fences the self-check, the guide indents it by 4 spaces.
    with open(os.path.join(source, "README.md")) as f:
        fenced = re.findall(r"(?ms)^```powershell\n(.*?)^```$", f.read())
    with open(os.path.join(source, "src", "res", "README-windows.txt")) as f:
        indented = [re.sub(r"(?m)^ {4}", "", block) for block in
                    re.findall(r"(?m)(?:^ {4}.*\n)+", f.read()) if "Add-Type" in block]
    check(len(fenced) == 1 and fenced == indented,
          "README.md and src/res/README-windows.txt give the same PowerShell self-check",
          (fenced, indented))
    guide = os.path.join(source, "src", "res", "README-windows.txt")
    commands = 0
    for page in pages + [guide]:
        with open(page) as f:
            found = msiexec_commands(f.read(), page.endswith(".md"))
        commands += len(found)
        check(not unrestrained(found), "%s: every silent msiexec command carries /norestart"
              % os.path.relpath(page, source), unrestrained(found))
    check(unrestrained(msiexec_commands("Run `msiexec /x\n  nosaver.msi /qb!` as admin.")) ==
          ["msiexec /x nosaver.msi /qb!"],
          "a silent msiexec command without a restart option is caught")
    return finish("%d relative links in %d pages, %d msiexec commands" % (links, len(pages),
                                                                       commands))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: check_docs.py SOURCE")
    sys.exit(main(sys.argv[1]))
