# SPDX-License-Identifier: MIT
"""tessaro-cli as a user drives it: exit codes, the workbooks it changes, what it says.

Fixtures are made with openpyxl in a fresh temporary folder per test and read back with
openpyxl. Run by CTest with TESSARO_CLI pointing at the built executable.
"""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import openpyxl

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")


def make_book(path, sheets):
    """sheets: list of (name, rows) where rows is a list of lists of values."""
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for name, rows in sheets:
        ws = wb.create_sheet(name)
        for row in rows:
            ws.append(row)
    wb.save(path)


def sheet_names(path):
    return openpyxl.load_workbook(path).sheetnames


def values(path, sheet):
    ws = openpyxl.load_workbook(path)[sheet]
    return [list(r) for r in ws.iter_rows(values_only=True)]


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessaro-cli-test-")
        self.app = os.path.join(self.dir, "app")
        os.mkdir(self.app)
        self.src = os.path.join(self.dir, "src")
        self.dst = os.path.join(self.dir, "dst")
        os.mkdir(self.src)
        os.mkdir(self.dst)
        self.source = os.path.join(self.src, "source.xlsx")
        make_book(self.source, [("Data", [["id", "amount"], [1, 2.5], [2, 7]]),
                                ("Other", [["text"], ["hello"]])])
        make_book(os.path.join(self.dst, "a.xlsx"), [("A", [["a"]])])
        make_book(os.path.join(self.dst, "b.xlsx"), [("B", [["b"]]), ("Data", [["old"]])])

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def cli(self, *args):
        env = dict(os.environ, TESSARO_APP_DIR=self.app)
        return subprocess.run([CLI, *args], capture_output=True, text=True, env=env, timeout=120)

    def dest(self, name):
        return os.path.join(self.dst, name)

    # -- sheets ------------------------------------------------------------------------
    def test_sheets_prints_worksheet_names_in_order(self):
        r = self.cli("sheets", self.source)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), ["Data", "Other"])

    def test_sheets_of_a_missing_or_broken_file_fails_naming_it(self):
        r = self.cli("sheets", os.path.join(self.dir, "gone.xlsx"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("gone.xlsx", r.stderr)
        broken = os.path.join(self.dir, "broken.xlsx")
        with open(broken, "w") as fh:
            fh.write("this is not a workbook")
        r = self.cli("sheets", broken)
        self.assertEqual(r.returncode, 1)
        self.assertIn("broken.xlsx", r.stderr)
        self.assertIn("Open excel file failed!", r.stderr)
        self.assertEqual(r.stdout, "")

    # -- usage -------------------------------------------------------------------------
    def test_usage_errors_exit_2_and_help_exits_0(self):
        for args in [(), ("frobnicate",), ("copy",), ("copy", "--dest", self.dst),
                     ("copy", "--sheet", self.source + ":Data"),
                     ("copy", "--sheet", self.source, "--dest", self.dst),
                     ("copy", "--sheet", self.source + ":Data", "--dest", self.dst, "--count", "-1"),
                     ("copy", "--sheet", self.source + ":Data", "--dest", self.dst, "--count", "x"),
                     ("copy", "--sheet", self.source + ":Data", "--dest", self.dst, "--bogus"),
                     ("sheets",)]:
            r = self.cli(*args)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn("tessaro-cli", r.stderr)
        r = self.cli("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("--sheet SOURCE:SHEET", r.stdout)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A"], "a usage error changes nothing")

    # -- copy --------------------------------------------------------------------------
    def test_copy_after_into_every_workbook_of_a_folder(self):
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest", self.dst)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Copy Complete!", r.stderr)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A", "Data"])
        self.assertEqual(sheet_names(self.dest("b.xlsx")), ["B", "Data", "Data (2)"])
        self.assertEqual(values(self.dest("a.xlsx"), "Data"), [["id", "amount"], [1, 2.5], [2, 7]])
        self.assertEqual(values(self.dest("b.xlsx"), "Data"), [["old"]], "the destination's own sheet is intact")
        self.assertEqual(sheet_names(self.source), ["Data", "Other"])

    def test_copy_before_keeps_the_order_given_and_counts(self):
        r = self.cli("copy", "--sheet", self.source + ":Data", "--sheet", self.source + ":Other",
                     "--dest", self.dest("a.xlsx"), "--before", "--count", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["Data", "Data (2)", "Other", "Other (2)", "A"])
        self.assertEqual(sheet_names(self.dest("b.xlsx")), ["B", "Data"], "only the named destination")

    def test_copy_runs_one_job_per_destination_entry_in_order(self):
        other = os.path.join(self.dir, "other")
        os.mkdir(other)
        make_book(os.path.join(other, "c.xlsx"), [("C", [["c"]])])
        r = self.cli("copy", "--sheet", self.source + ":Other", "--dest", self.dest("a.xlsx"), "--dest", other)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.count("Copy Complete!"), 2)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A", "Other"])
        self.assertEqual(sheet_names(os.path.join(other, "c.xlsx")), ["C", "Other"])

    def test_destinations_from_a_list_file_and_from_standard_input(self):
        other = os.path.join(self.dir, "other")
        os.mkdir(other)
        make_book(os.path.join(other, "c.xlsx"), [("C", [["c"]])])
        listing = os.path.join(self.dir, "dests.txt")
        with open(listing, "w", newline="") as f:
            f.write(self.dest("a.xlsx") + "\r\n\n" + other + "\n")
        r = self.cli("copy", "--sheet", self.source + ":Other", "--dest-list", listing, "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A", "Other"])
        self.assertEqual(sheet_names(os.path.join(other, "c.xlsx")), ["C", "Other"])
        env = dict(os.environ, TESSARO_APP_DIR=self.app)
        r = subprocess.run([CLI, "copy", "--sheet", self.source + ":Data", "--dest-list", "-", "--quiet"],
                           input=self.dest("a.xlsx") + "\n", capture_output=True, text=True, env=env, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A", "Other", "Data"])
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest-list", os.path.join(self.dir, "none.txt"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("none.txt: the file cannot be read", r.stderr)

    def test_a_broken_destination_fails_and_the_others_are_still_done(self):
        broken = self.dest("a2-broken.xlsx")
        with open(broken, "wb") as fh:
            fh.write(b"PK\x03\x04 truncated")
        before = open(broken, "rb").read()
        r = self.cli("copy", "--sheet", self.source + ":Other", "--dest", self.dst)
        self.assertEqual(r.returncode, 1)
        self.assertIn("a2-broken.xlsx", r.stderr)
        self.assertIn("Copy Other to a2-broken.xlsx failure", r.stderr)
        self.assertEqual(open(broken, "rb").read(), before, "the broken file is not touched")
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A", "Other"])
        self.assertEqual(sheet_names(self.dest("b.xlsx")), ["B", "Data", "Other"], "the one after it too")

    def test_an_empty_first_workbook_of_a_folder_does_not_stop_the_others(self):
        open(self.dest("0-empty.xlsx"), "wb").close()
        r = self.cli("copy", "--sheet", self.source + ":Other", "--dest", self.dst, "--count", "2")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A", "Other", "Other (2)"])
        self.assertEqual(sheet_names(self.dest("b.xlsx")), ["B", "Data", "Other", "Other (2)"])
        self.assertEqual(os.path.getsize(self.dest("0-empty.xlsx")), 0)
        self.assertIn("error: Copy Other to 0-empty.xlsx failure: " + self.dest("0-empty.xlsx"), r.stderr)
        self.assertIn("error: Copied 4 of 6 sheets; 2 failed.", r.stderr)
        self.assertNotIn("Copy Complete!", r.stderr)

    def test_a_missing_sheet_or_source_fails_naming_it(self):
        r = self.cli("copy", "--sheet", self.source + ":Nope", "--dest", self.dest("a.xlsx"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("Nope", r.stderr)
        r = self.cli("copy", "--sheet", os.path.join(self.src, "gone.xlsx") + ":Data", "--dest", self.dest("a.xlsx"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("gone.xlsx", r.stderr)
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest", os.path.join(self.dir, "nowhere"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("nowhere", r.stderr)
        self.assertEqual(sheet_names(self.dest("a.xlsx")), ["A"])

    def test_count_zero_changes_nothing(self):
        before = {n: open(self.dest(n), "rb").read() for n in ("a.xlsx", "b.xlsx")}
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest", self.dst, "--count", "0")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Nothing to copy", r.stderr)
        for n, data in before.items():
            self.assertEqual(open(self.dest(n), "rb").read(), data)

    def test_same_named_destination_goes_through_a_temporary_copy_that_is_gone_after(self):
        make_book(self.dest("source.xlsx"), [("Mine", [["m"]])])
        r = self.cli("copy", "--sheet", self.source + ":Other", "--dest", self.dst)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(self.dest("source.xlsx")), ["Mine", "Other"])
        self.assertEqual(os.listdir(self.app), ["undo"], "no temporary copy left behind")

    def test_copy_into_the_source_itself(self):
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest", self.source, "--count", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(self.source), ["Data", "Other", "Data (2)", "Data (3)"])
        self.assertEqual(values(self.source, "Data (3)"), values(self.source, "Data"))

    # -- --report and --dry-run -------------------------------------------------------------
    def read_report(self, path):
        with open(path, encoding="utf-8") as f:
            lines = [json.loads(line) for line in f]
        return lines[:-1], lines[-1]["totals"]

    def snapshot(self):
        return {n: open(self.dest(n), "rb").read() for n in sorted(os.listdir(self.dst))}

    def test_report_has_a_line_per_copy_and_totals_that_match_the_exit_status(self):
        broken = self.dest("a2-broken.xlsx")
        with open(broken, "wb") as fh:
            fh.write(b"PK\x03\x04 truncated")
        report = os.path.join(self.dir, "report.jsonl")
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest", self.dst, "--count", "2", "--report", report)
        self.assertEqual(r.returncode, 1, r.stderr)
        copies, totals = self.read_report(report)
        got = [(os.path.basename(c["destination"]), c["copy_name"], c["position"], c["result"]) for c in copies]
        self.assertEqual(got, [("a.xlsx", "Data", 2, "copied"), ("a.xlsx", "Data (2)", 3, "copied"),
                               ("a2-broken.xlsx", "", 0, "failed"), ("a2-broken.xlsx", "", 0, "failed"),
                               ("b.xlsx", "Data (2)", 3, "copied"), ("b.xlsx", "Data (3)", 4, "copied")])
        failure = copies[2]
        self.assertGreater(failure["error_code"], 0)
        self.assertIn("a2-broken.xlsx", failure["error"])
        self.assertEqual((copies[0]["source"], copies[0]["sheet"]), (self.source, "Data"))
        self.assertEqual(sheet_names(self.dest("b.xlsx")), ["B", "Data", "Data (2)", "Data (3)"])
        self.assertEqual((totals["copied"], totals["failed"], totals["exit_status"]), (4, 2, r.returncode))

    def test_dry_run_writes_nothing_and_names_what_the_real_run_then_does(self):
        readonly = self.dest("c-readonly.xlsx")
        make_book(readonly, [("C", [["c"]])])
        os.chmod(readonly, 0o444)
        args = ["copy", "--sheet", self.source + ":Data", "--sheet", self.source + ":Other", "--dest", self.dst,
                "--before", "--count", "2"]
        before = self.snapshot()
        plan = os.path.join(self.dir, "plan.jsonl")
        r = self.cli(*args, "--dry-run", "--report", plan)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("c-readonly.xlsx", r.stderr)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(os.listdir(self.app), [])
        self.assertIn('b.xlsx: would get "Data (2)" as sheet', r.stdout)
        planned, planned_totals = self.read_report(plan)
        self.assertEqual(planned_totals["exit_status"], r.returncode)
        done = os.path.join(self.dir, "done.jsonl")
        r = self.cli(*args, "--report", done)
        made, totals = self.read_report(done)
        key = lambda c: (c["destination"], c["sheet"], c["copy_name"], c["position"])
        real = {"would copy": "copied", "would fail": "failed"}
        self.assertEqual(sorted((key(c), real[c["result"]]) for c in planned),
                         sorted((key(c), c["result"]) for c in made))
        self.assertEqual((planned_totals["would_copy"], planned_totals["would_fail"]),
                         (totals["copied"], totals["failed"]))
        self.assertEqual(sheet_names(self.dest("b.xlsx")),
                         ["Data (2)", "Data (3)", "Other", "Other (2)", "B", "Data"])

    def test_a_name_taken_in_another_letter_case_gets_a_free_name_in_every_script(self):
        # Vietnamese, Greek with tonos, Armenian, Georgian Mtavruli, Cherokee; the destination
        # holds each name in the other case.
        upper = ["\u1EA0", "\u0386", "\u0531", "\u1C90", "\u13A0"]
        lower = ["\u1EA1", "\u03AC", "\u0561", "\u10D0", "\uAB70"]
        source = os.path.join(self.src, "scripts.xlsx")
        make_book(source, [(n, [[n]]) for n in upper])
        target = self.dest("scripts.xlsx")
        make_book(target, [(n, [["own"]]) for n in lower])
        args = ["copy", "--dest", target]
        for n in upper:
            args += ["--sheet", source + ":" + n]
        r = self.cli(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(target), lower + [n + " (2)" for n in upper])
        self.assertEqual(values(target, upper[0] + " (2)"), [[upper[0]]])

    def test_relative_paths_and_non_ascii_names(self):
        folder = os.path.join(self.dir, "Übersicht 報告")
        os.mkdir(folder)
        make_book(os.path.join(folder, "Zielmappe.xlsx"), [("Ziel", [[1]])])
        shutil.copy(self.source, os.path.join(folder, "Quelle.xlsx"))
        env = dict(os.environ, TESSARO_APP_DIR=self.app)
        r = subprocess.run([CLI, "copy", "--sheet", "Quelle.xlsx:Other", "--dest", "./Zielmappe.xlsx"],
                           cwd=folder, capture_output=True, text=True, env=env, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sheet_names(os.path.join(folder, "Zielmappe.xlsx")), ["Ziel", "Other"])

    def test_undo_of_a_replace_job_puts_back_every_destination_and_leaves_a_changed_one_alone(self):
        books = os.path.join(self.dir, "books")
        os.mkdir(books)
        before = {}
        for i in range(20):
            path = os.path.join(books, "book%02d.xlsx" % i)
            make_book(path, [("Data", [["old", i]]), ("Sheet", [["book", i]])])
            with open(path, "rb") as f:
                before[path] = f.read()
        r = self.cli("copy", "--sheet", self.source + ":Data", "--dest", books, "--replace", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        changed = os.path.join(books, "book07.xlsx")
        self.assertEqual(values(changed, "Data")[0], ["id", "amount"])
        # Another program saves over one of them after the run.
        make_book(changed, [("Mine", [["someone else's work"]])])
        with open(changed, "rb") as f:
            theirs = f.read()

        r = self.cli("undo")
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        for path, content in before.items():
            with open(path, "rb") as f:
                self.assertEqual(f.read(), theirs if path == changed else content, path)
        self.assertIn("Left alone: " + changed + ": it changed after the copy job wrote it", r.stdout)
        self.assertEqual(r.stdout.count("Restored: "), 19)
        self.assertIn("Restored 19 of 20 destinations of the last copy job; 1 left alone.", r.stdout)

        r = self.cli("undo")
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(r.stdout.strip(), "Nothing to undo.")


if __name__ == "__main__":
    unittest.main()
