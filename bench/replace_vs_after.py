#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Replace Same Name beside Copy After, on the bench's fan-out workload (W1).

Generates W1 with the shared bench's generator, gives every destination the "Data" sheet once
(so each already holds it), and then times, ROUNDS times each on fresh copies of those
destinations, a Copy After of "Data" and a --replace of "Data". Prints the median wall, user
and system seconds and peak memory of each, and their ratio:

    bench/replace_vs_after.py [--scale full] [--rounds 3] [--shared ../shared] CLI
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cli, args, app):
    r = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", cli, "copy", *args, "--quiet"],
                       env=dict(os.environ, TESSARO_APP_DIR=app), capture_output=True, text=True)
    if r.returncode != 0:
        raise SystemExit("%s %s failed: %s" % (cli, " ".join(args), r.stderr[-2000:]))
    wall, user, system, rss_kib = r.stderr.strip().splitlines()[-1].split()
    return float(wall), float(user), float(system), int(rss_kib) / 1024


def fresh(seeded, work):
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(seeded, work)
    os.sync()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scale", default="full")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--shared", default=os.path.join(HERE, "..", "..", "shared"))
    ap.add_argument("cli")
    a = ap.parse_args()
    gen = os.path.join(a.shared, "bench", "gen.py")
    if not os.path.exists(gen):
        raise SystemExit("the bench generator is not at %s (give --shared)" % gen)
    folder = tempfile.mkdtemp(prefix="tessaro-replace-bench-")
    try:
        app = os.path.join(folder, "app")
        os.mkdir(app)
        subprocess.run([sys.executable, gen, folder, "--scale", a.scale, "--workloads", "W1"], check=True,
                       stdout=subprocess.DEVNULL)
        w1 = os.path.join(folder, "W1")
        source = os.path.join(w1, "source.xlsx")
        seeded = os.path.join(folder, "seeded")
        os.mkdir(seeded)
        for name in sorted(os.listdir(w1)):
            if name.startswith("dest") and name.endswith(".xlsx"):
                shutil.copyfile(os.path.join(w1, name), os.path.join(seeded, name))
        run(a.cli, ["--sheet", source + ":Data", "--dest", seeded], app)
        work = os.path.join(folder, "work")
        results = {"after": [], "replace": []}
        for _ in range(a.rounds):
            for mode in results:
                fresh(seeded, work)
                extra = ["--replace"] if mode == "replace" else []
                results[mode].append(run(a.cli, ["--sheet", source + ":Data", "--dest", work, *extra], app))
        dests = len(os.listdir(seeded))
        print("W1 (%s scale): %d destinations, each already holding \"Data\"; median of %d runs" %
              (a.scale, dests, a.rounds))
        print("%-12s %8s %8s %8s %9s" % ("mode", "wall s", "user s", "sys s", "peak MiB"))
        medians = {}
        for mode, runs in results.items():
            medians[mode] = [statistics.median(r[i] for r in runs) for i in range(4)]
            print("%-12s %8.2f %8.2f %8.2f %9.0f" % (mode, *medians[mode]))
        print("replace / after: wall %.2fx, user %.2fx" % (medians["replace"][0] / medians["after"][0],
                                                          medians["replace"][1] / medians["after"][1]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
