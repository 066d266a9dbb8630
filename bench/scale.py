#!/usr/bin/python3
"""How velm-register scales with the size of the scans, beside Open3D: time per stage and peak memory.

The synthetic pair of bench_synthetic_scan (one smooth, non-repeating surface; FIX over a 200 mm
square, FLOAT over the square shifted by 40 mm and stored in a frame of its own; points in scan-line
order with the range grid; 0.02 mm noise) at each size, from a start 5 degrees and 5 mm off.
velm-register runs with --threads 1 and --threads 2; Open3D with one thread, as bench/compare.py runs it
(normals from the 12 nearest neighbours turned towards +z, point-to-plane ICP at 10 mm then 2 mm, 50
iterations each), in a process of its own so that its peak memory is its own. Each tool runs 5 times per
size; the table shows the median of each column.

Columns: load (reading both files), surfels (velm: normals, kd-tree, collection, spacing and noise of
both scans; Open3D: normals), registration (velm: all stages and the verification; Open3D: both ICP
runs), total of the three, peak resident memory of the process (MB and bytes per point of both scans),
and the error of the result (degrees / mm of FLOAT's middle). For two threads velm-register prepares
both scans at once: its load and surfels columns are the wall clock of each phase.

    /usr/bin/python3 bench/scale.py --tool build/release/tools/velm-register \\
        --generator build/release/bench/bench_synthetic_scan
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import json
import math
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = 5

# Open3D in a process of its own, so that its peak memory is its own.
OPEN3D_CHILD = r"""
import json, os, sys
os.environ["OMP_NUM_THREADS"] = "1"
sys.path.insert(0, sys.argv[4])
import numpy as np
import open3d as o3d
import open3d_reference
o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
r = open3d_reference.register(o3d, sys.argv[1], sys.argv[2], np.array(json.loads(sys.argv[3])), 1.0)
print(json.dumps({"load": r["load"], "surfels": r["normals"], "registration": r["icp"], "matrix": r["matrix"].tolist()}))
"""


def peak_memory_of(command):
    """Runs a command under /usr/bin/time and returns (stdout, wall seconds, peak RSS bytes)."""
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as report:
        t0 = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command, capture_output=True,
                              text=True)
        wall = time.perf_counter() - t0
        if proc.returncode not in (0, 2):
            sys.exit("%s failed (%d): %s" % (command[0], proc.returncode, proc.stderr.strip()))
        kb = int(open(report.name).read().split()[-1])
    return proc.stdout, wall, kb * 1024


def error(truth, result, middle):
    r = result[:3, :3] @ truth[:3, :3].T
    angle = math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(r) - 1) / 2))))
    a = result[:3, :3] @ middle + result[:3, 3]
    b = truth[:3, :3] @ middle + truth[:3, 3]
    return angle, float(np.linalg.norm(a - b))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "release", "tools", "velm-register"))
    parser.add_argument("--generator", default=os.path.join(ROOT, "build", "release", "bench", "bench_synthetic_scan"))
    parser.add_argument("--sizes", default="40000,250000,1000000,2000000", help="points per scan")
    parser.add_argument("--runs", type=int, default=RUNS)
    parser.add_argument("--tools", default="velm,open3d")
    args = parser.parse_args()
    tools = args.tools.split(",")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for size in [int(s) for s in args.sizes.split(",")]:
            fix, flt = os.path.join(tmp, "fix.ply"), os.path.join(tmp, "float.ply")
            lines = subprocess.run([args.generator, fix, flt, str(size)], check=True, capture_output=True,
                                   text=True).stdout.split("\n")
            truth = np.array([float(v) for v in lines[0].split()]).reshape(4, 4)
            start = np.array([float(v) for v in lines[1].split()]).reshape(4, 4)
            side = round(math.sqrt(size))
            points = 2 * side * side
            # The middle of FLOAT's window, in FLOAT's own frame.
            middle = np.linalg.inv(truth) @ np.array([90.0, 50.0, 0.0, 1.0])
            middle = middle[:3]
            configs = []
            if "velm" in tools:
                configs += [("velm-register", 1), ("velm-register", 2)]
            if "open3d" in tools:
                configs += [("Open3D", 1)]
            samples = {c: [] for c in configs}
            for run in range(args.runs):
                for name, threads in configs:
                    if name == "Open3D":
                        out, wall, peak = peak_memory_of(["/usr/bin/python3", "-c", OPEN3D_CHILD, fix, flt,
                                                          json.dumps(start.tolist()), os.path.dirname(__file__)])
                        r = json.loads(out)
                        t = {"load": r["load"], "surfels": r["surfels"], "registration": r["registration"]}
                        matrix = np.array(r["matrix"])
                        ok = True
                    else:
                        result = os.path.join(tmp, "result.json")
                        init = " ".join("%.17g" % v for v in start.flatten())
                        out, wall, peak = peak_memory_of([args.tool, fix, flt, "--init", init, "--threads",
                                                          str(threads), "--output", result])
                        with open(result) as f:
                            r = json.load(f)
                        ts = r["timings_s"]
                        t = {"load": ts["load"], "surfels": ts["surfels"],
                             "registration": ts["registration"] + ts["verification"]}
                        matrix = np.array(r["transformation"])
                        ok = r["verified"]
                    deg, mm = error(truth, matrix, middle)
                    samples[(name, threads)].append(dict(t, total=sum(t.values()), wall=wall, peak=peak, deg=deg,
                                                         mm=mm, ok=ok))
                    print("\r%d points, run %d/%d: %s %d thread(s)" % (points, run + 1, args.runs, name, threads),
                          end="", file=sys.stderr, flush=True)
            for config in configs:
                s = samples[config]
                med = {k: statistics.median(x[k] for x in s) for k in ("load", "surfels", "registration", "total",
                                                                     "wall", "peak", "deg", "mm")}
                rows.append((points, config[0], config[1], med, all(x["ok"] for x in s)))
    print(file=sys.stderr)
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    print("commit %s, nproc %d, load %.2f %.2f %.2f, %s, median of %d runs" %
          ((commit, os.cpu_count()) + os.getloadavg() + (platform.machine(), args.runs)))
    print()
    print("| points (both scans) | tool | threads | load s | surfels s | us/point | registration s | total s |"
          " peak MB | bytes/point | error deg / mm | verified |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for points, name, threads, m, ok in rows:
        print("| %d | %s | %d | %.3f | %.3f | %.2f | %.3f | %.3f | %.0f | %.0f | %.3f / %.3f | %s |" %
              (points, name, threads, m["load"], m["surfels"], 1e6 * m["surfels"] / points, m["registration"],
               m["total"], m["peak"] / 2 ** 20, m["peak"] / points, m["deg"], m["mm"],
               ("yes" if ok else "no") if name != "Open3D" else "-"))


if __name__ == "__main__":
    main()
