#!/usr/bin/python3
"""Registration without a start: velm-register FIX FLOAT with no --init beside Open3D's global
registration (FPFH features, RANSAC, point-to-plane ICP) on real range scans, one thread each, in the
same invocation; and velm-register from the true transformation on the same files, the time of a
verified registration from a known start.

Pairs: those of bench/verdict.py (five bunny pairs, fifteen consecutive dragon views), both directions;
10 seeded trials per directed bunny pair and 3 per directed dragon pair (190 trials). FIX is its file as
it is. FLOAT is read in its own scanner frame (the scanner looks along -z, its view axis) and turned
about its centroid, in half of the trials about the view axis by an angle uniform in [0, 360) degrees,
in the other half by a rotation uniform on SO(3) (a normalised 4-D Gaussian quaternion); then shifted
(direction uniform, length uniform in [0, 100] mm). It is written as a binary little-endian PLY of float
x y z; the SO(3) trials add nx ny nz: normals from the 12 nearest neighbours turned towards +z in the
scanner frame (Open3D's estimate_normals) and turned with the points, since the view axis no longer
tells which side of the surface faces the scanner. The kinds alternate with pair, direction and trial.
Truth: inverse(T_FIX) * T_FLOAT of the conf file's poses times the inverse of the perturbation.

Error of a result: the angle of R_result * transpose(R_truth), and the distance between the written
FLOAT's centroid mapped by the result and by the truth. Accurate: within the per-pair limits of
bench/verdict.py (0.2 degrees / 0.5 mm; bun270 with bun315 0.6 mm; bun180 with bun270 0.4 degrees /
1.0 mm; dragon pairs 0.4 degrees / 0.8 mm). Wrong: more than 1 degree or 3 mm off. Loose: a success
neither accurate nor wrong. Missed: accurate but not a success. A success is exit status 0 for
velm-register and, as bench/verdict.py has it for Open3D, a fitness above 0.3 at 2 mm (the share of
FLOAT's points within 2 mm of FIX, measured after its ICP, outside the timed section).

velm-register runs as
    velm-register FIX FLOAT --units m --threads 1 --output RESULT.json [--init TRUTH]
and its time is the wall clock of its process, load to exit. Its result's "start" object (how it found
its start: method, hypotheses, inliers, rank of the winning hypothesis) is summarised when present.

Open3D runs in this process (OMP_NUM_THREADS=1, its random generator seeded per trial) as its global
registration tutorial shows it, for each voxel size v (2, 3 and 5 mm, in metres as the files are):
voxel_down_sample(v); estimate_normals(KDTreeSearchParamHybrid(2v, 30)); compute_fpfh_feature(
KDTreeSearchParamHybrid(5v, 100)); registration_ransac_based_on_feature_matching with the mutual filter,
a 1.5v correspondence distance, point-to-point estimation, ransac_n 3, the edge length (0.9) and
distance (1.5v) checkers and RANSACConvergenceCriteria(100000, 0.999); then registration_icp on the
full clouds, 0.4v, point-to-plane, from the RANSAC result. The tutorial's clouds come with normals; a
cloud read here without them gets them first from the 12 nearest neighbours turned towards +z (as
velm-register does by default, and as the other benchmarks run Open3D), which also serves the
point-to-plane ICP. Its time runs from reading the files to the end of the ICP: the interpreter's
start and the import of open3d, which a process of its own would pay, are not counted, in its favour.
The voxel size with the most accurate successes over all trials (ties: fewer false successes, then the
lower median time) is the one compared.

Run with Debian's own interpreter, the only one that imports open3d:
    /usr/bin/python3 bench/global.py --tool build/release/tools/velm-register
"""
import os

# Before open3d loads its thread pool: the comparison is one thread against one thread.
os.environ["OMP_NUM_THREADS"] = "1"

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from verdict import OBJECTS, classify, motion_error, quat_rotation, read_conf, read_points, rotation_about, \
    unit_vector

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEED = 20261207
MAX_SHIFT_MM = 100.0
SUCCESS_FITNESS, FITNESS_DISTANCE_M = 0.3, 0.002
KIND_LABELS = {"view": "about the view axis", "so3": "uniform on SO(3)"}


def trials(objects, counts, seed, pairs=None):
    out = []
    for oi, obj in enumerate(OBJECTS):
        if obj["name"] not in objects:
            continue
        for pi, (a, b, max_deg, max_mm) in enumerate(obj["pairs"]):
            if pairs and not {(a, b), (b, a)} & pairs:
                continue
            for direction, (fix, flt) in enumerate(((a, b), (b, a))):
                for trial in range(counts[obj["name"]]):
                    # Alternating on the sum gives each directed pair both kinds even with an odd count,
                    # and every pair as many of each over its two directions.
                    kind = "so3" if (pi + direction + trial) % 2 else "view"
                    out.append({"obj": obj, "fix": fix, "flt": flt, "max_deg": max_deg, "max_mm": max_mm,
                                "kind": kind, "trial": trial, "seed": [seed, oi, pi, direction, trial]})
    return out


def perturbation(rng, kind, centroid):
    """4x4 (metres) that turns FLOAT about its centroid and shifts it."""
    if kind == "view":
        r = rotation_about([0.0, 0.0, 1.0], rng.uniform(0.0, 360.0))
    else:
        # A normalised 4-D Gaussian is uniform on the unit quaternions, hence on SO(3).
        q = rng.normal(size=4)
        while np.linalg.norm(q) < 1e-9:
            q = rng.normal(size=4)
        r = quat_rotation(*q)
    shift = unit_vector(rng) * rng.uniform(0.0, MAX_SHIFT_MM) / 1000.0
    d = np.eye(4)
    d[:3, :3] = r
    d[:3, 3] = centroid + shift - r @ centroid
    return d


def write_ply(path, points, normals=None):
    columns = [points] if normals is None else [points, normals]
    names = ["x", "y", "z"] + ([] if normals is None else ["nx", "ny", "nz"])
    data = np.ascontiguousarray(np.hstack(columns), dtype="<f4")
    header = ["ply", "format binary_little_endian 1.0", "element vertex %d" % len(data)]
    header += ["property float " + n for n in names] + ["end_header"]
    with open(path, "wb") as f:
        f.write(("\n".join(header) + "\n").encode("ascii"))
        f.write(data.tobytes())


def scanner_normals(o3d, path, count):
    cloud = o3d.io.read_point_cloud(path)
    if len(cloud.points) != count:
        sys.exit("%s: Open3D reads %d points, the PLY reader %d" % (path, len(cloud.points), count))
    cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(knn=12))
    cloud.orient_normals_to_align_with_direction([0.0, 0.0, 1.0])
    return np.asarray(cloud.normals).copy()


def run_velm(tool, fix_path, flt_path, init=None):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "result.json")
        cmd = [tool, fix_path, flt_path, "--units", "m", "--threads", "1", "--output", out]
        if init is not None:
            cmd += ["--init", " ".join("%.17g" % v for v in init.flatten())]
        t0 = time.perf_counter()
        proc = subprocess.run(cmd, capture_output=True, text=True)
        wall = time.perf_counter() - t0
        if proc.returncode not in (0, 2) or not os.path.exists(out):
            sys.exit("velm-register failed: %s\n%s" % (" ".join(cmd), proc.stderr.strip()))
        with open(out) as f:
            r = json.load(f)
    return {"success": proc.returncode == 0, "wall": wall, "matrix": np.array(r["transformation"]),
            "state": r["state"], "start": r.get("start"), "hypotheses": r.get("hypotheses"),
            "timings": r.get("timings_s")}


def run_open3d(o3d, fix_path, flt_path, voxel, seed):
    reg = o3d.pipelines.registration
    search = o3d.geometry.KDTreeSearchParamHybrid
    o3d.utility.random.seed(seed)
    t0 = time.perf_counter()
    target = o3d.io.read_point_cloud(fix_path)
    source = o3d.io.read_point_cloud(flt_path)
    for cloud in (source, target):
        if not cloud.has_normals():
            cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(knn=12))
            cloud.orient_normals_to_align_with_direction([0.0, 0.0, 1.0])
    t1 = time.perf_counter()
    prepared = []
    for cloud in (source, target):
        down = cloud.voxel_down_sample(voxel)
        down.estimate_normals(search(radius=2.0 * voxel, max_nn=30))
        prepared.append((down, reg.compute_fpfh_feature(down, search(radius=5.0 * voxel, max_nn=100))))
    (source_down, source_fpfh), (target_down, target_fpfh) = prepared
    t2 = time.perf_counter()
    distance = 1.5 * voxel
    ransac = reg.registration_ransac_based_on_feature_matching(
        source_down, target_down, source_fpfh, target_fpfh, True, distance,
        reg.TransformationEstimationPointToPoint(False), 3,
        [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9), reg.CorrespondenceCheckerBasedOnDistance(distance)],
        reg.RANSACConvergenceCriteria(100000, 0.999))
    t3 = time.perf_counter()
    icp = reg.registration_icp(source, target, 0.4 * voxel, ransac.transformation,
                               reg.TransformationEstimationPointToPlane())
    t4 = time.perf_counter()
    fitness = reg.evaluate_registration(source, target, FITNESS_DISTANCE_M, icp.transformation).fitness
    return {"success": fitness > SUCCESS_FITNESS, "wall": t4 - t0, "matrix": np.asarray(icp.transformation).copy(),
            "state": "fitness %.3f" % fitness, "fitness": fitness, "points_down": len(source_down.points),
            "stages": {"load_normals": t1 - t0, "features": t2 - t1, "ransac": t3 - t2, "icp": t4 - t3}}


def summarise(runs):
    if not runs:
        return None
    walls = [r["wall"] for r in runs]
    return {"n": len(runs),
            "accurate": sum(1 for r in runs if r["success"] and r["accurate"]),
            "false": sum(1 for r in runs if r["success"] and r["wrong"]),
            "loose": sum(1 for r in runs if r["success"] and not r["accurate"] and not r["wrong"]),
            "missed": sum(1 for r in runs if not r["success"] and r["accurate"]),
            "median": statistics.median(walls), "worst": max(walls)}


def best_voxel(runs, voxels):
    def key(v):
        s = summarise([r for r in runs if r["method"] == open3d_method(v)])
        return (-s["accurate"], s["false"], s["median"])
    return min(voxels, key=key) if voxels else None


def open3d_method(voxel_mm):
    return "open3d-%g" % voxel_mm


def label(method, best):
    if method == "velm":
        return "velm-register, no start"
    if method == "velm-known":
        return "velm-register, known start"
    voxel = float(method.split("-", 1)[1])
    return "Open3D FPFH + RANSAC + ICP, %g mm%s" % (voxel, " (compared)" if voxel == best else "")


def spread_of(runs, key):
    """Median, lowest and highest of a numeric field of the start objects."""
    values = [r["start"][key] for r in runs if isinstance(r["start"].get(key), (int, float))]
    return statistics.median(values), min(values), max(values)


def fmt(v, digits=3):
    return "-" if v is None else "%.*f" % (digits, v)


def ratio(a, b):
    return None if a is None or b is None or b == 0 else a / b


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "release", "tools", "velm-register"),
                        help="path of velm-register (default: build/release/tools/velm-register)")
    parser.add_argument("--trials-bunny", type=int, default=10, help="trials per directed bunny pair (default %(default)s)")
    parser.add_argument("--trials-dragon", type=int, default=3, help="trials per directed dragon pair (default %(default)s)")
    parser.add_argument("--objects", default="bunny,dragon", help="any of bunny, dragon")
    parser.add_argument("--pairs", help="only these pairs, both directions, e.g. bun000/bun045,bun270/bun315"
                        " (the seeds of a pair's trials stay those of the whole run)")
    parser.add_argument("--voxels", default="2,3,5", help="Open3D's voxel sizes, mm (default %(default)s)")
    parser.add_argument("--skip-open3d", action="store_true", help="leave out Open3D's pipeline")
    parser.add_argument("--skip-velm", action="store_true", help="leave out velm-register (both runs)")
    parser.add_argument("--skip-known", action="store_true", help="leave out velm-register from the true start")
    parser.add_argument("--seed", type=int, default=SEED, help="seed of the trials (default %(default)s)")
    parser.add_argument("--dump", help="write every run as a JSON line to this file")
    args = parser.parse_args()
    objects = args.objects.split(",")
    pairs = {tuple(p.split("/")) for p in args.pairs.split(",")} if args.pairs else None
    known_pairs = {(a, b) for obj in OBJECTS for a, b, _, _ in obj["pairs"]}
    if pairs and not all(p in known_pairs or p[::-1] in known_pairs for p in pairs):
        sys.exit("unknown pairs: " + ", ".join("/".join(p) for p in pairs
                                              if p not in known_pairs and p[::-1] not in known_pairs))
    unknown = set(objects) - {obj["name"] for obj in OBJECTS}
    if unknown:
        sys.exit("unknown objects: " + ", ".join(sorted(unknown)))
    voxels = [] if args.skip_open3d else [float(v) for v in args.voxels.split(",") if v]
    methods = ([] if args.skip_velm else ["velm"] + ([] if args.skip_known else ["velm-known"])) + \
        [open3d_method(v) for v in voxels]
    if not methods:
        sys.exit("nothing to run")
    if not args.skip_velm and not os.access(args.tool, os.X_OK):
        sys.exit("no velm-register at %s: build it first" % args.tool)
    # Also for --skip-open3d: the SO(3) trials' normals are Open3D's.
    import open3d as o3d
    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    load_start = os.getloadavg()

    poses = {obj["name"]: read_conf(os.path.join(obj["dir"], obj["conf"])) for obj in OBJECTS}
    scans = {}  # FLOAT path -> points and, once needed, normals in the scanner frame
    runs = []
    dump = open(args.dump, "w") if args.dump else None
    all_trials = trials(objects, {"bunny": args.trials_bunny, "dragon": args.trials_dragon}, args.seed,
                        pairs)
    if not all_trials:
        sys.exit("no trials: check --objects and --pairs")
    for n, t in enumerate(all_trials):
        obj = t["obj"]
        fix_path = os.path.join(obj["dir"], t["fix"] + ".ply")
        flt_path = os.path.join(obj["dir"], t["flt"] + ".ply")
        scan = scans.setdefault(flt_path, {})
        if "points" not in scan:
            scan["points"] = read_points(flt_path)
            scan["centroid"] = scan["points"].mean(axis=0)
        if t["kind"] == "so3" and "normals" not in scan:
            scan["normals"] = scanner_normals(o3d, flt_path, len(scan["points"]))
        rng = np.random.default_rng(t["seed"])
        d = perturbation(rng, t["kind"], scan["centroid"])
        open3d_seed = int(rng.integers(2 ** 31 - 1))
        truth = np.linalg.inv(poses[obj["name"]][t["fix"]]) @ poses[obj["name"]][t["flt"]] @ np.linalg.inv(d)
        centroid = d[:3, :3] @ scan["centroid"] + d[:3, 3]
        progress = []
        with tempfile.TemporaryDirectory() as tmp:
            written = os.path.join(tmp, t["flt"] + ".ply")
            points = scan["points"] @ d[:3, :3].T + d[:3, 3]
            normals = scan["normals"] @ d[:3, :3].T if t["kind"] == "so3" else None
            write_ply(written, points, normals)
            for method in methods:
                if method == "velm":
                    r = run_velm(args.tool, fix_path, written)
                elif method == "velm-known":
                    r = run_velm(args.tool, fix_path, written, truth)
                else:
                    voxel_mm = float(method.split("-", 1)[1])
                    r = run_open3d(o3d, fix_path, written, voxel_mm / 1000.0, open3d_seed)
                r["deg"], r["mm"] = motion_error(truth, r.pop("matrix"), centroid)
                r["accurate"], r["wrong"] = classify(r, t["max_deg"], t["max_mm"])
                r.update({"method": method, "object": obj["name"], "fix": t["fix"], "flt": t["flt"],
                          "trial": t["trial"], "kind": t["kind"], "seed": t["seed"]})
                runs.append(r)
                if dump:
                    dump.write(json.dumps(r) + "\n")
                    dump.flush()
                verdict = ("ok" if r["accurate"] else "WRONG" if r["wrong"] else "loose") if r["success"] else \
                    ("missed" if r["accurate"] else "fail")
                progress.append("%s %s %.2f s" % (method, verdict, r["wall"]))
        print("[%d/%d] %s onto %s, trial %d, %s: %s" % (n + 1, len(all_trials), t["flt"], t["fix"], t["trial"],
                                                         t["kind"], "; ".join(progress)), file=sys.stderr, flush=True)
    if dump:
        dump.close()

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    print("commit %s, nproc %d, load average %.2f %.2f %.2f at the start, %.2f %.2f %.2f at the end, Open3D %s,"
          " one thread each" % ((commit, os.cpu_count()) + load_start + os.getloadavg() + (o3d.__version__,)))
    print()

    best = best_voxel(runs, voxels)
    groups = [("all", lambda r: True)] + \
        [(o, (lambda o: lambda r: r["object"] == o)(o)) for o in objects] + \
        [(KIND_LABELS[k], (lambda k: lambda r: r["kind"] == k)(k)) for k in ("view", "so3")]
    print("| method | trials | runs | accurate successes | false successes | loose successes | missed |"
          " median wall s | worst wall s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for method in methods:
        for name, keep in groups:
            s = summarise([r for r in runs if r["method"] == method and keep(r)])
            if s:
                print("| %s | %s | %d | %d (%.1f %%) | %d | %d | %d | %.3f | %.3f |" % (
                    label(method, best), name, s["n"], s["accurate"], 100.0 * s["accurate"] / s["n"], s["false"],
                    s["loose"], s["missed"], s["median"], s["worst"]))

    by_method = {m: summarise([r for r in runs if r["method"] == m]) for m in methods}
    velm, known = by_method.get("velm"), by_method.get("velm-known")
    o3d_best = by_method.get(open3d_method(best)) if best is not None else None
    if velm:
        print()
        print("| target | measured | met |")
        print("|---|---|---|")
        print("| no false success without a start | %d | %s |" % (velm["false"], "yes" if velm["false"] == 0 else "no"))
        share = 100.0 * velm["accurate"] / velm["n"]
        print("| accurate successes without a start >= 98 %% | %d of %d (%.1f %%) | %s |" % (
            velm["accurate"], velm["n"], share, "yes" if share >= 98.0 else "no"))
    if velm and known:
        q = ratio(velm["median"], known["median"])
        print("| median wall time, no start / known start <= 2 | %.3f s / %.3f s = %s | %s |" % (
            velm["median"], known["median"], fmt(q, 2), "yes" if q <= 2.0 else "no"))
    if velm and o3d_best:
        q = ratio(o3d_best["median"], velm["median"])
        print("| median wall time, Open3D (%g mm) / velm-register no start >= 2 | %.3f s / %.3f s = %s | %s |" % (
            best, o3d_best["median"], velm["median"], fmt(q, 2), "yes" if q >= 2.0 else "no"))
        walls = {}
        for r in runs:
            if r["method"] in ("velm", open3d_method(best)):
                walls.setdefault(tuple(r["seed"]), {})[r["method"]] = r["wall"]
        per_trial = [w[open3d_method(best)] / w["velm"] for w in walls.values() if len(w) == 2]
        print("| the same, median of the per-trial ratios >= 2 | %s (lowest %s) | %s |" % (
            fmt(statistics.median(per_trial), 2), fmt(min(per_trial), 2),
            "yes" if statistics.median(per_trial) >= 2.0 else "no"))

    if voxels:
        print()
        print("Open3D's stages, median s over all trials (load and normals of the full clouds; down-sampling,"
              " normals and FPFH; RANSAC; ICP), and FLOAT's points after down-sampling:")
        print()
        print("| voxel mm | load + normals | features | RANSAC | ICP | points down-sampled |")
        print("|---|---|---|---|---|---|")
        for v in voxels:
            sel = [r for r in runs if r["method"] == open3d_method(v)]
            print("| %g | %s | %s | %s | %s | %d |" % (
                v, *(fmt(statistics.median(r["stages"][k] for r in sel)) for k in ("load_normals", "features",
                                                                                    "ransac", "icp")),
                statistics.median(r["points_down"] for r in sel)))

    if velm:
        starts = [r for r in runs if r["method"] == "velm" and isinstance(r.get("start"), dict)]
        print()
        if not starts:
            print("velm-register reported no \"start\" object in its results (%d runs without a start)." % velm["n"])
        else:
            # The fields beyond method and rank are whatever the tool reports; each numeric one is summarised.
            fields = []
            for r in starts:
                fields += [k for k, v in r["start"].items() if k not in fields and k != "rank"
                           and isinstance(v, (int, float)) and not isinstance(v, bool)]
            print("How velm-register found its start (%d of %d runs without a start report it): methods %s; %s."
                  " By the rank of the hypothesis that won:" % (
                      len(starts), velm["n"],
                      ", ".join("%s %d" % (m, sum(1 for r in starts if str(r["start"].get("method")) == m))
                                for m in sorted({str(r["start"].get("method")) for r in starts})),
                      "; ".join("%s median %s (%s to %s)" % ((k,) + tuple("%.4g" % v for v in spread_of(starts, k)))
                                for k in fields) or "no numeric fields"))
            print()
            print("| rank | runs | accurate successes | false successes | loose successes | not successes |")
            print("|---|---|---|---|---|---|")
            ranks = sorted({r["start"].get("rank") for r in starts}, key=lambda v: (v is None, str(type(v)), v))
            for rank in ranks:
                sel = [r for r in starts if r["start"].get("rank") == rank]
                s = summarise(sel)
                print("| %s | %d | %d | %d | %d | %d |" % ("-" if rank is None else rank, s["n"], s["accurate"],
                                                           s["false"], s["loose"],
                                                           sum(1 for r in sel if not r["success"])))

    false = [r for r in runs if r["success"] and r["wrong"]]
    print()
    if not false:
        print("No false success.")
    else:
        print("False successes:")
        print()
        print("| method | FLOAT onto FIX | trial | start | seed | error deg | error mm | state |")
        print("|---|---|---|---|---|---|---|---|")
        for r in false:
            print("| %s | %s onto %s | %d | %s | %s | %.3f | %.3f | %s |" % (
                label(r["method"], best), r["flt"], r["fix"], r["trial"], KIND_LABELS[r["kind"]],
                ",".join(map(str, r["seed"])), r["deg"], r["mm"], r["state"]))


if __name__ == "__main__":
    main()
