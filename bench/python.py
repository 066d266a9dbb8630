#!/usr/bin/python3
"""What the Python module costs beside the C++ library, and whether it runs on two threads.

1. Call overhead: a pair of small synthetic scans (2 025 points each; bench_python_calls writes them)
   registered CALLS times through velm.register (clouds read once, one thread) and through the library's
   own functions in C++ (bench_python_calls: both scans prepared from the points, then registered, as a
   C++ program calls them), RUNS runs each, C++ and Python alternating; median and fastest run.
2. Copies on the way in: the bytes Python allocates (tracemalloc, which sees numpy's buffers) while a
   velm.PointCloud is made from a 1 000 000 x 3 array of float32 (C-contiguous) and of float64.
3. Threads: four bundled bunny pairs from starts 10 degrees and 10 mm off, registered one after the
   other on one Python thread and shared out over two Python threads (each registration on one thread
   of its own: velm.register releases the GIL), median of RUNS runs.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python.py \\
        --calls-program build/release/bench/bench_python_calls
"""
import argparse
import concurrent.futures
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

import numpy as np

import velm
from verdict import read_conf, start_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "data")
PAIRS = [("bun000", "bun045"), ("bun000", "bun315"), ("bun045", "bun090"), ("bun270", "bun315")]


def call_overhead(program, calls, runs):
    # The C++ and Python runs alternate, so a drift in the machine's pace falls on both sides alike.
    with tempfile.TemporaryDirectory() as tmp:
        fix_path, flt_path = os.path.join(tmp, "fix.ply"), os.path.join(tmp, "float.ply")
        cpp, python = [], []
        fix = floating = start = None
        for _ in range(runs):
            lines = subprocess.run([program, fix_path, flt_path, str(calls)], check=True, capture_output=True,
                                   text=True).stdout.split("\n")
            seconds, verified = lines[1].split()
            cpp.append(float(seconds))
            assert int(verified) == calls
            if fix is None:
                start = np.array([float(v) for v in lines[0].split()]).reshape(4, 4)
                fix, floating = velm.read_point_cloud(fix_path), velm.read_point_cloud(flt_path)
            t0 = time.perf_counter()
            for _ in range(calls):
                result = velm.register(fix, floating, init=start, threads=1)
            python.append(time.perf_counter() - t0)
            assert result.success
    return statistics.median(cpp), statistics.median(python), min(cpp), min(python)


def bytes_allocated(make):
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    kept = make()
    allocated = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    del kept
    return allocated


def threads(runs):
    poses = read_conf(os.path.join(DATA, "bun.conf"))
    jobs = []
    for case, (a, b) in enumerate(PAIRS):
        fix = velm.read_point_cloud(os.path.join(DATA, a + ".ply"), units="m")
        flt = velm.read_point_cloud(os.path.join(DATA, b + ".ply"), units="m")
        published = np.linalg.inv(poses[a]) @ poses[b]
        start = start_for(np.random.default_rng([7, case]), 2, published, np.asarray(flt.points, float).mean(axis=0))
        jobs.append((fix, flt, start))

    def one(job):
        return velm.register(job[0], job[1], init=job[2], threads=1)

    single, double = [], []
    for _ in range(runs):
        t0 = time.perf_counter()
        first = [one(job) for job in jobs]
        single.append(time.perf_counter() - t0)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            t0 = time.perf_counter()
            second = list(pool.map(one, jobs))
            double.append(time.perf_counter() - t0)
        assert [r.to_dict()["transformation"] for r in first] == [r.to_dict()["transformation"] for r in second]
    return statistics.median(single), statistics.median(double)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls-program", default=os.path.join(ROOT, "build", "release", "bench", "bench_python_calls"))
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    cpp, python, cpp_best, python_best = call_overhead(args.calls_program, args.calls, args.runs)
    points = np.random.default_rng(1).normal(size=(1000000, 3))
    as32 = points.astype(np.float32)
    copied32 = bytes_allocated(lambda: velm.PointCloud(as32))
    copied64 = bytes_allocated(lambda: velm.PointCloud(points))
    one, two = threads(args.runs)

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    print("commit %s, nproc %d, load %.2f %.2f %.2f, %s, median of %d runs" %
          ((commit, os.cpu_count()) + os.getloadavg() + (platform.machine(), args.runs)))
    print()
    print("| measure | C++ / one thread | Python / two threads | ratio |")
    print("|---|---|---|---|")
    print("| %d registrations of 2 025-point scans (median), s | %.3f | %.3f | Python / C++ %.3f |" %
          (args.calls, cpp, python, python / cpp))
    print("| the same, fastest run, s | %.3f | %.3f | Python / C++ %.3f |" %
          (cpp_best, python_best, python_best / cpp_best))
    print("| four bunny pairs, s | %.3f | %.3f | %.2f times faster |" % (one, two, one / two))
    print()
    print("| points array given to velm.PointCloud | bytes allocated | bytes a point |")
    print("|---|---|---|")
    print("| 1 000 000 x 3 float32, C-contiguous | %d | %.1f |" % (copied32, copied32 / 1e6))
    print("| 1 000 000 x 3 float64 | %d | %.1f |" % (copied64, copied64 / 1e6))


if __name__ == "__main__":
    sys.exit(main())
