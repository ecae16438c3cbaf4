#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders the documentation's pictures of the windows, filled from real workbooks, under a
# virtual display: docs/tessaro-window.png, docs/settings.png, docs/about.png, and the report
# after a real copy in which two destinations fail, docs/report-two-failures.png.
#   scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
work=/tmp/tessaro-demo; rm -rf "$work"; mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Quarterly reports" "$work/Branches" "$work/Offices"
/usr/bin/python3 - "$work" <<'PY'
import os, sys
import openpyxl
work = sys.argv[1]
def book(path, sheets):
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for name in sheets:
        ws = wb.create_sheet(name)
        ws.append(["Item", "Amount"])
        ws.append([name, 100])
    wb.save(path)
src = os.path.join(work, "Quarterly reports")
book(os.path.join(src, "Q2 2026.xlsx"), ["Summary", "Sales"])
book(os.path.join(src, "Q3 2026.xlsx"), ["Summary", "Sales by region", "Costs", "Headcount"])
book(os.path.join(src, "Targets.xlsx"), ["Targets"])
dst = os.path.join(work, "Branches")
for city in ["Berlin", "Lisbon", "Oslo", "Porto", "Vienna"]:
    book(os.path.join(dst, "Branch %s.xlsx" % city), ["Overview", "Staff"])
offices = os.path.join(work, "Offices")
for city in ["Athens", "Dublin", "Madrid", "Prague"]:
    book(os.path.join(offices, "Office %s.xlsx" % city), ["Overview"])
# Two that cannot take a copy: a damaged download and a file that is not a workbook.
with open(os.path.join(offices, "Office Cairo.xlsx"), "wb") as f:
    f.write(b"PK\x03\x04")
with open(os.path.join(offices, "Office Riga.xlsx"), "w") as f:
    f.write("Riga office notes\n")
PY
xvfb-run -a -s "-screen 0 1024x768x24" "$build/tests/ui/ui_screenshots" "$top/docs" "$work/Quarterly reports" "$work/Branches" \
    "$work/Offices"
echo "wrote $top/docs/tessaro-window.png, settings.png, about.png, report-two-failures.png"
