# SPDX-License-Identifier: MIT
"""tessaro-cli copy --replace: a copy takes the place of the destination's sheet of the same name.

Workbooks are made with openpyxl in a fresh temporary folder per test. What the other sheets
read afterwards is checked by openpyxl (formulas as written) and, when LibreOffice is
installed, by LibreOffice's own calculation; the package is checked for parts nothing reaches
and ids nothing defines.
"""
import csv
import json
import os
import posixpath
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import openpyxl
from openpyxl.chart import BarChart, Reference
from openpyxl.comments import Comment
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.worksheet.datavalidation import DataValidation
from openpyxl.worksheet.table import Table

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")
HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "corpus"))
REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"


def package_faults(path):
    """Parts that nothing reaches, relationships to parts that are missing, overrides of
    parts that are missing, and workbook ids that no relationship defines."""
    faults = []
    with zipfile.ZipFile(path) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        folded = {n.lower(): n for n in names}

        def rels_of(part):
            d, f = posixpath.split(part)
            rels = posixpath.join(d, "_rels", f + ".rels")
            if rels.lower() not in folded:
                return []
            text = z.read(folded[rels.lower()]).decode("utf-8")
            out = []
            for m in re.finditer(r"<Relationship\b[^>]*>", text):
                tag = m.group(0)
                attrs = dict(re.findall(r'(\w+)="([^"]*)"', tag))
                if attrs.get("TargetMode") == "External":
                    continue
                target = attrs["Target"]
                full = target.lstrip("/") if target.startswith("/") else posixpath.normpath(posixpath.join(d, target))
                out.append((attrs["Id"], full))
            return out

        reached, todo = set(), [""]
        while todo:
            part = todo.pop()
            for rid, target in rels_of(part):
                if target.lower() not in folded:
                    faults.append(f"{part or '/'} {rid} -> missing {target}")
                elif target.lower() not in reached:
                    reached.add(target.lower())
                    todo.append(folded[target.lower()])
        for n in names:
            if n == "[Content_Types].xml" or n.endswith(".rels") or n.lower() in reached:
                continue
            faults.append(f"unreached {n}")
        types = z.read("[Content_Types].xml").decode("utf-8")
        for part in re.findall(r'PartName="/([^"]*)"', types):
            if part.lower() not in folded:
                faults.append(f"override of missing {part}")
        book = z.read("xl/workbook.xml").decode("utf-8")
        book_ids = {rid for rid, _ in rels_of("xl/workbook.xml")}
        for rid in re.findall(r'r:id="([^"]*)"', book):
            if rid not in book_ids:
                faults.append(f"workbook uses undefined {rid}")
        sheets = len(re.findall(r"<sheet\b", book))
        for local in re.findall(r'localSheetId="(\d+)"', book):
            if int(local) >= sheets:
                faults.append(f"name scoped to sheet {local} of {sheets}")
    return faults


def read(path):
    with open(path, "rb") as f:
        return f.read()


def selected_tabs(path):
    with zipfile.ZipFile(path) as z:
        return sum(1 for n in z.namelist() if re.match(r"xl/(work|chart)sheets/[^/]*\.xml$", n)
                   and re.search(rb'tabSelected="(1|true)"', z.read(n)))


def calculated(paths, out):
    """Every sheet of every workbook as LibreOffice calculates it: {(file stem, sheet): rows}."""
    soffice = shutil.which("soffice")
    if not soffice:
        return None
    profile = "file://" + os.path.join(out, "profile")
    subprocess.run([soffice, "--headless", "--norestore", f"-env:UserInstallation={profile}", "--convert-to",
                    "csv:Text - txt - csv (StarCalc):44,34,UTF8,1,,0,false,true,false,false,false,-1",
                    "--outdir", out, *paths], capture_output=True, timeout=300)
    sheets = {}
    for p in paths:
        stem = os.path.splitext(os.path.basename(p))[0]
        for f in os.listdir(out):
            if f.startswith(stem + "-") and f.endswith(".csv"):
                with open(os.path.join(out, f), newline="", encoding="utf-8") as fh:
                    sheets[(stem, f[len(stem) + 1:-4])] = list(csv.reader(fh))
    return sheets


class ReplaceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessaro-replace-test-")
        self.app = os.path.join(self.dir, "app")
        os.mkdir(self.app)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def cli(self, *args):
        env = dict(os.environ, TESSARO_APP_DIR=self.app)
        return subprocess.run([CLI, *args], capture_output=True, text=True, env=env, timeout=300)

    def replace(self, source, sheet, *dests):
        report = self.path("report.jsonl")
        r = self.cli("copy", "--sheet", f"{source}:{sheet}", *sum((["--dest", d] for d in dests), []),
                     "--replace", "--report", report)
        with open(report) as f:
            lines = [json.loads(line) for line in f]
        return r, [line for line in lines if "totals" not in line]

    def make_source(self, name, factor, table=True, hidden=False):
        wb = openpyxl.Workbook()
        ws = wb.active
        ws.title = "Rates"
        ws.append(["Item", "Amount"])
        for i in range(1, 6):
            ws.append([f"new{i}", i * factor])
        if table:
            ws.add_table(Table(displayName="RatesT", ref="A1:B6"))
        if hidden:
            wb.create_sheet("Shown")
            ws.sheet_state = "hidden"
        wb.save(self.path(name))
        return self.path(name)

    def make_destination(self, name):
        """Intro, "rates" (the active tab: a table, a comment, a chart) and Summary, whose
        formulas, name, validation and chart read "rates"."""
        wb = openpyxl.Workbook()
        wb.active.title = "Intro"
        rates = wb.create_sheet("rates")
        rates.append(["Item", "Amount"])
        for i in range(1, 6):
            rates.append([f"old{i}", i])
        rates.add_table(Table(displayName="RatesT", ref="A1:B6"))
        rates["C1"].comment = Comment("old note", "someone")
        chart = BarChart()
        chart.add_data(Reference(rates, min_col=2, min_row=1, max_row=6), titles_from_data=True)
        rates.add_chart(chart, "E2")
        summary = wb.create_sheet("Summary")
        summary["A1"] = "=rates!B2"
        summary["A2"] = "=SUM(RatesT[Amount])"
        summary["A3"] = "=SUM(Total)"
        dv = DataValidation(type="list", formula1="rates!$A$2:$A$6")
        summary.add_data_validation(dv)
        dv.add("B1")
        other = BarChart()
        other.add_data(Reference(rates, min_col=2, min_row=1, max_row=6), titles_from_data=True)
        summary.add_chart(other, "D2")
        wb.defined_names.append(DefinedName("Total", attr_text="rates!$B$2:$B$6"))
        wb.active = 1
        wb.save(self.path(name))
        return self.path(name)

    def test_the_copy_takes_the_place_and_everything_else_reads_it(self):
        source = self.make_source("source.xlsx", 100)
        dest = self.make_destination("dest.xlsx")
        r, lines = self.replace(source, "Rates", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([(x["copy_name"], x["position"], x["replaced"], x["notes"]) for x in lines],
                         [("rates", 2, True, [])])
        wb = openpyxl.load_workbook(dest)
        self.assertEqual(wb.sheetnames, ["Intro", "rates", "Summary"])
        self.assertEqual(wb.active.title, "rates")
        self.assertEqual(selected_tabs(dest), 1)
        self.assertEqual([row[1] for row in wb["rates"].iter_rows(min_row=2, values_only=True)],
                         [100, 200, 300, 400, 500])
        self.assertEqual(wb["Summary"]["A1"].value, "=rates!B2")
        self.assertEqual(wb["Summary"]["A2"].value, "=SUM(RatesT[Amount])")
        self.assertEqual(package_faults(dest), [])
        with zipfile.ZipFile(dest) as z:
            names = z.namelist()
        # The old sheet's comment, its drawing and its chart went with it; Summary's stayed.
        self.assertFalse([n for n in names if "comments" in n or n.endswith(".vml")])
        self.assertEqual(len([n for n in names if re.match(r"xl/charts/chart\d+\.xml$", n)]), 1)
        sheets = calculated([dest], self.path("lo"))
        if sheets is None:
            self.skipTest("LibreOffice is not installed; the calculated values were not checked")
        self.assertEqual(sheets[("dest", "Summary")], [["100"], ["1500"], ["1500"]])

    def test_a_table_the_new_sheet_lacks_becomes_ref_error_and_is_noted(self):
        source = self.make_source("plain.xlsx", 7, table=False)
        dest = self.make_destination("dest.xlsx")
        r, lines = self.replace(source, "Rates", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(lines[0]["notes"]), 1)
        self.assertIn('"Summary": A2', lines[0]["notes"][0])
        self.assertIn("#REF!", r.stdout + r.stderr)
        wb = openpyxl.load_workbook(dest)
        self.assertEqual(wb["Summary"]["A2"].value, "=SUM(#REF!)")
        self.assertEqual(wb["Summary"]["A1"].value, "=rates!B2")
        self.assertEqual(package_faults(dest), [])

    def test_without_the_name_the_copy_goes_last_and_is_reported_as_added(self):
        source = self.make_source("source.xlsx", 1)
        dest = self.path("other.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "First"
        wb.create_sheet("Second")
        wb.save(dest)
        r, lines = self.replace(source, "Rates", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([(x["copy_name"], x["position"], x["replaced"]) for x in lines], [("Rates", 3, False)])
        self.assertIn("added after its last sheet", lines[0]["notes"][0])
        self.assertEqual(openpyxl.load_workbook(dest).sheetnames, ["First", "Second", "Rates"])

    def test_a_hidden_copy_of_the_active_tab_hands_the_tab_to_the_next_shown_sheet(self):
        source = self.make_source("hidden.xlsx", 3, hidden=True)
        dest = self.make_destination("dest.xlsx")
        r, _ = self.replace(source, "Rates", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        wb = openpyxl.load_workbook(dest)
        self.assertEqual(wb["rates"].sheet_state, "hidden")
        self.assertEqual(wb.active.title, "Summary")
        self.assertEqual(selected_tabs(dest), 1)

    def test_what_cannot_be_replaced_is_refused_and_left_as_it_was(self):
        source = self.make_source("source.xlsx", 1)
        self.assertEqual(self.cli("copy", "--sheet", f"{source}:Rates", "--dest", source, "--replace",
                                  "--count", "2").returncode, 2)
        self.assertEqual(self.cli("copy", "--sheet", f"{source}:Rates", "--dest", source, "--replace",
                                  "--before").returncode, 2)
        charts = self.path("charts.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Data"
        wb.create_chartsheet("RATES")
        wb.save(charts)
        before = {p: read(p) for p in (source, charts)}
        r, lines = self.replace(source, "Rates", source, charts)
        self.assertEqual(r.returncode, 1)
        self.assertEqual([x["result"] for x in lines], ["failed", "failed"])
        self.assertIn("replace itself", lines[0]["error"])
        self.assertIn("other kind", lines[1]["error"])
        self.assertEqual({p: read(p) for p in before}, before)

    @unittest.skipUnless(os.path.isdir(CORPUS), "the shared corpus is not beside the project")
    def test_pivot_tables_go_with_their_sheet_and_caches_of_the_sheet_refresh(self):
        pivots = os.path.join(CORPUS, "closedxml_chartsheet_pivot.xlsx")
        dest = self.path("pivots.xlsx")
        # Its chart made a pivot chart of the pivot table on "Pivot".
        with zipfile.ZipFile(pivots) as zin, zipfile.ZipFile(dest, "w", zipfile.ZIP_DEFLATED) as zout:
            for item in zin.infolist():
                data = zin.read(item.filename)
                if item.filename == "xl/charts/chart1.xml":
                    data = data.replace(b"<c:chart>", b"<c:pivotSource><c:name>[pivots.xlsx]Pivot!Pastries</c:name>"
                                        b"<c:fmtId val=\"0\"/></c:pivotSource><c:chart>", 1)
                zout.writestr(item, data)
        source = self.path("plain.xlsx")
        wb = openpyxl.Workbook()
        wb.active.title = "Pivot"
        wb.active["A1"] = "no pivot table here"
        wb.create_sheet("Data").append(["new data"])
        wb.save(source)
        r, lines = self.replace(source, "Pivot", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(package_faults(dest), [])
        with zipfile.ZipFile(dest) as z:
            self.assertFalse([n for n in z.namelist() if "pivot" in n.lower()])
            self.assertNotIn("pivotCache", z.read("xl/workbook.xml").decode())
            self.assertNotIn("pivotSource", z.read("xl/charts/chart1.xml").decode())
        self.assertIn("Pastries", " ".join(lines[0]["notes"]))

        shutil.copyfile(pivots, dest)
        r, _ = self.replace(source, "Data", dest)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(package_faults(dest), [])
        with zipfile.ZipFile(dest) as z:
            caches = [z.read(n).decode() for n in z.namelist() if re.search(r"pivotCacheDefinition\d*\.xml$", n)]
        self.assertTrue(caches)
        self.assertTrue(all('refreshOnLoad="1"' in c for c in caches))


if __name__ == "__main__":
    unittest.main()
