#!/usr/bin/env bash
# Runs a Python program of the project with Debian's own python3, which has
# pefile, yaml and jsonschema from Debian's packages, and the project's one
# import path: the tooling (scripts/), the packaging (packaging/) and the
# static checks' report (tests/static/). CTest, the scripts and the
# benchmarks start every Python program through it; no program changes
# sys.path, and one started by another inherits the path.
#
#   bash scripts/python.sh PROGRAM.py [ARGUMENT...]
here=$(cd "$(dirname "$0")/.." && pwd)
export PYTHONPATH="$here/scripts:$here/packaging:$here/tests/static"
exec /usr/bin/python3 "$@"
