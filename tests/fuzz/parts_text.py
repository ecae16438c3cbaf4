#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Writes a workbook's parts as the fuzz targets' parts text ("@@! name" lines, each followed
by the part's bytes), so the fuzzers start from real XML instead of compressed bytes.

    parts_text.py WORKBOOK OUTPUT
"""
import sys
import zipfile


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with zipfile.ZipFile(argv[0]) as z, open(argv[1], "wb") as out:
        for info in z.infolist():
            if info.is_dir():
                continue
            out.write(b"@@! " + info.filename.encode("utf-8") + b"\n")
            out.write(z.read(info))
            out.write(b"\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
