# SPDX-License-Identifier: MIT
"""Fixture maker and reader for the window's end-to-end test.

  workbook_tool.py make FOLDER      writes source.xlsx and two destinations into FOLDER
  workbook_tool.py dump FILE...     prints each workbook's sheets and values as JSON
"""
import json
import os
import sys

import openpyxl
from openpyxl.styles import Font, PatternFill


def make(folder):
    src = openpyxl.Workbook()
    ws = src.active
    ws.title = "Data"
    ws.append(["id", "label", "amount"])
    for i in range(1, 41):
        ws.append([i, "row %d" % i, i * 2.5])
    ws["A1"].font = Font(bold=True)
    ws["B1"].fill = PatternFill("solid", fgColor="FFD9E1F2")
    ws.merge_cells("E1:F1")
    ws["D2"] = "=C2*2"
    src.create_sheet("Notes").append(["note"])
    src.save(os.path.join(folder, "source.xlsx"))
    out = os.path.join(folder, "out")
    os.makedirs(out, exist_ok=True)
    for name, sheets in (("d1.xlsx", ["One"]), ("d2.xlsx", ["Two", "Data"])):
        wb = openpyxl.Workbook()
        wb.active.title = sheets[0]
        for extra in sheets[1:]:
            wb.create_sheet(extra)
        wb.save(os.path.join(out, name))


def dump(files):
    result = {}
    for f in files:
        wb = openpyxl.load_workbook(f)
        result[os.path.basename(f)] = {
            "sheets": wb.sheetnames,
            "values": {s: [list(r) for r in wb[s].iter_rows(values_only=True)] for s in wb.sheetnames},
            "merged": {s: sorted(str(m) for m in wb[s].merged_cells.ranges) for s in wb.sheetnames},
        }
    print(json.dumps(result, sort_keys=True, default=str))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2])
    else:
        dump(sys.argv[2:])
