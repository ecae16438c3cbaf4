# SPDX-License-Identifier: MIT
"""tessaro-cli killed at random moments during a 50-destination job.

Every destination must afterwards be either byte for byte as before, or complete and valid
(it opens, it holds its own sheets unchanged and the copy in its place). Run by CTest with
a bounded number of kills; scripts can raise TESSARO_KILL_RUNS for a longer soak.
"""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import openpyxl

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import office_books  # noqa: E402

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")
WITH_LIBREOFFICE = os.environ.get("TESSARO_WITH_LIBREOFFICE", "1") not in ("0", "OFF", "")
RUNS = int(os.environ.get("TESSARO_KILL_RUNS", "30"))
DESTS = 50


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def make_source(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    ws.append(["id", "name", "amount"])
    for i in range(1, 3001):
        ws.append([i, "item %d" % (i % 97), i * 1.25])
    wb.create_sheet("Other").append(["x"])
    wb.save(path)


def make_dest(path, k):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Own"
    for i in range(1, 200):
        ws.append([k, i, "row %d" % i])
    wb.save(path)


class KillTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tessaro-kill-")
        cls.pristine = os.path.join(cls.dir, "pristine")
        os.mkdir(cls.pristine)
        cls.source = os.path.join(cls.dir, "source.xlsx")
        make_source(cls.source)
        for k in range(DESTS):
            make_dest(os.path.join(cls.pristine, "dest%02d.xlsx" % k), k)
        cls.original = {n: read_bytes(os.path.join(cls.pristine, n)) for n in os.listdir(cls.pristine)}
        # How long an undisturbed job takes, to spread the kills over it.
        work = cls.fresh_work("timing")
        t0 = time.monotonic()
        r = cls.run_cli(work)
        cls.duration = time.monotonic() - t0
        assert r.returncode == 0, r.stderr
        cls.expected_values = [list(row) for row in openpyxl.load_workbook(cls.source)["Data"].iter_rows(values_only=True)]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def fresh_work(cls, name):
        work = os.path.join(cls.dir, name)
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(cls.pristine, work)
        return work

    @classmethod
    def run_cli(cls, work):
        return subprocess.run([CLI, "copy", "--sheet", cls.source + ":Data", "--dest", work, "--quiet"],
                              capture_output=True, text=True, timeout=300,
                              env=dict(os.environ, TESSARO_APP_DIR=cls.dir))

    def check_destination(self, path, name):
        data = open(path, "rb").read()
        if data == self.original[name]:
            return "untouched"
        with zipfile.ZipFile(path) as z:
            self.assertIsNone(z.testzip(), name)
        wb = openpyxl.load_workbook(path)
        self.assertEqual(wb.sheetnames, ["Own", "Data"], name)
        own = [list(r) for r in wb["Own"].iter_rows(values_only=True)]
        self.assertEqual(own[0][0], int(name[4:6]), name)
        self.assertEqual(len(own), 199, name)
        got = [list(r) for r in wb["Data"].iter_rows(values_only=True)]
        self.assertEqual(got, self.expected_values, name)
        return "copied"

    def check_report_of_killed_run(self, report, found):
        """What the report of a killed run says is true: a destination it calls copied holds its copy."""
        if not os.path.exists(report):  # killed before it was made
            return
        with open(report, encoding="utf-8") as f:
            text = f.read()
        lines = text.split("\n")
        self.assertEqual(lines[-1], "", "every line the report holds is whole")
        records = [json.loads(line) for line in lines[:-1]]
        if records and "totals" in records[-1]:
            self.assertEqual(records.pop()["totals"]["exit_status"], 0)
            self.assertEqual(len(records), len(found), "a finished run reports every copy")
        for record in records:
            name = os.path.basename(record["destination"])
            self.assertEqual(record["result"], "copied", record)
            self.assertEqual(found[name], "copied", "the report says %s was copied" % name)

    def test_every_destination_is_as_before_or_complete(self):
        rng = random.Random(int(os.environ.get("TESSARO_KILL_SEED", "20261207")))
        totals = {"untouched": 0, "copied": 0, "leftovers": 0}
        for run in range(RUNS):
            work = self.fresh_work("run")
            report = os.path.join(self.dir, "report.jsonl")
            if os.path.exists(report):
                os.remove(report)
            proc = subprocess.Popen([CLI, "copy", "--sheet", self.source + ":Data", "--dest", work, "--quiet",
                                     "--report", report],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    env=dict(os.environ, TESSARO_APP_DIR=self.dir))
            # The first kill comes as soon as the office answers, so that one surely lands mid-job.
            time.sleep(rng.uniform(0, self.duration) if run else 0)
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            found = {}
            for name in sorted(self.original):
                with self.subTest(run=run, dest=name):
                    found[name] = self.check_destination(os.path.join(work, name), name)
                    totals[found[name]] += 1
            self.check_report_of_killed_run(report, found)
            # A killed save may leave its temporary file behind, but never one that a later
            # folder scan would take for a workbook.
            for extra in sorted(set(os.listdir(work)) - set(self.original)):
                totals["leftovers"] += 1
                self.assertFalse(extra.lower().endswith((".xls", ".xlsx", ".xlsm", ".xlsb")), extra)
        print("\n%d kills over a %.2f s job: %d destinations untouched, %d complete, %d temporary files left" %
              (RUNS, self.duration, totals["untouched"], totals["copied"], totals["leftovers"]))
        # The next run into a folder removes what killed runs left there.
        r = self.run_cli(work)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(os.listdir(work)), sorted(self.original))
        self.assertGreater(totals["copied"], 0, "the kills should not all land before the first save")


def office_sockets(text):
    """The sockets of the office whose command line holds text."""
    for pid in office_books.live_processes_mentioning(text):
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = dict(a.split("=", 1) for a in f.read().decode("utf-8", "replace").split("\0") if "=" in a)
        if "--accept" in args and "-env:UserInstallation" in args:
            return office_books.soffice_sockets(args["--accept"].split("name=")[1].split(";")[0],
                                                args["-env:UserInstallation"])
    return []


@unittest.skipUnless(WITH_LIBREOFFICE and os.path.exists(office_books.SOFFICE),
                     "tessaro-cli was built without LibreOffice, or it is not installed")
class OfficeKillTest(unittest.TestCase):
    """SIGKILL while LibreOffice writes .xls destinations: the office and its profile go too."""

    RUNS = 3

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tessaro-kill-office-")
        cls.source = os.path.join(cls.dir, "source.xlsx")
        make_source(cls.source)
        seeds = os.path.join(cls.dir, "seeds")
        os.mkdir(seeds)
        for k in range(4):
            make_dest(os.path.join(seeds, "dest%02d.xlsx" % k), k)
        cls.pristine = os.path.join(cls.dir, "pristine")
        os.mkdir(cls.pristine)
        office_books.convert(sorted(os.path.join(seeds, n) for n in os.listdir(seeds)), "xls:MS Excel 97",
                             cls.pristine)
        cls.original = {n: read_bytes(os.path.join(cls.pristine, n)) for n in os.listdir(cls.pristine)}
        # How long an undisturbed job takes once its office is up, to spread the kills over it.
        work = os.path.join(cls.dir, "timing")
        shutil.copytree(cls.pristine, work)
        t0 = time.monotonic()
        r = subprocess.run([CLI, "copy", "--sheet", cls.source + ":Data", "--dest", work, "--quiet"],
                           capture_output=True, text=True, timeout=300, env=dict(os.environ, TESSARO_APP_DIR=cls.dir))
        cls.duration = time.monotonic() - t0
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_killed_job_leaves_no_office_and_no_damaged_xls(self):
        rng = random.Random(int(os.environ.get("TESSARO_KILL_SEED", "20261207")))
        outcomes = []
        for run in range(self.RUNS):
            work = os.path.join(self.dir, "run")
            shutil.rmtree(work, ignore_errors=True)
            shutil.copytree(self.pristine, work)
            tmp = os.path.join(self.dir, "tmp%d" % run)
            os.mkdir(tmp)
            proc = subprocess.Popen([CLI, "copy", "--sheet", self.source + ":Data", "--dest", work, "--quiet"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    env=dict(os.environ, TESSARO_APP_DIR=self.dir, TMPDIR=tmp))
            deadline = time.monotonic() + 120
            while not office_books.live_processes_mentioning(tmp) and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(office_books.live_processes_mentioning(tmp), "no office was started for the .xls destinations")
            sockets = office_sockets(tmp)
            while not all(map(os.path.lexists, sockets)) and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertTrue(sockets and all(map(os.path.lexists, sockets)), "the office's sockets were not found: %s" % sockets)
            # The first kill comes as soon as the office answers, so that one surely lands mid-job.
            time.sleep(rng.uniform(0, self.duration) if run else 0)
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            # The watchdog kills the office, waits up to 5 s for its processes to go, then removes
            # its profile, which holds the office's own temporary files too; on a loaded machine each
            # of its checks is slower, so allow three times that.
            gone_by = time.monotonic() + 15
            while (office_books.live_processes_mentioning(tmp) or os.listdir(tmp)) and time.monotonic() < gone_by:
                time.sleep(0.1)
            self.assertEqual(office_books.live_processes_mentioning(tmp), [], "LibreOffice outlived the killed job")
            self.assertEqual(os.listdir(tmp), [], "the office's profile or temporary files were left behind")
            self.assertEqual([p for p in sockets if os.path.lexists(p)], [], "the office's sockets were left behind")
            outcomes.append(self.check_destinations(work))
        print("\n%d kills with an office up: %s" % (self.RUNS, outcomes))

    def check_destinations(self, work):
        counts = {"untouched": 0, "copied": 0}
        changed = [n for n in sorted(self.original) if read_bytes(os.path.join(work, n)) != self.original[n]]
        counts["untouched"] = len(self.original) - len(changed)
        if changed:
            with office_books.Office() as office:
                for name in changed:
                    doc = office.load(os.path.join(work, name))
                    try:
                        self.assertEqual(list(doc.Sheets.ElementNames), ["Own", "Data"], name)
                    finally:
                        doc.close(True)
                    counts["copied"] += 1
        return counts


if __name__ == "__main__":
    unittest.main()
