#!/usr/bin/python3
"""Times tessaro-cli on legacy workbooks: one run copying a sheet of an .xls and a sheet of an
.ods into 20 destinations (7 .xls, 7 .ods, 6 .xlsx), and the cost of LibreOffice's start.

    bench/legacy_copy_job.py TESSARO_CLI [--runs N]

Run by hand, never by CTest. Fixtures come from tests/support/office_books.py; every run
works on fresh copies of them. Prints each run's wall time and the median.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import office_books  # noqa: E402


def timed(cmd, env):
    t = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True, env=env)
    elapsed = time.perf_counter() - t
    if r.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(cmd), r.stderr))
    return elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cli")
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="tessaro-legacy-bench-")
    try:
        fixtures = os.path.join(work, "fixtures")
        office_books.make_fixtures(fixtures)
        app = os.path.join(work, "app")
        os.mkdir(app)
        env = dict(os.environ, TESSARO_APP_DIR=app)

        listing = {}
        for name in ("src.xlsx", "src.xls", "src.ods"):
            path = os.path.join(fixtures, name)
            listing[name] = statistics.median(timed([a.cli, "sheets", path], env) for _ in range(a.runs))
        print("sheets (start, list, stop): " + ", ".join("%s %.2f s" % kv for kv in listing.items()))
        print("LibreOffice start and stop, by difference: %.2f s" % (listing["src.xls"] - listing["src.xlsx"]))

        times = []
        for run in range(a.runs):
            folder = os.path.join(work, "run%d" % run)
            os.mkdir(folder)
            xls = shutil.copy(os.path.join(fixtures, "src.xls"), os.path.join(folder, "source1.xls"))
            ods = shutil.copy(os.path.join(fixtures, "src.ods"), os.path.join(folder, "source2.ods"))
            dests = []
            for i in range(20):
                ext = ("xls", "ods", "xlsx")[i % 3]
                dests.append(shutil.copy(os.path.join(fixtures, "dst." + ext), os.path.join(folder, "d%02d.%s" % (i, ext))))
            cmd = [a.cli, "copy", "--sheet", xls + ":Data", "--sheet", ods + ":Other", "--quiet"]
            for d in dests:
                cmd += ["--dest", d]
            times.append(timed(cmd, env))
            print("run %d: 2 sheets into 20 destinations (7 .xls, 7 .ods, 6 .xlsx): %.2f s" % (run + 1, times[-1]))
        print("median: %.2f s over %d runs" % (statistics.median(times), len(times)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
