#!/usr/bin/python3
"""Runs velm-register and Open3D's point-to-plane ICP on the bundled bunny pairs, both directions, from
the same perturbed starts (the published alignment turned by 10 degrees about the floating scan's
centre and shifted by 10 mm), one thread each (velm-register --threads 1), and prints side by side: time for the registration
alone and for load + normals + registration, rotation and translation error against the published
alignment, and success.

Run with Debian's own interpreter, the only one that imports open3d:
    /usr/bin/python3 bench/compare.py --tool build/release/tools/velm-register

Open3D is given what a careful user would do: normals from the 12 nearest neighbours turned towards
+z (the scanner), then point-to-plane ICP coarse to fine, first with a 10 mm correspondence distance,
then with 2 mm, up to 50 iterations each. "ok" means: within the accuracy limits of the tests
(0.2 degrees and 0.5 mm; bun270/bun315 0.6 mm; bun180/bun270 0.4 degrees and 1.0 mm), and for
velm-register also exit status 0 (the state "Success" and a passed verification).
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")  # before open3d loads its thread pool

import argparse
import json
import math
import subprocess
import sys
import tempfile
import time

import numpy as np
import open3d as o3d

import open3d_reference
from verdict import read_conf

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "data")
PAIRS = [("bun000", "bun045", 0.2, 0.5), ("bun000", "bun315", 0.2, 0.5), ("bun045", "bun090", 0.2, 0.5),
         ("bun270", "bun315", 0.2, 0.6), ("bun180", "bun270", 0.4, 1.0)]
AXES = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 0), (0, 1, -1), (1, 0, 1), (-1, 1, 1), (1, -1, 1), (1, 1, 1),
        (2, -1, 0)]


def axis_rotation(axis, degrees):
    n = np.asarray(axis, float) / np.linalg.norm(axis)
    a = math.radians(degrees)
    k = np.array([[0, -n[2], n[1]], [n[2], 0, -n[0]], [-n[1], n[0], 0]])
    return np.eye(3) + math.sin(a) * k + (1 - math.cos(a)) * k @ k


def motion_error(published, result):
    """Rotation angle (degrees) and translation (mm) of inverse(published) then result, fixed frame."""
    e = result @ np.linalg.inv(published)
    angle = math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(e[:3, :3]) - 1) / 2))))
    return angle, 1000.0 * float(np.linalg.norm(e[:3, 3]))


def start_for(case, published, flt_points):
    centre = published[:3, :3] @ flt_points.mean(axis=0) + published[:3, 3]
    shift_dir = np.asarray(AXES[(case + 3) % 10], float)
    shift = 0.010 * shift_dir / np.linalg.norm(shift_dir)
    d = np.eye(4)
    d[:3, :3] = axis_rotation(AXES[case], 10.0)
    d[:3, 3] = centre + shift - d[:3, :3] @ centre
    return d @ published


def run_velm(tool, fix, flt, start):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "result.json")
        init = " ".join("%.17g" % v for v in start.flatten())
        t0 = time.perf_counter()
        proc = subprocess.run([tool, os.path.join(DATA, fix + ".ply"), os.path.join(DATA, flt + ".ply"), "--units", "m",
                               "--init", init, "--output", out, "--threads", "1"], capture_output=True, text=True)
        wall = time.perf_counter() - t0
        if proc.returncode not in (0, 2):
            sys.exit("velm-register failed: " + proc.stderr.strip())
        with open(out) as f:
            r = json.load(f)
    t = r["timings_s"]
    return {"reg": t["registration"] + t.get("verification", 0.0),
            "all": t["load"] + t["surfels"] + t["registration"] + t.get("verification", 0.0), "wall": wall,
            "matrix": np.array(r["transformation"]), "state": r["state"], "success": proc.returncode == 0}


def run_open3d(fix, flt, start):
    r = open3d_reference.register(o3d, os.path.join(DATA, fix + ".ply"), os.path.join(DATA, flt + ".ply"), start, 1000.0)
    return {"reg": r["icp"], "all": r["load"] + r["normals"] + r["icp"], "matrix": r["matrix"]}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "release", "tools", "velm-register"),
                        help="path of velm-register (default: build/release/tools/velm-register)")
    args = parser.parse_args()
    if not os.access(args.tool, os.X_OK):
        sys.exit("no velm-register at " + args.tool + " (build it, or pass --tool)")
    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    poses = read_conf(os.path.join(DATA, "bun.conf"))

    header = ("%-16s | %7s %7s %6s %6s %-13s | %7s %7s %6s %6s %-4s" %
              ("FLOAT onto FIX", "reg s", "all s", "deg", "mm", "velm state", "reg s", "all s", "deg", "mm", "ok"))
    print("%-16s | %-52s | %s" % ("", "velm-register", "Open3D point-to-plane ICP"))
    print(header)
    print("-" * len(header))
    case = 0
    totals = {"velm": [0.0, 0.0, 0], "o3d": [0.0, 0.0, 0]}
    for a, b, max_deg, max_mm in PAIRS:
        for fix, flt in ((a, b), (b, a)):
            published = np.linalg.inv(poses[fix]) @ poses[flt]
            flt_points = np.asarray(o3d.io.read_point_cloud(os.path.join(DATA, flt + ".ply")).points)
            start = start_for(case, published, flt_points)
            case += 1
            v = run_velm(args.tool, fix, flt, start)
            o = run_open3d(fix, flt, start)
            vd, vm = motion_error(published, v["matrix"])
            od, om = motion_error(published, o["matrix"])
            v_ok = v["success"] and vd < max_deg and vm < max_mm
            o_ok = od < max_deg and om < max_mm
            for key, r, ok in (("velm", v, v_ok), ("o3d", o, o_ok)):
                totals[key][0] += r["reg"]
                totals[key][1] += r["all"]
                totals[key][2] += int(ok)
            print("%-16s | %7.3f %7.3f %6.3f %6.3f %-13s | %7.3f %7.3f %6.3f %6.3f %-4s" %
                  (flt + " > " + fix, v["reg"], v["all"], vd, vm, v["state"] + (" ok" if v_ok else " !"), o["reg"],
                   o["all"], od, om, "ok" if o_ok else "no"))
    print("-" * len(header))
    print("%-16s | %7.3f %7.3f %27s | %7.3f %7.3f %13s %-4s" %
          ("total", totals["velm"][0], totals["velm"][1], "%d/%d ok" % (totals["velm"][2], case), totals["o3d"][0],
           totals["o3d"][1], "", "%d/%d" % (totals["o3d"][2], case)))


if __name__ == "__main__":
    main()
