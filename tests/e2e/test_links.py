# SPDX-License-Identifier: MIT
"""What a copied sheet's references to other sheets read, chosen with --links.

The source's "Summary" sheet reads "Data" (which the destination has too) and "Missing"
(which it lacks) from its cells, a shared and an array formula, a workbook name, a data
validation, a conditional format and a chart. openpyxl writes no cached values, so the
cells and the chart's caches are written into its package afterwards, as a spreadsheet
application would have left them.
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import openpyxl
from openpyxl.chart import BarChart, Reference
from openpyxl.formatting.rule import FormulaRule
from openpyxl.styles import Font, PatternFill
from openpyxl.workbook.defined_name import DefinedName
from openpyxl.worksheet.datavalidation import DataValidation

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")
SHARED = os.environ.get("TESSARO_SHARED_DIR",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared"))
ORACLE = os.path.join(SHARED, "oracle", "check_copy.py")

# The Summary sheet's cells: formulas with the values they showed.
SUMMARY_CELLS = """<sheetData>
<row r="1">
<c r="A1" s="1"><f>Data!B2</f><v>10</v></c>
<c r="B1"><f t="shared" ref="B1:B3" si="0">Data!B2*2</f><v>20</v></c>
<c r="C1"><f t="array" ref="C1">SUM(Data!B2:B3)</f><v>30</v></c>
<c r="D1"><f>Data!B9</f></c>
<c r="E1"><f>Rate*2</f><v>20</v></c>
</row>
<row r="2">
<c r="A2"><f>Missing!B4</f><v>7</v></c>
<c r="B2"><f t="shared" si="0"/><v>40</v></c>
<c r="E2" t="str"><f>Data!A1</f><v>x</v></c>
</row>
<row r="3">
<c r="A3"><f>A1+1</f><v>11</v></c>
<c r="B3"><f t="shared" si="0"/><v>0</v></c>
<c r="C3"><v>5</v></c>
</row>
</sheetData>"""

CACHES = {
    "Data": '<c:numCache><c:formatCode>General</c:formatCode><c:ptCount val="2"/>'
            '<c:pt idx="0"><c:v>10</c:v></c:pt><c:pt idx="1"><c:v>20</c:v></c:pt></c:numCache>',
    "Missing": '<c:numCache><c:formatCode>General</c:formatCode><c:ptCount val="1"/>'
               '<c:pt idx="0"><c:v>7</c:v></c:pt></c:numCache>',
}


def make_source(path):
    wb = openpyxl.Workbook()
    summary = wb.active
    summary.title = "Summary"
    data = wb.create_sheet("Data")
    data["A1"] = "x"
    data["B2"] = 10
    data["B3"] = 20
    missing = wb.create_sheet("Missing")
    missing["B4"] = 7
    summary["A1"] = "placeholder"
    summary["A1"].font = Font(bold=True)
    wb.defined_names.append(DefinedName("Rate", attr_text="Data!$B$2"))
    dv = DataValidation(type="list", formula1="Data!$B$2:$B$3")
    dv.add("F1")
    summary.add_data_validation(dv)
    summary.conditional_formatting.add(
        "A1:A3", FormulaRule(formula=["Missing!$B$4>5"], fill=PatternFill("solid", start_color="FFFF00")))
    chart = BarChart()
    chart.add_data(Reference(data, min_col=2, min_row=2, max_row=3))
    chart.add_data(Reference(missing, min_col=2, min_row=4, max_row=4))
    summary.add_chart(chart, "H2")
    wb.save(path)
    # The cached values openpyxl cannot write.
    tmp = path + ".tmp"
    with zipfile.ZipFile(path) as zin, zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            body = zin.read(item.filename)
            if item.filename == "xl/worksheets/sheet1.xml":
                body = re.sub(rb"<sheetData>.*</sheetData>", SUMMARY_CELLS.replace("\n", "").encode(), body,
                              flags=re.S)
            elif item.filename.startswith("xl/charts/chart"):
                # In the chart namespace's usual prefix, as applications write it.
                text = body.decode().replace('xmlns="http://schemas.openxmlformats.org/drawingml/2006/chart"',
                                             'xmlns:c="http://schemas.openxmlformats.org/drawingml/2006/chart"')
                text = re.sub(r"<(/?)(?![A-Za-z0-9]+:)([A-Za-z])", r"<\1c:\2", text)
                for sheet, cache in CACHES.items():
                    text = re.sub(r"(<c:f>'?%s'?![^<]*</c:f>)" % sheet, r"\1" + cache, text)
                body = text.encode()
            zout.writestr(item, body)
    os.replace(tmp, path)


def make_destination(path):
    wb = openpyxl.Workbook()
    wb.active.title = "Main"
    wb.create_sheet("Data")["B2"] = 99
    wb.save(path)


class LinksTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessaro-links-test-")
        self.app = os.path.join(self.dir, "app")
        os.mkdir(self.app)
        self.source = os.path.join(self.dir, "source.xlsx")
        self.dest = os.path.join(self.dir, "dest.xlsx")
        self.before = os.path.join(self.dir, "before.xlsx")
        make_source(self.source)
        make_destination(self.dest)
        shutil.copy(self.dest, self.before)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def copy(self, links):
        report = os.path.join(self.dir, "report.jsonl")
        args = [CLI, "copy", "--sheet", self.source + ":Summary", "--dest", self.dest, "--report", report]
        if links:
            args += ["--links", links]
        r = subprocess.run(args, capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, TESSARO_APP_DIR=self.app))
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(report) as fh:
            lines = [json.loads(line) for line in fh if line.strip()]
        return [n for line in lines if "notes" in line for n in line["notes"]]

    def part(self, pattern):
        with zipfile.ZipFile(self.dest) as z:
            names = [n for n in z.namelist() if re.fullmatch(pattern, n)]
            self.assertEqual(len(names), 1, z.namelist())
            return z.read(names[0]).decode()

    def copied_sheet_xml(self):
        wb = openpyxl.load_workbook(self.dest)
        index = wb.sheetnames.index("Summary") + 1
        return self.part(r"xl/worksheets/sheet%d\.xml" % index)

    def oracle(self, differs=()):
        """The copy against the oracle, which expects formulas to travel: `differs` names its
        checks that must fail because the choice replaced formulas by values on purpose."""
        if not os.path.exists(ORACLE):
            self.skipTest("the shared oracle is not here")
        r = subprocess.run(["/usr/bin/python3", ORACLE, self.source, "Summary", self.before, self.dest, "--quiet"],
                           capture_output=True, text=True, timeout=300)
        failed = set(re.findall(r"^FAIL\s+copy\[[^]]*\]\.([\w-]+):", r.stdout, flags=re.M))
        self.assertEqual(failed, set(differs), r.stdout + r.stderr)
        self.assertEqual(r.returncode, 1 if differs else 0, r.stdout + r.stderr)

    def test_external_links_every_reference_to_the_source(self):
        notes = self.copy(None)
        ws = openpyxl.load_workbook(self.dest)["Summary"]
        self.assertEqual(ws["A1"].value, "=[1]Data!B2")
        self.assertEqual(ws["A2"].value, "=[1]Missing!B4")
        self.assertEqual(notes, [])
        self.oracle()

    def test_destination_reads_its_own_sheet_and_falls_back_with_a_note(self):
        notes = self.copy("destination")
        wb = openpyxl.load_workbook(self.dest)
        ws = wb["Summary"]
        self.assertEqual(ws["A1"].value, "=Data!B2")
        self.assertEqual(ws["A2"].value, "=[1]Missing!B4")
        self.assertEqual(ws["A3"].value, "=A1+1")
        self.assertEqual(ws["B1"].value, "=Data!B2*2")
        self.assertIn(getattr(ws["C1"].value, "text", ws["C1"].value), ("SUM(Data!B2:B3)", "=SUM(Data!B2:B3)"))
        self.assertEqual(ws["E1"].value, "=Rate*2")
        self.assertEqual([d.attr_text for d in wb.defined_names.definedName if d.name == "Rate"], ["Data!$B$2"])
        self.assertEqual(ws.data_validations.dataValidation[0].formula1, "Data!$B$2:$B$3")
        rules = [r for rng in ws.conditional_formatting for r in rng.rules]
        self.assertEqual(rules[0].formula, ["[1]Missing!$B$4>5"])
        chart = self.part(r"xl/charts/chart\d+\.xml")
        self.assertIn("<c:f>Data!$B$2:$B$3</c:f>", chart.replace("'Data'", "Data"))
        self.assertIn("<c:f>[1]Missing!$B$4</c:f>", chart)
        missing = [n for n in notes if '"Missing"' in n]
        self.assertTrue(missing and all("has no sheet of that name" in n for n in missing), notes)
        self.assertIn('"Summary": the reference to "Missing" in A2 reads the source workbook, since this workbook '
                      'has no sheet of that name', notes)
        self.assertTrue(any("conditional format" in n for n in missing), notes)
        self.assertTrue(any("chart" in n for n in missing), notes)
        self.assertFalse(any('"Data"' in n for n in notes), notes)
        self.oracle()

    def test_values_keep_what_the_formulas_showed(self):
        notes = self.copy("values")
        ws = openpyxl.load_workbook(self.dest)["Summary"]
        self.assertEqual([ws[c].value for c in ("A1", "A2", "B1", "B2", "B3", "C1", "E1", "E2")],
                         [10, 7, 20, 40, 0, 30, 20, "x"])
        self.assertTrue(ws["A1"].font.bold)  # the cell's format stays
        self.assertEqual(ws["A3"].value, "=A1+1")  # reads only its own sheet
        self.assertIsNone(ws["D1"].value)
        xml = self.copied_sheet_xml()
        self.assertNotIn("Data!", xml.split("</sheetData>")[0])
        self.assertNotIn("<f", xml.split("</sheetData>")[0].replace("<f>A1+1</f>", ""))
        chart = self.part(r"xl/charts/chart\d+\.xml")
        self.assertNotIn("<c:numRef>", chart)
        self.assertEqual(chart.count("<c:numLit>"), 2)
        self.assertIn("<c:v>20</c:v>", chart)
        self.assertIn('"Summary": D1 read another sheet but showed no value to keep, so it is left empty', notes)
        self.assertTrue(any("data validation" in n and '"Data"' in n for n in notes), notes)
        self.oracle(differs=("cells", "charts"))

    def test_a_wrong_links_word_is_a_usage_error(self):
        r = subprocess.run([CLI, "copy", "--sheet", self.source + ":Summary", "--dest", self.dest, "--links", "copy"],
                           capture_output=True, text=True, timeout=60, env=dict(os.environ, TESSARO_APP_DIR=self.app))
        self.assertEqual(r.returncode, 2)
        self.assertIn("--links copy", r.stderr)


class PivotLinksTest(unittest.TestCase):
    """A pivot table whose cache reads another sheet of its source (a workbook of the shared
    corpus: PivotSheet1's pivot table reads DataSheet)."""

    def setUp(self):
        self.corpus = os.path.join(SHARED, "corpus", "calamine_pivots_mac.xlsx")
        if not os.path.exists(self.corpus):
            self.skipTest("the shared corpus is not here")
        self.dir = tempfile.mkdtemp(prefix="tessaro-links-pivot-")
        self.dest = os.path.join(self.dir, "dest.xlsx")
        make_destination(self.dest)
        wb = openpyxl.load_workbook(self.dest)
        wb["Data"].title = "DataSheet"
        wb.save(self.dest)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def copy(self, links):
        report = os.path.join(self.dir, "report.jsonl")
        r = subprocess.run([CLI, "copy", "--sheet", self.corpus + ":PivotSheet1", "--dest", self.dest, "--links", links,
                            "--report", report], capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, TESSARO_APP_DIR=self.dir))
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(report) as fh:
            return [n for line in fh if line.strip() for n in json.loads(line).get("notes", [])]

    def test_destination_points_the_cache_at_its_own_sheet(self):
        self.assertEqual(self.copy("destination"), [])
        with zipfile.ZipFile(self.dest) as z:
            caches = [n for n in z.namelist() if re.fullmatch(r"xl/pivotCache/pivotCacheDefinition\d+\.xml", n)]
            self.assertEqual(len(caches), 1)
            self.assertIn('sheet="DataSheet"', z.read(caches[0]).decode())
            rels = caches[0].replace("pivotCache/", "pivotCache/_rels/") + ".rels"
            self.assertNotIn("calamine", z.read(rels).decode() if rels in z.namelist() else "")

    def test_values_leave_the_pivot_table_out_and_say_so(self):
        notes = self.copy("values")
        with zipfile.ZipFile(self.dest) as z:
            self.assertFalse([n for n in z.namelist() if "pivot" in n], z.namelist())
        self.assertEqual(notes, ['"PivotSheet1": a pivot table reading "DataSheet" is left out; its cells keep the '
                                 'values it showed'])
        ws = openpyxl.load_workbook(self.dest)["PivotSheet1"]
        self.assertGreater(sum(1 for row in ws.iter_rows(values_only=True) for v in row if v is not None), 0)


if __name__ == "__main__":
    unittest.main()
