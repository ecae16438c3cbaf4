#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The bench workload W3 copied with each --links choice.

Generates W3 with the shared generator into a temporary folder, then runs tessaro-cli on a
fresh copy of its destinations ROUNDS times per choice (the choices take turns, so that a
slower stretch of the machine falls on all of them) and prints the median wall and CPU time
of each choice and its ratio to the fastest:

    bench/links_choices.py [--shared ../shared] [--scale full] [--rounds 7] CLI
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

CHOICES = ("external", "destination", "values")


def run_once(cli, task, w3, work, app, links):
    shutil.rmtree(work, ignore_errors=True)
    os.mkdir(work)
    for d in task["dests"]:
        shutil.copyfile(os.path.join(w3, d), os.path.join(work, d))
    os.sync()
    args = [cli, "copy", "--quiet", "--links", links, "--count", str(task["count"])]
    if task["before"]:
        args.append("--before")
    for s in task["sheets"]:
        args += ["--sheet", os.path.join(w3, s["source"]) + ":" + s["sheet"]]
    for d in task["dests"]:
        args += ["--dest", os.path.join(work, d)]
    r = subprocess.run(["/usr/bin/time", "-f", "%e %U %S", *args], env=dict(os.environ, TESSARO_APP_DIR=app),
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("--links %s failed: %s" % (links, r.stderr[-2000:]))
    wall, user, system = r.stderr.strip().splitlines()[-1].split()
    return float(wall), float(user) + float(system)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--shared", default=os.environ.get("TESSARO_SHARED_DIR",
                                                       os.path.join(os.path.dirname(__file__), "..", "..", "shared")))
    ap.add_argument("--scale", default="full")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("cli")
    args = ap.parse_args()
    gen = os.path.join(args.shared, "bench", "gen.py")
    if not os.path.exists(gen):
        raise SystemExit("no workload generator at %s (give --shared)" % gen)
    folder = tempfile.mkdtemp(prefix="tessaro-links-bench-")
    try:
        subprocess.run([sys.executable, gen, "--scale", args.scale, "--workloads", "W3", folder], check=True,
                       capture_output=True)
        w3 = os.path.join(folder, "W3")
        with open(os.path.join(w3, "task.json")) as fh:
            task = json.load(fh)
        app = os.path.join(folder, "app")
        os.mkdir(app)
        work = os.path.join(folder, "work")
        times = {c: [] for c in CHOICES}
        for _ in range(args.rounds):
            for c in CHOICES:
                times[c].append(run_once(args.cli, task, w3, work, app, c))
        walls = {c: statistics.median(t[0] for t in times[c]) for c in CHOICES}
        cpus = {c: statistics.median(t[1] for t in times[c]) for c in CHOICES}
        fastest = min(walls.values())
        print("W3 (%s), %d rounds, medians" % (args.scale, args.rounds))
        print("%-12s %8s %8s %8s" % ("--links", "wall s", "cpu s", "x wall"))
        for c in CHOICES:
            print("%-12s %8.3f %8.3f %8.2f" % (c, walls[c], cpus[c], walls[c] / fastest))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
