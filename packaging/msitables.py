"""Windows Installer packages read back with msitools: one reader of their
tables for the packaging (msi.py, manifests.py), the rules that validate
a package (ice.py, package_rules.py) and the tests.

    Package(PATH)      a package's tables, each read once, when first asked
    read_table(PATH, NAME), msiinfo(ARGUMENT...)
    properties(PATH)   the Property table as a dict
    package_code(PATH) the package code of the summary information

The flags of a custom action's Type (CustomAction table) are named here
too, for whoever reads or writes them.
"""
import collections
import functools
import os
import subprocess
import tempfile

# Custom action types (CustomAction table, Type column).
IN_SCRIPT, NO_IMPERSONATE, ROLLBACK, COMMIT = 0x400, 0x800, 0x100, 0x200
CONTINUE, ASYNC, SCRIPT_64, TS_AWARE = 0x40, 0x80, 0x1000, 0x4000

Table = collections.namedtuple("Table", "columns types keys rows")
EMPTY = Table((), (), (), [])


class Package:
    """A package's tables, each read once, when first asked for."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.names = set(msiinfo("tables", self.path).split())
        self._tables = {}

    def __contains__(self, name):
        return name in self.names

    def table(self, name):
        if name not in self._tables:
            self._tables[name] = read_table(self.path, name) if name in self.names else EMPTY
        return self._tables[name]

    def rows(self, name):
        return self.table(name).rows

    def keyed(self, name):
        table = self.table(name)
        return {r[table.keys[0]]: r for r in table.rows}

    @functools.cached_property
    def summary(self):
        return {int(r["PropertyId"]): r["Value"] for r in self.rows("_SummaryInformation")}

    @functools.cached_property
    def props(self):
        return {r["Property"]: r["Value"] for r in self.rows("Property")}

    @functools.cached_property
    def actions(self):
        return self.keyed("CustomAction")

    @functools.cached_property
    def dirs(self):
        return self.keyed("Directory")

    @functools.cached_property
    def components(self):
        return self.keyed("Component")

    @functools.cached_property
    def files(self):
        return self.keyed("File")

    @functools.cached_property
    def features(self):
        return self.keyed("Feature")

    @functools.cached_property
    def registry(self):
        return self.keyed("Registry")

    def seq(self, name):
        """action: (sequence number or None, condition) of a sequence table."""
        return {r["Action"]: (int(r["Sequence"]) if r["Sequence"] else None, r["Condition"])
                for r in self.rows(name)}

    def ca_type(self, action):
        row = self.actions.get(action)
        return int(row["Type"]) if row else None

    def in_script(self, action):
        return (self.ca_type(action) or 0) & IN_SCRIPT != 0

    def under(self, directory, roots):
        """Whether directory is one of roots or lies below one."""
        seen = set()
        while directory and directory not in seen:
            if directory in roots:
                return True
            seen.add(directory)
            directory = self.dirs.get(directory, {}).get("Directory_Parent")
        return False


def msiinfo(*arguments):
    """msiinfo's output; it runs in a folder of its own, as exporting a table
    with streams writes them into the current folder."""
    with tempfile.TemporaryDirectory() as scratch:
        return subprocess.run(["msiinfo", *arguments], check=True, capture_output=True,
                              cwd=scratch).stdout.decode("utf-8", "replace")


def read_table(path, name):
    lines = msiinfo("export", path, name).replace("\r\n", "\n").split("\n")
    columns, types, keys = lines[0].split("\t"), lines[1].split("\t"), lines[2].split("\t")[1:]
    rows = [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]
    return Table(tuple(columns), dict(zip(columns, types)), tuple(keys), rows)


def properties(path):
    """The Property table: {name: value}."""
    return Package(path).props


def package_code(path):
    """The package code: the summary information's revision number."""
    return Package(path).summary.get(9)
