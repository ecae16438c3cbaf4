"""tessaro-cli on .xls, .ods and .xlsb workbooks, mixed with .xlsx: what lands where, how it
looks, what is refused, and that nothing of LibreOffice is left behind.

Fixtures come from tests/support/office_books.py (openpyxl workbooks converted by
LibreOffice; an .xlsb written record by record) and results are read back by the same
module: openpyxl for .xlsx, its own LibreOffice for everything else. Run by CTest with
TESSARO_CLI pointing at the built executable; skipped when it was built without LibreOffice.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import openpyxl

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import office_books  # noqa: E402


def xls_formulas(xls, sheet):
    """The formulas of the sheet numbered `sheet` (from 0) of an .xls: (row, column) -> (result
    as its eight bytes, tokens)."""
    import olefile
    import struct
    with olefile.OleFileIO(xls) as ole:
        s = ole.openstream("Workbook").read()
    found, at, streams = {}, 0, -1
    while at + 4 <= len(s):
        kind, size = struct.unpack_from("<HH", s, at)
        body = s[at + 4:at + 4 + size]
        if kind == 0x0809:
            streams += 1
        elif kind == 0x0006 and streams == sheet + 1:
            row, column = struct.unpack_from("<HH", body)
            found[(row, column)] = (body[6:14], body[22:22 + struct.unpack_from("<H", body, 20)[0]])
        at += 4 + size
    return found

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")
WITH_LIBREOFFICE = os.environ.get("TESSARO_WITH_LIBREOFFICE", "1") not in ("0", "OFF", "")
LONG = office_books.LONG_NAME
CORPUS = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared", "corpus"))
WIDE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared",
                                     "corpus-wide", "files"))


@unittest.skipUnless(WITH_LIBREOFFICE, "tessaro-cli was built without LibreOffice")
class LegacyCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fixtures = tempfile.mkdtemp(prefix="tessaro-legacy-fixtures-")
        office_books.make_fixtures(cls.fixtures)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.fixtures, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessaro-legacy-test-")
        self.app = self.mkdir("app")
        self.src = self.mkdir("src")
        self.dst = self.mkdir("dst")
        # The office's private profile goes to the temporary folder: a private one shows
        # whether anything is left there.
        self.tmp = self.mkdir("tmp")
        self.starts = os.path.join(self.dir, "soffice-starts.log")
        # Counts the office processes a run starts, then runs the real one.
        self.soffice = os.path.join(self.dir, "soffice")
        with open(self.soffice, "w") as f:
            f.write("#!/bin/sh\necho started >> '%s'\nexec '%s' \"$@\"\n" % (self.starts, office_books.SOFFICE))
        os.chmod(self.soffice, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def mkdir(self, name):
        path = os.path.join(self.dir, name)
        os.mkdir(path)
        return path

    def fixture(self, name, folder, as_name=None):
        target = os.path.join(folder, as_name or name)
        shutil.copyfile(os.path.join(self.fixtures, name), target)
        return target

    def cli(self, *args, soffice=None):
        env = dict(os.environ, TESSARO_APP_DIR=self.app, TMPDIR=self.tmp, TESSARO_SOFFICE=soffice or self.soffice)
        r = subprocess.run([CLI, *args], capture_output=True, text=True, env=env, timeout=300)
        # Whatever the outcome: no office process, no profile, no temporary file.
        self.assertEqual(office_books.live_processes_mentioning(self.tmp), [])
        self.assertEqual(os.listdir(self.tmp), [])
        self.assertEqual([n for n in os.listdir(self.app) if n != "undo"], [])
        return r

    def office_starts(self):
        if not os.path.exists(self.starts):
            return 0
        with open(self.starts) as f:
            return len(f.read().split())

    def copy_wide_sheet(self, name):
        """Sheet1 of a wide-corpus file into a new .xlsx; -> (its path, the run)."""
        dest = os.path.join(self.dst, "d.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Own"
        wb.save(dest)
        r = self.cli("copy", "--sheet", os.path.join(WIDE, name) + ":Sheet1", "--dest", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        return dest, r

    @unittest.skipUnless(os.path.isdir(WIDE), "the shared wide corpus is not beside the project")
    def test_a_legacy_sources_links_to_other_files_still_name_those_files(self):
        # LibreOffice writes its .xlsx of the source in the program's folder, with relative
        # links that start there, not beside the source.
        dest, r = self.copy_wide_sheet("sjs__2013__apachepoi_27364.xls.xlsb")
        with zipfile.ZipFile(dest) as z:
            targets = [t for n in z.namelist() if n.startswith("xl/externalLinks/_rels/")
                       for t in re.findall(r'Target="([^"]*)"', z.read(n).decode())]
        self.assertEqual(targets, ["file://" + os.path.join(WIDE, "link_sub.xls")])

    @unittest.skipUnless(os.path.isdir(WIDE), "the shared wide corpus is not beside the project")
    def test_drawing_objects_the_conversion_of_a_legacy_source_loses_are_reported(self):
        # LibreOffice reads this sheet's two embedded objects but does not write them into .xlsx.
        _, r = self.copy_wide_sheet("sjs__2013__apachepoi_WithEmbeddedObjects.xls.xlsb")
        self.assertIn('"Sheet1": 2 of its 2 drawing objects (pictures, shapes, form controls or embedded objects) are '
                      "not copied: LibreOffice, which reads sjs__2013__apachepoi_WithEmbeddedObjects.xls.xlsb for "
                      "Tessaro, cannot pass them on", r.stdout + r.stderr)

    @unittest.skipUnless(os.path.isdir(WIDE), "the shared wide corpus is not beside the project")
    def test_asian_text_of_the_default_style_keeps_the_source_size_in_an_xls(self):
        # The destination's default is Calibri 12 pt, the source's MS PGothic 11 pt: the copy's
        # cells take the source's size for Latin text and, before, kept 12 pt for Japanese text.
        dest = shutil.copyfile(os.path.join(WIDE, "..", "..", "corpus", "sheetjs_merged_cells.xls"),
                               os.path.join(self.dst, "d.xls"))
        os.chmod(dest, 0o644)
        r = self.cli("copy", "--sheet", os.path.join(WIDE, "sjs__2013__apachepoi_12561-1.xls.xlsb") + ":作業リスト",
                     "--dest", dest, "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        with office_books.Office() as office:
            doc = office.load(dest)
            try:
                cell = doc.Sheets.getByName("作業リスト").getCellByPosition(0, 2)
                self.assertEqual((cell.String, cell.CharFontName, cell.CharHeight), ("作業NO", "ＭＳ Ｐゴシック", 11.0))
            finally:
                doc.close(True)

    # -- sheets -------------------------------------------------------------------------
    @unittest.skipUnless(os.path.isdir(CORPUS), "the shared corpus is not beside the project")
    def test_a_pivot_table_copied_as_its_values_is_reported(self):
        source = os.path.join(CORPUS, "closedxml_chartsheet_pivot.xlsx")
        dest = self.fixture("dst.ods", self.dst)
        r = self.cli("copy", "--sheet", source + ":Pivot", "--dest", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('"Pivot": the pivot table "Pastries" became the values it showed: LibreOffice copies no pivot '
                      "table into another workbook", r.stdout + r.stderr)

    def test_sheets_lists_the_worksheets_of_xls_ods_and_xlsb(self):
        for name, expected in (("src.xls", ["Data", "Other", LONG]), ("src.ods", ["Data", "Other", LONG]),
                               ("src.xlsb", ["Binary", "More"])):
            r = self.cli("sheets", self.fixture(name, self.src))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stdout.splitlines(), expected, name)

    # -- copy ---------------------------------------------------------------------------
    def test_xls_and_ods_sources_into_xls_ods_and_xlsx_destinations(self):
        xls = self.fixture("src.xls", self.src)
        ods = self.fixture("src.ods", self.src)
        dests = [self.fixture("dst.xls", self.dst), self.fixture("dst.ods", self.dst),
                 self.fixture("dst.xlsx", self.dst)]
        before = office_books.read_books([dests[0]])[dests[0]]
        args = ["copy", "--sheet", xls + ":Data", "--sheet", ods + ":Other", "--sheet", xls + ":" + LONG,
                "--count", "2", "--quiet"]
        for d in dests:
            args += ["--dest", d]
        r = self.cli(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.office_starts(), 1)

        books = office_books.read_books([xls, ods] + dests)
        long2 = LONG[:27] + " (2)"
        for d in dests:
            out = books[d]
            self.assertEqual(out["sheets"], ["First", "data", "Last", "Data (2)", "Data (3)", "Other", "Other (2)",
                                             LONG, long2], d)
            for copy in ("Data (2)", "Data (3)"):
                self.assert_same_sheet(out, copy, books[xls], "Data", d)
            for copy in ("Other", "Other (2)"):
                self.assert_same_sheet(out, copy, books[ods], "Other", d)
            self.assert_same_sheet(out, long2, books[xls], LONG, d)
            for own in ("First", "data", "Last"):
                self.assert_same_sheet(out, own, before, own, d)
        # The formats that were compared are really there.
        data = books[dests[2]]
        self.assertEqual(data["formats"]["Data (2)"]["B3"], "0.00")
        self.assertEqual(data["bold"]["Data (2)"], {"A1", "B1"})
        self.assertEqual(data["cells"]["Data (2)"]["B4"], "=B2+B3")

    def assert_same_sheet(self, book, name, source, source_name, where):
        for part in ("cells", "bold", "formats", "fonts"):
            self.assertEqual(book[part][name], source[part][source_name], "%s %s %s" % (where, name, part))

    def test_dates_of_a_1904_workbook_show_the_same_days_in_an_xls_and_an_ods(self):
        import datetime
        from openpyxl.utils.datetime import CALENDAR_MAC_1904
        source = os.path.join(self.src, "mac.xlsx")
        wb = openpyxl.Workbook()
        wb.epoch = CALENDAR_MAC_1904
        ws = wb.active
        ws.title = "Dates"
        ws["A1"] = datetime.datetime(2000, 1, 1)
        ws["A1"].number_format = "yyyy-mm-dd"
        ws["B1"] = datetime.time(12, 0)
        ws["B1"].number_format = "hh:mm"
        ws["C1"] = 5
        # LibreOffice writes a date and time into an .ods to the hundredth of a second.
        ws["D1"] = datetime.datetime(2012, 11, 11, 23, 59, 58, 994000)
        ws["D1"].number_format = "yyyy-mm-dd hh:mm:ss"
        # ODF has no month shown by its first letter.
        ws["E1"] = datetime.datetime(2000, 1, 1)
        ws["E1"].number_format = 'mmmmm "mmmmm"'
        # Nor room as wide as a character, or a digit before the decimal point; it keeps a fraction's
        # and decimals' (and G1 and H1 are not named).
        ws["F1"] = 0
        ws["F1"].number_format = '_($* #,##0_);_($* (#,##0);_($* "-"??_);_(@_)'
        ws["G1"] = 1.5
        ws["G1"].number_format = '# ??/?? "_?"'
        ws["H1"] = 1.5
        ws["H1"].number_format = '0.0??'
        wb.save(source)

        def first_row(office, book):
            doc = office.load(book)
            try:
                sheet = doc.Sheets.getByName("Dates")
                row = sheet.Rows.getByIndex(0)
                return [sheet.getCellByPosition(c, 0).getString() for c in range(3)], (row.Height, row.OptimalHeight)
            finally:
                doc.close(True)
        with office_books.Office() as office:
            _, source_size = first_row(office, source)
        # The destinations' default font is DejaVu Serif 14: the dates written again must not
        # size the row for it (an .ods is measured again whenever LibreOffice loads it).
        for name in ("serif.xls", "serif.ods"):
            with self.subTest(destination=name):
                dest = self.fixture(name, self.dst)
                r = self.cli("copy", "--sheet", source + ":Dates", "--dest", dest)
                self.assertEqual(r.returncode, 0, r.stderr)
                noted = '"Dates": D1 holds a date and time finer than a hundredth of a second, which an .ods ' \
                    "written by LibreOffice keeps only to the hundredth"
                self.assertEqual(noted in r.stdout + r.stderr, name == "serif.ods")
                noted = '"Dates": E1 holds a number shown with a month\'s first letter (format MMMMM "mmmmm"), which ' \
                    "an .ods cannot hold: LibreOffice writes the month's short name instead"
                self.assertEqual(noted in r.stdout + r.stderr, name == "serif.ods", r.stdout + r.stderr)
                noted = '"Dates": F1 holds a number format that leaves room as wide as a character (_) or a digit (?) ' \
                    '(format _($* #,##0_);_($* (#,##0);_($* "-"??_);_(@_)), which an .ods cannot hold'
                self.assertEqual(noted in r.stdout + r.stderr, name == "serif.ods", r.stdout + r.stderr)
                with office_books.Office() as office:
                    row, size = first_row(office, dest)
                self.assertEqual(row, ["2000-01-01", "12:00", "5"])
                if name == "serif.xls":
                    self.assertEqual(size, source_size)

    def test_references_to_the_sources_other_sheets_keep_their_sheet_and_values(self):
        # They become references to the source file; an .xls and an .ods must name its sheet
        # and show the values the source shows, and hold no more of that sheet than it reads.
        source = os.path.join(self.src, "linked.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Main"
        wb["Main"]["A1"] = "=Other!A1*2"
        wb["Main"]["A2"] = "=SUM('Q1 Data'!A1:A3)"
        wb["Main"]["A3"] = "=Rate*3"
        # A link to a place in the workbook stays one (an .xls would otherwise name the place twice).
        wb["Main"]["A4"] = "go"
        wb["Main"]["A4"].hyperlink = "#Other!A1"
        wb.defined_names.append(openpyxl.workbook.defined_name.DefinedName("Rate", attr_text="Other!$A$1"))
        other = wb.create_sheet("Other")
        other["A1"], other["B1"] = 5, "not for the copies"
        data = wb.create_sheet("Q1 Data")
        data["A1"], data["A2"], data["A3"] = 1, 2, "read by the copies"
        wb.save(source)
        office_books.convert([source], "ods", self.src)
        # A destination of the source's name has the job read the source from a copy of its own;
        # the links still name the source.
        dests = [self.fixture("dst.xls", self.dst, "linked.xls"), self.fixture("dst.ods", self.dst)]
        r = self.cli("copy", "--sheet", source + ":Main", "--sheet", source[:-4] + "ods:Main", "--dest", dests[0],
                     "--dest", dests[1])
        self.assertEqual(r.returncode, 0, r.stderr)
        # An .xls keeps no values for what a name reads in another file, and the report says so.
        self.assertIn('linked.xls: "Main": the name Rate reads other sheets of the source, and an .xls written by '
                      "LibreOffice keeps no values for it", r.stdout + r.stderr)
        self.assertEqual((r.stdout + r.stderr).count("the name Rate"), 2)
        with office_books.Office() as office:
            for dest, rows, copy in ((dests[0], 2, "Main"), (dests[0], 2, "Main (2)"), (dests[1], 3, "Main"),
                                     (dests[1], 3, "Main (2)")):
                doc = office.load(dest)
                try:
                    cells = [doc.Sheets.getByName(copy).getCellByPosition(0, row) for row in range(rows)]
                    linked = source if copy == "Main" else source[:-4] + "ods"
                    if copy == "Main":
                        link = doc.Sheets.getByName(copy).getCellByPosition(0, 3).getTextFields().getByIndex(0)
                        self.assertRegex(link.URL, r"^#Other[.!]A1$", dest)
                    self.assertTrue(all(("'file://%s'#" % linked) in c.getFormula() for c in cells[:2]), dest)
                    self.assertEqual([(re.sub(r"'file://[^']*'#", "", c.getFormula()), c.getString()) for c in cells],
                                     [("=$Other.A1*2", "10"), ("=SUM($'Q1 Data'.A1:A3)", "3"), ("=Rate*3", "15")][:rows],
                                     "%s %s" % (dest, copy))
                finally:
                    doc.close(True)
        with open(dests[0], "rb") as f, zipfile.ZipFile(dests[1]) as z:
            for held in (f.read(), z.read("content.xml")):
                self.assertIn(b"read by the copies", held)
                self.assertNotIn(b"not for the copies", held)

    def test_formulas_reading_names_or_calling_functions_no_workbook_defines_are_named_for_an_xls(self):
        # LibreOffice writes such a name into an .xls as a text, which shows #VALUE!, and such a
        # call as =NA(); an .ods keeps both. References, booleans, texts, errors, defined names and
        # functions it knows are neither.
        source = os.path.join(self.src, "unknown.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Main"
        main = wb["Main"]
        main["A1"], main["A2"], main["A3"] = 1, "=SUM(gone)", "=IFERROR(gone_too,1)+Rate"
        main["A4"], main["A5"] = "=SUM(Data!A1:A2)+$A$1+SUM(B:B)", '=IF(TRUE,"gone",#N/A)&\'Q 1\'!A1'
        main["A6"], main["A7"], main["A8"] = "=MyMacro(A1)+Rate", "=_xlfn.CONCAT(1,2)", "=EDATE(A1,1)"
        wb.defined_names.append(openpyxl.workbook.defined_name.DefinedName("Rate", attr_text="Data!$A$1"))
        wb.create_sheet("Data")["A1"] = 2
        wb.create_sheet("Q 1")
        wb.save(source)
        dests = [self.fixture("dst.xls", self.dst), self.fixture("dst.ods", self.dst)]
        r = self.cli("copy", "--sheet", source + ":Main", "--dest", dests[0], "--dest", dests[1])
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout + r.stderr
        self.assertIn('dst.xls: "Main": A2 =SUM(gone) and 1 other cell read names that no workbook defines, which '
                      "LibreOffice writes into an .xls workbook as texts or as #NAME?, not as names", out)
        self.assertIn('dst.xls: "Main": A6 =mymacro(A1)+Rate calls functions LibreOffice does not know', out)
        self.assertEqual((out.count("no workbook defines"), out.count("does not know")), (1, 1))

    @unittest.skipUnless(os.path.isdir(WIDE), "the shared wide corpus is not beside the project")
    def test_a_name_of_no_definition_read_through_another_sheet_is_no_other_name_in_the_copy(self):
        # Cross-Sheet's E1 reads col2_, which the .xls gives no definition, through a reference to
        # its own workbook; LibreOffice's import gave the copies col3_ in its place.
        source = os.path.join(WIDE, "sjs__biff5__named_ranges_2011.xls")
        dests = [self.fixture("dst.xls", self.dst), self.fixture("dst.ods", self.dst)]
        r = self.cli("copy", "--sheet", source + ":Cross-Sheet", "--dest", dests[0], "--dest", dests[1], "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        with office_books.Office() as office:
            for dest in dests:
                doc = office.load(dest)
                try:
                    sheet = doc.Sheets.getByName("Cross-Sheet")
                    self.assertEqual([sheet.getCellByPosition(c, 0).getFormula() for c in (3, 5)],
                                     ["=SUM(col1_)", "=SUM(col3_)"], dest)
                    self.assertIn(sheet.getCellByPosition(4, 0).getFormula(), ("=SUM(#NAME?)", "=SUM()"), dest)
                finally:
                    doc.close(True)

    def test_a_chart_reading_other_sheets_is_refused_in_an_xls_and_noted_in_an_ods(self):
        # LibreOffice keeps such a chart's values as data of its own, which an .xls cannot hold.
        from openpyxl.chart import BarChart, Reference
        source = os.path.join(self.src, "chart.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Main"
        other = wb.create_sheet("Other")
        for row, value in enumerate((3, 5, 7), 1):
            other.cell(row, 1, value)
        chart = BarChart()
        chart.add_data(Reference(other, min_col=1, min_row=1, max_row=3))
        wb["Main"].add_chart(chart, "C3")
        wb.save(source)
        xls, ods = self.fixture("dst.xls", self.dst), self.fixture("dst.ods", self.dst)
        with open(xls, "rb") as f:
            before = f.read()
        r = self.cli("copy", "--sheet", source + ":Main", "--dest", xls, "--dest", ods)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn('Main has a chart ("Object 1") that reads other sheets, and LibreOffice writes such a chart into '
                      "an .xls workbook without its data", r.stdout + r.stderr)
        self.assertIn('dst.ods: "Main": the chart "Object 1" reads other sheets of the source; in an .ods it keeps the '
                      "values it showed", r.stdout + r.stderr)
        with open(xls, "rb") as f:
            self.assertEqual(f.read(), before)

    def test_copies_into_and_out_of_xls_and_ods_keep_their_view(self):
        # LibreOffice writes a sheet's view only from a window or from the file it read, and a copy
        # has neither: frozen panes, grid lines and zoom.
        source = os.path.join(self.src, "panes.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Both"
        wb.active.freeze_panes = "B3"
        rows = wb.create_sheet("Rows")
        rows.freeze_panes = "A2"
        rows.sheet_view.showGridLines = False
        rows.sheet_view.zoomScale = 80
        for ws in wb:
            ws["A1"] = ws.title
        wb.save(source)
        xls, ods = self.fixture("dst.xls", self.dst), self.fixture("dst.ods", self.dst)
        r = self.cli("copy", "--sheet", source + ":Both", "--sheet", source + ":Rows", "--dest", xls, "--dest", ods)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        # Panes read from the .xls just written, into an .ods, and from the .ods, into an .xlsx
        # (by LibreOffice's .xlsx of it, which has none of its own).
        again = self.fixture("dst.ods", self.mkdir("again"))
        r = self.cli("copy", "--sheet", xls + ":Rows", "--dest", again)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        xlsx = os.path.join(self.dst, "d.xlsx")
        openpyxl.Workbook().save(xlsx)
        r = self.cli("copy", "--sheet", ods + ":Both", "--sheet", ods + ":Rows", "--dest", xlsx)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        views = {ws.title: (ws.freeze_panes, ws.sheet_view.showGridLines, ws.sheet_view.zoomScale)
                 for ws in openpyxl.load_workbook(xlsx)}
        self.assertEqual((views["Both"][0], views["Rows"]), ("B3", ("A2", False, 80)))

        # LibreOffice's .xlsx of the .xls shows the panes it read from it.
        office_books.convert([xls], "xlsx", self.dir)
        views = {ws.title: (ws.freeze_panes, ws.sheet_view.showGridLines, ws.sheet_view.zoomScale)
                 for ws in openpyxl.load_workbook(os.path.join(self.dir, "dst.xlsx"))}
        self.assertEqual((views["Both"][0], views["Rows"]), ("B3", ("A2", False, 80)))
        own = [v[0] for name, v in views.items() if name not in ("Both", "Rows")]
        self.assertTrue(own)
        self.assertEqual(own, [None] * len(own))
        with office_books.Office() as office:
            for book, sheet, want in ((ods, "Both", (1, 2, 1, 2)), (ods, "Rows", (0, 1, 0, 1)), (again, "Rows", (0, 1, 0, 1))):
                doc = office.load(book)
                view = {p.Name: p.Value for p in doc.getViewData().getByIndex(0)}
                table = {p.Name: p.Value for p in view["Tables"].getByName(sheet)}
                doc.close(True)
                self.assertEqual((table["HorizontalSplitPosition"], table["VerticalSplitPosition"],
                                  table["PositionRight"], table["PositionBottom"]), want, (book, sheet))
                self.assertEqual((table["HorizontalSplitMode"] == 2, table["VerticalSplitMode"] == 2), (want[0] > 0, True))
                self.assertEqual((table["ShowGrid"], table["ZoomValue"]), (True, 100) if sheet == "Both" else (False, 80))

    def test_validations_and_conditional_formats_reading_other_sheets_are_refused(self):
        # LibreOffice would point them at the destination's sheet in the same place.
        from openpyxl.formatting.rule import FormulaRule
        from openpyxl.styles import PatternFill
        from openpyxl.worksheet.datavalidation import DataValidation
        source = os.path.join(self.src, "rules.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Listed"
        coloured = wb.create_sheet("Coloured")
        other = wb.create_sheet("Other")
        other["A1"], other["B1"] = "a", 4
        listed = DataValidation(type="list", formula1="Other!$A$1:$A$3")
        wb["Listed"].add_data_validation(listed)
        listed.add("A1")
        coloured["A1"] = 5
        coloured.conditional_formatting.add("A1", FormulaRule(formula=["A1>Other!$B$1"], fill=PatternFill("solid", fgColor="FF0000")))
        # A name used by a rule is not carried over either.
        wb.defined_names.append(openpyxl.workbook.defined_name.DefinedName("Choices", attr_text="Other!$A$1:$A$3"))
        named = DataValidation(type="list", formula1="Choices")
        wb.create_sheet("Named").add_data_validation(named)
        named.add("A1")
        wb.save(source)
        dest = self.fixture("dst.ods", self.dst)
        r = self.cli("copy", "--sheet", source + ":Listed", "--sheet", source + ":Coloured", "--sheet", source + ":Named",
                     "--dest", dest)
        self.assertIn("Copied 0 of 3 sheets", r.stdout + r.stderr)
        for sheet, rule in (("Listed", "$Other.$A$1:$A$3"), ("Coloured", "A1>$Other.$B$1"), ("Named", "Choices")):
            self.assertIn("%s has a data validation or conditional format that reads other sheets or names of its "
                          "workbook (=%s)" % (sheet, rule), r.stdout + r.stderr)

    def test_an_ods_destination_keeps_the_view_of_its_sheets_and_its_small_numbers_whole(self):
        # LibreOffice writes frozen panes and zoom only from a window, and Tessaro's office has none;
        # and numbers with no more than 20 decimals (1.2345678901234567E-14 as 0.00000000000001234568).
        made = self.fixture("dst.ods", self.src)
        dest = os.path.join(self.dst, "dst.ods")
        view = ('<config:config-item-map-indexed config:name="Views"><config:config-item-map-entry>'
                '<config:config-item-map-named config:name="Tables"><config:config-item-map-entry config:name="First">'
                '<config:config-item config:name="HorizontalSplitMode" config:type="short">2</config:config-item>'
                '<config:config-item config:name="HorizontalSplitPosition" config:type="int">1</config:config-item>'
                '<config:config-item config:name="ZoomValue" config:type="int">150</config:config-item>'
                '</config:config-item-map-entry></config:config-item-map-named></config:config-item-map-entry>'
                '</config:config-item-map-indexed>')
        with zipfile.ZipFile(made) as z, zipfile.ZipFile(dest, "w") as out:
            for item in z.infolist():
                data = z.read(item)
                if item.filename == "settings.xml":
                    data = data.decode().replace("</config:config-item-set>", view + "</config:config-item-set>", 1).encode()
                if item.filename == "content.xml":
                    data = re.sub(rb'(<table:table table:name="First".*?<table:table-row[^>]*>)',
                                  rb'\1<table:table-cell office:value-type="float" office:value="1.2345678901234567E-14"/>',
                                  data, count=1, flags=re.S)
                out.writestr(item, data)
        small = os.path.join(self.src, "small.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Small"
        wb.active["A1"] = 1.8744045912598e-08
        wb.active["A2"] = 0.000001
        wb.save(small)
        r = self.cli("copy", "--sheet", self.fixture("src.xls", self.src) + ":Data", "--sheet", small + ":Small",
                     "--dest", dest, "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        with zipfile.ZipFile(dest) as z:
            self.assertEqual(z.namelist()[0], "mimetype")
            self.assertIn(view, z.read("settings.xml").decode())
        self.assertIn("Data (2)", office_books.read_books([dest])[dest]["sheets"])
        with office_books.Office() as office:
            doc = office.load(dest)
            try:
                values = [doc.Sheets.getByName(sheet).getCellRangeByName(cell).getValue()
                          for sheet, cell in (("First", "A1"), ("Small", "A1"), ("Small", "A2"))]
            finally:
                doc.close(True)
        self.assertEqual(values, [1.2345678901234567e-14, 1.8744045912598e-08, 0.000001])

    def test_asian_text_keeps_the_font_its_cell_and_its_runs_name(self):
        # LibreOffice gives a font without Asian letters here its own default for Asian text,
        # and writes that default (DejaVu Sans) as the font of such text into .xls and .xlsx.
        # A flat .ods names the fonts for every script, so LibreOffice's .xls and .xlsx of it
        # hold them as a spreadsheet application writes them (in 14 pt, not the destinations'
        # default size).
        flat = os.path.join(self.src, "han.fods")
        fonts = 'style:font-name="{0}" style:font-name-asian="{0}" style:font-name-complex="{0}"'
        with open(flat, "w", encoding="utf-8") as f:
            f.write('''<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" office:version="1.2"
 office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:font-face-decls><style:font-face style:name="Ming" svg:font-family="新細明體"/>
  <style:font-face style:name="Kai" svg:font-family="標楷體"/></office:font-face-decls>
 <office:styles><style:default-style style:family="table-cell">
  <style:text-properties fo:font-size="14pt" style:font-size-asian="14pt" style:font-size-complex="14pt"/>
 </style:default-style></office:styles>
 <office:automatic-styles>
  <style:style style:name="ce1" style:family="table-cell"><style:text-properties %s/></style:style>
  <style:style style:name="T1" style:family="text"><style:text-properties %s/></style:style>
 </office:automatic-styles>
 <office:body><office:spreadsheet><table:table table:name="Han">
  <table:table-row><table:table-cell table:style-name="ce1" office:value-type="string"><text:p>寬頻接取埠</text:p>
  </table:table-cell></table:table-row>
  <table:table-row><table:table-cell office:value-type="string"><text:p>POTS <text:span text:style-name="T1">實際累計</text:span></text:p>
  </table:table-cell></table:table-row>
 </table:table><table:table table:name="Locked" table:protected="true">
  <table:table-row><table:table-cell table:style-name="ce1" office:value-type="string"><text:p>寬頻</text:p>
  </table:table-cell></table:table-row>
 </table:table></office:spreadsheet></office:body></office:document>''' % (fonts.format("Ming"), fonts.format("Kai")))
        office_books.convert([flat], "xls", self.src)
        office_books.convert([flat], "xlsx", self.src)
        xls, xlsx = os.path.join(self.src, "han.xls"), os.path.join(self.src, "han.xlsx")

        # Into an .xlsx, through LibreOffice's .xlsx of the .xls.
        dest = os.path.join(self.dst, "d.xlsx")
        openpyxl.Workbook().save(dest)
        r = self.cli("copy", "--sheet", xls + ":Han", "--sheet", xls + ":Locked", "--dest", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(openpyxl.load_workbook(dest)["Han"]["A1"].font.name, "新細明體")
        # A protected sheet takes no formats in LibreOffice; the report says what that leaves.
        self.assertEqual((r.stdout + r.stderr).count("the sheet is protected, so LibreOffice writes its Chinese, "
                                                     "Japanese or Korean text in its own default font"), 1)
        self.assertIn('"Locked": the sheet is protected', r.stdout + r.stderr)
        with zipfile.ZipFile(dest) as z:
            strings = z.read("xl/sharedStrings.xml").decode()
        self.assertRegex(strings, r'<rFont val="標楷體"/>.*實際累計')

        # Into an .xls that holds the same sheet, and into an .ods: the copy and the .xls's own sheet.
        # The .xls's protected sheet, its own and copied within it, keeps LibreOffice's font.
        into_xls = shutil.copyfile(xls, os.path.join(self.dst, "han.xls"))
        into_ods = self.fixture("dst.ods", self.dst)
        r = self.cli("copy", "--sheet", xlsx + ":Han", "--sheet", into_xls + ":Locked", "--dest", into_xls,
                     "--dest", into_ods)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn('han.xls: its own sheet "Locked" is protected, so LibreOffice writes its Chinese', r.stdout + r.stderr)
        self.assertIn('"Locked (2)": the sheet is protected, so LibreOffice writes its Chinese', r.stdout + r.stderr)
        with office_books.Office() as office:
            for book, sheets, script in ((into_xls, ("Han", "Han (2)"), ""), (into_ods, ("Han",), "Asian")):
                doc = office.load(book)
                try:
                    for name in sheets:
                        sheet = doc.Sheets.getByName(name)
                        runs = [run for par in sheet.getCellByPosition(0, 1).createEnumeration()
                                for run in par.createEnumeration()]
                        first = sheet.getCellByPosition(0, 0)
                        self.assertEqual(
                            [first.getPropertyValue("CharFontName" + script),
                             first.getPropertyValue("CharHeight" + script)] +
                            [run.getPropertyValue("CharFontName" + script) for run in runs if "實" in run.String],
                            ["新細明體", 14.0, "標楷體"], "%s %s" % (book, name))
                finally:
                    doc.close(True)

    def test_before_into_a_folder_keeps_the_list_order_in_front(self):
        ods = self.fixture("src.ods", self.src)
        xlsx = self.fixture("src.xlsx", self.src)
        self.fixture("dst.xls", self.dst, "a.xls")
        self.fixture("dst.xlsx", self.dst, "b.xlsx")
        r = self.cli("copy", "--sheet", ods + ":Data", "--sheet", xlsx + ":Other", "--before", "--dest", self.dst,
                     "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        a, b = os.path.join(self.dst, "a.xls"), os.path.join(self.dst, "b.xlsx")
        books = office_books.read_books([a, b])
        for d in (a, b):
            self.assertEqual(books[d]["sheets"], ["Data (2)", "Other", "First", "data", "Last"], d)

    def test_a_source_sharing_its_name_with_a_destination(self):
        source = self.fixture("src.xls", self.src)
        same_name = self.fixture("dst.xls", self.dst, "src.xls")
        r = self.cli("copy", "--sheet", source + ":Other", "--dest", same_name, "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        books = office_books.read_books([source, same_name])
        self.assertEqual(books[same_name]["sheets"], ["First", "data", "Last", "Other"])
        self.assertEqual(books[source]["sheets"], ["Data", "Other", LONG])

    def test_an_xlsb_source_is_read_and_an_xlsb_destination_is_refused(self):
        xlsb = self.fixture("src.xlsb", self.src)
        xls = self.fixture("dst.xls", self.dst)
        target = self.fixture("src.xlsb", self.dst, "target.xlsb")
        with open(target, "rb") as f:
            original = f.read()
        r = self.cli("copy", "--sheet", xlsb + ":More", "--dest", xls, "--dest", target)
        self.assertEqual(r.returncode, 1)
        self.assertIn(target + ": LibreOffice cannot write Excel binary workbooks (.xlsb)", r.stderr)
        self.assertIn("Copy More to target.xlsb failure", r.stderr)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), original)
        self.assertEqual(office_books.read_books([xls])[xls]["sheets"], ["First", "data", "Last", "More"])

    def test_print_areas_and_titles_reach_copies_from_an_xlsb_and_into_an_xls_or_ods(self):
        import struct

        def area(first_row, last_row, first_column, last_column):
            return struct.pack("<BHIIHH", 0x3B, 0, first_row, last_row, first_column, last_column)
        two_blocks = area(0, 1, 0, 1) + area(0, 3, 3, 3) + b"\x10"
        xlsb = os.path.join(self.src, "printing.xlsb")
        office_books.write_xlsb(xlsb, office_books.XLSB_SHEETS, names=[
            (0, "Print_Area", struct.pack("<BH", 0x29, len(two_blocks)) + two_blocks),
            (0, "Print_Titles", area(0, 1048575, 0, 0) + area(0, 0, 0, 16383) + b"\x10"),
            (1, "Print_Area", area(0, 0, 0, 0))])  # reads the first sheet, not its own: left out
        seed = os.path.join(self.src, "seed.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Paged"
        wb.active["A1"] = 1
        wb.active.print_area = "A1:B3"
        wb.save(seed)
        office_books.convert([seed], "xls:MS Excel 97", self.src)
        xlsx = os.path.join(self.dst, "d.xlsx")
        openpyxl.Workbook().save(xlsx)
        ods, xls = self.fixture("dst.ods", self.dst), self.fixture("dst.xls", self.dst)
        r = self.cli("copy", "--sheet", xlsb + ":Binary", "--sheet", xlsb + ":More",
                     "--sheet", os.path.join(self.src, "seed.xls") + ":Paged", "--dest", xlsx, "--dest", ods, "--dest", xls)
        self.assertEqual(r.returncode, 0, r.stderr)
        # LibreOffice's own reading of the name left out stays what the report says of it.
        self.assertEqual(re.findall(r'"(\w+)": the source gives the name "_xlnm.Print', r.stdout + r.stderr), ["More"])
        wb = openpyxl.load_workbook(xlsx)
        self.assertEqual((wb["Binary"].print_area, wb["Binary"].print_title_rows, wb["Binary"].print_title_cols),
                         (["$A$1:$B$2", "$D$1:$D$4"], "$1:$1", "$A:$A"))
        self.assertEqual((wb["More"].print_area, wb["Paged"].print_area), ([], ["$A$1:$B$3"]))
        with office_books.Office() as office:
            for path in (ods, xls):
                doc = office.load(path)
                try:
                    binary, paged = doc.Sheets.getByName("Binary"), doc.Sheets.getByName("Paged")
                    self.assertEqual([(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow) for a in binary.getPrintAreas()],
                                     [(0, 0, 1, 1), (3, 0, 3, 3)], path)
                    self.assertEqual((binary.PrintTitleRows, binary.TitleRows.EndRow,
                                      binary.PrintTitleColumns, binary.TitleColumns.EndColumn), (True, 0, True, 0), path)
                    self.assertEqual([(a.EndColumn, a.EndRow) for a in paged.getPrintAreas()], [(1, 2)], path)
                    self.assertEqual(len(doc.Sheets.getByName("More").getPrintAreas()), 0, path)
                finally:
                    doc.close(True)

    def test_what_an_xls_cannot_hold_and_a_bomb_are_refused_before_the_office_sees_them(self):
        import openpyxl
        import time
        import zipfile
        big = os.path.join(self.src, "big.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Big"
        wb.active["A70000"] = "last"
        wb.create_sheet("Wide").cell(row=1, column=300, value="far")
        wb.create_sheet("Small")["A1"] = "fits"
        wb["Small"]["B2"] = "=SUM(#NAME?)"
        wb["Small"]["B3"] = "=IFERROR(#REF!,5)"
        wb["Small"]["B4"] = '=IF(A1="#N/A",1,2)'
        wb["Small"]["B5"] = "=ISERROR(B2)"
        wb["Small"]["B6"] = "=Rates(1)"
        wb["Small"]["B7"] = "=ERROR.TYPE({#DIV/0!})"
        wb["Small"]["B8"] = "=SUM(1:2)"
        wb["Small"]["B9"] = "=SUM(A1:A1048576)"
        wb.defined_names.append(openpyxl.workbook.defined_name.DefinedName("Rates", attr_text="Small!$A$1"))
        wb.create_sheet("Locked")["B2"] = "=IF(A1>0,#NUM!,2)"
        wb["Locked"].protection.sheet = True
        wb.create_sheet("Linked")["B2"] = "=[1]Rates!A1"
        # Rows an .xls does not have; whole rows in an array formula, which LibreOffice writes as #REF!.
        wb.create_sheet("Beyond")["B2"] = "=SUM(A2:A1048576)"
        wb["Beyond"]["B3"] = "=SUM(1:2)"
        wb["Beyond"].formula_attributes["B3"] = {"t": "array", "ref": "B3"}
        # A shared formula whose second cell reads row 65,537.
        wb["Beyond"]["C65535"] = "=SHARED"
        wb["Beyond"]["C65536"] = "=SHARED"
        wb.create_sheet("Errors")["C3"] = "#DIV/0!"
        wb["Errors"].sheet_state = "hidden"
        # Data tables with a row input, as LibreOffice writes them and as a spreadsheet application does.
        wb.create_sheet("RowTable")["B2"] = "=TABLE($A2,$F$1,B$1)"
        wb.create_sheet("TwoInputs")["B2"] = "=PLACE"
        plain = os.path.join(self.src, "plain.xlsx")
        wb.save(plain)
        bomb = os.path.join(self.src, "bomb.xlsx")
        for path, change in ((big, lambda name, data: data.replace(
                                  b"<f>PLACE</f>", b'<f t="dataTable" ref="B2:C3" dt2D="1" dtr="1" r1="F1" r2="G1"/>').replace(
                                  b"<f>SHARED</f>", b'<f t="shared" ref="C65535:C65536" si="0">A65536</f>', 1).replace(
                                  b"<f>SHARED</f>", b'<f t="shared" si="0"/>')),
                             (bomb, lambda name, data: data.replace(b"<sheetData>", b"<sheetData>" + b" " * (80 << 20), 1)
                              if name == "xl/worksheets/sheet3.xml" else data)):
            with zipfile.ZipFile(plain) as zin, zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
                for info in zin.infolist():
                    zout.writestr(info.filename, change(info.filename, zin.read(info.filename)),
                                  compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
        xls = self.fixture("dst.xls", self.dst)
        with open(xls, "rb") as f:
            original = f.read()
        does_not_fit = ": the sheet does not fit in a workbook of this format"
        # LibreOffice would copy references to other workbooks as #REF!, and read the wrong input in those tables.
        for sheet, why, says in (("Big", does_not_fit, "Big has 70,000 rows; an .xls sheet holds 65,536"),
                                 ("Wide", does_not_fit, "Wide has 300 columns; an .xls sheet holds 256"),
                                 ("Linked", ": what was asked cannot be done in a workbook of this format",
                                  "Linked has a formula that reads other workbooks (the first in B2)"),
                                 ("Beyond", ": what was asked cannot be done in a workbook of this format",
                                  "Beyond has 3 formulas that read cells beyond column IV or row 65,536, or whole rows "
                                  "in an array formula (the first in B2), and LibreOffice writes such references into "
                                  "an .xls workbook as #REF!"),
                                 ("RowTable", ": what was asked cannot be done in a workbook of this format",
                                  "RowTable has a data table with a row input cell (at B2)"),
                                 ("TwoInputs", ": what was asked cannot be done in a workbook of this format",
                                  "TwoInputs has a data table with a row input cell (at B2)")):
            with self.subTest(sheet=sheet):
                r = self.cli("copy", "--sheet", big + ":" + sheet, "--dest", xls, "--quiet")
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn(xls + why, r.stderr)
                self.assertIn(says, r.stderr)
                with open(xls, "rb") as f:
                    self.assertEqual(f.read(), original)
        t0 = time.monotonic()
        r = self.cli("copy", "--sheet", bomb + ":Small", "--dest", xls, "--quiet")
        elapsed = time.monotonic() - t0
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn(bomb, r.stderr)
        self.assertIn("decompression bomb", r.stderr)
        self.assertLess(elapsed, 10, "refused by the native checks, not after the office read it")
        with open(xls, "rb") as f:
            self.assertEqual(f.read(), original)
        # The save through the office keeps the file's owner and group (only root can test it).
        if os.geteuid() == 0:
            os.chown(xls, 1234, 5678)
        os.chmod(xls, 0o640)
        r = self.cli("copy", "--sheet", big + ":Small", "--sheet", big + ":Errors", "--sheet", big + ":Locked",
                     "--dest", xls, "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        st = os.stat(xls)
        self.assertEqual(st.st_mode & 0o777, 0o640)
        if os.geteuid() == 0:
            self.assertEqual((st.st_uid, st.st_gid), (1234, 5678))
        book = office_books.read_books([xls])[xls]
        self.assertEqual(book["sheets"], ["First", "data", "Last", "Small", "Errors", "Locked"])
        self.assertEqual(book["hidden"], ["Errors"], "a hidden sheet's copy is hidden too, as in an .xlsx")
        # An error value stays one (LibreOffice's #DIV/0!); what the office's .xls export changes is said.
        self.assertEqual(book["errors"]["Errors"], {"C3": 532})
        self.assertIn('"Small": 2 cells hold an error constant in an array formula or an array constant, or '
                      "a formula calling a name as a function (the first is B6 =Rates(1)), which an .xls written by "
                      "LibreOffice keeps as =NA(), showing #N/A", r.stdout + r.stderr)
        # The formulas keep their error constants (tErr) and results, and so does the one reading them.
        cells = xls_formulas(xls, book["sheets"].index("Small"))
        self.assertIn(b"\x1c\x1d", cells[(1, 1)][1])
        self.assertIn(b"\x1c\x17", cells[(2, 1)][1])
        self.assertEqual(cells[(1, 1)][0], b"\x02\x00\x1d\x00\x00\x00\xff\xff", "#NAME?")
        self.assertEqual(cells[(4, 1)][0], b"\x01\x00\x01\x00\x00\x00\xff\xff", "TRUE")
        self.assertEqual(cells[(5, 1)][1], b"\x1c\x2a", "=NA(), as the report says")
        self.assertEqual(cells[(6, 1)][1], b"\x1c\x2a", "=NA(), as the report says")
        self.assertIn(b"\x1c\x24", xls_formulas(xls, book["sheets"].index("Locked"))[(1, 1)][1], "in a protected sheet")
        # Whole rows, which LibreOffice would write as #REF! (tAreaErr), are an area of every column.
        self.assertEqual(cells[(7, 1)][1][:9], b"\x25\x00\x00\x01\x00\x00\x80\xff\x80", "rows 1:2")
        self.assertEqual(cells[(8, 1)][1][:9], b"\x25\x00\x00\xff\xff\x00\xc0\x00\xc0", "every row of column A")

    def test_an_xls_keeps_its_own_error_values_and_formulas_with_error_constants(self):
        import xlwt
        xls = os.path.join(self.dst, "own.xls")
        wb = xlwt.Workbook()
        own = wb.add_sheet("Own")
        wb.add_sheet("Other").write(0, 0, 1)
        # More rows than one row block holds.
        for r in range(40):
            own.row(r).set_cell_error(0, "#DIV/0!")
        own.write(0, 1, xlwt.Formula("IF(A2>0,TRUE,2)"))
        own.write(1, 1, xlwt.Formula("IF(Other!A1>0,TRUE,2)"))
        own.write(2, 1, xlwt.Formula("ERROR.TYPE(A3)"))
        own.write(3, 1, True)
        own.write(4, 1, xlwt.Formula("TRUE+1"))
        wb.save(xls)
        # xlwt writes no error constant in a formula: TRUE, followed by IF's jump or by 1, becomes #VALUE!.
        with open(xls, "rb") as f:
            data = f.read()
        self.assertEqual(data.count(b"\x1d\x01\x19"), 2)
        self.assertEqual(data.count(b"\x1d\x01\x1e"), 1)
        with open(xls, "wb") as f:
            f.write(data.replace(b"\x1d\x01\x19", b"\x1c\x0f\x19").replace(b"\x1d\x01\x1e", b"\x1c\x0f\x1e"))
        src = os.path.join(self.src, "s.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "S"
        wb.active["A1"] = "x"
        wb.save(src)
        before = office_books.read_books([xls])[xls]

        r = self.cli("copy", "--sheet", src + ":S", "--sheet", xls + ":Own", "--dest", xls)
        self.assertEqual(r.returncode, 0, r.stderr)
        after = office_books.read_books([xls])[xls]
        self.assertEqual(after["sheets"], ["Own", "Other", "S", "Own (2)"])
        # B2 reads another sheet, through the workbook's own list of sheet references.
        for what in ("cells", "errors"):
            self.assertEqual(after[what]["Own"], before[what]["Own"], what)
        self.assertNotIn("its own sheet", r.stdout + r.stderr)
        # A boolean stays a value, which LibreOffice would have written as the formula =TRUE().
        self.assertNotIn((3, 1), xls_formulas(xls, 0))
        self.assertNotIn((3, 1), xls_formulas(xls, 3))
        # In the copy made within the workbook, B2, which reads another sheet, is written as LibreOffice
        # holds it: with its constant, which it read as nothing and got back from the file.
        for what in ("cells", "errors"):
            self.assertEqual(after[what]["Own (2)"], before[what]["Own"], what)
        self.assertIn(b"\x1c\x0f", xls_formulas(xls, 3)[(1, 1)][1])
        self.assertNotIn('"Own (2)"', r.stdout + r.stderr)
        # Copied out of the .xls, the formulas keep their constants.
        dest = os.path.join(self.dst, "out.xlsx")
        openpyxl.Workbook().save(dest)
        r = self.cli("copy", "--sheet", xls + ":Own", "--dest", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(openpyxl.load_workbook(dest)["Own"]["B1"].value, "=IF(A2>0,#VALUE!,2)")
        # =#VALUE!+1, which LibreOffice reads as =+1, cannot be told from a sign: the report names it.
        self.assertIn('"Own": B5 holds a formula with an error constant other than #N/A, which LibreOffice, reading '
                      "own.xls for Tessaro, reads as nothing, and which could not be put back", r.stdout + r.stderr)
        # Into another .xls and an .ods, an error value stays that error (LibreOffice's copy holds #N/A
        # and #NAME? there).
        others = [self.fixture("dst.xls", self.dst), self.fixture("dst.ods", self.dst)]
        r = self.cli("copy", "--sheet", xls + ":Own", "--dest", others[0], "--dest", others[1], "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        books = office_books.read_books(others)
        for other in others:
            self.assertEqual(books[other]["errors"]["Own"]["A40"], 532, other)

    def test_without_libreoffice_legacy_workbooks_say_how_to_install_it(self):
        xls = self.fixture("src.xls", self.src)
        xlsx = self.fixture("src.xlsx", self.src)
        dest = self.fixture("dst.xlsx", self.dst)
        missing = os.path.join(self.dir, "nowhere", "soffice")
        r = self.cli("sheets", xls, soffice=missing)
        self.assertEqual(r.returncode, 1)
        self.assertIn(xls, r.stderr)
        self.assertIn("LibreOffice is not installed", r.stderr)
        self.assertIn("sudo apt-get install libreoffice-calc-nogui", r.stderr)
        r = self.cli("copy", "--sheet", xls + ":Data", "--sheet", xlsx + ":Other", "--dest", dest, soffice=missing)
        self.assertEqual(r.returncode, 1)
        self.assertIn("LibreOffice is not installed", r.stderr)
        self.assertEqual(office_books.read_books([dest])[dest]["sheets"], ["First", "data", "Last", "Other"])


if __name__ == "__main__":
    unittest.main()
