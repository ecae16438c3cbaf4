#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Copies next to a huge shared-string table, in both directions.

Generates two workbooks: "huge" holds ITEMS distinct short strings in its shared-string table
and a sheet "Data" that uses a few hundred of them; "small" has a table of a few hundred
strings and a sheet "Small". Then runs, on fresh copies each round:
  huge->small  tessaro-cli copy --sheet huge.xlsx:Data  --dest small.xlsx
  small->huge  tessaro-cli copy --sheet small.xlsx:Small --dest huge.xlsx
and prints the median wall seconds and the peak resident memory of each:

    bench/huge_strings.py [--items 10000000] [--rounds 1] CLI
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import zipfile

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG = "http://schemas.openxmlformats.org/package/2006/relationships"
SYLLABLES = ["ka", "lo", "mi", "ne", "ru", "ta", "vo", "zi", "be", "du", "fe", "go", "hu", "ji", "po", "se"]
ROWS = 300


def word(i):
    """A short string, different for every i."""
    out = []
    n = i
    for _ in range(3):
        out.append(SYLLABLES[n % 16])
        n //= 16
    return "".join(out) + " " + str(i)


def write_book(path, sheet_name, items, cited):
    """A workbook whose table holds `items` strings and whose one sheet cites `cited`."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        z.writestr("[Content_Types].xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
                   '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
                   '<Default Extension="xml" ContentType="application/xml"/>'
                   '<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
                   '<Override PartName="/xl/worksheets/sheet1.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>'
                   '<Override PartName="/xl/styles.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"/>'
                   '<Override PartName="/xl/sharedStrings.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml"/>'
                   '</Types>')
        z.writestr("_rels/.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<Relationships xmlns="%s"><Relationship Id="rId1" Type="%s/officeDocument" Target="xl/workbook.xml"/>'
                   '</Relationships>' % (PKG, REL))
        z.writestr("xl/workbook.xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<workbook xmlns="%s" xmlns:r="%s"><sheets><sheet name="%s" sheetId="1" r:id="rId1"/></sheets>'
                   '</workbook>' % (MAIN, REL, sheet_name))
        z.writestr("xl/_rels/workbook.xml.rels",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<Relationships xmlns="%s">'
                   '<Relationship Id="rId1" Type="%s/worksheet" Target="worksheets/sheet1.xml"/>'
                   '<Relationship Id="rId2" Type="%s/styles" Target="styles.xml"/>'
                   '<Relationship Id="rId3" Type="%s/sharedStrings" Target="sharedStrings.xml"/>'
                   '</Relationships>' % (PKG, REL, REL, REL))
        z.writestr("xl/styles.xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<styleSheet xmlns="%s"><fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
                   '<fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills>'
                   '<borders count="1"><border/></borders><cellStyleXfs count="1"><xf/></cellStyleXfs>'
                   '<cellXfs count="1"><xf xfId="0"/></cellXfs></styleSheet>' % MAIN)
        rows = []
        for r, s in enumerate(cited, start=1):
            rows.append('<row r="%d"><c r="A%d" t="s"><v>%d</v></c><c r="B%d"><v>%d</v></c></row>' % (r, r, s, r, r))
        z.writestr("xl/worksheets/sheet1.xml",
                   '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                   '<worksheet xmlns="%s"><sheetData>%s</sheetData></worksheet>' % (MAIN, "".join(rows)))
        with z.open("xl/sharedStrings.xml", "w", force_zip64=True) as f:
            f.write(('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                     '<sst xmlns="%s" count="%d" uniqueCount="%d">' % (MAIN, len(cited), items)).encode())
            batch = []
            for i in range(items):
                batch.append("<si><t>%s</t></si>" % word(i))
                if len(batch) == 100000:
                    f.write("".join(batch).encode())
                    batch = []
            f.write(("".join(batch) + "</sst>").encode())


def run(cli, args, app):
    r = subprocess.run(["/usr/bin/time", "-f", "%e %M", cli, "copy", *args, "--quiet"],
                       env=dict(os.environ, TESSARO_APP_DIR=app), capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("%s %s failed: %s" % (cli, " ".join(args), r.stderr[-2000:]))
    wall, rss_kib = r.stderr.strip().splitlines()[-1].split()
    return float(wall), int(rss_kib) / 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--items", type=int, default=10_000_000)
    ap.add_argument("--rounds", type=int, default=1)
    ap.add_argument("--keep", help="a folder to leave the generated workbooks in")
    ap.add_argument("cli")
    a = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="tessaro-strings-bench-")
    try:
        app = os.path.join(folder, "app")
        os.mkdir(app)
        huge = os.path.join(folder, "huge.xlsx")
        small = os.path.join(folder, "small.xlsx")
        step = max(1, a.items // ROWS)
        write_book(huge, "Data", a.items, [min(a.items - 1, r * step + r % 7) for r in range(ROWS)])
        write_book(small, "Small", ROWS, list(range(ROWS)))
        if a.keep:
            os.makedirs(a.keep, exist_ok=True)
            shutil.copy(huge, a.keep)
            shutil.copy(small, a.keep)
        size = os.path.getsize(huge)
        with zipfile.ZipFile(huge) as z:
            raw = z.getinfo("xl/sharedStrings.xml").file_size
        print("table: %d items, %.0f MiB of XML, %.0f MiB on disk" % (a.items, raw / 2**20, size / 2**20))
        cases = [("huge->small", ["--sheet", "SRC:Data", "--dest", "DST"], huge, small),
                 ("small->huge", ["--sheet", "SRC:Small", "--dest", "DST"], small, huge)]
        print("%-12s %9s %13s" % ("direction", "median s", "peak RSS MiB"))
        for name, args, src, dst in cases:
            walls, peaks = [], []
            for _ in range(a.rounds):
                work = os.path.join(folder, "work")
                shutil.rmtree(work, ignore_errors=True)
                os.mkdir(work)
                s = shutil.copy(src, os.path.join(work, "src-" + os.path.basename(src)))
                d = shutil.copy(dst, os.path.join(work, "dst-" + os.path.basename(dst)))
                os.sync()
                argv = [x.replace("SRC", s).replace("DST", d) for x in args]
                wall, peak = run(a.cli, argv, app)
                walls.append(wall)
                peaks.append(peak)
            print("%-12s %9.2f %13.0f" % (name, statistics.median(walls), max(peaks)))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
