#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""One small sheet copied once into each of N small workbooks of one folder.

Runs each given tessaro-cli in turn, ROUNDS times, on a folder made afresh for every run, and
prints the wall, user and system time and the peak memory of each run:

    bench/many_destinations.py [--dests 3000] [--rounds 4] CLI [CLI ...]
"""
import argparse
import os
import shutil
import subprocess
import tempfile

import openpyxl


def make_books(folder, dests):
    source = os.path.join(folder, "source.xlsx")
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Rates"
    for i in range(1, 51):
        ws.append([i, "rate %d" % i, i * 0.125])
    wb.save(source)
    seed = os.path.join(folder, "seed.xlsx")
    wb = openpyxl.Workbook()
    wb.active.title = "Own"
    wb.active.append(["own"])
    wb.save(seed)
    return source, seed


def run_once(cli, source, seed, work, dests, app):
    shutil.rmtree(work, ignore_errors=True)
    os.mkdir(work)
    for k in range(dests):
        shutil.copyfile(seed, os.path.join(work, "book%05d.xlsx" % k))
    os.sync()
    r = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", cli, "copy", "--sheet", source + ":Rates", "--dest", work,
                        "--quiet"], env=dict(os.environ, TESSARO_APP_DIR=app), capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("%s failed: %s" % (cli, r.stderr[-2000:]))
    wall, user, system, rss_kib = r.stderr.strip().splitlines()[-1].split()
    return float(wall), float(user), float(system), int(rss_kib) / 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dests", type=int, default=3000)
    ap.add_argument("--rounds", type=int, default=4)
    ap.add_argument("--fresh-app", action="store_true",
                    help="give every run an application folder of its own, so that no run drops the files an "
                         "earlier run kept for undo (they are deleted at the end)")
    ap.add_argument("clis", nargs="+")
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="tessaro-many-")
    try:
        app = os.path.join(folder, "app")
        os.mkdir(app)
        source, seed = make_books(folder, args.dests)
        work = os.path.join(folder, "work")
        results = {cli: [] for cli in args.clis}
        for _ in range(args.rounds):
            for cli in args.clis:
                if args.fresh_app:
                    app = tempfile.mkdtemp(prefix="app-", dir=folder)
                results[cli].append(run_once(cli, source, seed, work, args.dests, app))
        print("%d destinations, %d rounds (wall s / user s / sys s / peak RSS MiB)" % (args.dests, args.rounds))
        for cli, runs in results.items():
            print(cli)
            for wall, user, system, rss in runs:
                print("  %7.2f %7.2f %7.2f %6.0f" % (wall, user, system, rss))
            walls = sorted(w for w, _, _, _ in runs)
            print("  median wall %.2f s, %.2f ms per destination" % (walls[len(walls) // 2],
                                                                     1000 * walls[len(walls) // 2] / args.dests))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
