#!/usr/bin/python3
"""Workbooks in the legacy and open formats for tests, and a reader that sees all formats alike.

    office_books.py make OUTDIR     write the fixture workbooks (see make_fixtures)
    office_books.py read FILE...    print what each workbook holds, in the line format below

Fixtures start as workbooks built with openpyxl and are converted by LibreOffice (soffice
--convert-to, in a private profile) to .xls, .ods and .xlsx, so every format holds the same
sheets; the .xlsb is written record by record, since LibreOffice cannot write that format.

The reader opens .xlsx/.xlsm with openpyxl and everything else with LibreOffice over UNO
(python3-uno), one office for all files. Its line format, for C++ tests:

    file PATH
    sheet NAME
    cell REF VALUE       VALUE is n:NUMBER, s:TEXT or =FORMULA
    bold REF
    font REF NAME SIZE   font of a non-empty cell
    format REF CODE      number format of a non-empty cell whose format is not General

Run it with the distribution's /usr/bin/python3, which has openpyxl and uno.
"""
import hashlib
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

SOFFICE = os.environ.get("TESSARO_TEST_SOFFICE", "/usr/lib/libreoffice/program/soffice")
FILTERS = {".xls": "MS Excel 97", ".ods": "calc8", ".xlsb": "Calc MS Excel 2007 Binary",
           ".xlsx": "Calc MS Excel 2007 XML", ".xlsm": "Calc MS Excel 2007 XML"}
LONG_NAME = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"  # 31 characters, the most a sheet name may have

# What the fixtures hold, as (sheet name, rows); a value starting with "=" is a formula.
SOURCE_SHEETS = [
    ("Data", [["id", "amount"], [1, 2.5], [2, 7.25], [3, "=B2+B3"]]),
    ("Other", [["text"], ["hello"], ["w\u00f6rld"]]),
    (LONG_NAME, [["long"]]),
]
DEST_SHEETS = [
    ("First", [["f"]]),
    ("data", [["old"]]),
    ("Last", [["l"]]),
]
XLSB_SHEETS = [
    ("Binary", [["label", 42.5], ["second", 7.0]]),
    ("More", [[1.0]]),
]


def _seed(path, sheets):
    """An .xlsx from openpyxl: the header row bold, column B of Data with two decimals."""
    import openpyxl
    from openpyxl.styles import Font

    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for name, rows in sheets:
        ws = wb.create_sheet(name)
        for row in rows:
            ws.append(row)
        for cell in ws[1]:
            cell.font = Font(bold=True)
        if name == "Data":
            for r in range(2, ws.max_row + 1):
                ws.cell(row=r, column=2).number_format = "0.00"
    wb.save(path)


def convert(files, fmt, outdir):
    """LibreOffice's own conversion, in a private profile that is removed afterwards."""
    profile = tempfile.mkdtemp(prefix="office-books-profile-")
    try:
        subprocess.run([SOFFICE, "--headless", "--invisible", "--norestore", "--nologo",
                        "-env:UserInstallation=file://" + profile, "--convert-to", fmt, "--outdir", outdir]
                       + list(files), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=180)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


# --- .xlsb, record by record (MS-XLSB) ---------------------------------------------------
def _varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def _record(kind, data=b""):
    return _varint(kind) + _varint(len(data)) + data


def _wide(s):
    return struct.pack("<I", len(s)) + s.encode("utf-16-le")


def write_xlsb(path, sheets, names=()):
    """`names`: built-in names of a sheet, (sheet index, name, formula tokens), whose
    tokens read sheets through references to sheet i, for i = 0 and on."""
    BEGIN_BOOK, END_BOOK, BEGIN_SHEETS, END_SHEETS, BUNDLE_SHEET = 131, 132, 143, 144, 156
    BEGIN_SHEET, END_SHEET, BEGIN_DATA, END_DATA, ROW, REAL, TEXT = 129, 130, 145, 146, 0, 5, 6
    BEGIN_EXTERNALS, END_EXTERNALS, SUP_SELF, EXTERN_SHEET, NAME = 353, 354, 357, 362, 39
    book = _record(BEGIN_BOOK) + _record(BEGIN_SHEETS)
    for i, (name, _) in enumerate(sheets, 1):
        book += _record(BUNDLE_SHEET, struct.pack("<II", 0, i) + _wide("rId%d" % i) + _wide(name))
    book += _record(END_SHEETS)
    if names:
        book += _record(BEGIN_EXTERNALS) + _record(SUP_SELF) + _record(
            EXTERN_SHEET, struct.pack("<I", len(sheets)) + b"".join(struct.pack("<III", 0, i, i)
                                                                      for i in range(len(sheets))))
        book += _record(END_EXTERNALS)
        for sheet, name, tokens in names:
            book += _record(NAME, struct.pack("<IBI", 0x20, 0, sheet) + _wide(name) + struct.pack("<I", len(tokens))
                            + tokens + struct.pack("<II", 0, 0xFFFFFFFF))
    book += _record(END_BOOK)
    parts = {}
    for i, (_, rows) in enumerate(sheets, 1):
        data = _record(BEGIN_SHEET) + _record(BEGIN_DATA)
        for r, row in enumerate(rows):
            data += _record(ROW, struct.pack("<IIH", r, 0, 300) + b"\0\0\0" + struct.pack("<I", 0))
            for c, v in enumerate(row):
                cell = struct.pack("<II", c, 0)
                data += _record(TEXT, cell + _wide(v)) if isinstance(v, str) else \
                    _record(REAL, cell + struct.pack("<d", float(v)))
        parts["xl/worksheets/sheet%d.bin" % i] = data + _record(END_DATA) + _record(END_SHEET)
    rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
    types = ('<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/'
             'content-types"><Default Extension="bin" ContentType="application/vnd.ms-excel.sheet.binary.'
             'macroEnabled.main"/><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.'
             'relationships+xml"/>' + "".join('<Override PartName="/%s" ContentType="application/vnd.ms-excel.'
                                              'worksheet"/>' % p for p in parts) + "</Types>")
    root_rels = ('<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/'
                 'package/2006/relationships"><Relationship Id="rId1" Type="%sofficeDocument" '
                 'Target="xl/workbook.bin"/></Relationships>' % rel)
    book_rels = ('<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/'
                 'package/2006/relationships">' + "".join(
                     '<Relationship Id="rId%d" Type="%sworksheet" Target="worksheets/sheet%d.bin"/>' % (i, rel, i)
                     for i in range(1, len(sheets) + 1)) + "</Relationships>")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", types)
        z.writestr("_rels/.rels", root_rels)
        z.writestr("xl/workbook.bin", book)
        z.writestr("xl/_rels/workbook.bin.rels", book_rels)
        for name, data in parts.items():
            z.writestr(name, data)


def _changed_copy(office, path, out, filter_name, change):
    """Saves a workbook as `out` after `change(doc)`."""
    from com.sun.star.beans import PropertyValue

    doc = office.load(path)
    try:
        change(doc)
        p1, p2 = PropertyValue(), PropertyValue()
        p1.Name, p1.Value = "FilterName", filter_name
        p2.Name, p2.Value = "Overwrite", True
        doc.storeToURL(office.uno.systemPathToFileUrl(os.path.abspath(out)), (p1, p2))
    finally:
        doc.close(True)


def _restyle_default(office, path, out, filter_name, font, size):
    """Gives a workbook's default cell style another font, as another program's workbook has."""
    def change(doc):
        style = doc.StyleFamilies.getByName("CellStyles").getByName("Default")
        style.CharFontName, style.CharHeight = font, size
    _changed_copy(office, path, out, filter_name, change)


def _protect(office, path, out, filter_name, sheet):
    """Protects one sheet of a workbook with a password."""
    _changed_copy(office, path, out, filter_name, lambda doc: doc.Sheets.getByName(sheet).protect("secret"))


def make_fixtures(outdir):
    """src.{xls,ods,xlsx}, dst.{xls,ods,xlsx}, src.xlsb, serif.{xls,ods} (the dst sheets with
    DejaVu Serif 14 as the default font) and locked.xls (src.xls with "Data" protected) in
    outdir."""
    os.makedirs(outdir, exist_ok=True)
    seeds = tempfile.mkdtemp(prefix="office-books-seed-")
    try:
        _seed(os.path.join(seeds, "src.xlsx"), SOURCE_SHEETS)
        _seed(os.path.join(seeds, "dst.xlsx"), DEST_SHEETS)
        files = [os.path.join(seeds, "src.xlsx"), os.path.join(seeds, "dst.xlsx")]
        convert(files, "xls:MS Excel 97", outdir)
        convert(files, "ods:calc8", outdir)
        # The .xlsx fixtures are LibreOffice's too: a spreadsheet program's file, as users have.
        convert(files, "xlsx:Calc MS Excel 2007 XML", outdir)
    finally:
        shutil.rmtree(seeds, ignore_errors=True)
    write_xlsb(os.path.join(outdir, "src.xlsb"), XLSB_SHEETS)
    with Office() as office:
        for ext, filter_name in ((".xls", "MS Excel 97"), (".ods", "calc8")):
            _restyle_default(office, os.path.join(outdir, "dst" + ext), os.path.join(outdir, "serif" + ext),
                             filter_name, "DejaVu Serif", 14.0)
        _protect(office, os.path.join(outdir, "src.xls"), os.path.join(outdir, "locked.xls"), "MS Excel 97", "Data")
    for name in ("src.xls", "src.ods", "src.xlsx", "dst.xls", "dst.ods", "dst.xlsx", "src.xlsb", "serif.xls",
                 "serif.ods", "locked.xls"):
        if not os.path.isfile(os.path.join(outdir, name)):
            raise RuntimeError("LibreOffice did not make " + name)


# --- reading ------------------------------------------------------------------------------
def _ref(row, col):
    letters = ""
    col += 1
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(65 + rem) + letters
    return "%s%d" % (letters, row + 1)


def _value(v):
    if isinstance(v, bool):
        return "n:%r" % float(v)
    if isinstance(v, (int, float)):
        return "n:%r" % float(v)
    return "s:" + str(v)


def live_processes_mentioning(text):
    """Processes (zombies aside) whose command line holds text."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                args = f.read().decode("utf-8", "replace")
            with open("/proc/%s/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if text in args and state != "Z":
            found.append(int(pid))
    return found


def soffice_sockets(pipe, profile_url):
    """The sockets an office makes in /tmp, which it leaves there when it is killed: its pipe,
    and the one named by the MD5 of its profile's URL (each byte in hex, unpadded)."""
    digest = hashlib.md5(profile_url.encode("utf-16-le")).digest()
    return ["/tmp/OSL_PIPE_%d_%s" % (os.getuid(), pipe),
            "/tmp/OSL_PIPE_%d_SingleOfficeIPC_%s" % (os.getuid(), "".join("%x" % b for b in digest))]


class Office:
    """A private LibreOffice for reading: its own profile and pipe, ended by its process group."""

    def __enter__(self):
        import uno
        from com.sun.star.connection import NoConnectException

        self.uno = uno
        self.profile = tempfile.mkdtemp(prefix="office-books-profile-")
        pipe = "office-books-%d-%d" % (os.getpid(), int(time.time() * 1000) % 1000000)
        url = uno.systemPathToFileUrl(self.profile)
        self.sockets = soffice_sockets(pipe, url)
        os.mkdir(os.path.join(self.profile, "tmp"))
        self.proc = subprocess.Popen(
            [SOFFICE, "--headless", "--invisible", "--nologo", "--norestore", "--nodefault", "--nolockcheck",
             "-env:UserInstallation=" + url, "--accept=pipe,name=%s;urp;StarOffice.ComponentContext" % pipe],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
            env=dict(os.environ, TMPDIR=os.path.join(self.profile, "tmp")))
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        deadline = time.time() + 90
        while True:
            try:
                self.ctx = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % pipe)
                return self
            except NoConnectException:
                if self.proc.poll() is not None or time.time() > deadline:
                    self.__exit__()
                    raise RuntimeError("LibreOffice did not start")
                time.sleep(0.1)

    def __exit__(self, *exc):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
        for path in self.sockets:
            if os.path.lexists(path):
                os.unlink(path)

    def load(self, path):
        from com.sun.star.beans import PropertyValue

        def prop(name, value):
            p = PropertyValue()
            p.Name, p.Value = name, value
            return p

        # The filter follows the extension: a file whose content is another format fails to load.
        ext = os.path.splitext(path)[1].lower()
        doc = self.ctx.ServiceManager.createInstanceWithContext("com.sun.star.sheet.SpreadsheetDocument", self.ctx)
        doc.load((prop("URL", self.uno.systemPathToFileUrl(os.path.abspath(path))), prop("ReadOnly", True),
                  prop("FilterName", FILTERS[ext])))
        return doc


def _read_with_office(office, path):
    from com.sun.star.table.CellContentType import EMPTY, FORMULA, TEXT

    doc = office.load(path)
    try:
        book = {"sheets": [], "cells": {}, "bold": {}, "formats": {}, "fonts": {}, "hidden": [], "errors": {}}
        formats = doc.NumberFormats
        for i in range(doc.Sheets.Count):
            sheet = doc.Sheets.getByIndex(i)
            name = sheet.Name
            book["sheets"].append(name)
            if not sheet.IsVisible:
                book["hidden"].append(name)
            cells, bold, fmts, fonts = {}, set(), {}, {}
            cursor = sheet.createCursor()
            cursor.gotoEndOfUsedArea(False)
            end = cursor.getRangeAddress()
            for r in range(end.EndRow + 1):
                for c in range(end.EndColumn + 1):
                    cell = sheet.getCellByPosition(c, r)
                    if cell.Type == EMPTY:
                        continue
                    ref = _ref(r, c)
                    if cell.Type == FORMULA:
                        cells[ref] = cell.getFormula()
                        if cell.getError():
                            book["errors"].setdefault(name, {})[ref] = cell.getError()
                    elif cell.Type == TEXT:
                        cells[ref] = "s:" + cell.getString()
                    else:
                        cells[ref] = _value(cell.getValue())
                    if cell.CharWeight >= 150:
                        bold.add(ref)
                    fonts[ref] = "%s %g" % (cell.CharFontName, cell.CharHeight)
                    code = formats.getByKey(cell.NumberFormat).FormatString
                    if code != "General":
                        fmts[ref] = code
            book["cells"][name], book["bold"][name], book["formats"][name] = cells, bold, fmts
            book["fonts"][name] = fonts
        return book
    finally:
        doc.close(True)


def _read_with_openpyxl(path):
    import openpyxl

    wb = openpyxl.load_workbook(path)
    book = {"sheets": list(wb.sheetnames), "cells": {}, "bold": {}, "formats": {}, "fonts": {}}
    for ws in wb.worksheets:
        cells, bold, fmts, fonts = {}, set(), {}, {}
        for row in ws.iter_rows():
            for cell in row:
                if cell.value is None:
                    continue
                v = cell.value
                cells[cell.coordinate] = v if cell.data_type == "f" else _value(v)
                if cell.font is not None and cell.font.b:
                    bold.add(cell.coordinate)
                if cell.font is not None:
                    fonts[cell.coordinate] = "%s %g" % (cell.font.name, cell.font.sz or 11)
                if cell.number_format != "General":
                    fmts[cell.coordinate] = cell.number_format
        book["cells"][ws.title], book["bold"][ws.title], book["formats"][ws.title] = cells, bold, fmts
        book["fonts"][ws.title] = fonts
    return book


def read_books(paths):
    """{path: {"sheets": [...], "cells": {sheet: {ref: value}}, "bold": {sheet: set}, "formats": {...}}}"""
    out = {}
    legacy = [p for p in paths if not p.lower().endswith((".xlsx", ".xlsm"))]
    for p in paths:
        if p not in legacy:
            out[p] = _read_with_openpyxl(p)
    if legacy:
        with Office() as office:
            for p in legacy:
                out[p] = _read_with_office(office, p)
    return out


def main(argv):
    if len(argv) == 2 and argv[0] == "make":
        make_fixtures(argv[1])
        return 0
    if len(argv) >= 2 and argv[0] == "read":
        books = read_books(argv[1:])
        for p in argv[1:]:
            book = books[p]
            print("file " + p)
            for name in book["sheets"]:
                print("sheet " + name)
                for ref, v in book["cells"][name].items():
                    print("cell %s %s" % (ref, v))
                for ref in sorted(book["bold"][name]):
                    print("bold " + ref)
                for ref, font in book["fonts"][name].items():
                    print("font %s %s" % (ref, font))
                for ref, code in book["formats"][name].items():
                    print("format %s %s" % (ref, code))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
