#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Judges the engine's sheet copies with the shared copy oracle.

Copies every worksheet and chartsheet of every OOXML workbook of the corpus into corpus
destinations that already hold parts of the same kinds (tables, comments, threaded comments,
pictures, charts, pivot tables, external links, another date system) - each sheet after and
before into three of them, chosen in turn from three groups - and into a workbook this script
makes with another theme or prefixed XML, and into the source workbook itself; then lets
shared/oracle/check_copy.py judge each result. One copy in six (not of --sample) also goes
through LibreOffice's load check.

    scripts/oracle-matrix.py --tool build/tests/engine/xlsx/xlsx_copy_tool [--sample] [--libreoffice]
                             [--jobs N] [--work DIR] [--json FILE] [--only TEXT] [--again FILE]
                             [--wide [--cli build/tessaro-cli] [--part I/N] [--no-legacy | --no-native | --into [--cross [STEP]]]]

--sample runs the small fixed subset that CI runs; --only keeps the cases whose label holds
TEXT (given again, any of the texts); --again FILE runs only the cases an earlier run's JSON did not accept; --part I/N keeps
the cases (and with --wide the legacy files) numbered I modulo N.

--wide takes the wide corpus (shared/corpus-wide) instead: every worksheet and chartsheet of
every OOXML file after into one destination and before into another, taken in turn from all of
the above; one of these copies in six also goes through LibreOffice's load check. Then, with
the command-line program (the only way into and out of the legacy formats), every sheet of
every .xls, .xlsb and .ods file into an .xlsx destination, and a sample of all the sources into
an .xls and an .ods destination, several sources a run; those are judged through LibreOffice
with the comparisons of shared/oracle/check_copy_uno.py (one LibreOffice for many copies),
which load every such output. A file that cannot be read must be refused: the script asks the
program (`tessaro-cli sheets FILE`) about every file it could not read or copy and lists what
the program says ("REFUSED", counted apart as "refused"; whether each reason holds is for a
person to see) or that the program reads it after all ("READ-BY-PROGRAM", a failure).

--wide --into takes the wide corpus's OOXML files as destinations instead: into each, one sheet
of the corpus (taken in turn), after or before, once or three times; a file the program cannot
write into must be refused the same way. The oracle reads each destination as it reads a
source (readable_for_oracle); where openpyxl cannot read a destination at all, LibreOffice
judges the copy ("judged-by-libreoffice" below). With --cross the sheet comes from another file of
the wide corpus instead, so that both workbooks of a copy are ones the engine was not written
against (styles, themes and names of two unusual workbooks meet); --cross STEP pairs other files.

Exit status: 0 when every copy passes (or is counted apart below), 1 when any fails, 77 when
the shared folder (corpus and oracle) is not there.

What the oracle cannot judge by itself, counted apart and verified in full here:
- "threads-renewed": a legacy comment whose author names its thread ("tc={id}") by another
  id. A copy into a workbook that already has threads of those ids gives the copy's threads
  new ones, as a spreadsheet application does; the oracle compares authors as text.
- "tables-made-external": structured references to tables of the source's other sheets, which
  a copy elsewhere reads from the source file as plain external ranges ([1]Sheet!$A$2:$A$9);
  the oracle follows tables the copy renamed and links renumbered, not this rewriting.
- "tables-renamed": formulas naming a table the copy renamed, where a column of that table
  carries the table's name as a word ("Headers[Table Headers]"); the oracle renames the
  column too, so the copy's formula, which keeps the column, looks wrong to it.
- "reserved-fills": cells formatted with the first (or second) fill of a source that defines
  it as other than "none" ("gray125"); a spreadsheet application reads those two as "none" and
  "gray125" whatever the file says, and so does the copy; openpyxl reads the file's.
- "judged-by-libreoffice": a copy into a destination that openpyxl cannot read (it rejects some
  of its styles, or trips on an index out of range there before the copy), whose cells the
  oracle could not judge; LibreOffice's judge (the legacy half's) compared them instead, and the
  oracle's package checks passed.
- "moved-by-the-copy": a package check's finding in the destination's own sheets or names that
  the destination had before the copy, which the copy only renumbered (see
  only_moved_by_the_copy).
- "dates-before-1904": date cells of a 1900 workbook earlier than 1904-01-01 copied into a
  workbook of the 1904 date system, which has no day for them: they keep their number (and the
  copy's report says so), so the oracle sees another date. Cells whose format shows only a time
  of day keep their number too (they show the same in both systems); the oracle takes them for
  dates.
A Strict source, or one with an empty format index (s=""), is judged through a copy made for
the oracle with Transitional names and without s="", which mean the same.
Through LibreOffice (the legacy judging) five differences of representation are not faults:
numbers equal to 15 significant digits, number formats equal in meaning (format_key), LibreOffice's
"standard" vertical alignment against "bottom", the format of cells empty in both but for
their background (LibreOffice shows a cell the file lacks in the workbook's default format,
the destination's in the copy), and column widths that all differ
by one factor when the destination has another default font (widths are kept in characters;
the factor is a "columns-scaled" warning). Two more are counted apart: "remeasured-rows" (rows
of automatic height in an .ods, which LibreOffice measures again for the fonts it has) and
"comment-captions" (LibreOffice draws a caption shape for each comment of an .xlsx or .xlsb it
reads, and none for those of an .ods or .xls until shown: the drawing objects other than
captions and the comments are the same). Number formats that an .ods cannot hold (room as wide
as a character or a digit, a month's first letter), which the copy's report names, are
accepted where that is the only difference of the cells (formats_an_ods_named); so are formulas
of a copy into an .xls that read names no workbook defines (written as texts or #NAME?) or call
functions LibreOffice does not know (written as =NA()), which the report names (words_named).
LibreOffice reads an error constant inside a formula of an .xls as nothing (#N/A as NA()) and an
error value as a formula of nothing; a copy into an .xls that shows only that is accepted where
the file holds each constant at its cell (read from its records), with the "error_constants"; so is
one whose booleans LibreOffice shows with the format General, as it shows every boolean of an .xls.
A legacy copy that differs from its source is compared the same way with LibreOffice's own
.xlsx conversion of the source, which is what the program copies from (it reads .xls, .xlsb and
.ods only through that conversion); when it equals the conversion, the differences are
LibreOffice's reading or writing of the legacy format, counted apart as "legacy-conversion"
with both lists kept in the JSON report. One that LibreOffice shows otherwise than the
conversion too is made again alone and judged by the package oracle (check_copy.py) against
the conversion; when that passes, the package holds what it was copied from and LibreOffice
shows it otherwise ("libreoffice-rendering": pivot tables it rebuilds from a cache that reads
another file, row heights it reads by the workbook's generator).
Warnings the oracle gives for references to other sheets rewritten as references to the
source file are expected and tallied by kind, and so is LibreOffice's "DPCache_<sheet>" sheet
for each pivot cache of an output that reads another file (the copy's pivot tables read the
source file; LibreOffice lays such a cache's records out on a sheet of its own), the sheet it
shows for each scenario of a sheet, and a load check of a copy whose source LibreOffice cannot
load either (it ends itself on the sparklines of some files). A sheet the engine refuses to
copy from a file the program lists is copied once more by the program, which must refuse it
too, naming the file and why. A copy into an .xls or .ods destination that the program refuses
because LibreOffice would write it wrongly into that format (a chart or a validation reading other
sheets, a data table with a row input cell, formulas reading other workbooks, more rows or columns
than an .xls holds) is counted apart as
"refused-for-format", with the program's reason.
Run it with /usr/bin/python3 (the oracle needs openpyxl; --wide also python3-uno).
"""
import argparse
import ast
import concurrent.futures
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Corpus destinations, in three groups; each sheet goes into one of each, in turn, so that
# names and ids of tables, comment shapes, drawings, charts, persons, pivot caches and
# external links collide with the destination's own.
DESTINATION_GROUPS = [
    ["rxw_table_comments_image_link.xlsx", "poi_comments_dv_image.xlsx", "poi_dv_table_print_area_titles.xlsx",
     "exceljs_header_image_links_hidden.xlsx"],
    ["sheetjs_threaded_comments.xlsx", "closedxml_external_link.xlsx", "poi_pivot_from_table.xlsx",
     "closedxml_chartsheet_pivot.xlsx", "sheetjs_1904_date_system.xlsx"],
    ["poi_scatter_chartsheet.xlsx", "edr_lots_of_sheets.xlsx", "sheetjs_cell_styles.xlsx",
     "closedxml_two_tabs_selected.xlsx", "sheetjs_freeze_panes_4_sheets.xlsx", "closedxml_cf_x14_databars.xlsx"],
]

SAMPLE = [
    # (source, sheet, destination, position, count)
    ("sheetjs_merged_cells.xlsx", "Merge", "sheetjs_cell_styles.xlsx", "after", 1),
    ("sheetjs_cell_styles.xlsx", "Sheet1", "made_other_theme.xlsx", "before", 3),
    ("rxw_print_area_titles.xlsx", "Sheet1", "edr_lots_of_sheets.xlsx", "before", 1),
    ("sheetjs_rich_text.xlsx", "Sheet1", "made_prefixed.xlsx", "after", 3),
    ("closedxml_cf_x14_databars.xlsx", "Sheet1", "closedxml_two_tabs_selected.xlsx", "after", 1),
    ("sheetjs_autofilter_11_sheets.xlsx", "Two Cond", "SELF", "after", 3),
    ("sheetjs_1904_date_system.xlsx", "Sheet1", "made_other_theme.xlsx", "after", 1),
    ("rxw_table_comments_image_link.xlsx", "Sheet1", "rxw_table_comments_image_link.xlsx", "before", 3),
    ("sheetjs_threaded_comments.xlsx", "Sheet1", "poi_comments_dv_image.xlsx", "after", 1),
    ("poi_threaded_comments_mac.xlsx", "File", "sheetjs_threaded_comments.xlsx", "before", 1),
    ("closedxml_chartsheet_pivot.xlsx", "Chart", "poi_scatter_chartsheet.xlsx", "after", 3),
    ("closedxml_chartsheet_pivot.xlsx", "Pivot", "poi_pivot_from_table.xlsx", "before", 1),
    ("poi_dv_table_print_area_titles.xlsx", "County Ranking", "made_other_theme.xlsx", "after", 1),
    ("edr_lots_of_sheets.xlsx", "$E M-(3)", "closedxml_external_link.xlsx", "after", 1),
    ("closedxml_external_link.xlsx", "Sheet1", "closedxml_drawings_hidden_protected_mac.xlsx", "before", 1),
    ("exceljs_header_image_links_hidden.xlsx", "Handlungsanweisung", "rxw_table_comments_image_link.xlsx", "after", 1),
]

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
REL = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PKG_REL = "http://schemas.openxmlformats.org/package/2006/relationships"
CT = "http://schemas.openxmlformats.org/package/2006/content-types"
CTB = "application/vnd.openxmlformats-officedocument"


def theme_xml(colors, major, minor):
    slots = ["dk1", "lt1", "dk2", "lt2", "accent1", "accent2", "accent3", "accent4", "accent5", "accent6",
             "hlink", "folHlink"]
    scheme = "".join('<a:%s><a:srgbClr val="%s"/></a:%s>' % (s, c, s) for s, c in zip(slots, colors))
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<a:theme xmlns:a="http://schemas.openxmlformats.org/drawingml/2006/main" name="Made">'
            '<a:themeElements><a:clrScheme name="Made">%s</a:clrScheme>'
            '<a:fontScheme name="Made"><a:majorFont><a:latin typeface="%s"/><a:ea typeface=""/><a:cs typeface=""/>'
            '</a:majorFont><a:minorFont><a:latin typeface="%s"/><a:ea typeface=""/><a:cs typeface=""/></a:minorFont>'
            '</a:fontScheme><a:fmtScheme name="Made"><a:fillStyleLst/><a:lnStyleLst/><a:effectStyleLst/>'
            '<a:bgFillStyleLst/></a:fmtScheme></a:themeElements></a:theme>' % (scheme, major, minor))


def write_made(path, prefix, colors):
    """A destination written part by part: its own theme, Arial 10 as the default font (so
    unformatted cells of a copy need a format of their own), two sheets, a defined name."""
    p = prefix + ":" if prefix else ""
    x = (" xmlns:%s" % prefix) if prefix else " xmlns"
    sheet = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<{p}worksheet{x}="{m}" xmlns:r="{r}">'
             '<{p}sheetViews><{p}sheetView {sel}workbookViewId="0"/></{p}sheetViews>'
             '<{p}sheetData><{p}row r="1"><{p}c r="A1" t="s"><{p}v>0</{p}v></{p}c><{p}c r="B1" s="1"><{p}v>42</{p}v></{p}c>'
             '</{p}row></{p}sheetData></{p}worksheet>')
    parts = {
        "[Content_Types].xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="%s">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            '<Override PartName="/xl/workbook.xml" ContentType="%s.spreadsheetml.sheet.main+xml"/>'
            '<Override PartName="/xl/worksheets/sheet1.xml" ContentType="%s.spreadsheetml.worksheet+xml"/>'
            '<Override PartName="/xl/worksheets/sheet2.xml" ContentType="%s.spreadsheetml.worksheet+xml"/>'
            '<Override PartName="/xl/styles.xml" ContentType="%s.spreadsheetml.styles+xml"/>'
            '<Override PartName="/xl/sharedStrings.xml" ContentType="%s.spreadsheetml.sharedStrings+xml"/>'
            '<Override PartName="/xl/theme/theme1.xml" ContentType="%s.theme+xml"/>'
            '<Override PartName="/docProps/app.xml" ContentType="%s.extended-properties+xml"/></Types>'
            % ((CT,) + (CTB,) * 7),
        "_rels/.rels":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="%s">'
            '<Relationship Id="rId1" Type="%s/officeDocument" Target="xl/workbook.xml"/>'
            '<Relationship Id="rId2" Type="%s/extended-properties" Target="docProps/app.xml"/></Relationships>'
            % (PKG_REL, REL, REL),
        "docProps/app.xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Properties '
            'xmlns="http://schemas.openxmlformats.org/officeDocument/2006/extended-properties" '
            'xmlns:vt="http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes"><Application>made</Application>'
            '<HeadingPairs><vt:vector size="2" baseType="variant"><vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant>'
            '<vt:variant><vt:i4>2</vt:i4></vt:variant></vt:vector></HeadingPairs><TitlesOfParts>'
            '<vt:vector size="2" baseType="lpstr"><vt:lpstr>First</vt:lpstr><vt:lpstr>Sheet1</vt:lpstr></vt:vector>'
            '</TitlesOfParts></Properties>',
        "xl/workbook.xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<{p}workbook{x}="{m}" xmlns:r="{r}">'
            '<{p}bookViews><{p}workbookView activeTab="1"/></{p}bookViews><{p}sheets>'
            '<{p}sheet name="First" sheetId="3" r:id="rId1"/><{p}sheet name="Sheet1" sheetId="7" r:id="rId2"/></{p}sheets>'
            '<{p}definedNames><{p}definedName name="_xlnm.Print_Area" localSheetId="1">Sheet1!$A$1:$B$1</{p}definedName>'
            '</{p}definedNames></{p}workbook>'.format(p=p, x=x, m=MAIN, r=REL),
        "xl/_rels/workbook.xml.rels":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="%s">'
            '<Relationship Id="rId1" Type="%s/worksheet" Target="worksheets/sheet1.xml"/>'
            '<Relationship Id="rId2" Type="%s/worksheet" Target="worksheets/sheet2.xml"/>'
            '<Relationship Id="rId3" Type="%s/styles" Target="styles.xml"/>'
            '<Relationship Id="rId4" Type="%s/sharedStrings" Target="sharedStrings.xml"/>'
            '<Relationship Id="rId5" Type="%s/theme" Target="theme/theme1.xml"/></Relationships>'
            % (PKG_REL, REL, REL, REL, REL, REL),
        "xl/worksheets/sheet1.xml": sheet.format(p=p, x=x, m=MAIN, r=REL, sel=""),
        "xl/worksheets/sheet2.xml": sheet.format(p=p, x=x, m=MAIN, r=REL, sel='tabSelected="1" '),
        "xl/styles.xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<{p}styleSheet{x}="{m}">'
            '<{p}numFmts count="1"><{p}numFmt numFmtId="170" formatCode="0.000"/></{p}numFmts>'
            '<{p}fonts count="2"><{p}font><{p}sz val="10"/><{p}color theme="1"/><{p}name val="Arial"/></{p}font>'
            '<{p}font><{p}b/><{p}sz val="10"/><{p}color theme="4"/><{p}name val="Arial"/></{p}font></{p}fonts>'
            '<{p}fills count="2"><{p}fill><{p}patternFill patternType="none"/></{p}fill><{p}fill>'
            '<{p}patternFill patternType="gray125"/></{p}fill></{p}fills>'
            '<{p}borders count="1"><{p}border><{p}left/><{p}right/><{p}top/><{p}bottom/><{p}diagonal/></{p}border></{p}borders>'
            '<{p}cellStyleXfs count="1"><{p}xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></{p}cellStyleXfs>'
            '<{p}cellXfs count="2"><{p}xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/>'
            '<{p}xf numFmtId="170" fontId="1" fillId="0" borderId="0" xfId="0" applyNumberFormat="1" applyFont="1"/></{p}cellXfs>'
            '<{p}cellStyles count="1"><{p}cellStyle name="Normal" xfId="0" builtinId="0"/></{p}cellStyles>'
            '<{p}dxfs count="0"/></{p}styleSheet>'.format(p=p, x=x, m=MAIN),
        "xl/sharedStrings.xml":
            '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<{p}sst{x}="{m}" count="2" uniqueCount="1">'
            '<{p}si><{p}t>made here</{p}t></{p}si></{p}sst>'.format(p=p, x=x, m=MAIN),
        "xl/theme/theme1.xml": theme_xml(colors, "Georgia", "Verdana"),
    }
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in parts.items():
            z.writestr(name, text)


MADE = {
    "made_other_theme.xlsx": ("", ["101010", "F8F8F0", "203040", "E0E0D0", "8B0000", "006400", "00008B", "B8860B",
                                   "4B0082", "2F4F4F", "0000EE", "551A8B"]),
    "made_prefixed.xlsx": ("x", ["000000", "FFFFFF", "1F497D", "EEECE1", "4F81BD", "C0504D", "9BBB59", "8064A2",
                                 "4BACC6", "F79646", "0000FF", "800080"]),
}


# Statuses that are not failures of the copy (see the functions that decide them).
ACCEPTED = ("pass", "refused", "refused-for-format", "tables-made-external", "tables-renamed", "reserved-fills",
            "moved-by-the-copy", "judged-by-libreoffice", "threads-renewed", "dates-before-1904", "legacy-conversion", "libreoffice-rendering")
# How the program begins its refusal of a copy LibreOffice would write wrongly into a legacy format.
FORMAT_REFUSAL = ("what was asked cannot be done in a workbook of this format",
                  "the sheet does not fit in a workbook of this format")
# The prefix of the checks that compare a legacy copy with LibreOffice's conversion of its source.
AS_CONVERTED = "as-converted "


def load_manifest(corpus):
    import csv
    with open(os.path.join(corpus, "MANIFEST.tsv"), newline="") as fh:
        return list(csv.DictReader(fh, delimiter="\t"))


def sheet_names(path):
    """Worksheet and chartsheet names in tab order, read from the package."""
    import xml.etree.ElementTree as ET
    with zipfile.ZipFile(path) as z:
        rels = ET.fromstring(z.read("_rels/.rels"))
        wb = next(r.get("Target") for r in rels if r.get("Type", "").endswith("/officeDocument")).lstrip("/")
        wbrels = ET.fromstring(z.read(os.path.dirname(wb) + "/_rels/" + os.path.basename(wb) + ".rels"))
        kinds = {r.get("Id"): r.get("Type", "").rsplit("/", 1)[-1] for r in wbrels}
        root = ET.fromstring(z.read(wb))
        out = []
        for s in root.iter("{%s}sheet" % MAIN):
            if kinds.get(s.get("{%s}id" % REL)) in ("worksheet", "chartsheet"):
                out.append(s.get("name"))
        return out


def sheet_part(path, sheet):
    import xml.etree.ElementTree as ET
    with zipfile.ZipFile(path) as z:
        rels = ET.fromstring(z.read("_rels/.rels"))
        wb = next(r.get("Target") for r in rels if r.get("Type", "").endswith("/officeDocument")).lstrip("/")
        base = os.path.dirname(wb)
        wbrels = ET.fromstring(z.read(base + "/_rels/" + os.path.basename(wb) + ".rels"))
        targets = {r.get("Id"): r.get("Target") for r in wbrels}
        for s in ET.fromstring(z.read(wb)).iter("{%s}sheet" % MAIN):
            if s.get("name") == sheet:
                t = targets[s.get("{%s}id" % REL)]
                return t.lstrip("/") if t.startswith("/") else os.path.normpath(base + "/" + t)
    return None


# The oracle's check of the destination's own sheets builds its message from the cells of every
# sheet openpyxl shows, which a chartsheet does not have, and crashes on a destination that holds
# one; a chartsheet is given none here (its checks are the same), without changing a verdict.
ORACLE_RUNNER = """
import os, runpy, sys
import openpyxl.chartsheet.chartsheet as cs
cs.Chartsheet._cells = {}
sys.argv = sys.argv[1:]
sys.path.insert(0, os.path.dirname(sys.argv[0]))
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def external_books(path):
    """The files a workbook's formulas number [1], [2]..., as comparable paths."""
    import posixpath
    import urllib.parse
    import xml.etree.ElementTree as ET
    out = {}
    folder = os.path.dirname(os.path.abspath(path))
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        rels = ET.fromstring(z.read("_rels/.rels"))
        wb = next(r.get("Target") for r in rels if r.get("Type", "").endswith("/officeDocument")).lstrip("/")
        base = posixpath.dirname(wb)
        wbrels = {r.get("Id"): r.get("Target") for r in
                  ET.fromstring(z.read(base + "/_rels/" + posixpath.basename(wb) + ".rels"))}
        refs = ET.fromstring(z.read(wb)).find("{%s}externalReferences" % MAIN)
        for i, ref in enumerate(refs if refs is not None else [], 1):
            target = wbrels.get(ref.get("{%s}id" % REL), "")
            part = target.lstrip("/") if target.startswith("/") else posixpath.normpath(base + "/" + target)
            rels_name = posixpath.dirname(part) + "/_rels/" + posixpath.basename(part) + ".rels"
            if rels_name not in names:
                continue
            for r in ET.fromstring(z.read(rels_name)):
                t = r.get("Target", "")
                if t.startswith("file://"):
                    t = urllib.parse.unquote(t[7:])
                elif "://" not in t and not t.startswith("/"):
                    t = os.path.normpath(os.path.join(folder, urllib.parse.unquote(t)))
                out[i] = t
    return out


def oracle_module(oracle):
    """The shared oracle, imported for its formula judgement."""
    import importlib.util
    spec = importlib.util.spec_from_file_location("check_copy", oracle)
    sys.path.insert(0, os.path.dirname(oracle))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def only_tables_made_external(fails, src, sheet, after, oracle, external=True):
    """True when every failure is a formula of the source naming a table of another of its
    sheets, which the copy reads from the source file as a plain range ([1]Sheet!$A$2:$A$9):
    with those references rewritten so, and read back through the copy's table names and link
    numbers (which the oracle follows by itself), every formula of every copy is one the oracle
    accepts. Every formula is checked here, not only the examples the oracle prints; a sheet
    without such a reference is never counted apart.
    With external=False: true when every formula of every copy, its renamed tables read back
    by their source names, is one the oracle accepts. The oracle renames a table wherever its
    name stands as a word, so a column named after its table ("Headers[Table Headers]") is
    renamed too and the copy's right formula looks wrong to it."""
    if not fails or not all(re.match(r"copy\[.*\]\.cells: ", f) for f in fails):
        return False
    import warnings
    warnings.simplefilter("ignore")
    import openpyxl
    oracle_mod = oracle_module(oracle)
    judge = oracle_mod.judge_formula
    src_books, dst_books = external_books(src), external_books(after)
    src_wb = openpyxl.load_workbook(src)
    dst_wb = openpyxl.load_workbook(after)
    after_lower = {n.lower() for n in dst_wb.sheetnames}
    ws = src_wb[sheet]
    src_tables = {ref: name for name, ref in ws.tables.items()}
    # Tables of the source's other sheets: a copy elsewhere reads their cells from the source
    # file, as plain references.
    elsewhere = {}
    for other in src_wb.worksheets:
        if other.title != sheet:
            for t in other.tables.values():
                elsewhere[t.displayName.lower()] = (other.title, t)
    own_link = next((k for k, t in dst_books.items() if t == os.path.abspath(src)), None)

    def externalized(fs):
        def area(t, spec):
            from openpyxl.utils.cell import range_boundaries, get_column_letter
            c1, r1, c2, r2 = range_boundaries(t.ref)
            head = 1 if t.headerRowCount is None else int(t.headerRowCount)
            tot = int(t.totalsRowCount or 0)
            items = re.findall(r"\[((?:[^\[\]']|'.)*)\]", spec[1:-1]) if "[" in spec[1:-1] else \
                ([spec[1:-1]] if spec[1:-1] else [])
            items = [re.sub(r"'(.)", r"\1", i).strip() for i in items]
            kinds = {i.upper() for i in items if i.startswith("#")}
            cols = [i for i in items if not i.startswith("#")]
            if any(i.startswith("@") for i in items) or "#THIS ROW" in kinds or not items and "@" in spec:
                return None
            if "#ALL" in kinds:
                top, bottom = r1, r2
            elif kinds:
                top = r1 if "#HEADERS" in kinds else (r1 + head if "#DATA" in kinds else r2 - tot + 1)
                bottom = r2 if "#TOTALS" in kinds else (r2 - tot if "#DATA" in kinds else r1 + head - 1)
            else:
                top, bottom = r1 + head, r2 - tot
            names = [c.name.lower() for c in t.tableColumns]
            left, right = c1, c2
            if cols:
                if any(c.lower() not in names for c in cols):
                    return None
                idx = sorted(names.index(c.lower()) for c in cols)
                left, right = c1 + idx[0], c1 + idx[-1]
            a = "$%s$%d" % (get_column_letter(left), top)
            b = "$%s$%d" % (get_column_letter(right), bottom)
            return a if a == b else a + ":" + b

        out, i = [], 0
        for m in re.finditer(r"([A-Za-z_\\][A-Za-z0-9_.\\]*)\[", fs):
            if m.start() < i or m.group(1).lower() not in elsewhere or own_link is None:
                continue
            depth, j = 0, m.end() - 1
            while j < len(fs):
                if fs[j] == "'":
                    j += 2
                    continue
                depth += {"[": 1, "]": -1}.get(fs[j], 0)
                j += 1
                if depth == 0:
                    break
            owner, t = elsewhere[m.group(1).lower()]
            a = area(t, fs[m.end() - 1:j])
            prefix = "[%d]%s" % (own_link, owner)
            prefix = ("'" + prefix.replace("'", "''") + "'") if oracle_mod.P.quote_sheet(owner) != owner else prefix
            out.append(fs[i:m.start()] + (prefix + "!" + a if a else "#REF!"))
            i = j
        return "".join(out) + fs[i:]
    for f in fails:
        name = re.match(r"copy\[\d+:(.*)\]\.cells: ", f).group(1)
        copy = dst_wb[name]
        renames = {n.lower(): src_tables[ref] for n, ref in copy.tables.items() if ref in src_tables}

        def back(g):
            g = re.sub(r"\[(\d+)\]", lambda m: "[%s]" % next(
                (k for k, t in src_books.items() if t == dst_books.get(int(m.group(1)))), m.group(1)), g)
            return re.sub(r"([A-Za-z_\\][A-Za-z0-9_.\\]*)(?=\[)",
                          lambda m: renames.get(m.group(1).lower(), m.group(1)), g)
        made_external = False
        for row in ws.iter_rows():
            for c in row:
                if c.data_type != "f":
                    continue
                fs = str(getattr(c.value, "text", c.value))
                made_external |= externalized("=" + fs) != "=" + fs
                g = copy[c.coordinate].value
                g = str(getattr(g, "text", g))
                verdict, _ = judge((externalized if external else str)("=" + fs if not fs.startswith("=") else fs),
                                   back("=" + g if not g.startswith("=") else g), sheet, name, after_lower)
                if verdict == "fail":
                    return False
        if external and not made_external:
            return False
    return True


KEPT_DATE = re.compile(r"^\$?[A-Z]+\$?\d+: date (\d{4})-\d\d-\d\d became \S+ \(1462 days: serial kept across the "
                       r"1900/1904 date systems\)$")


def time_of_day_only(number_format):
    """A number format that shows no day, month or year: the same in either date system."""
    bare = re.sub(r'"[^"]*"|\[[^\]]*\]|\\.', "", number_format or "")
    return bool(re.search(r"[hHsS]", bare)) and not re.search(r"[yYdDeE]|mmm", bare)


def only_dates_before_1904(fails, src, sheet, after):
    """True when every failure is a date cell earlier than 1904-01-01 in a 1900 workbook whose
    copy, in a workbook of the 1904 date system, kept its number: every cell the oracle counts
    (not only the examples it prints) must be such a cell of the source sheet."""
    if not fails or date1904(src) or not date1904(after):
        return False
    import datetime
    import warnings
    warnings.simplefilter("ignore")
    import openpyxl
    src_ws = openpyxl.load_workbook(src)[sheet]
    dst_wb = openpyxl.load_workbook(after)
    for f in fails:
        m = re.match(r"copy\[\d+:(.*)\]\.cells: (.*)$", f)
        if not m or m.group(1) not in dst_wb.sheetnames:
            return False
        body = m.group(2)
        total = re.search(r"; \.\.\. \((\d+) in all\)$", body)
        items = (body[:total.start()] if total else body).split("; ")
        if not all(KEPT_DATE.match(i) for i in items):
            return False
        copy_ws = dst_wb[m.group(1)]
        kept = 0
        for row in src_ws.iter_rows():
            for c in row:
                if copy_ws[c.coordinate].value == c.value:
                    continue
                early = isinstance(c.value, datetime.datetime) and c.value < datetime.datetime(1904, 1, 1)
                if not c.is_date or not (early or time_of_day_only(c.number_format)):
                    return False
                kept += 1
        if kept != (int(total.group(1)) if total else len(items)):
            return False
    return True


def only_renewed_threads(fails, src, sheet, after):
    """True when every failure is a legacy comment whose author names its thread ("tc={id}")
    by another id: a copy into a workbook that already has threads of those ids gives the
    copy's threads new ones, as a spreadsheet application does. Every comment of every copy
    is checked: the same cells and texts, the same authors but for thread ids, and each new id
    the id of a thread of the copy."""
    import posixpath
    import xml.etree.ElementTree as ET
    if not fails or not all(re.match(r"copy\[.*\]\.comments: ", f) for f in fails):
        return False

    def comments_of(path, name):
        with zipfile.ZipFile(path) as z:
            part = sheet_part(path, name)
            rels_name = posixpath.dirname(part) + "/_rels/" + posixpath.basename(part) + ".rels"
            out, threads = {}, set()
            for r in ET.fromstring(z.read(rels_name)):
                t = r.get("Target", "")
                target = t.lstrip("/") if t.startswith("/") else posixpath.normpath(posixpath.dirname(part) + "/" + t)
                if r.get("Type", "").endswith("/comments"):
                    root = ET.fromstring(z.read(target))
                    authors = [a.text or "" for a in root.iter("{%s}author" % MAIN)]
                    for c in root.iter("{%s}comment" % MAIN):
                        text = "".join(x.text or "" for x in c.iter("{%s}t" % MAIN))
                        out[c.get("ref")] = (authors[int(c.get("authorId", "0"))], text)
                elif r.get("Type", "").endswith("/threadedComment"):
                    for c in ET.fromstring(z.read(target)).iter():
                        if c.tag.endswith("}threadedComment"):
                            threads.add(c.get("id"))
            return out, threads
    source, _ = comments_of(src, sheet)
    for f in fails:
        name = re.match(r"copy\[\d+:(.*)\]\.comments: ", f).group(1)
        copy, threads = comments_of(after, name)
        if set(copy) != set(source):
            return False
        for ref, (author, text) in source.items():
            a2, t2 = copy[ref]
            if t2 != text:
                return False
            if a2 != author and not (author.startswith("tc=") and a2.startswith("tc=") and a2[3:] in threads):
                return False
    return True


def only_reserved_fills(fails, src, sheet, after, oracle):
    """True when every failure is a cell whose format names the first fill (or the second) of a
    source that defines it as something other than "none" ("gray125"): a spreadsheet
    application reads those two fills as "none" and "gray125" whatever the file says, and the
    copy keeps that reading; openpyxl reads the file's. Every cell is checked, not only the
    examples the oracle prints: the cells of the source with such a fill must be exactly the
    ones the oracle counts, and each must show the reserved fill in the copy."""
    if not fails or not all(re.match(r"copy\[\d+:.*\]\.styles: fill \[[^\[]*\]$", f) for f in fails):
        return False
    import warnings
    warnings.simplefilter("ignore")
    import openpyxl
    C = oracle_module(oracle)
    src_wb, dst_wb = openpyxl.load_workbook(src), openpyxl.load_workbook(after)
    src_ws = src_wb[sheet]
    reserved = ("none", "gray125")

    def pattern(wb, i):
        return getattr(wb._fills[i], "patternType", "gradient") or "none"
    for f in fails:
        m = re.match(r"copy\[\d+:(.*)\]\.styles: fill \[(.*)\]$", f)
        if m.group(1) not in dst_wb.sheetnames:
            return False
        total = re.search(r"; \.\.\. \((\d+) in all\)$", m.group(2))
        counted = int(total.group(1)) if total else len(m.group(2).split("; "))
        dst_ws = dst_wb[m.group(1)]
        src_cols, dst_cols = C.col_style_lookup(src_ws), C.col_style_lookup(dst_ws)
        src_ph, dst_ph = C.phantom_cells(src_ws), C.phantom_cells(dst_ws)
        seen = 0
        for (r, c) in set(src_ws._cells) | set(dst_ws._cells):
            sc, dc = src_ws._cells.get((r, c)), dst_ws._cells.get((r, c))
            if (sc is None or (r, c) in src_ph) and (dc is None or (r, c) in dst_ph):
                continue
            i = C.effective_style_array(src_ws, r, c, src_cols, src_ph).fillId
            if i < 2 and pattern(src_wb, i) != reserved[i]:
                if pattern(dst_wb, C.effective_style_array(dst_ws, r, c, dst_cols, dst_ph).fillId) != reserved[i]:
                    return False
                seen += 1
        if seen != counted:
            return False
    return True


def office_pivot_caches(path, extra):
    """True when LibreOffice's sheets beyond the workbook's own (`extra`) are each the
    "DPCache_<sheet>" sheet it makes for a pivot cache of the file that reads a sheet of another
    file: LibreOffice cannot read pivot data from another workbook and lays the cached records
    out on a sheet of its own. The caches are looked for wherever the package keeps them (some
    writers put them outside xl/)."""
    import posixpath
    import xml.etree.ElementTree as ET
    external = []
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        for part in names:
            if not re.search(r"pivotCacheDefinition\d*\.xml$", part):
                continue
            rels_name = posixpath.dirname(part) + "/_rels/" + posixpath.basename(part) + ".rels"
            rels = {r.get("Id"): r for r in ET.fromstring(z.read(rels_name))} if rels_name in names else {}
            for src in ET.fromstring(z.read(part)).iter("{%s}worksheetSource" % MAIN):
                rel = rels.get(src.get("{%s}id" % REL))
                if rel is not None and rel.get("Type", "").endswith("/externalLinkPath") and src.get("sheet"):
                    external.append(src.get("sheet"))
    # LibreOffice tells apart several caches of one sheet by a number after the name.
    for n in extra:
        m = re.match(r"DPCache_(.*?)(?: -?\d+)?$", n)
        if not m or m.group(1) not in external:
            return False
        external.remove(m.group(1))
    return bool(extra)


def office_scenarios(path, names, expected):
    """The sheets LibreOffice shows beyond the workbook's own when each is a scenario of one of
    its worksheets (`<scenario name=...>`): LibreOffice shows every scenario as a sheet of its
    own after its sheet, numbered when the name is taken; none when the others are not exactly
    the workbook's sheets."""
    import html
    scenarios = set()
    with zipfile.ZipFile(path) as z:
        for part in z.namelist():
            if re.match(r"xl/worksheets/[^/]+\.xml$", part):
                text = z.read(part).decode("utf-8", "replace")
                for block in re.findall(r"<(?:\w+:)?scenarios\b.*?</(?:\w+:)?scenarios>", text, re.S):
                    scenarios.update(html.unescape(n) for n in re.findall(r"<(?:\w+:)?scenario\b[^>]*?\sname=\"([^\"]*)\"", block))
    # A name taken already gets a number: "scenario1_0", "scenario1_-1".
    shown = [n for n in names if n not in expected and
             (n in scenarios or re.sub(r"_-?\d+$", "", n) in scenarios)]
    return shown if shown and [n for n in names if n not in shown] == expected else []


def only_moved_by_the_copy(fails, before, after, oracle):
    """True when every failure is a package check's finding that the destination had before the
    copy, which the copy only renumbered: a style index out of range that stays so when the copy
    adds formats, a duplicate defined name whose sheet moved when copies went before it (both seen
    in test files of other projects). Each finding is compared with its numbers left out, and
    the copy must leave exactly as many of them as there were: fewer out-of-range indices would
    mean the formats the copy added took over cells of the destination that pointed past its
    formats (which readers show in the default format)."""
    checks = {f.split(": ", 1)[0] for f in fails}
    if not fails or not checks <= {"package.indices", "package.defined-names"}:
        return False
    C = oracle_module(oracle)
    found = {}
    for path in (before, after):
        col = C.Collector()
        C._package_checks(col, path, None)
        found[path] = {}
        for check, problems, _, _ in col.entries:
            if check in checks:
                for p in problems:
                    key = (check, re.sub(r"\d+", "#", p))
                    found[path][key] = found[path].get(key, 0) + 1
    return bool(found[after]) and found[after] == found[before]


def explained(fails, src, sheet, after, oracle, before=None):
    """The kinds of the differences when each failure is one of those counted apart (see the
    functions below), joined by "+"; nothing when any failure is a real one."""
    kinds = set()
    for f in fails:
        if before and only_moved_by_the_copy([f], before, after, oracle):
            kinds.add("moved-by-the-copy")
        elif only_tables_made_external([f], src, sheet, after, oracle):
            kinds.add("tables-made-external")
        elif only_tables_made_external([f], src, sheet, after, oracle, external=False):
            kinds.add("tables-renamed")
        elif only_reserved_fills([f], src, sheet, after, oracle):
            kinds.add("reserved-fills")
        elif only_renewed_threads([f], src, sheet, after):
            kinds.add("threads-renewed")
        elif only_dates_before_1904([f], src, sheet, after):
            kinds.add("dates-before-1904")
        else:
            return None
    return "+".join(sorted(kinds)) if kinds else None


def date1904(path):
    with zipfile.ZipFile(path) as z:
        for n in z.namelist():
            if n.endswith("workbook.xml"):
                return b'date1904="1"' in z.read(n) or b'date1904="true"' in z.read(n)
    return False


def plan_full(corpus, made_dir):
    rows = load_manifest(corpus)
    sources = [r["file"] for r in rows if r["file"].endswith((".xlsx", ".xlsm"))]
    made = [os.path.join(made_dir, m) for m in MADE]
    cases = []
    turn = 0
    for s in sources:
        spath = os.path.join(corpus, s)
        for sheet in sheet_names(spath):
            # One destination of each group, after and before, one and three copies.
            for g, group in enumerate(DESTINATION_GROUPS):
                d = os.path.join(corpus, group[(turn + g) % len(group)])
                cases.append((spath, sheet, d, "after", 1 if g % 2 == 0 else 3))
                cases.append((spath, sheet, d, "before", 3 if g % 2 == 0 else 1))
            cases.append((spath, sheet, made[turn % len(made)], "after" if turn % 2 else "before", 1))
            cases.append((spath, sheet, "SELF", "after" if turn % 2 == 0 else "before", 1 + 2 * (turn % 2)))
            turn += 1
    return cases


def plan_sample(corpus, made_dir):
    out = []
    for s, sheet, d, pos, n in SAMPLE:
        dpath = "SELF" if d == "SELF" else os.path.join(made_dir if d in MADE else corpus, d)
        out.append((os.path.join(corpus, s), sheet, dpath, pos, n))
    return out


STRICT_URI = re.compile(rb"http://purl\.oclc\.org/ooxml/(officeDocument|spreadsheetml|drawingml)/([A-Za-z]+)")
STRICT_SPECIAL = {b"extendedProperties": b"extended-properties", b"customProperties": b"custom-properties"}


def readable_for_oracle(src, folder):
    """The workbook as the oracle can read it: the oracle follows neither Strict markup, nor an
    empty format index (s=""), which readers take for the first format, nor a part named in
    another case than its relationship names it (part names are compared without case), and
    openpyxl looks for the styles at xl/styles.xml only. A Strict package gets the Transitional
    names of its namespaces and relationship types, s="" goes, such a part takes the name its
    relationship gives, and styles kept elsewhere are read from there too; the meaning is the
    same. None when the workbook needs none of it."""
    import posixpath
    import xml.etree.ElementTree as ET
    with zipfile.ZipFile(src) as z:
        items = [(i, z.read(i.filename)) for i in z.infolist()]
    strict = any(STRICT_URI.search(data) for i, data in items if i.filename == "_rels/.rels")
    empty_s = any(b' s=""' in data for i, data in items if i.filename.endswith(".xml"))
    names = {i.filename.lower(): i.filename for i, _ in items}
    renamed, styles = {}, None
    for i, data in items:
        if not i.filename.endswith(".rels"):
            continue
        base = posixpath.dirname(posixpath.dirname(i.filename))
        try:
            rels = ET.fromstring(data)
        except ET.ParseError:
            continue
        for r in rels:
            target = r.get("Target") or ""
            if r.get("TargetMode") == "External" or not target:
                continue
            name = posixpath.normpath(target.lstrip("/") if target.startswith("/") else posixpath.join(base, target))
            if name.lower() in names and names[name.lower()] != name:
                renamed[names[name.lower()]] = name
            if r.get("Type", "").endswith("/styles") and name.lower() != "xl/styles.xml" and \
                    "xl/styles.xml" not in names and name.lower() in names:
                styles = names[name.lower()]
    if not strict and not empty_s and not renamed and not styles:
        return None

    def transitional(m):
        area, name = m.group(1), m.group(2)
        return b"http://schemas.openxmlformats.org/%s/2006/%s" % (area, STRICT_SPECIAL.get(name, name))
    out = os.path.join(folder, "oracle_" + os.path.basename(src))
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for i, data in items:
            if i.filename.endswith((".xml", ".rels")):
                if strict:
                    data = STRICT_URI.sub(transitional, data.replace(b'http://purl.oclc.org/ooxml/officeDocument/'
                                                                     b'relationships/', b'@REL@'))
                    data = data.replace(b"@REL@", b"http://schemas.openxmlformats.org/officeDocument/2006/"
                                                  b"relationships/")
                    data = re.sub(rb"(?<=relationships/)extendedProperties", b"extended-properties", data)
                    data = data.replace(b' conformance="strict"', b"")
                data = data.replace(b' s=""', b"")
            if i.filename == styles:
                z.writestr("xl/styles.xml", data)
            if i.filename in renamed:
                i = zipfile.ZipInfo(renamed[i.filename], i.date_time)
            z.writestr(i, data)
    return out


def office_judged(results, shared, work, judge_seconds):
    """Judges through LibreOffice (the legacy half's judge) the copies into destinations that
    openpyxl cannot read; the package checks, which need no openpyxl, judged them already."""
    pending = [r for r in results if "office-judge" in r["status"].split("+")]
    if not pending:
        return
    said = office_jobs([{"id": r["case"], "kind": "judge", "before": r["before"], "after": r["output"],
                         "seconds": 60 + judge_seconds * r["count"],
                         "copies": [[r["file"], r["sheet"], r["position"], r["count"]]]} for r in pending], shared, work)
    for r in pending:
        res = said[r["case"]]
        checks = res.get("checks") or [{"status": "FAIL", "check": "judge", "reason": res.get("error")}]
        bad = ["%s: %s" % (c["check"], c["reason"]) for c in checks if c["status"] == "FAIL"]
        r["checks"] += len(checks)
        r["warns"] += ["%s: %s" % (c["check"], c["reason"]) for c in checks if c["status"] == "WARN"]
        r["fails"] += bad
        r["status"] = "fail" if bad else r["status"].replace("office-judge", "judged-by-libreoffice")
        r["office_load"] = True
        show(r)


def run_case(idx, case, tool, oracle, work, libreoffice, keep=False, readable_destination=False):
    src, sheet, dest, pos, count = case
    folder = os.path.join(work, "case%04d" % idx)
    os.makedirs(folder, exist_ok=True)
    same = dest == "SELF"
    base = os.path.basename(src if same else dest)
    before = os.path.join(folder, "before_" + base)
    after = os.path.join(folder, base)
    shutil.copyfile(src if same else dest, before)
    shutil.copyfile(before, after)
    source_for_oracle = before if same else (readable_for_oracle(src, folder) or src)
    cmd = [tool, after if same else src, sheet, after] + (["--before"] if pos == "before" else []) + \
        ["--count", str(count)]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    label = "%s[%s] -> %s %s x%d" % (os.path.basename(src), sheet, "itself" if same else os.path.basename(dest),
                                       pos, count)
    if r.returncode != 0:
        return {"case": label, "status": "engine-error", "file": src, "sheet": sheet, "dest": src if same else dest,
                "detail": (r.stderr or r.stdout).strip()}
    # Dates keep the day they show across the 1900 and 1904 date systems.
    date_mode = "semantic"
    js = os.path.join(folder, "result.json")
    # The wide files as destinations may need, before and after, what the sources need.
    before_for_oracle, after_for_oracle = (readable_for_oracle(p, folder) or p if readable_destination else p
                                           for p in (before, after))
    ocmd = ["/usr/bin/python3", "-c", ORACLE_RUNNER, oracle, source_for_oracle, sheet, before_for_oracle,
            after_for_oracle, "--position",
            pos, "--count", str(count), "--json", js, "--quiet", "--date-mode", date_mode]
    if libreoffice:
        ocmd.append("--libreoffice")
    o = subprocess.run(ocmd, capture_output=True, text=True, timeout=1800)
    try:
        with open(js) as fh:
            res = json.load(fh)
    except (OSError, ValueError):
        return {"case": label, "status": "oracle-error", "detail": (o.stderr or o.stdout).strip()[-2000:]}
    items = res.get("checks", res) if isinstance(res, dict) else res
    fails = [i for i in items if i.get("status") == "FAIL"]
    warns = [i for i in items if i.get("status") == "WARN"]
    status = "fail" if fails or o.returncode != 0 else "pass"
    fail_lines = ["%s: %s" % (i.get("check"), i.get("reason")) for i in fails]
    # A destination openpyxl cannot read (styles it rejects, indices it trips on) leaves the
    # copy's cells unjudged here; LibreOffice judges them instead (office_judged).
    unread = [f for f in fail_lines if f.startswith(("open.openpyxl:", "copy: the output cannot be read by openpyxl"))]
    office_judge = bool(unread) and o.returncode in (0, 1) and any(
        i.get("check") == "original" and "openpyxl cannot read the destination" in (i.get("reason") or "")
        for i in warns)
    if office_judge:
        fail_lines = [f for f in fail_lines if f not in unread]
    if fail_lines:
        status = explained(fail_lines, source_for_oracle, sheet, after, oracle, before) or "fail"
    elif office_judge:
        status = "pass"
    if office_judge and status != "fail":
        status = "+".join(["office-judge"] + ([status] if fail_lines else []))
    out = {"case": label, "status": status, "date_mode": date_mode, "file": src, "dest": src if same else dest,
           "fails": ["%s: %s" % (i.get("check"), i.get("reason")) for i in fails],
           "warns": ["%s: %s" % (i.get("check"), i.get("reason")) for i in warns],
           "checks": len(items), "sheet": sheet, "position": pos, "count": count}
    if keep or office_judge:
        out["output"], out["folder"], out["before"] = after, folder, before
    elif status == "pass":
        shutil.rmtree(folder, ignore_errors=True)
    return out


# ---------------------------------------------------------------- the wide corpus

# Copies of legacy sources (.xls, .xlsb, .ods) go into these .xlsx destinations in turn, and a
# sample of every kind of source into the .xls and .ods ones; all of them are made by the
# command-line program, the only way into and out of those formats, and judged through
# LibreOffice (shared/oracle/check_copy_uno.py's comparisons, one LibreOffice for many copies).
WIDE_XLSX_DESTINATIONS = ["sheetjs_cell_styles.xlsx", "rxw_table_comments_image_link.xlsx", "made_other_theme.xlsx",
                          "poi_dv_table_print_area_titles.xlsx", "sheetjs_freeze_panes_4_sheets.xlsx"]
WIDE_LEGACY_DESTINATIONS = ["sheetjs_merged_cells.xls", "calamine_annotations.ods"]
LEGACY = (".xls", ".xlsb", ".ods")
# Sources per command-line run: LibreOffice starts once a run, which costs more than most copies.
CLI_BATCH = 8
# One native copy in LOAD_CHECK_EVERY also goes through LibreOffice's load check.
LOAD_CHECK_EVERY = 6
# One sheet of the native copies in LEGACY_SAMPLE_EVERY, and one legacy file in
# LEGACY_SAMPLE_EVERY // 2, is also copied into an .xls and an .ods destination.
LEGACY_SAMPLE_EVERY = 12
# A LibreOffice job (one load, or one command-line run's judging) that takes longer is given up.
OFFICE_JOB_SECONDS = 300


def load_failed(result):
    """Whether a LibreOffice load job ended in an error (not in a list of sheets to compare)."""
    return bool(result.get("error")) or any(
        c["status"] == "FAIL" and not c["reason"].startswith("loaded") for c in result.get("checks", []))


def sources_libreoffice_fails_on(kept, loads, shared, work, owner="file"):
    """{source: what LibreOffice said} for the sources (or with owner "dest", the destinations)
    of the copies it could not load, when it cannot load that file either (it ends itself on the
    sparklines of some files): the copy carries over what LibreOffice fails on, which is no fault
    of the copy."""
    folder = os.path.join(work, "sources-loaded")
    jobs = {}
    for r in kept:
        if load_failed(loads[r["case"]]) and r[owner] not in jobs:
            os.makedirs(folder, exist_ok=True)
            local = os.path.join(folder, "%03d_%s" % (len(jobs), os.path.basename(r[owner])))
            shutil.copyfile(r[owner], local)
            jobs[r[owner]] = {"id": r[owner], "kind": "load", "path": local, "expected": all_sheet_names(local)}
    said = office_jobs(list(jobs.values()), shared, work) if jobs else {}
    return {src: said[src].get("error") or next(c["reason"] for c in said[src]["checks"] if c["status"] == "FAIL")
            for src in jobs if load_failed(said[src])}


def all_sheet_names(path):
    """Every sheet of the workbook part, in tab order (dialog and macro sheets too)."""
    import xml.etree.ElementTree as ET
    with zipfile.ZipFile(path) as z:
        rels = ET.fromstring(z.read("_rels/.rels"))
        wb = next(r.get("Target") for r in rels if r.get("Type", "").endswith("/officeDocument")).lstrip("/")
        # Strict workbooks have their own namespace.
        return [s.get("name") for s in ET.fromstring(z.read(wb)).iter() if s.tag.endswith("}sheet")]


def wide_files(wide, kinds):
    return sorted(f for f in os.listdir(os.path.join(wide, "files")) if f.lower().endswith(kinds))


def tool_sheets(tool, path):
    """The worksheets the engine lists (for packages this script's reader does not follow, as
    Strict OOXML); nothing when the engine cannot open the file."""
    r = subprocess.run([tool, "--list", path], capture_output=True, text=True, timeout=300)
    lines = r.stdout.splitlines()
    return [x[2:] for x in lines[1:] if x.startswith("  ")] if r.returncode == 0 else []


def plan_wide_native(wide, corpus, made_dir, tool):
    """Every worksheet and chartsheet of every OOXML file of the wide corpus, after into one
    destination and before into another, taken in turn from all of them; files whose sheets
    neither this script nor the engine can read come back apart (the program must refuse them)."""
    dests = [os.path.join(corpus, d) for g in DESTINATION_GROUPS for d in g] + \
        [os.path.join(made_dir, m) for m in MADE]
    cases, unread, turn = [], [], 0
    for f in wide_files(wide, (".xlsx", ".xlsm")):
        path = os.path.join(wide, "files", f)
        try:
            sheets = sheet_names(path)
            why = "no worksheet or chartsheet in the package"
        except Exception as e:  # not a package, or not one this script can read
            sheets, why = [], "%s: %s" % (type(e).__name__, e)
        sheets = sheets or tool_sheets(tool, path)
        if not sheets:
            unread.append((path, why))
        for sheet in sheets:
            cases.append((path, sheet, dests[turn % len(dests)], "after", 1 + 2 * (turn % 2)))
            cases.append((path, sheet, dests[(turn + 7) % len(dests)], "before", 3 - 2 * (turn % 2)))
            turn += 1
    return cases, unread


def plan_wide_into(wide, corpus, tool, cross=0):
    """One copy into every OOXML file of the wide corpus, after or before its first sheet in
    turn, of the corpus's sheets taken in turn (with `cross`, of the other wide files' sheets):
    the wide files as destinations. A file whose sheets neither this script nor the engine can
    read comes back apart (the program must refuse it)."""
    if cross:
        sources = []
        for f in wide_files(wide, (".xlsx", ".xlsm")):
            try:
                sources += [(os.path.join(wide, "files", f), sheet) for sheet in sheet_names(os.path.join(wide, "files", f))]
            except Exception:  # not a package this script reads; it is judged as a destination
                pass
    else:
        sources = [(os.path.join(corpus, r["file"]), sheet) for r in load_manifest(corpus)
                   if r["file"].endswith((".xlsx", ".xlsm")) for sheet in sheet_names(os.path.join(corpus, r["file"]))]
    cases, unread = [], []
    for turn, f in enumerate(wide_files(wide, (".xlsx", ".xlsm"))):
        path = os.path.join(wide, "files", f)
        try:
            readable = bool(sheet_names(path))
            why = "no worksheet or chartsheet in the package"
        except Exception as e:  # not a package, or not one this script can read
            readable, why = False, "%s: %s" % (type(e).__name__, e)
        if not readable and not tool_sheets(tool, path):
            unread.append((path, why))
            continue
        pick = (turn * (cross or 7)) % len(sources)
        while cross and sources[pick][0] == path:
            pick = (pick + 1) % len(sources)
        src, sheet = sources[pick]
        cases.append((src, sheet, path, "after" if turn % 2 else "before", 1 + 2 * (turn % 3 == 0)))
    return cases, unread


def program_copies(cli, path, sheet, work, into=None):
    """Whether `tessaro-cli copy` copies the sheet into a new workbook (or a copy of `into`), and
    what it says."""
    import openpyxl
    dest = os.path.join(work, "probe" + (os.path.splitext(into)[1] if into else ".xlsx"))
    if into:
        shutil.copyfile(into, dest)
    else:
        openpyxl.Workbook().save(dest)
    try:
        r = subprocess.run([cli, "copy", "--sheet", "%s:%s" % (path, sheet), "--dest", dest, "--quiet"],
                           capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return False, "no answer within 300 s"
    return r.returncode == 0, (r.stdout if r.returncode == 0 else r.stderr).strip()


def program_says(cli, path):
    """What `tessaro-cli sheets` prints of a file (its sheets, or its refusal)."""
    try:
        r = subprocess.run([cli, "sheets", path], capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return False, "no answer within 300 s"
    return r.returncode == 0, (r.stdout if r.returncode == 0 else r.stderr).strip()


def office_jobs(jobs, shared, work):
    """Runs LibreOffice jobs in a worker process of this script, one LibreOffice for all; a job
    that hangs or takes the office down is reported as such and the rest go on in a new worker.
    -> {job id: result}."""
    results = {}
    todo = list(jobs)
    limits = {j["id"]: j.get("seconds", OFFICE_JOB_SECONDS) for j in jobs}
    while todo:
        jobfile = os.path.join(work, "office-jobs.json")
        out = os.path.join(work, "office-results.jsonl")
        with open(jobfile, "w") as fh:
            json.dump(todo, fh)
        open(out, "w").close()
        proc = subprocess.Popen(["/usr/bin/python3", os.path.abspath(__file__), "--office-worker", jobfile, out,
                                 "--shared", shared], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        current, since, soffice = None, time.time(), None
        try:
            current, soffice = watch_worker(proc, out, results, current, since, soffice, limits)
        finally:
            if proc.poll() is None:  # this script is ending: the worker and its office go with it
                stop_worker(proc, soffice)
        # A killed office leaves a lock file beside each corpus copy it had open, which would
        # make the next load of that copy fail.
        for lock in glob.glob(os.path.join(work, "corpus-copies", "*", ".~lock.*#")):
            os.remove(lock)
        stuck = [j["id"] for j in todo if j["id"] not in results]
        why = "no answer within %d s" % limits.get(current, OFFICE_JOB_SECONDS) if proc.returncode == -9 else \
            "the worker ended with status %s" % proc.returncode
        if stuck and current is None:  # LibreOffice never came up: nothing more can be judged
            for i in stuck:
                results[i] = {"id": i, "error": "LibreOffice gave no answer (%s)" % why}
        elif stuck:
            bad = current if current in stuck else stuck[0]
            results[bad] = {"id": bad, "error": "LibreOffice gave no answer (%s)" % why}
        todo = [j for j in todo if j["id"] not in results]
    return results


def stop_worker(proc, soffice):
    os.killpg(proc.pid, 9)  # the worker office_jobs started, in a session of its own
    if soffice:
        try:
            os.killpg(soffice, 9)  # the worker's LibreOffice, in a session of its own
        except ProcessLookupError:
            pass
    proc.wait()


def watch_worker(proc, out, results, current, since, soffice, limits):
    """Reads the worker's results as they come until it ends, or stops it when one job takes
    too long. -> (the job it was on, its LibreOffice's process id)."""
    seen = 0  # what has been read of `out`: a job's clock starts once, when its start is first read
    while True:
        done = proc.poll() is not None
        with open(out, "rb") as fh:
            fh.seek(seen)
            data = fh.read()
        whole = data[:data.rfind(b"\n") + 1]  # a line being written is read once it is whole
        seen += len(whole)
        for line in whole.decode().splitlines():
            rec = json.loads(line)
            if "soffice" in rec:
                soffice = rec["soffice"]
            elif "start" in rec:
                current, since = rec["start"], time.time()
            else:
                results[rec["id"]] = rec
        if done:
            break
        if current is not None and current not in results and time.time() - since > limits.get(current, OFFICE_JOB_SECONDS):
            stop_worker(proc, soffice)
            return current, soffice
        time.sleep(1)
    return current, soffice


def corpus_copy(path, work):
    """LibreOffice writes a lock file beside every file it loads, and a killed one leaves it
    there, where the next load sees the file as in use; so the corpus is loaded, by LibreOffice
    and by the program alike, from copies. A copy keeps its file name and shares a folder with
    the copies of its original's neighbours, so that a relative link to another workbook
    names the same file in the source the judge reads and in the one the program copied from."""
    real = os.path.realpath(path)
    folder = os.path.join(work, "corpus-copies", "%08x" % zlib.crc32(os.path.dirname(real).encode()))
    mine = os.path.join(folder, os.path.basename(real))
    if not os.path.exists(mine):
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(real, mine + ".part")
        os.replace(mine + ".part", mine)
    return mine


def office_worker(jobfile, out, shared):
    """The LibreOffice side of office_jobs: "list" loads a file and names its sheets; "load"
    loads a native copy's output and compares the sheets LibreOffice sees with the package's;
    "judge" judges one command-line run's copies with the legacy oracle's comparisons."""
    sys.path.insert(0, os.path.join(shared, "oracle"))
    import lo_uno
    import check_copy_uno as U
    C = U.C
    with open(jobfile) as fh:
        jobs = json.load(fh)
    fh = open(out, "a")

    def emit(rec):
        fh.write(json.dumps(rec, default=str) + "\n")
        fh.flush()
    work = os.path.dirname(os.path.abspath(jobfile))

    def local(path):
        if not os.path.realpath(path).startswith(os.path.realpath(shared) + os.sep):
            return path
        return corpus_copy(path, work)
    office = None
    for job in jobs:
        if office is None or not office.alive():
            if office is not None:
                office.stop()
            office = lo_uno.Office()
            office.start()
            emit({"soffice": office.proc.pid})
        emit({"start": job["id"]})
        rep = C.Report(quiet=True)
        try:
            if job["kind"] == "list":
                doc = office.load(local(job["path"]))
                names = lo_uno.sheet_names(doc)
                office.close(doc)
                emit({"id": job["id"], "names": names})
                continue
            if job["kind"] == "convert":
                doc = office.load(local(job["path"]))
                office.store(doc, job["out"])
                views = frozen_views(doc)
                office.close(doc)
                emit({"id": job["id"], "converted": job["out"], "views": views})
                continue
            if job["kind"] == "load":
                doc = office.load(job["path"])
                names = lo_uno.sheet_names(doc)
                office.close(doc)
                extra = names[len(job["expected"]):]
                if names == job["expected"]:
                    rep.ok("open.libreoffice", "loads hidden, %d sheets" % len(names))
                elif names[:len(job["expected"])] == job["expected"] and office_pivot_caches(job["path"], extra):
                    rep.warn("open.libreoffice", "loaded; LibreOffice adds %s for a pivot cache" % extra)
                elif office_scenarios(job["path"], names, job["expected"]):
                    rep.warn("open.libreoffice", "loaded; LibreOffice shows the scenarios %s as sheets" %
                             office_scenarios(job["path"], names, job["expected"]))
                else:
                    rep.fail("open.libreoffice", "loaded, but LibreOffice sees sheets %s" % names)
            else:
                judge_run(office, rep, job, U, C, lo_uno, local)
        except Exception as e:  # the finding of this job; the next one goes on, in a fresh office
            rep.fail("open.libreoffice", "%s: %s" % (type(e).__name__, e))
            office.stop()  # once a load went wrong, later loads in the same office fail too
            office = None
        emit({"id": job["id"], "checks": rep.results})
    if office is not None:
        office.stop()
    fh.close()


def judge_run(office, rep, job, U, C, lo_uno, local):
    """The destination of one command-line run: its sheets in order (the copies behind the old
    ones under the names the naming rule gives), its old sheets unchanged, and each copy equal
    to its source sheet (check_copy_uno's comparison)."""
    docs = []
    try:
        before = office.load(job["before"])
        docs.append(before)
        try:
            after = office.load(job["after"])
        except Exception as e:  # the program's output does not load: that is the finding
            rep.fail("open.libreoffice", "%s: %s" % (type(e).__name__, e))
            return
        docs.append(after)
        rep.ok("open.libreoffice", "the destination loads")
        bnames, anames = lo_uno.sheet_names(before), lo_uno.sheet_names(after)
        order, copies, judged = list(bnames), [], []
        for copy in job["copies"]:
            src, sheet = copy[:2]
            pos, count = copy[2:] or ("after", 1)
            order, made = C.expected_order(order, ["worksheet"] * len(order), sheet, "worksheet", pos, count, 1,
                                           "excel", "last")
            copies += made
            judged += [(src, sheet)] * len(made)
        extra = [n for n in anames if n not in order]
        if anames != order and [n for n in anames if n not in extra] == order and \
                office_pivot_caches(job["after"], extra):
            rep.warn("order", "LibreOffice adds %s for a pivot cache" % extra)
        else:
            rep.verdict("order", [] if anames == order else ["expected %s, got %s" % (order, anames)], "%s" % anames)
        for n in bnames:
            tag = "original[%s]" % n
            if n not in anames:
                rep.fail(tag, "sheet is gone")
                continue
            sb, sa = before.Sheets.getByName(n), after.Sheets.getByName(n)
            fb = sb.getCellRangeByPosition(0, 0, *U.used_end(sb)).getFormulaArray()
            fa = sa.getCellRangeByPosition(0, 0, *U.used_end(sa)).getFormulaArray()
            bad = [] if fb == fa else ["cell contents differ"]
            if sb.IsVisible != sa.IsVisible:
                bad.append("visible %s -> %s" % (sb.IsVisible, sa.IsVisible))
            rep.verdict(tag, bad, "unchanged")
        sources, conversions = {}, {}
        for i, ((src, sheet), name) in enumerate(zip(judged, copies), 1):
            tag = "copy[%d:%s]" % (i, name)
            if src not in sources:
                try:
                    sources[src] = office.load(local(src))
                    docs.append(sources[src])
                except Exception as e:  # this copy cannot be judged; the others can
                    sources[src] = "%s: %s" % (type(e).__name__, e)
            doc = sources[src]
            if isinstance(doc, str):
                rep.fail(tag, "the source does not load: " + doc)
                continue
            if not after.Sheets.hasByName(name):
                rep.fail(tag, "missing from the output")
                continue
            shift = (U.null_date(doc) - U.null_date(after)).days
            s, d = as_stored(U.snapshot(doc, doc.Sheets.getByName(sheet)), U.snapshot(after, after.Sheets.getByName(name)),
                             format_key(C.numfmt_key))
            same_error_values(s, d, doc.Sheets.getByName(sheet), after.Sheets.getByName(name))
            scaled_widths(rep, tag, s, d)
            known = len(rep.results)
            U.compare_copy(rep, tag, s, d, sheet, name, shift, "semantic")
            captions_only(rep, known, tag, doc.Sheets.getByName(sheet), after.Sheets.getByName(name))
            if not any(c["status"] == "FAIL" for c in rep.results[known:]):
                continue
            # The program reads a legacy file through LibreOffice's .xlsx conversion of it; the
            # same comparison against that conversion tells the conversion's differences from
            # the copy's.
            try:
                if src not in conversions:
                    converted = os.path.join(os.path.dirname(job["after"]), "converted%d.xlsx" % len(conversions))
                    office.store(doc, converted)
                    conversions[src] = office.load(converted)
                    docs.append(conversions[src])
                conv = conversions[src]
                if not conv.Sheets.hasByName(sheet):
                    rep.fail(AS_CONVERTED + tag, "LibreOffice's conversion of the source has no sheet %r" % sheet)
                    continue
                shift = (U.null_date(conv) - U.null_date(after)).days
                s, d = as_stored(U.snapshot(conv, conv.Sheets.getByName(sheet)),
                                 U.snapshot(after, after.Sheets.getByName(name)), format_key(C.numfmt_key))
                same_error_values(s, d, conv.Sheets.getByName(sheet), after.Sheets.getByName(name))
                scaled_widths(rep, AS_CONVERTED + tag, s, d)
                known = len(rep.results)
                U.compare_copy(rep, AS_CONVERTED + tag, s, d, sheet, name, shift, "semantic")
                captions_only(rep, known, AS_CONVERTED + tag, conv.Sheets.getByName(sheet), after.Sheets.getByName(name))
            except Exception as e:  # this copy's second comparison; the others go on
                rep.fail(AS_CONVERTED + tag, "%s: %s" % (type(e).__name__, e))
    finally:
        for d in docs:
            office.close(d)


CAPTIONS_ONLY = " (comment captions only)"


def captions_only(rep, known, tag, source, copy):
    """LibreOffice draws a caption shape for every comment of an .xlsx or .xlsb it reads, and
    for none of an .ods or .xls until the comment is shown, and the judge counts those shapes
    as drawing objects. A shapes check of `tag` failed since results[known] is marked as that
    alone when the comments check passed and the two sheets hold as many shapes other than
    captions."""
    def others(sheet):
        page = sheet.DrawPage
        return sum(1 for k in range(page.Count) if page.getByIndex(k).ShapeType != "com.sun.star.drawing.CaptionShape")
    checks = {c["check"]: c for c in rep.results[known:]}
    shapes, comments = checks.get(tag + ".shapes"), checks.get(tag + ".comments")
    if shapes and shapes["status"] == "FAIL" and comments and comments["status"] == "PASS" and \
            others(source) == others(copy):
        shapes["reason"] += CAPTIONS_ONLY


def format_key(numfmt_key):
    """The oracle's key of a number format (`numfmt_key`), with two spellings of one format taken
    as one, which LibreOffice writes into an .ods and reads back otherwise: a condition and a
    colour in either order ([RED][<-25]General and [<-25][RED]General), and a comma of a date or
    time section, which is literal there, in quotes or not (D", "YYYY and D," "YYYY)."""
    def key(code):
        if not code:
            return numfmt_key(code)
        sections, part, quoted = [], "", False
        for ch in code:
            if ch == '"':
                quoted = not quoted
            if ch == ";" and not quoted:
                sections.append(part)
                part = ""
            else:
                part += ch
        sections.append(part)
        out = []
        for section in sections:
            tags = re.match(r"(?:\[[^\]]*\])*", section).group(0)
            rest = section[len(tags):]
            parts = re.findall(r"\[[^\]]*\]", tags)
            parts.sort(key=lambda t: 0 if re.match(r"\[[<>=]", t) else 1)
            bare = re.sub(r'"[^"]*"|\[[^\]]*\]|\\.', "", rest)
            if not re.search(r"[0#?]", bare) and re.search(r"[yYmMdDhHsS]", bare):
                rest = re.sub(r'("[^"]*")|,', lambda m: m.group(1) or '","', rest)
            out.append("".join(parts) + rest)
        return numfmt_key(";".join(out))
    return key


def as_stored(s, d, numfmt_key):
    """A source sheet `s` and its copy `d` as the file formats can hold them, for comparing
    through LibreOffice: numbers equal to 15 significant digits (what an .xlsx keeps; the last
    digit may round either way) are equal, number formats compare by meaning (`numfmt_key`:
    "$" = \\$), and "bottom" is the vertical alignment LibreOffice calls "standard" (what a
    cell without one shows). -> (s, d)"""
    import math
    rows = []
    for r, row in enumerate(d["data"]):
        mine = s["data"][r] if r < len(s["data"]) else ()
        rows.append(tuple(mine[c] if c < len(mine) and isinstance(v, float) and isinstance(mine[c], float) and
                          math.isclose(v, mine[c], rel_tol=1e-14) else v for c, v in enumerate(row)))
    d["data"] = rows

    def empty(snap, r, c):
        return r >= len(snap["formulas"]) or c >= len(snap["formulas"][r]) or snap["formulas"][r][c] == ""
    for snap in (s, d):
        snap["fmt"] = {k: ((numfmt_key(sig[0]),) + sig[1:9] + (3 if sig[9] == 0 else sig[9],) + sig[10:], x)
                       for k, (sig, x) in snap["fmt"].items()}
        # LibreOffice cannot tell a cell the file does not have from an empty one: both show
        # the workbook's default format, which is the destination's in the copy. Of a cell
        # empty on both sides only the background shows, so only that is compared.
        snap["fmt"] = {k: (((None,) * 7 + sig[7:8] + (None,) * 3, x) if empty(s, *k) and empty(d, *k) else (sig, x))
                       for k, (sig, x) in snap["fmt"].items()}
    # A merged range shows its first cell's font, colours and alignment over the whole range:
    # the other cells' own (which a file may give the first cell's, as LibreOffice's .xlsx of an
    # .xlsb does, or not) do not show. Ranges merged in both are left out of the comparison; a
    # difference in the ranges themselves is the merged check's.
    for top, left, bottom, right in s["merged"] & d["merged"]:
        for r in range(top, bottom + 1):
            for c in range(left, right + 1):
                if (r, c) != (top, left):
                    s["fmt"].pop((r, c), None)
                    d["fmt"].pop((r, c), None)
    return s, d


# LibreOffice's numbers of the error constants.
LO_ERRORS = {"#NULL!": 521, "#DIV/0!": 532, "#VALUE!": 519, "#REF!": 524, "#NAME?": 525, "#NUM!": 503, "#N/A": 32767}


def same_error_values(s, d, source, copy):
    """LibreOffice shows an error value read from an .xls or .xlsb as the formula "=" holding the
    error (#N/A as "=NA()"), the same value read from an .xlsx as "=#VALUE!", and one a pivot
    table shows as "#VALUE!" (a copy holds the values a pivot table showed): where one side shows
    one of those and the other another, and both cells hold the same error, the copy's formula is
    taken as the source's."""
    def one_error(f):
        return re.fullmatch(r"=#[A-Z0-9/!?]+", f)
    for r, row in enumerate(s["formulas"]):
        for c, f in enumerate(row):
            if r >= len(d["formulas"]) or c >= len(d["formulas"][r]):
                continue
            g = d["formulas"][r][c]
            if f != g and ((f == "=" and one_error(g)) or (g == "=" and one_error(f)) or
                           {f, g} == {"=NA()", "=#N/A"} or (g == "=" + f and one_error(g))):
                error = source.getCellByPosition(c, r).getError()
                # LibreOffice calculates =#NAME? read from an .xlsb as Err:520: the constant
                # says the value.
                if error == 520 and one_error(f):
                    error = LO_ERRORS.get(f[1:], error)
                if error and error == copy.getCellByPosition(c, r).getError():
                    rows = [list(x) for x in d["formulas"]]
                    rows[r][c] = f
                    d["formulas"] = tuple(tuple(x) for x in rows)


def scaled_widths(rep, tag, s, d):
    """Column widths are kept as stored, in characters of the workbook's default font, so a copy
    into a workbook with another default font shows every column wider or narrower by one
    factor (LibreOffice reports the physical width). When every differing column changed by the
    same factor (within 3%: a column's margins are pixels, not characters, so the factor varies a
    little with the width; 1.7% was seen between a 22.5-character column and a default one), the
    copy's widths are divided by it and the factor is a warning; a lost or wrong width breaks
    the common factor and still fails."""
    ratios = [b[0] / a[0] for a, b in zip(s["cols"], d["cols"]) if a[1] == b[1] and abs(a[0] - b[0]) > 20 and a[0] > 0]
    if not ratios or max(ratios) > min(ratios) * 1.03:
        return
    f = sum(ratios) / len(ratios)
    # Each column the factor explains counts as its source's width.
    d["cols"] = [(a[0], b[1]) if a[1] == b[1] and a[0] > 0 and abs(b[0] / a[0] - f) <= 0.03 * f else b
                 for a, b in zip(s["cols"], d["cols"])] + d["cols"][len(s["cols"]):]
    rep.warn(tag + ".columns-scaled", "%d of %d column widths differ by one factor, %.3f (another default font)" % (
        len(ratios), len(s["cols"]), f))


def cli_run(cli, copies, dest, folder):
    """Copies each (source, sheet) into a copy of `dest` with one command-line run.
    -> (before, after, report lines, error text)."""
    os.makedirs(folder, exist_ok=True)
    base = os.path.basename(dest)
    before, after = os.path.join(folder, "before_" + base), os.path.join(folder, base)
    shutil.copyfile(dest, before)
    shutil.copyfile(dest, after)
    report = os.path.join(folder, "report.jsonl")
    cmd = [cli, "copy", "--dest", after, "--report", report, "--quiet"]
    for src, sheet in copies:
        cmd += ["--sheet", "%s:%s" % (src, sheet)]
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=1800)
        err = r.stderr.strip()
    except subprocess.TimeoutExpired:
        err = "no answer within 1800 s"
    lines = []
    if os.path.isfile(report):
        with open(report) as fh:
            lines = [json.loads(x) for x in fh if x.strip()]
    return before, after, [x for x in lines if "totals" not in x], err


def run_wide_legacy(cli, shared, corpus, made_dir, work, native_cases, only, part, again=None, per_copy=30,
                    samples_only=False):
    """Legacy sources into .xlsx destinations, and a sample of all sources into .xls and .ods
    ones, through the command-line program; -> (results, refusals)."""
    wide = os.path.join(shared, "corpus-wide")
    legacy = [os.path.join(wide, "files", f) for f in wide_files(wide, LEGACY)]
    if only:
        legacy = [p for p in legacy if any(o in os.path.basename(p) for o in only)]
    if part:
        k, n = (int(x) for x in part.split("/"))
        legacy = [p for i, p in enumerate(legacy) if i % n == k]
    if again is not None:
        legacy = [p for p in legacy if os.path.realpath(p) in {os.path.realpath(f) for f in again}]
    listed = office_jobs([{"id": p, "kind": "list", "path": p} for p in legacy], shared, work)
    sheets, unread = {}, []
    for p in legacy:
        if listed[p].get("names"):
            sheets[p] = listed[p]["names"]
        else:
            unread.append((p, listed[p].get("error") or listed[p].get("checks")))
    dests = [os.path.join(made_dir if d in MADE else corpus, d) for d in WIDE_XLSX_DESTINATIONS]
    runs = []  # (label, copies, destination)
    files = [p for p in legacy if p in sheets]
    for b in range(0, 0 if samples_only else len(files), CLI_BATCH):
        group = files[b:b + CLI_BATCH]
        runs.append(("legacy%03d" % (b // CLI_BATCH), [(p, s) for p in group for s in sheets[p]],
                     dests[(b // CLI_BATCH) % len(dests)]))
    # Each sheet is copied after and before, in neighbouring cases that parts of an even count
    # keep apart: the sample takes the copies after alone, so that no two parts take one sheet.
    sample = [c[:2] for c in native_cases if c[3] == "after"][::LEGACY_SAMPLE_EVERY] + \
        [(p, sheets[p][0]) for p in files[::LEGACY_SAMPLE_EVERY // 2]]
    for b in range(0, len(sample), CLI_BATCH):
        d = WIDE_LEGACY_DESTINATIONS[(b // CLI_BATCH) % len(WIDE_LEGACY_DESTINATIONS)]
        runs.append(("sample%03d" % (b // CLI_BATCH), sample[b:b + CLI_BATCH], os.path.join(corpus, d)))
    results, jobs, made, notes = [], [], {}, {}
    for label, copies, dest in runs:
        folder = os.path.join(work, label)
        before, after, lines, err = cli_run(cli, [(corpus_copy(src, work), sheet) for src, sheet in copies], dest, folder)
        done = []
        for (src, sheet) in copies:
            # The program reports each path as it resolved it.
            rec = next((x for x in lines if os.path.realpath(x.get("source", "")) == corpus_copy(src, work) and
                        x.get("sheet") == sheet), None)
            case = "%s[%s] -> %s (%s)" % (os.path.basename(src), sheet, os.path.basename(dest), label)
            if rec is not None and rec.get("result") == "copied":
                done.append((src, sheet, case))
                notes[case] = rec.get("notes") or []
            else:
                detail = rec.get("error") if rec else (err or "no report line")
                # The program's own refusal of a copy into this format, naming the sheet and what
                # LibreOffice would break; the file itself copies into an .xlsx.
                status = "refused-for-format" if any(f in detail for f in FORMAT_REFUSAL) else "engine-error"
                results.append({"case": case, "status": status, "file": src, "detail": detail})
        if done:
            # Each copy's source is loaded, and may be converted and loaded again.
            jobs.append({"id": label, "kind": "judge", "before": before, "after": after, "seconds": 60 + per_copy * len(done),
                         "copies": [[corpus_copy(s, work), n] for s, n, _ in done]})
            made[label] = (done, folder, after)
    judged = office_jobs(jobs, shared, work)
    for label, (done, folder, after) in made.items():
        res = judged[label]
        checks = res.get("checks") or [{"status": "FAIL", "check": "judge", "reason": res.get("error")}]
        shared_fails = [c for c in checks if c["status"] == "FAIL" and not c["check"].startswith(("copy[", AS_CONVERTED))]
        all_ok = not any(c["status"] == "FAIL" for c in checks)
        for i, (src, sheet, case) in enumerate(done, 1):
            mine = [c for c in checks if c["check"].startswith("copy[%d:" % i)] + shared_fails
            fails = ["%s: %s" % (c["check"], c["reason"]) for c in mine if c["status"] == "FAIL"]
            converted = [c for c in checks if c["check"].startswith(AS_CONVERTED + "copy[%d:" % i)]
            conv_fails = ["%s: %s" % (c["check"], c["reason"]) for c in converted if c["status"] == "FAIL"]
            constants = [f for f in fails + conv_fails if error_constants(after, f) or unread_error_constants(after, f) or
                         booleans_read_as_general(after, f) or error_constants_put_back(src, sheet, f) or
                         whole_rows_as_areas(after, f)]
            remeasured = [f for f in fails if remeasured_rows(after, f)]
            named_formats = [f for f in fails if formats_an_ods_named(after, f, notes[case]) or
                             words_named(after, f, notes[case])]
            captions = [f for f in fails + conv_fails if f.endswith(CAPTIONS_ONLY)]
            fails = [f for f in fails if f not in constants and f not in remeasured and f not in captions and
                     f not in named_formats]
            conv_fails = [f for f in conv_fails if f not in constants and f not in captions]
            status = "fail" if fails else "pass"
            if fails and converted and not shared_fails and not conv_fails:
                status = "legacy-conversion"
            results.append({"case": case, "status": status, "file": src, "fails": fails, "error_constants": constants,
                            "remeasured_rows": remeasured, "comment_captions": captions, "formats_named": named_formats,
                            "as_converted": conv_fails, "notes": notes[case],
                            "warns": ["%s: %s" % (c["check"], c["reason"]) for c in mine if c["status"] == "WARN"],
                            "checks": len(mine), "office_load": True})
        if all_ok:
            shutil.rmtree(folder, ignore_errors=True)
    recheck_in_package(cli, shared, work, results, {label: dest for label, _, dest in runs})
    return results, unread


BIFF_ERRORS = {"#NULL!": 0x00, "#DIV/0!": 0x07, "#VALUE!": 0x0F, "#REF!": 0x17, "#NAME?": 0x1D, "#NUM!": 0x24, "#N/A": 0x2A}
XLS_CELL = re.compile(r"R(\d+)C(\d+): (=.*|#[A-Z0-9/!?]+) -> (=.*)$")
IN_QUOTES = re.compile(r'"[^"]*"')
CONSTANT_IN_FORMULA = re.compile(r"(?<![A-Za-z0-9_$.#!'])(#NULL!|#DIV/0!|#VALUE!|#REF!|#NAME\?|#NUM!|#N/A)(?![A-Za-z0-9_$.#!'])")


def xls_cells(path, sheet):
    """The formulas and error values of the sheet named `sheet` of an .xls (BIFF8), from its
    records: (row, column) -> ("formula", tokens) or ("error", code). A cell of a shared formula
    has the shared formula's tokens."""
    import olefile
    import struct
    with olefile.OleFileIO(path) as ole:
        s = ole.openstream("Workbook").read()
    at, where = 0, None
    while at + 4 <= len(s):
        kind, size = struct.unpack_from("<HH", s, at)
        body = s[at + 4:at + 4 + size]
        if kind == 0x0085 and len(body) >= 8:
            n, wide = body[6], body[7] & 1
            name = body[8:8 + n * (2 if wide else 1)].decode("utf-16-le" if wide else "latin-1")
            if name == sheet:
                where = struct.unpack_from("<I", body)[0]
        elif kind == 0x000A:
            break
        at += 4 + size
    found, shared, last, depth, at = {}, {}, None, 0, where if where is not None else len(s)
    while at + 4 <= len(s):
        kind, size = struct.unpack_from("<HH", s, at)
        body = s[at + 4:at + 4 + size]
        if kind == 0x0809:
            depth += 1
        elif kind == 0x000A:
            depth -= 1
            if depth == 0:
                break
        elif depth == 1 and kind == 0x0006 and len(body) >= 22:
            tokens = body[22:22 + struct.unpack_from("<H", body, 20)[0]]
            boolean = body[6] == 1 and body[12:14] == b"\xff\xff"
            last = struct.unpack_from("<HH", body)
            found[last] = ("boolean formula" if boolean else "formula", tokens)
        elif depth == 1 and kind == 0x04BC and len(body) >= 10:
            shared[last] = body[10:10 + struct.unpack_from("<H", body, 8)[0]]
        elif depth == 1 and kind == 0x0205 and len(body) >= 8:
            found[struct.unpack_from("<HH", body)] = ("error", body[6]) if body[7] == 1 else ("boolean", body[6])
        at += 4 + size
    for cell, (kind, tokens) in found.items():
        if kind.endswith("formula") and len(tokens) == 5 and tokens[0] == 0x01:
            group = shared.get(struct.unpack_from("<HH", tokens, 1))
            if group is not None:
                found[cell] = (kind, group)
    return found


def xls_check(after, check, kind):
    """A judge's check of that kind ("cells", "styles") on a copy in the .xls `after`, with the
    copy's cells as the file holds them. -> (items, how many it counts, cells), or None."""
    named = cell_check(check, r"copy\[\d+:(.*)\]\.%s$" % kind)
    if not named or not after.lower().endswith(".xls"):
        return None
    sheet, items, total = named
    try:
        return items, total, xls_cells(after, sheet)
    except (OSError, ValueError, ImportError):
        return None


def unread_error_constants(after, check):
    """LibreOffice reads an error constant inside a formula of an .xls as nothing, and #N/A as
    NA() (=IF(A1>0,#VALUE!,2) reads =IF(A1>0;;2)), and an error value as a formula of nothing
    (=). The program writes the constants (tErr) and the values (BOOLERR) into the file, so such
    a cell check is accepted when, for every cell it names, the copy shows the source's formula
    read that way and the file holds each constant at that cell, as a token of the formula or as
    the cell's error value. When the judge names the first cells only, the sheet must hold as many
    such cells as it counts. -> whether `check` ("name: reason") is only that."""
    read = xls_check(after, check, "cells")
    if not read:
        return False
    items, total, cells = read

    def holds(cell, constants):
        kind, value = cell
        if kind.startswith("boolean"):
            return False
        if kind == "error":
            return len(constants) == 1 and value == BIFF_ERRORS[constants[0]]
        return all(value.count(bytes([0x1C, BIFF_ERRORS[c]])) >= constants.count(c) for c in set(constants))

    for item in items:
        cell = XLS_CELL.match(item)
        if not cell:
            return False
        source, copy = cell.group(3), cell.group(4)
        parts = IN_QUOTES.split(source)
        constants = [c for p in parts for c in CONSTANT_IN_FORMULA.findall(p)]
        at = cells.get((int(cell.group(1)) - 1, int(cell.group(2)) - 1))
        if not constants or at is None or not holds(at, constants):
            return False
        texts = IN_QUOTES.findall(source) + [""]
        read = "".join(CONSTANT_IN_FORMULA.sub(lambda c: "NA()" if c.group(1) == "#N/A" else "", p) + texts[k]
                       for k, p in enumerate(parts))
        if copy != ("=" if at[0] == "error" else read):
            return False
    with_constants = sum(1 for kind, value in cells.values()
                         if kind == "error" or (kind == "formula" and
                                                any(value.count(bytes([0x1C, code])) for code in BIFF_ERRORS.values())))
    return with_constants >= total


WHOLE_ROWS_AS_AREA = re.compile(r"\$A(\$?\d+):\$IV(\$?\d+)")
# A tArea (tAreaN in a shared formula) of every one of an .xls's 256 columns.
FULL_WIDTH_AREA = re.compile(rb"[\x25\x45\x65\x2d\x4d\x6d].{4}\x00[\x00\x40\x80\xc0]\xff[\x00\x40\x80\xc0]", re.S)


def whole_rows_as_areas(after, check):
    """The program writes whole rows (5:6) into an .xls as an area of its 256 columns, as a
    spreadsheet application writes them (LibreOffice would write #REF!); LibreOffice reads that
    area back as $A5:$IV6. A cell check of a copy into an .xls is accepted when, for every cell
    it names, the copy's formula with such areas read as rows is the source's, and the file holds
    such an area at that cell (where the judge names the first only, the sheet holds as many).
    -> whether `check` ("name: reason") is only that."""
    read = xls_check(after, check, "cells")
    if not read:
        return False
    items, total, cells = read
    for item in items:
        cell = XLS_CELL.match(item)
        if not cell or not WHOLE_ROWS_AS_AREA.search(cell.group(4)):
            return False
        at = cells.get((int(cell.group(1)) - 1, int(cell.group(2)) - 1))
        if WHOLE_ROWS_AS_AREA.sub(r"\1:\2", cell.group(4)) != cell.group(3) or at is None or \
                at[0] != "formula" or not FULL_WIDTH_AREA.search(at[1]):
            return False
    return sum(1 for kind, value in cells.values() if kind == "formula" and FULL_WIDTH_AREA.search(value)) >= total


def error_constants_put_back(src, sheet, check):
    """LibreOffice reads an error constant inside a formula of an .xls as nothing (#N/A as NA()),
    and the program puts each back from the file before the sheet is copied, so the copy shows
    the constants where LibreOffice's reading of the source (and its own conversion of it) does
    not. A cell check of a copy of the sheet `sheet` of the .xls `src` is accepted when, for every
    cell it names, the two formulas are the same but for constants the copy has more, and the
    source file holds each at that cell (and, where the judge names the first only, the sheet
    holds as many formulas with such constants as it counts). -> whether `check` ("name:
    reason") is only that."""
    if not src.lower().endswith(".xls"):
        return False
    named = cell_check(check, r"(?:%s)?copy\[\d+:(.*)\]\.cells$" % AS_CONVERTED)
    if not named:
        return False
    try:
        cells = xls_cells(src, sheet)
    except (OSError, ValueError, ImportError):
        return False

    def constants(formula):
        return [c for p in IN_QUOTES.split(formula) for c in CONSTANT_IN_FORMULA.findall(p) if c != "#N/A"]

    def without(formula):
        texts = IN_QUOTES.findall(formula) + [""]
        return "".join(CONSTANT_IN_FORMULA.sub(lambda c: c.group(1) if c.group(1) == "#N/A" else "", p) + texts[k]
                       for k, p in enumerate(IN_QUOTES.split(formula)))

    for item in named[1]:
        cell = XLS_CELL.match(item)
        if not cell:
            return False
        source, copy = cell.group(3), cell.group(4)
        at = cells.get((int(cell.group(1)) - 1, int(cell.group(2)) - 1))
        if at is None or at[0] != "formula" or without(source) != without(copy):
            return False
        more = constants(copy)
        for c in constants(source):
            if c in more:
                more.remove(c)
        if not more or any(at[1].count(bytes([0x1C, BIFF_ERRORS[c]])) < more.count(c) for c in set(more)):
            return False
    # Where the judge names the first cells only, the sheet must hold as many such formulas.
    return sum(1 for kind, value in cells.values() if kind == "formula" and
               any(value.count(bytes([0x1C, code])) for c, code in BIFF_ERRORS.items() if c != "#N/A")) >= named[2]


XLS_STYLE = re.compile(r"R(\d+)C(\d+): (\(.*\)) -> (\(.*\))$")


def booleans_read_as_general(after, check):
    """LibreOffice reads every boolean of an .xls (a BOOLERR value, or a formula whose result is
    a boolean) with the number format General, where it shows one of an .xlsx as BOOLEAN. A
    style check of a copy into an .xls is accepted when that is all it names, at cells the file
    holds as booleans (and, where the judge names the first only, as many booleans as it
    counts). -> whether `check` ("name: reason") is only that."""
    read = xls_check(after, check, "styles")
    if not read:
        return False
    items, total, cells = read
    for item in items:
        cell = XLS_STYLE.match(item)
        if not cell:
            return False
        try:
            was, now = ast.literal_eval(cell.group(3)), ast.literal_eval(cell.group(4))
        except (ValueError, SyntaxError):
            return False
        kind = cells.get((int(cell.group(1)) - 1, int(cell.group(2)) - 1), ("", None))[0]
        if was[0] != "BOOLEAN" or now[0] != "General" or was[1:] != now[1:] or not kind.startswith("boolean"):
            return False
    # The judge names the first cells only: the sheet must hold as many booleans as it counts.
    return bool(items) and sum(1 for kind, _ in cells.values() if kind.startswith("boolean")) >= total


def cell_check(check, pattern):
    """A judge's check ("name: item; item; ... (N in all)") whose name matches `pattern`, whose
    group is the sheet. -> (sheet, the items it names, how many it counts), or None."""
    name, _, reason = check.partition(": ")
    m = re.match(pattern, name)
    if not m:
        return None
    items = reason.split("; ")
    total = len(items)
    if items and items[-1].startswith("..."):
        n = re.search(r"\((\d+) in all\)", items.pop())
        if not n:
            return None
        total = int(n.group(1))
    return m.group(1), items, total


ERROR_CONSTANT = re.compile(r"R(\d+)C(\d+): (?:=|Err:520) -> =(#[A-Z0-9/!?]+)$")


def error_constants(after, check):
    """A legacy workbook can hold an error as a constant. LibreOffice shows it as a formula
    without tokens whose result is the error; its own .xlsx conversion writes an empty formula
    (which it then reads as Err:520), and the copy writes the error value itself (`t="e"`), as a
    spreadsheet application does, which LibreOffice shows as the formula "=#NULL!". The judge's
    cell comparison sees formulas only, so such a check is accepted when every cell it names
    holds that error as a value in the copy's package and it names as many cells as the copy
    holds error values. -> whether `check` ("name: reason") is only that."""
    import xml.etree.ElementTree as ET
    named = cell_check(check, r"(?:%s)?copy\[\d+:(.*)\]\.cells$" % AS_CONVERTED)
    if not named:
        return False
    sheet, items, total = named
    try:
        part = sheet_part(after, sheet)
        with zipfile.ZipFile(after) as z:
            root = ET.fromstring(z.read(part))
    except (OSError, KeyError, TypeError, ValueError, zipfile.BadZipFile, ET.ParseError):
        return False
    errors = {}
    for c in root.iter("{%s}c" % MAIN):
        if c.get("t") == "e" and c.find("{%s}f" % MAIN) is None:
            errors[c.get("r")] = c.findtext("{%s}v" % MAIN)
    for item in items:
        cell = ERROR_CONSTANT.match(item)
        if not cell:
            return False
        ref = openpyxl_ref(int(cell.group(1)), int(cell.group(2)))
        if errors.get(ref) != cell.group(3):
            return False
    return total == len(errors)


ODS_ROW = re.compile(r"row (\d+): \((\d+), True\) -> \((\d+), True\)$")


def remeasured_rows(after, check):
    """A row of automatic height is as high as its reader measures it: LibreOffice measures it
    again when it reads an .ods, for the fonts it has, whatever height the file stores, and it
    writes its own measure when it writes one. So a row check of a copy in an .ods is accepted
    when every row it names is of automatic height in the source and the copy and the file
    marks it so. The judge names the first rows only; the others are taken to be of the same
    kind.
    -> whether `check` ("name: reason") is only that."""
    import xml.etree.ElementTree as ET
    name, _, reason = check.partition(": ")
    m = re.match(r"copy\[\d+:(.*)\]\.rows$", name)
    if not m or not after.endswith(".ods"):
        return False
    items = reason.split("; ")
    if items and items[-1].startswith("..."):
        items.pop()
    office = "urn:oasis:names:tc:opendocument:xmlns:office:1.0"
    table = "urn:oasis:names:tc:opendocument:xmlns:table:1.0"
    style = "urn:oasis:names:tc:opendocument:xmlns:style:1.0"
    try:
        with zipfile.ZipFile(after) as z:
            root = ET.fromstring(z.read("content.xml"))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile, ET.ParseError):
        return False
    automatic = {}
    for st in root.iter("{%s}style" % style):
        props = st.find("{%s}table-row-properties" % style)
        if props is not None:
            automatic[st.get("{%s}name" % style)] = props.get("{%s}use-optimal-row-height" % style) == "true"
    sheet = next((t for t in root.iter("{%s}table" % table) if t.get("{%s}name" % table) == m.group(1)), None)
    if sheet is None:
        return False
    rows = []
    for row in sheet.iter("{%s}table-row" % table):
        repeat = int(row.get("{%s}number-rows-repeated" % table, "1"))
        rows.extend([automatic.get(row.get("{%s}style-name" % table), False)] * min(repeat, (1 << 20) - len(rows)))
        if len(rows) >= 1 << 20:
            break
    for item in items:
        r = ODS_ROW.match(item)
        if not r or int(r.group(1)) > len(rows) or not rows[int(r.group(1)) - 1]:
            return False
    return bool(items)


ODS_STYLE = re.compile(r"R\d+C\d+: (\(.*\)) -> (\(.*\))$")
ODS_FORMAT_NOTES = ("a number format that leaves room as wide as a character", "a number shown with a month's first letter")


def ods_format_losses(code):
    """What the program finds an .ods cannot hold of a number format: room as wide as a character
    (_x), or as a digit before a section's decimal point outside a fraction (?), or a month
    shown by its first letter (MMMMM). -> a set of those found."""
    found = set()
    for section in re.sub(r'"[^"]*"|\[[^\]]*\]|\\.|\*.', "", code).split(";"):
        if "_" in section:
            found.add("widths")
        if "?" in section.split(".")[0] and "/" not in section:
            found.add("widths")
        if re.search(r"[Mm]{5}", section):
            found.add("months")
    return found


def sheet_check_and_notes(check, kind, after, ext, notes):
    """A copy's `kind` check ("cells", "styles") of a copy into a file ending in `ext`. -> (the
    items it names, the report's notes on its sheet), or None."""
    named = cell_check(check, r"copy\[\d+:(.*)\]\.%s$" % kind)
    if not named or not after.lower().endswith(ext):
        return None
    sheet, items, _ = named
    return items, [n for n in notes if n.startswith('"%s": ' % sheet) or (': "%s": ' % sheet) in n]


def formats_an_ods_named(after, check, notes):
    """LibreOffice writes a number format into an .ods without the room it leaves as wide as a
    character or a digit (accounting formats' _) and ??), and with a month's short name for its
    first letter; the program names such cells in the copy's report. A style check of a copy in an
    .ods is accepted when every cell it names differs only in its number format, one with such a
    thing, and the report has that note for the sheet. -> whether `check` is only that."""
    named = sheet_check_and_notes(check, "styles", after, ".ods", notes)
    if not named:
        return False
    items, said = named
    for item in items:
        m = ODS_STYLE.match(item)
        if not m:
            return False
        try:
            was, now = ast.literal_eval(m.group(1)), ast.literal_eval(m.group(2))
        except (ValueError, SyntaxError):
            return False
        if not was or was[1:] != now[1:]:
            return False
        losses = ods_format_losses(str(was[0]))
        if not losses or not all(any(ODS_FORMAT_NOTES[0 if l == "widths" else 1] in n for n in said) for l in losses):
            return False
    return bool(items)


CELL_FORMULA = re.compile(r"R\d+C\d+: (=.*) -> (=.*)$")
IDENTIFIER = re.compile(r"(?<![\w.$#])([A-Za-z_\\][\w.]*)(\s*\()?")
WORDS_NOTES = ("names that no workbook defines", "functions LibreOffice does not know")


def words_named(after, check, notes):
    """LibreOffice writes a formula's name that no workbook defines into an .xls as a text or as
    #NAME? (or nothing, read back), and a call of a function it does not know as =NA(); the
    program names such cells in the copy's report. A cells check of a copy in an .xls is
    accepted when every cell it names is such a formula and the report has that note for the
    sheet. -> whether `check` is only that."""
    named = sheet_check_and_notes(check, "cells", after, ".xls", notes)
    if not named:
        return False
    items, said = named
    for item in items:
        m = CELL_FORMULA.match(item)
        if not m:
            return False
        was, now = m.group(1), m.group(2)
        if now == "=NA()" and IDENTIFIER.search(was) and any(WORDS_NOTES[1] in n for n in said):
            continue
        if not any(WORDS_NOTES[0] in n for n in said):
            return False
        pattern, at = "", 0
        for w in IDENTIFIER.finditer(was):
            if w.group(2):
                continue
            pattern += re.escape(was[at:w.start()]) + '(?:%s|"%s"|#NAME\\?|)' % ((re.escape(w.group(1)),) * 2)
            at = w.end()
        if not re.fullmatch(pattern + re.escape(was[at:]), now, re.IGNORECASE):
            return False
    return bool(items)


def openpyxl_ref(row, col):
    letters = ""
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(65 + rem) + letters
    return "%s%d" % (letters, row)


def frozen_views(doc):
    """The frozen panes LibreOffice shows for each sheet of a loaded workbook, from the view data
    it read from the file: {sheet: [columns, rows, first column, first row]}, counted from 0.
    Split mode 2 is a frozen split, whose position counts columns or rows."""
    out = {}
    views = doc.getViewData()
    if views is None or views.getCount() == 0:
        return out
    for setting in views.getByIndex(0):
        if setting.Name != "Tables":
            continue
        for name in setting.Value.getElementNames():
            v = {p.Name: p.Value for p in setting.Value.getByName(name)}

            def at(key):
                n = v.get(key, v.get(key + "Twips", 0))
                return max(int(n), 0) if isinstance(n, int) else 0
            cols = at("HorizontalSplitPosition") if v.get("HorizontalSplitMode") == 2 else 0
            rows = at("VerticalSplitPosition") if v.get("VerticalSplitMode") == 2 else 0
            if cols or rows:
                out[name] = [cols, rows, max(cols, at("PositionRight")) if cols else 0,
                             max(rows, at("PositionBottom")) if rows else 0]
    return out


def view_put_back(source, check, views, sheet):
    """Whether a package finding is the frozen panes of an .xlsb or .ods source, which
    LibreOffice's conversion lacks (it writes a sheet's view only from a window showing it) and
    the program puts back from the file: true only when the copy's pane is the one LibreOffice
    shows for the source sheet (`views`, from frozen_views on loading the source)."""
    if not (source.endswith((".xlsb", ".ods")) and check.get("check", "").endswith(".freeze-panes")):
        return False
    m = re.match(r"None -> (\(.*\))$", str(check.get("reason", "")))
    if not m or sheet not in views:
        return False
    try:
        state, x, y, top_left = ast.literal_eval(m.group(1))
    except (ValueError, SyntaxError):
        return False
    cols, rows, first_col, first_row = views[sheet]
    return state == "frozen" and int(x or 0) == cols and int(y or 0) == rows and \
        top_left == openpyxl_ref(first_row + 1, first_col + 1)


def xlsb_print_ranges(path):
    """The print areas and titles an .xlsb's own built-in names give its sheets, as the program
    reads them: {sheet: {"area": set of references, "titles": set}} for names that read blocks of
    their own sheet through a reference to this workbook."""
    import struct
    import zipfile
    try:
        with zipfile.ZipFile(path) as z:
            data = z.read("xl/workbook.bin")
    except (OSError, KeyError, zipfile.BadZipFile):
        return {}

    def varint(at, most):
        v = 0
        for k in range(most):
            b = data[at]
            at += 1
            v |= (b & 0x7F) << (7 * k)
            if not b & 0x80:
                break
        return v, at
    sheets, books, xti, names, at = [], [], [], [], 0
    try:
        while at < len(data):
            kind, at = varint(at, 2)
            size, at = varint(at, 4)
            body, at = data[at:at + size], at + size
            if kind == 156:
                rel = struct.unpack_from("<I", body, 8)[0]
                at_name = 12 + (0 if rel == 0xFFFFFFFF else 2 * rel)
                n = struct.unpack_from("<I", body, at_name)[0]
                sheets.append(body[at_name + 4:at_name + 4 + 2 * n].decode("utf-16-le"))
            elif kind in (355, 357, 358, 667):
                books.append(kind)
            elif kind == 362:
                xti = [struct.unpack_from("<III", body, 4 + 12 * i) for i in range(struct.unpack_from("<I", body)[0])]
            elif kind == 39:
                flags, _, itab, n = struct.unpack_from("<IBII", body)
                name = body[13:13 + 2 * n].decode("utf-16-le")
                cce = struct.unpack_from("<I", body, 13 + 2 * n)[0]
                if flags & 0x20 and itab < len(sheets) and name in ("Print_Area", "Print_Titles"):
                    names.append((itab, name, body[17 + 2 * n:17 + 2 * n + cce]))
    except (struct.error, IndexError, UnicodeDecodeError):
        return {}

    def col(c):
        letters = ""
        c += 1
        while c:
            c, rem = divmod(c - 1, 26)
            letters = chr(65 + rem) + letters
        return letters
    out = {}
    for itab, name, f in names:
        refs, i, ok = set(), 0, True
        while ok and i < len(f):
            ptg = f[i]
            if ptg in (0x3B, 0x5B, 0x7B) and i + 15 <= len(f):
                ixti, r1, r2, c1, c2 = struct.unpack_from("<HIIHH", f, i + 1)
                c1, c2, i = c1 & 0x3FFF, c2 & 0x3FFF, i + 15
            elif ptg in (0x3A, 0x5A, 0x7A) and i + 9 <= len(f):
                ixti, r1, c1 = struct.unpack_from("<HIH", f, i + 1)
                r2, c1 = r1, c1 & 0x3FFF
                c2, i = c1, i + 9
            elif ptg in (0x29, 0x49, 0x69):
                i += 3
                continue
            elif ptg in (0x10, 0x15):
                i += 1
                continue
            else:
                ok = False
                break
            ok = ixti < len(xti) and xti[ixti][0] < len(books) and books[xti[ixti][0]] == 357 and \
                xti[ixti][1] == xti[ixti][2] == itab
            if c1 == 0 and c2 == 0x3FFF and name == "Print_Titles":
                refs.add("$%d:$%d" % (r1 + 1, r2 + 1))
            elif r1 == 0 and r2 == 0xFFFFF and name == "Print_Titles":
                refs.add("$%s:$%s" % (col(c1), col(c2)))
            else:
                refs.add("$%s$%d:$%s$%d" % (col(c1), r1 + 1, col(c2), r2 + 1))
        if ok and refs:
            out.setdefault(sheets[itab], {})["area" if name == "Print_Area" else "titles"] = refs
    return out


def print_put_back(source, check, sheet):
    """Whether a package finding is the print area or titles of an .xlsb source, which
    LibreOffice's conversion lacks (it reads none from an .xlsb) and the program puts back from
    the file: true only when every range the copy holds and the conversion lacks is the one the
    .xlsb's own names give the sheet."""
    if not (source.endswith(".xlsb") and check.get("check", "").endswith(".print")):
        return False
    found = re.findall(r"print (area|titles) +-> ([^;]*)", str(check.get("reason", "")))
    if not found or len(found) != len(str(check.get("reason", "")).split(";")):
        return False
    own = xlsb_print_ranges(source).get(sheet, {})
    for kind, value in found:
        refs = {re.sub(r"^(?:'[^']*(?:''[^']*)*'|[^!,]*)!", "", part.strip()) for part in value.split(",")}
        if refs != own.get(kind):
            return False
    return True


def fonts_mended(r, check):
    """Whether a package finding is the font the program gives Asian text where LibreOffice's
    conversion names its own fallback (DejaVu Sans): LibreOffice shows no DejaVu Sans in the source
    or the copy (no styles failure against the source names it), so the conversion is what differs."""
    return check.get("check", "").endswith((".styles", ".rich-text")) and \
        "'DejaVu Sans'" in str(check.get("reason", "")) and \
        not any(re.match(r"copy\[\d+:.*\]\.styles: ", f) and "'DejaVu Sans'" in f for f in r.get("fails", []))


def recheck_in_package(cli, shared, work, results, dests):
    """A legacy copy that LibreOffice shows otherwise than the conversion it was copied from is
    made again alone and judged by the package oracle against that conversion: when the
    package holds what the conversion holds, the difference is in how LibreOffice shows the
    copy (a pivot table it rebuilds from a cache that reads another file, row heights it reads
    by the workbook's generator), counted apart as "libreoffice-rendering"."""
    redo = [r for r in results if r["status"] == "fail" and r.get("as_converted") and
            dests[re.search(r"\((\w+)\)$", r["case"]).group(1)].endswith((".xlsx", ".xlsm"))]
    if not redo:
        return
    jobs = []
    for n, r in enumerate(redo):
        folder = os.path.join(work, "alone%03d" % n)
        os.makedirs(folder, exist_ok=True)
        r["alone"] = folder
        jobs.append({"id": folder, "kind": "convert", "path": r["file"], "out": os.path.join(folder, "converted.xlsx")})
    converted = office_jobs(jobs, shared, work)
    oracle = os.path.join(shared, "oracle", "check_copy.py")
    for r in redo:
        folder = r.pop("alone")
        conv = converted[folder].get("converted")
        views = converted[folder].get("views") or {}
        sheet = re.match(r".*?\[(.*)\] -> ", r["case"]).group(1)
        label = re.search(r"\((\w+)\)$", r["case"]).group(1)
        if not conv or not os.path.isfile(conv):
            continue
        before, after, lines, err = cli_run(cli, [(corpus_copy(r["file"], work), sheet)], dests[label], folder)
        if not lines or lines[0].get("result") != "copied":
            r["package"] = ["the copy made alone failed: %s" % (err or lines)]
            continue
        js = os.path.join(folder, "result.json")
        subprocess.run(["/usr/bin/python3", "-c", ORACLE_RUNNER, oracle, conv, sheet, before, after, "--position",
                        "after", "--after-rule", "last", "--json", js, "--quiet", "--date-mode", "semantic"],
                       capture_output=True, text=True, timeout=1800)
        try:
            with open(js) as fh:
                res = json.load(fh)
        except (OSError, ValueError):
            r["package"] = ["the package oracle gave no answer"]
            continue
        items = res.get("checks", res) if isinstance(res, dict) else res
        r["package"] = ["%s: %s" % (i.get("check"), i.get("reason")) for i in items if i.get("status") == "FAIL"
                        and not view_put_back(r["file"], i, views, sheet) and not fonts_mended(r, i)
                        and not print_put_back(r["file"], i, sheet)]
        r["package_checks"] = len(items)
        if not r["package"] and items:
            r["status"] = "libreoffice-rendering"
            shutil.rmtree(folder, ignore_errors=True)



def show(r):
    if r["status"] != "pass":
        print("%-12s %s" % (r["status"].upper(), r["case"]), flush=True)
        for line in r.get("fails", []):
            print("             " + line)
        for line in r.get("as_converted", []):
            print("             " + AS_CONVERTED + "| " + line)
        for line in r.get("package", []):
            print("             package | " + line)
        for line in r.get("notes", []):
            print("             the copy's report | " + line)
        if r.get("detail"):
            print("             " + r["detail"])


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--office-worker":
        return office_worker(sys.argv[2], sys.argv[3], sys.argv[5])
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # so that LibreOffice workers are stopped
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tool", required=True, help="path of the xlsx_copy_tool executable")
    ap.add_argument("--cli", default=None, help="path of tessaro-cli (with --wide; default: beside the build's tests)")
    ap.add_argument("--shared", default=os.environ.get("TESSARO_SHARED_DIR",
                                                       os.path.join(HERE, "..", "..", "shared")))
    ap.add_argument("--work", default=None)
    ap.add_argument("--sample", action="store_true")
    ap.add_argument("--wide", action="store_true", help="the wide corpus instead of the corpus")
    ap.add_argument("--part", default=None, help="I/N: only the native cases and legacy files numbered I modulo N")
    ap.add_argument("--no-legacy", action="store_true", help="with --wide: only the native copies")
    ap.add_argument("--samples-only", action="store_true",
                    help="with --wide: of the command-line copies, only the sample into .xls and .ods destinations")
    ap.add_argument("--into", action="store_true",
                    help="with --wide: a corpus sheet into each OOXML file of the wide corpus instead")
    ap.add_argument("--cross", nargs="?", const=7, type=int, default=0, metavar="STEP",
                    help="with --into: the sheet comes from another OOXML file of the wide corpus, the sheets "
                         "taken STEP apart in turn (7 unless given; another STEP pairs other files)")
    ap.add_argument("--no-native", action="store_true", help="with --wide: only the command-line copies")
    ap.add_argument("--libreoffice", action="store_true")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--json", default=None)
    ap.add_argument("--only", action="append", help="keep the cases whose label holds this text (given again: any of them)")
    ap.add_argument("--judge-seconds", type=int, default=30,
                    help="seconds a LibreOffice judging job gets for each copy (large formula sheets need more)")
    ap.add_argument("--again", default=None, help="run again the cases a --json FILE of an earlier run did not accept")
    a = ap.parse_args()
    corpus = os.path.join(a.shared, "corpus")
    oracle = os.path.join(a.shared, "oracle", "check_copy.py")
    if not os.path.isfile(oracle) or not os.path.isdir(corpus) or \
            a.wide and not os.path.isdir(os.path.join(a.shared, "corpus-wide")):
        print("oracle-matrix: no shared folder at %s; skipped" % a.shared)
        return 77
    cli = a.cli or os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(a.tool)), "..", "..", "..",
                                                 "tessaro-cli"))
    work = a.work or tempfile.mkdtemp(prefix="tessaro-oracle-")
    os.makedirs(work, exist_ok=True)
    made_dir = os.path.join(work, "made")
    os.makedirs(made_dir, exist_ok=True)
    for name, (prefix, colors) in MADE.items():
        write_made(os.path.join(made_dir, name), prefix, colors)
    unread = []
    if a.wide and a.into:
        cases, unread = plan_wide_into(os.path.join(a.shared, "corpus-wide"), corpus, a.tool, a.cross)
    elif a.wide:
        cases, unread = plan_wide_native(os.path.join(a.shared, "corpus-wide"), corpus, made_dir, a.tool)
    else:
        cases = plan_sample(corpus, made_dir) if a.sample else plan_full(corpus, made_dir)
    label = lambda c: "%s[%s] -> %s %s x%d" % (
        os.path.basename(c[0]), c[1], "itself" if c[2] == "SELF" else os.path.basename(c[2]), c[3], c[4])
    legacy_only = a.only
    if a.part:
        k, n = (int(x) for x in a.part.split("/"))
        cases = [c for i, c in enumerate(cases) if i % n == k]
    redo_files = None
    if a.again:
        with open(a.again) as fh:
            redo = [r for r in json.load(fh) if "case" in r and not all(k in ACCEPTED for k in r["status"].split("+"))]
        cases = [c for c in cases if label(c) in {r["case"] for r in redo}]
        # Legacy files are run whole again: their copies share command-line runs.
        redo_files = {r["file"] for r in redo if r.get("file")}
    if a.only:
        cases = [c for c in cases if any(o in label(c) for o in a.only)]
        unread = [u for u in unread if any(o in os.path.basename(u[0]) for o in a.only)]
    t0 = time.time()
    planned = cases
    if a.wide and a.no_native:
        cases = []
    results = [None] * len(cases)
    # The fixed sample is CI's: it stays quick, without LibreOffice.
    load_checked = not a.sample
    # Copies into the wide files fail by their destination, the others by their source.
    owner = "dest" if a.into else "file"
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, a.jobs)) as ex:
        futs = {ex.submit(run_case, i, c, a.tool, oracle, work, a.libreoffice,
                          # a case run again may have failed the load check
                          load_checked and (bool(a.again) or i % LOAD_CHECK_EVERY == 0), a.into): i
                for i, c in enumerate(cases)}
        try:
            for f in concurrent.futures.as_completed(futs):
                i = futs[f]
                try:
                    results[i] = f.result()
                except Exception as e:  # the script's own failure on one case; the others go on
                    results[i] = {"case": label(cases[i]), "status": "script-error", "detail": repr(e)}
                show(results[i])
        except BaseException:  # stopped: the cases not begun are not run
            ex.shutdown(wait=False, cancel_futures=True)
            raise
    native_seconds = time.time() - t0
    legacy_seconds = 0
    office_judged(results, a.shared, work, a.judge_seconds)
    if load_checked:
        kept = [r for r in results if r.get("output")]
        loads = office_jobs([{"id": r["case"], "kind": "load", "path": r["output"],
                              "expected": all_sheet_names(r["output"])} for r in kept], a.shared, work)
        # A copy into a wide file carries what LibreOffice fails on from either workbook.
        failing = {o: sources_libreoffice_fails_on(kept, loads, a.shared, work, o)
                   for o in ([owner, "file"] if a.into else [owner])}
        for r in kept:
            checks = loads[r["case"]].get("checks") or \
                [{"status": "FAIL", "check": "open.libreoffice", "reason": loads[r["case"]].get("error")}]
            which = next((o for o in failing if r[o] in failing[o]), None)
            if which:
                checks = [dict(c, status="WARN", reason="LibreOffice fails on the %s too (%s)" % (
                    "destination" if which == "dest" else "source", failing[which][r[which]]))
                          if c["status"] == "FAIL" and not c["reason"].startswith("loaded") else c for c in checks]
            r["office_load"] = True
            r["checks"] += len(checks)
            r["warns"] += ["%s: %s" % (c["check"], c["reason"]) for c in checks if c["status"] == "WARN"]
            bad = ["%s: %s" % (c["check"], c["reason"]) for c in checks if c["status"] == "FAIL"]
            if bad:
                r["fails"] += bad
                r["status"] = "fail"
                show(r)
            elif r["status"] == "pass":
                shutil.rmtree(r["folder"], ignore_errors=True)
            del r["output"], r["folder"]
        if a.wide and not a.no_legacy and not a.into:
            t1 = time.time()
            more, unread_legacy = run_wide_legacy(cli, a.shared, corpus, made_dir, work, planned, legacy_only,
                                                  a.part, redo_files, a.judge_seconds, a.samples_only)
            legacy_seconds = time.time() - t1
            for r in more:
                show(r)
            results += more
            unread += unread_legacy
    # A file that could not be read or copied must be one the program refuses, naming it and why.
    refusals = []
    suspects = {u[0]: u[1] for u in unread}
    for r in results:
        if r["status"] == "engine-error" and r.get(owner):
            suspects.setdefault(r[owner], r.get("detail"))
    for path in sorted(suspects):
        ok, says = program_says(cli, path)
        # A file whose sheets the program lists may still hold a sheet it cannot read, or be a
        # destination it cannot write: the copy must then be refused, naming the file and why.
        failed = sorted(((r["file"], r["sheet"]) for r in results if r.get(owner) == path and r.get("sheet") and
                         r["status"] == "engine-error"))
        if ok and failed:
            ok, says = program_copies(cli, failed[0][0], failed[0][1], work, path if a.into else None)
        refusals.append({"file": os.path.basename(path), "program_reads_it": ok, "program_says": says,
                         "seen_here": str(suspects[path])[:300]})
        if not ok:
            for r in results:
                if r.get(owner) == path and r["status"] == "engine-error":
                    r["status"] = "refused"
        elif path in dict(unread):  # nothing was copied from a file the program can read
            results.append({"case": os.path.basename(path), "status": "not-copied", "file": path,
                            "detail": "this script could not read it: %s" % suspects[path]})
    counts = {}
    warn_kinds = {}
    fail_checks = {}
    for r in results:
        counts[r["status"]] = counts.get(r["status"], 0) + 1
        for w in r.get("warns", []):
            k = re.sub(r"^copy\[[^\]]*\]\.", "", w.split(": ", 1)[0])
            warn_kinds[k] = warn_kinds.get(k, 0) + 1
        for f in r.get("fails", []):
            k = re.sub(r"^(copy|original)\[[^\]]*\]", r"\1", f.split(": ", 1)[0])
            fail_checks[k] = fail_checks.get(k, 0) + 1
    checks = sum(r.get("checks", 0) for r in results)
    for x in refusals:
        print("%s %s: %s" % ("READ-BY-PROGRAM" if x["program_reads_it"] else "REFUSED", x["file"],
                             x["program_says"].replace("\n", " | ")))
    print("%d copies, %d oracle checks: %s; failures by check: %s; warnings by check: %s (%.0f s)" % (
        len(results), checks, ", ".join("%s %d" % kv for kv in sorted(counts.items())),
        ", ".join("%s %d" % kv for kv in sorted(fail_checks.items())) or "none",
        ", ".join("%s %d" % kv for kv in sorted(warn_kinds.items())) or "none", time.time() - t0))
    if load_checked:
        print("native copies %.0f s, command-line copies %.0f s; %d copies went through LibreOffice's load; "
              "%d files refused, %d read by the program after all" % (
                  native_seconds, legacy_seconds, sum(1 for r in results if r.get("office_load")),
                  sum(1 for x in refusals if not x["program_reads_it"]),
                  sum(1 for x in refusals if x["program_reads_it"])))
    if a.json:
        with open(a.json, "w") as fh:
            json.dump(results + [{"refusals": refusals}] if a.wide else results, fh, indent=1)
    if not a.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if all(all(k in ACCEPTED for k in r["status"].split("+")) for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
