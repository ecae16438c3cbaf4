# SPDX-License-Identifier: MIT
"""tessaro-cli runs that meet each other or another program on the same files."""
import os
import shutil
import subprocess
import tempfile
import unittest

import openpyxl

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")


def make_book(path, sheet, marker):
    wb = openpyxl.Workbook()
    wb.active.title = sheet
    wb.active["A1"] = marker
    wb.save(path)


class ConcurrentJobsTest(unittest.TestCase):
    ROUNDS = 20

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessaro-races-")
        self.app = os.path.join(self.dir, "app")
        os.mkdir(self.app)
        # A file of the user's that happens to have the temporary copy's name.
        self.users_file = os.path.join(self.app, "(Report)_myorvandels.xlsx")
        make_book(self.users_file, "Mine", "the user's own")
        for side in ("A", "B"):
            os.mkdir(os.path.join(self.dir, side))
            make_book(os.path.join(self.dir, side, "Report.xlsx"), "Data", "from " + side)

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, side, out, *extra):
        return subprocess.Popen([CLI, "copy", "--sheet", os.path.join(self.dir, side, "Report.xlsx") + ":Data",
                                 "--dest", out, "--quiet", *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=dict(os.environ, TESSARO_APP_DIR=self.app))

    def test_same_named_sources_each_copy_their_own_sheet(self):
        for round_ in range(self.ROUNDS):
            outs = {}
            for side in ("A", "B"):
                out = os.path.join(self.dir, "out%s-%d" % (side, round_))
                os.mkdir(out)
                for name in ("Report.xlsx", "Other.xlsx"):
                    make_book(os.path.join(out, name), "Own", name)
                outs[side] = out
            procs = {side: self.start(side, out) for side, out in outs.items()}
            for side, proc in procs.items():
                _, err = proc.communicate(timeout=120)
                self.assertEqual(proc.returncode, 0, err)
            for side, out in outs.items():
                for name in ("Report.xlsx", "Other.xlsx"):
                    with self.subTest(round=round_, side=side, dest=name):
                        wb = openpyxl.load_workbook(os.path.join(out, name))
                        self.assertEqual(wb.sheetnames, ["Own", "Data"])
                        self.assertEqual(wb["Data"]["A1"].value, "from " + side)
        self.assertEqual(openpyxl.load_workbook(self.users_file)["Mine"]["A1"].value, "the user's own")
        self.assertEqual(sorted(os.listdir(self.app)), ["(Report)_myorvandels.xlsx", "undo"],
                         "each job removes its own folder")

    def test_two_jobs_into_one_destination_never_lose_a_copy(self):
        busy = "another Tessaro job is writing this workbook"
        for round_ in range(self.ROUNDS):
            shared = os.path.join(self.dir, "Shared-%d.xlsx" % round_)
            make_book(shared, "Own", "own")
            procs = {side: self.start(side, shared, "--count", "3") for side in ("A", "B")}
            done = []
            for side, proc in procs.items():
                _, err = proc.communicate(timeout=120)
                with self.subTest(round=round_, side=side):
                    if proc.returncode == 0:
                        done.append(side)
                    else:
                        # The job that lost the race says so, naming the file.
                        self.assertIn(busy, err)
                        self.assertIn(shared, err)
            with self.subTest(round=round_):
                self.assertTrue(done, "one of the two jobs always gets the file")
                wb = openpyxl.load_workbook(shared)
                copies = [wb[n]["A1"].value for n in wb.sheetnames[1:]]
                self.assertEqual(wb.sheetnames[0], "Own")
                self.assertEqual(sorted(copies), sorted(["from " + side for side in done for _ in range(3)]),
                                 "every job that reported success has its copies in the file")


if __name__ == "__main__":
    unittest.main()
