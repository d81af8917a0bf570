#!/usr/bin/env python3
"""Rewrites a zip so that the same files always give the same bytes.

    normalize_zip.py ZIP EPOCH

The archiver stores each file's access and change times and its owner,
which differ from build to build. This keeps the entries and their
contents, in name order, with one fixed time (EPOCH, seconds since 1970,
as UTC), the permission bits only, and no extra fields.
"""
import sys
import time
import zipfile


def main(path, epoch):
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # zip times start in 1980
    with zipfile.ZipFile(path) as source:
        entries = [(info, source.read(info)) for info in source.infolist()]
    with zipfile.ZipFile(path, "w") as target:
        for info, data in sorted(entries, key=lambda e: e[0].filename):
            mode = (info.external_attr >> 16) & 0o777
            directory = info.filename.endswith("/")
            fixed = zipfile.ZipInfo(info.filename, date_time=stamp)
            fixed.create_system = 3  # permissions are Unix mode bits
            fixed.external_attr = ((0o40000 if directory else 0o100000) |
                                   (0o755 if directory or mode & 0o111 else 0o644)) << 16
            if directory:
                fixed.external_attr |= 0x10  # MS-DOS directory attribute
            fixed.compress_type = zipfile.ZIP_STORED if directory else zipfile.ZIP_DEFLATED
            target.writestr(fixed, data, compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: normalize_zip.py ZIP EPOCH")
    main(sys.argv[1], sys.argv[2])
