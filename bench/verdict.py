#!/usr/bin/python3
"""Does velm-register ever call a wrong alignment a success, and how far from the published alignment
can it start? Registers real range scans from seeded perturbed starts in three bands and compares
velm-register with Open3D's point-to-plane ICP run coarse to fine, in the same invocation.

Pairs: the five bunny pairs of bench/compare.py and the fifteen consecutive dragon views, both
directions; 10 seeded starts per directed bunny pair and 3 per directed dragon pair, per band
(190 runs per band and tool). A start is FLOAT's published position turned about FLOAT's centroid
(axis uniform on the sphere, angle uniform in the band) and shifted (direction uniform, length
uniform in the band). Bands: 1 = 3-10 degrees / 2-10 mm, 2 = 10-20 / 10-20, 3 = 20-35 / 20-40.

Error of a result: the angle of R_result * transpose(R_published), and the distance between FLOAT's
centroid mapped by the result and by the published alignment. Accurate: within the calibrated limits
of the register-tool tests (0.2 degrees / 0.5 mm; bun270 with bun315 0.6 mm; bun180 with bun270 0.4
degrees / 1.0 mm; dragon pairs 0.4 degrees / 0.8 mm). Wrong: more than 1 degree or 3 mm off.
A success is exit status 0 for velm-register, fitness > 0.3 at 2 mm for Open3D.

Open3D runs as bench/compare.py runs it: normals from the 12 nearest neighbours turned towards +z,
ICP with a 10 mm then a 2 mm correspondence distance, 50 iterations each, one thread; its time is
load to the end of the ICP, in this process. velm-register's is the wall time of its process.
The baseline is velm-register built from another revision (default: the tool before the staged,
verified registration), built here and timed on band 1 from the same starts.

Run with Debian's own interpreter, the only one that imports open3d:
    /usr/bin/python3 bench/verdict.py --tool build/release/tools/velm-register
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")  # before open3d loads its thread pool

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

import open3d_reference

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "data")
# The module velm of the release build, for the library's scan set reader.
sys.path.insert(0, os.environ.get("VELM_PYTHON_DIR", os.path.join(ROOT, "build", "release", "python")))
import velm  # noqa: E402
BASELINE_REVISION = "92d5c83"  # velm-register before the staged, verified registration

BANDS = {1: ((3.0, 10.0), (2.0, 10.0)), 2: ((10.0, 20.0), (10.0, 20.0)), 3: ((20.0, 35.0), (20.0, 40.0))}


def bunny_pairs():
    limits = {("bun270", "bun315"): (0.2, 0.6), ("bun180", "bun270"): (0.4, 1.0)}
    pairs = [("bun000", "bun045"), ("bun000", "bun315"), ("bun045", "bun090"), ("bun270", "bun315"),
             ("bun180", "bun270")]
    return [(a, b) + limits.get((a, b), (0.2, 0.5)) for a, b in pairs]


def dragon_pairs():
    views = list(range(0, 360, 24))
    return [("dragonStandRight_%d" % a, "dragonStandRight_%d" % views[(i + 1) % len(views)], 0.4, 0.8)
            for i, a in enumerate(views)]


OBJECTS = [
    {"name": "bunny", "dir": DATA, "conf": "bun.conf", "pairs": bunny_pairs(), "trials": 10},
    {"name": "dragon", "dir": os.path.join(DATA, "dragon"), "conf": "dragonStandRight.conf",
     "pairs": dragon_pairs(), "trials": 3},
]


def quat_rotation(qx, qy, qz, qw):
    n = math.sqrt(qx * qx + qy * qy + qz * qz + qw * qw)
    qx, qy, qz, qw = qx / n, qy / n, qz / n, qw / n
    return np.array([[1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)],
                     [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)],
                     [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)]])


def read_bmesh(path):
    """The bmesh lines of a conf file in order: (FILE as written, pose 4x4 in the file's units); a point p
    of the scan lies at transpose(R(q)) p + t. Read by the library's own reader (the module velm)."""
    return velm.read_scan_set(path)


def read_conf(path):
    """Scan name (FILE without its extension) -> pose (4x4, metres)."""
    return {name.rsplit(".", 1)[0]: pose for name, pose in read_bmesh(path)}


def read_points(path):
    """The vertex positions of a binary little-endian PLY as the project writes them (x y z first)."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode("ascii").splitlines()
    count, props, in_vertex = 0, [], False
    for line in header:
        w = line.split()
        if w[:1] == ["element"]:
            in_vertex = w[1] == "vertex"
            if in_vertex:
                count = int(w[2])
        elif w[:1] == ["property"] and in_vertex:
            props.append(w[1])
    if "binary_little_endian" not in header[1] or any(p != "float" for p in props):
        sys.exit(path + ": expected a binary little-endian PLY with float vertex properties")
    vertices = np.frombuffer(data, dtype="<f4", count=count * len(props), offset=end).reshape(count, len(props))
    return vertices[:, :3].astype(float)


def rotation_about(axis, degrees):
    n = np.asarray(axis, float) / np.linalg.norm(axis)
    a = math.radians(degrees)
    k = np.array([[0, -n[2], n[1]], [n[2], 0, -n[0]], [-n[1], n[0], 0]])
    return np.eye(3) + math.sin(a) * k + (1 - math.cos(a)) * k @ k


def unit_vector(rng):
    while True:
        v = rng.normal(size=3)
        if np.linalg.norm(v) > 1e-9:
            return v / np.linalg.norm(v)


def start_for(rng, band, published, centroid):
    (a0, a1), (s0, s1) = BANDS[band]
    angle = rng.uniform(a0, a1)
    axis = unit_vector(rng)
    shift = unit_vector(rng) * rng.uniform(s0, s1) / 1000.0
    centre = published[:3, :3] @ centroid + published[:3, 3]
    d = np.eye(4)
    d[:3, :3] = rotation_about(axis, angle)
    d[:3, 3] = centre + shift - d[:3, :3] @ centre
    return d @ published


def motion_error(published, result, centroid):
    """Rotation error (degrees) and the distance (mm) of FLOAT's centroid mapped by both."""
    r = result[:3, :3] @ published[:3, :3].T
    angle = math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(r) - 1) / 2))))
    a = result[:3, :3] @ centroid + result[:3, 3]
    b = published[:3, :3] @ centroid + published[:3, 3]
    return angle, 1000.0 * float(np.linalg.norm(a - b))


def cases(bands, seed_base, objects):
    """Every run of the benchmark: (band, object, fix, flt, max degrees, max mm, seed)."""
    out = []
    for band in bands:
        for oi, obj in enumerate(OBJECTS):
            if obj["name"] not in objects:
                continue
            for pi, (a, b, max_deg, max_mm) in enumerate(obj["pairs"]):
                for direction, (fix, flt) in enumerate(((a, b), (b, a))):
                    for trial in range(obj["trials"]):
                        seed = [seed_base, band, oi, pi, direction, trial]
                        out.append((band, obj, fix, flt, max_deg, max_mm, seed))
    return out


def run_velm(tool, fix_path, flt_path, start, config=None, threads=None):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "result.json")
        init = " ".join("%.17g" % v for v in start.flatten())
        extra = (["--config", config] if config else []) + (["--threads", str(threads)] if threads else [])
        t0 = time.perf_counter()
        proc = subprocess.run([tool, fix_path, flt_path, "--units", "m", "--init", init, "--output", out] + extra,
                              capture_output=True, text=True)
        wall = time.perf_counter() - t0
        if proc.returncode not in (0, 2):
            sys.exit("velm-register failed: " + proc.stderr.strip())
        with open(out) as f:
            r = json.load(f)
    return {"success": proc.returncode == 0, "wall": wall, "matrix": np.array(r["transformation"]),
            "state": r["state"], "verification": r.get("verification", []), "stages": r.get("stages", [])}


def run_open3d(o3d, fix_path, flt_path, start):
    r = open3d_reference.register(o3d, fix_path, flt_path, start, 1000.0)
    return {"success": r["fitness"] > 0.3, "wall": r["load"] + r["normals"] + r["icp"], "matrix": r["matrix"],
            "state": "fitness %.3f" % r["fitness"]}


def build_baseline(revision):
    """velm-register of another revision, built in build/bench-baseline/<revision>."""
    base = os.path.join(ROOT, "build", "bench-baseline", revision)
    tool = os.path.join(base, "build", "tools", "velm-register")
    if os.access(tool, os.X_OK):
        return tool
    src = os.path.join(base, "src")
    if not os.path.isdir(src):
        os.makedirs(base, exist_ok=True)
        subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", "-f", src, revision], check=True,
                       capture_output=True)
    build = os.path.join(base, "build")
    subprocess.run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DVELM_BUILD_TESTS=OFF",
                    "-DVELM_BUILD_BENCH=OFF"], check=True, capture_output=True)
    subprocess.run(["cmake", "--build", build, "--target", "velm-register", "-j", "2"], check=True,
                   capture_output=True)
    return tool


def classify(run, max_deg, max_mm):
    accurate = run["deg"] < max_deg and run["mm"] < max_mm
    wrong = run["deg"] > 1.0 or run["mm"] > 3.0
    return accurate, wrong


def summarise(runs, tool, band, obj=None):
    sel = [r for r in runs if r["tool"] == tool and r["band"] == band and (obj is None or r["object"] == obj)]
    if not sel:
        return None
    acc = sum(1 for r in sel if r["success"] and r["accurate"])
    false = sum(1 for r in sel if r["success"] and r["wrong"])
    loose = sum(1 for r in sel if r["success"] and not r["accurate"] and not r["wrong"])
    missed = sum(1 for r in sel if not r["success"] and r["accurate"])
    return {"n": len(sel), "accurate": acc, "false": false, "loose": loose, "missed": missed,
            "median_wall": statistics.median(r["wall"] for r in sel)}


def separation(runs):
    """Per check of velm-register's verification: where right (accurate) and wrong results lie."""
    checks = {}
    for r in runs:
        if r["tool"] != "velm":
            continue
        for c in r.get("verification", []):
            if not c.get("applicable") or c.get("value") is None:
                continue
            entry = checks.setdefault(c["name"], {"test": c["test"], "limit": c["limit"], "right": [], "wrong": []})
            if r["accurate"]:
                entry["right"].append(c["value"])
            elif r["wrong"]:
                entry["wrong"].append(c["value"])
    rows = []
    for name, e in checks.items():
        right, wrong = sorted(e["right"]), sorted(e["wrong"])
        # The value of the worst right result and of the best wrong one, seen from the limit.
        if e["test"] == "<":
            worst_right = right[-1] if right else None
            best_wrong = wrong[0] if wrong else None
        else:
            worst_right = right[0] if right else None
            best_wrong = wrong[-1] if wrong else None
        rows.append((name, e["test"], e["limit"], len(right), worst_right, len(wrong), best_wrong,
                     sum(1 for v in wrong if (v < e["limit"] if e["test"] == "<" else v > e["limit"]))))
    return rows


def fmt(v, digits=3):
    return "-" if v is None else ("%.*f" % (digits, v))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "release", "tools", "velm-register"))
    parser.add_argument("--baseline", default=BASELINE_REVISION,
                        help="revision whose velm-register is timed on band 1 (default %(default)s); 'none' skips it")
    parser.add_argument("--bands", default="1,2,3")
    parser.add_argument("--objects", default="bunny,dragon")
    parser.add_argument("--tools", default="velm,open3d", help="any of velm, open3d")
    parser.add_argument("--seed-base", type=int, default=20261207,
                        help="seeds of the starts; limits were set on other seeds (default %(default)s)")
    parser.add_argument("--dump", help="write every run as a JSON line to this file")
    parser.add_argument("--velm-config", help="a --config file for velm-register (default: none, its defaults)")
    args = parser.parse_args()
    bands = [int(b) for b in args.bands.split(",")]
    objects = args.objects.split(",")
    tools = args.tools.split(",")
    if not os.access(args.tool, os.X_OK):
        sys.exit("no velm-register at " + args.tool + " (build it, or pass --tool)")
    o3d = None
    if "open3d" in tools:
        import open3d as o3d
        o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    baseline = None
    if args.baseline != "none" and "velm" in tools and 1 in bands:
        baseline = build_baseline(args.baseline)

    poses = {obj["name"]: read_conf(os.path.join(obj["dir"], obj["conf"])) for obj in OBJECTS}
    centroids = {}
    runs = []
    dump = open(args.dump, "w") if args.dump else None
    all_cases = cases(bands, args.seed_base, objects)
    for n, (band, obj, fix, flt, max_deg, max_mm, seed) in enumerate(all_cases):
        fix_path = os.path.join(obj["dir"], fix + ".ply")
        flt_path = os.path.join(obj["dir"], flt + ".ply")
        if flt_path not in centroids:
            centroids[flt_path] = read_points(flt_path).mean(axis=0)
        centroid = centroids[flt_path]
        published = np.linalg.inv(poses[obj["name"]][fix]) @ poses[obj["name"]][flt]
        start = start_for(np.random.default_rng(seed), band, published, centroid)
        runners = []
        if "velm" in tools:
            runners.append(("velm", lambda: run_velm(args.tool, fix_path, flt_path, start, args.velm_config, 1)))
            if baseline and band == 1:
                runners.append(("baseline", lambda: run_velm(baseline, fix_path, flt_path, start)))
        if o3d is not None:
            runners.append(("open3d", lambda: run_open3d(o3d, fix_path, flt_path, start)))
        for name, runner in runners:
            r = runner()
            r["deg"], r["mm"] = motion_error(published, r.pop("matrix"), centroid)
            r["accurate"], r["wrong"] = classify(r, max_deg, max_mm)
            r.update({"tool": name, "band": band, "object": obj["name"], "fix": fix, "flt": flt, "seed": seed})
            runs.append(r)
            if dump:
                dump.write(json.dumps(r) + "\n")
                dump.flush()
        print("\r%d/%d runs" % (n + 1, len(all_cases)), end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    print("commit %s, nproc %d, load %.2f %.2f %.2f, %s" % ((commit, os.cpu_count()) + os.getloadavg() +
                                                            (platform.processor() or platform.machine(),)))
    print()
    print("| band | tool | object | runs | accurate successes | false successes | loose successes | missed |"
          " median wall s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for band in bands:
        for tool in ("velm", "baseline", "open3d"):
            for obj in [None] + objects:
                s = summarise(runs, tool, band, obj)
                if s:
                    print("| %d | %s | %s | %d | %d (%.1f %%) | %d | %d | %d | %.3f |" %
                          (band, {"velm": "velm-register", "baseline": "velm-register " + args.baseline,
                                  "open3d": "Open3D"}[tool], obj or "all", s["n"], s["accurate"],
                           100.0 * s["accurate"] / s["n"], s["false"], s["loose"], s["missed"], s["median_wall"]))
    rows = separation(runs)
    if rows:
        print()
        print("Verification checks of velm-register over all its runs (right: accurate; wrong: more than 1 degree"
              " or 3 mm off), whatever the exit status:")
        print()
        print("| check | test | limit | right results | worst right value | wrong results | best wrong value |"
              " wrong passing |")
        print("|---|---|---|---|---|---|---|---|")
        for name, test, limit, nr, wr, nw, bw, passing in rows:
            print("| %s | %s | %s | %d | %s | %d | %s | %d |" % (name, test, fmt(limit), nr, fmt(wr), nw, fmt(bw),
                                                               passing))


if __name__ == "__main__":
    main()
