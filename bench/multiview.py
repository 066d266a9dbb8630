#!/usr/bin/python3
"""Multi-view alignment of whole scan sets: velm-align beside Open3D's multiway registration and beside
plain pairwise chaining, from the same perturbed starts, one thread each, in the same invocation.

Sets: the six bundled bunny scans (anchor bun000, 5 seeded trials) and the fifteen dragon turntable views
(anchor dragonStandRight_0, 3 seeded trials); and 3 "far" bunny trials in which one scan, drawn among
the non-anchor ones, starts 60-120 degrees off. A start: every scan but the anchor has its published
pose turned about the scan's centroid in the common frame (axis uniform on the sphere, angle uniform in
5-10 degrees, or 60-120 for the far scan) and shifted (direction uniform, length uniform in 5-10 mm).
The published poses of the conf files are the truth the errors are taken against.

velm-align reads the perturbed poses from a conf file and runs as
    velm-align START.conf --output ALIGNED.conf --units m --report REPORT.json --threads 1
timed as the wall clock of its process; exit status 2 (some scans "not aligned") is a result, 1 a failure.

Open3D runs in this process (OMP_NUM_THREADS=1), as its multiway registration tutorial does it:
millimetres, normals from the 12 nearest neighbours in each scan's own frame turned towards +z (its
scanner), then moved by the start pose and sampled on 1 mm voxels; point-to-plane ICP from the identity
for each pair source < target in the chaining order (15 mm, then 1.5 mm from the coarse result),
information from get_information_matrix_from_point_clouds, consecutive pairs as odometry edges that
also give the initial node poses, the others as uncertain loop closures; Levenberg-Marquardt
global_optimization with edge_prune_threshold 0.25 and reference node 0 = the anchor. Two variants:
all pairs, as the tutorial does, and only the overlapping pairs (consecutive in the chaining order plus
the pair closing the loop). Its time runs from loading the files to the end of global_optimization.
"chaining" is the initial node poses (pairwise odometry alone); its time is loading, normals and
sampling plus the ICP of the consecutive pairs.

Error of a scan (not the anchor): the angle of R_final * transpose(R_published), and the distance between
the scan's centroid mapped by the final and by the published pose. Per trial: median and worst over the
scans (degrees and mm apart: they may come from different scans); velm-align's over the scans it
reports aligned, with the others counted. A far scan ends "aligned, accurate" (within 1 degree and
3 mm), "not aligned" (velm-align says so) or "WRONG" (placed more than 1 degree or 3 mm off).

The published poses are not exactly consistent with the scans (registering neighbouring dragon views
from them moves them by about a millimetre), so the error above cannot tell which of two results near
them is better. "fit" measures poses against the data instead, the same way for every method and for
the published poses: over the overlapping pairs (those of the overlapping-pairs variant, the earlier
scan of the chaining order as FIX), every point of FLOAT is paired with its nearest point of FIX if that
lies within 1 mm, and the residual is their distance along FIX's normal; fit is the RMS (mm) of all
residuals of all those pairs, "matched" the share of FLOAT points that found a partner (a result that
pulls scans apart loses partners rather than gaining residual, so the two go together). The clouds are
the Open3D side's (millimetres, normals from the 12 nearest neighbours in the scan's own frame towards
+z) sampled on 1 mm voxels of the scan's own frame, so that they are the same for every method and
every trial; velm-align's poses are taken as written, also for scans it reports not aligned. Also
shown: how far velm-align's poses lie from Open3D multiway's, scan by scan (same measure as the error,
over the scans velm-align reports aligned), beside how far each lies from the published poses.
None of the fit work is inside a timed section.

Run with Debian's own interpreter, the only one that imports open3d:
    /usr/bin/python3 bench/multiview.py --tool build/release/tools/velm-align
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

from verdict import read_bmesh, read_conf, read_points, rotation_about, unit_vector

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "data")
SEED_BASE = 20261207
VOXEL_MM = 1.0
ACCURATE_DEG, ACCURATE_MM = 1.0, 3.0

SETS = {
    "bunny": {"dir": DATA, "conf": "bun.conf",
              "order": ["bun000", "bun045", "bun090", "bun180", "bun270", "bun315"]},
    "dragon": {"dir": os.path.join(DATA, "dragon"), "conf": "dragonStandRight.conf",
               "order": ["dragonStandRight_%d" % a for a in range(0, 360, 24)]},
}
# (name, scan set, seed index, default trials option, far)
KINDS = [("bunny", "bunny", 0, "trials_bunny", False), ("dragon", "dragon", 1, "trials_dragon", False),
         ("far", "bunny", 2, "trials_far", True)]
KIND_LABELS = {"bunny": "bunny", "dragon": "dragon", "far": "bunny, one far"}
METHODS = ["velm", "multiway-all", "multiway-overlap", "chaining"]
LABELS = {"velm": "velm-align", "multiway-all": "Open3D multiway, all pairs",
          "multiway-overlap": "Open3D multiway, overlapping pairs", "chaining": "pairwise chaining (Open3D ICP)"}


def perturb(rng, published, centroid, degrees):
    """published (4x4, metres) turned about the scan's centroid in the common frame, then shifted 5-10 mm."""
    angle = rng.uniform(*degrees)
    axis = unit_vector(rng)
    shift = unit_vector(rng) * rng.uniform(5.0, 10.0) / 1000.0
    centre = published[:3, :3] @ centroid + published[:3, 3]
    d = np.eye(4)
    d[:3, :3] = rotation_about(axis, angle)
    d[:3, 3] = centre + shift - d[:3, :3] @ centre
    return d @ published


def starts(kind_index, trial, order, published, centroids, far):
    """The start pose of every scan (the anchor's is the published one) and the far scan, if any."""
    rng = np.random.default_rng([SEED_BASE, kind_index, trial])
    far_scan = order[1 + int(rng.integers(len(order) - 1))] if far else None
    poses = {order[0]: published[order[0]].copy()}
    for name in order[1:]:
        band = (60.0, 120.0) if name == far_scan else (5.0, 10.0)
        poses[name] = perturb(rng, published[name], centroids[name], band)
    return poses, far_scan


def quaternion(r):
    """(qx, qy, qz, qw) with qw >= 0 of a rotation matrix, largest component first for precision."""
    t = np.trace(r)
    if t > max(r[0, 0], r[1, 1], r[2, 2]):
        s = 2.0 * math.sqrt(1.0 + t)
        q = [(r[2, 1] - r[1, 2]) / s, (r[0, 2] - r[2, 0]) / s, (r[1, 0] - r[0, 1]) / s, s / 4.0]
    else:
        i = int(np.argmax([r[0, 0], r[1, 1], r[2, 2]]))
        j, k = (i + 1) % 3, (i + 2) % 3
        s = 2.0 * math.sqrt(1.0 + r[i, i] - r[j, j] - r[k, k])
        q = [0.0, 0.0, 0.0, (r[k, j] - r[j, k]) / s]
        q[i] = s / 4.0
        q[j] = (r[j, i] + r[i, j]) / s
        q[k] = (r[k, i] + r[i, k]) / s
    q = np.array(q) / np.linalg.norm(q)
    return -q if q[3] < 0 else q


def conf_line(path, pose):
    # The conf stores the inverse rotation: a point p lies at transpose(R(q)) p + t.
    q = quaternion(pose[:3, :3].T)
    return "bmesh %s %s\n" % (path, " ".join("%.9g" % v for v in list(pose[:3, 3]) + list(q)))


def pose_error(published, final, centroid):
    """Rotation error (degrees) and the distance (mm) of the scan's centroid mapped by both poses (metres)."""
    r = final[:3, :3] @ published[:3, :3].T
    # atan2 of the skew part keeps small angles exact where acos of the trace loses them.
    s = np.linalg.norm([r[2, 1] - r[1, 2], r[0, 2] - r[2, 0], r[1, 0] - r[0, 1]]) / 2.0
    angle = math.degrees(math.atan2(s, (np.trace(r) - 1.0) / 2.0))
    a = final[:3, :3] @ centroid + final[:3, 3]
    b = published[:3, :3] @ centroid + published[:3, 3]
    return angle, 1000.0 * float(np.linalg.norm(a - b))


def run_velm(tool, scan_set, order, start):
    paths = {name: os.path.join(scan_set["dir"], name + ".ply") for name in order}
    with tempfile.TemporaryDirectory() as tmp:
        conf = os.path.join(tmp, "start.conf")
        aligned = os.path.join(tmp, "aligned.conf")
        report = os.path.join(tmp, "report.json")
        with open(conf, "w") as f:
            for name in order:
                f.write(conf_line(paths[name], start[name]))
        t0 = time.perf_counter()
        proc = subprocess.run([tool, conf, "--output", aligned, "--units", "m", "--report", report,
                               "--threads", "1"], capture_output=True, text=True)
        wall = time.perf_counter() - t0
        if proc.returncode not in (0, 2):
            sys.exit("velm-align failed (exit %d): %s" % (proc.returncode, proc.stderr.strip()))
        lines = read_bmesh(aligned)
        with open(report) as f:
            rep = json.load(f)
    # FILE in the output is relative to the output's folder, in the report as written in the input conf.
    written = [os.path.normpath(os.path.join(tmp, p)) for p, _ in lines]
    if written != [os.path.normpath(paths[n]) for n in order]:
        sys.exit("velm-align wrote other scans or another order to " + aligned)
    by_file = {os.path.normpath(os.path.join(tmp, s["file"])): s for s in rep["scans"]}
    if len(by_file) != len(order):
        sys.exit("velm-align's report lists %d scans for %d" % (len(rep["scans"]), len(order)))
    poses, aligned_flags = {}, {}
    for name, path, (_, pose) in zip(order, written, lines):
        entry = by_file.get(path)
        if entry is None:
            sys.exit("velm-align's report has no entry for " + path)
        poses[name] = pose
        aligned_flags[name] = bool(entry["aligned"])
    if (proc.returncode == 0) != all(aligned_flags.values()):
        sys.exit("velm-align's exit status %d disagrees with its report" % proc.returncode)
    return {"poses": poses, "aligned": aligned_flags, "wall": wall}


def millimetres(pose):
    m = pose.copy()
    m[:3, 3] *= 1000.0
    return m


def metres(pose):
    m = np.array(pose, dtype=float)
    m[:3, 3] /= 1000.0
    return m


def own_frame_cloud(o3d, path):
    """A scan in millimetres in its own frame with its normals, as the Open3D side reads it."""
    cloud = o3d.io.read_point_cloud(path)
    cloud.scale(1000.0, center=np.zeros(3))
    # Normals in the scan's own frame, where +z is towards its scanner.
    cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(knn=12))
    cloud.orient_normals_to_align_with_direction([0.0, 0.0, 1.0])
    return cloud


def overlapping_pairs(n):
    """(FIX, FLOAT) indices in the chaining order: the consecutive scans and the pair closing the loop."""
    return [(i, i + 1) for i in range(n - 1)] + [(0, n - 1)]


def fit_clouds(o3d, scan_set, order):
    """Per scan: 1 mm samples (points, unit normals) on the grid of its own frame and a search tree on them."""
    out = {}
    for name in order:
        cloud = own_frame_cloud(o3d, os.path.join(scan_set["dir"], name + ".ply")).voxel_down_sample(VOXEL_MM)
        normals = np.asarray(cloud.normals)
        out[name] = {"points": np.asarray(cloud.points).copy(),
                     "normals": normals / np.linalg.norm(normals, axis=1, keepdims=True),
                     # The tree reads the cloud's memory, which must outlive it.
                     "tree": o3d.geometry.KDTreeFlann(cloud), "cloud": cloud}
    return out


def fit(clouds, order, poses):
    """Point-to-plane RMS (mm) of poses (metres) over the overlapping pairs, overall and per pair."""
    total_sq, total_n, total_points, per_pair = 0.0, 0, 0, []
    for i, j in overlapping_pairs(len(order)):
        fix, flt = clouds[order[i]], clouds[order[j]]
        # FLOAT taken into FIX's own frame: the distances are those in the common frame, and FIX's tree
        # serves every method.
        rel = np.linalg.inv(millimetres(poses[order[i]])) @ millimetres(poses[order[j]])
        moved = flt["points"] @ rel[:3, :3].T + rel[:3, 3]
        nearest, d2 = np.empty(len(moved), dtype=int), np.empty(len(moved))
        for k, q in enumerate(moved):
            _, idx, dist2 = fix["tree"].search_knn_vector_3d(q, 1)
            nearest[k], d2[k] = idx[0], dist2[0]
        near = d2 <= VOXEL_MM * VOXEL_MM
        partner = nearest[near]
        r = np.einsum("ij,ij->i", moved[near] - fix["points"][partner], fix["normals"][partner])
        sq = float(np.dot(r, r))
        per_pair.append({"fix": order[i], "float": order[j], "rms": math.sqrt(sq / len(r)) if len(r) else None,
                         "matched": len(r) / len(moved)})
        total_sq += sq
        total_n += len(r)
        total_points += len(moved)
    return {"rms": math.sqrt(total_sq / total_n) if total_n else None, "matched": total_n / total_points,
            "pairs": per_pair}


def run_open3d(o3d, scan_set, order, start, overlapping_only):
    """Open3D's multiway registration from the start poses. Returns the optimised and the chained poses
    (metres) and the wall times of the whole run and of the chaining alone."""
    reg = o3d.pipelines.registration
    coarse, fine = VOXEL_MM * 15.0, VOXEL_MM * 1.5
    n = len(order)
    t0 = time.perf_counter()
    clouds = []
    for name in order:
        cloud = own_frame_cloud(o3d, os.path.join(scan_set["dir"], name + ".ply"))
        cloud.transform(millimetres(start[name]))
        clouds.append(cloud.voxel_down_sample(VOXEL_MM))
    prepared = time.perf_counter() - t0

    graph = reg.PoseGraph()
    odometry = np.eye(4)
    graph.nodes.append(reg.PoseGraphNode(odometry))
    chaining_icp = 0.0
    overlapping = set(overlapping_pairs(n))
    for source in range(n):
        for target in range(source + 1, n):
            consecutive = target == source + 1
            if overlapping_only and (source, target) not in overlapping:
                continue
            t1 = time.perf_counter()
            icp = reg.registration_icp(clouds[source], clouds[target], coarse, np.eye(4),
                                       reg.TransformationEstimationPointToPlane())
            icp = reg.registration_icp(clouds[source], clouds[target], fine, icp.transformation,
                                       reg.TransformationEstimationPointToPlane())
            if consecutive:
                chaining_icp += time.perf_counter() - t1
            transformation = np.asarray(icp.transformation)
            information = reg.get_information_matrix_from_point_clouds(clouds[source], clouds[target], fine,
                                                                       transformation)
            if consecutive:
                odometry = transformation @ odometry
                graph.nodes.append(reg.PoseGraphNode(np.linalg.inv(odometry)))
            graph.edges.append(reg.PoseGraphEdge(source, target, transformation, information,
                                                 uncertain=not consecutive))
    chained = [np.asarray(node.pose).copy() for node in graph.nodes]
    reg.global_optimization(graph, reg.GlobalOptimizationLevenbergMarquardt(),
                            reg.GlobalOptimizationConvergenceCriteria(),
                            reg.GlobalOptimizationOption(max_correspondence_distance=fine, edge_prune_threshold=0.25,
                                                         reference_node=0))
    wall = time.perf_counter() - t0
    # Node poses map the start's common frame onto node 0's, the anchor's true frame (it is not perturbed).
    optimised = {name: metres(np.asarray(graph.nodes[i].pose) @ millimetres(start[name]))
                 for i, name in enumerate(order)}
    chain = {name: metres(chained[i] @ millimetres(start[name])) for i, name in enumerate(order)}
    return {"poses": optimised, "wall": wall, "chaining": {"poses": chain, "wall": prepared + chaining_icp}}


def score(run, order, published, centroids, far_scan):
    """Per-trial errors of one method: median and worst over the scans it calls aligned."""
    aligned = run.get("aligned") or {name: True for name in order}
    deg, mm = [], []
    for name in order[1:]:
        if aligned[name]:
            d, m = pose_error(published[name], run["poses"][name], centroids[name])
            deg.append(d)
            mm.append(m)
    out = {"wall": run["wall"], "not_aligned": sum(1 for name in order[1:] if not aligned[name]),
           "median_deg": statistics.median(deg) if deg else None, "median_mm": statistics.median(mm) if mm else None,
           "worst_deg": max(deg) if deg else None, "worst_mm": max(mm) if mm else None, "far": None}
    if far_scan:
        if not aligned[far_scan]:
            out["far"] = "not aligned"
        else:
            d, m = pose_error(published[far_scan], run["poses"][far_scan], centroids[far_scan])
            out["far"] = "aligned, accurate" if d <= ACCURATE_DEG and m <= ACCURATE_MM else "WRONG"
        out["far"] += " (%s)" % far_scan
    return out


def agreement(velm, other, order, published, centroids):
    """Median and worst, over the scans velm-align reports aligned, of how far its poses lie from other's,
    from the published ones, and other's from the published ones (degrees, mm)."""
    names = [name for name in order[1:] if velm["aligned"][name]]
    out = {"scans": len(names)}
    for key, a, b in (("between", velm["poses"], other["poses"]), ("velm", velm["poses"], published),
                      ("other", other["poses"], published)):
        errors = [pose_error(b[name], a[name], centroids[name]) for name in names]
        out[key] = (med(e[0] for e in errors), med(e[1] for e in errors),
                    worst(e[0] for e in errors), worst(e[1] for e in errors))
    return out


def fmt(v, digits=3):
    return "-" if v is None else "%.*f" % (digits, v)


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def worst(values):
    values = [v for v in values if v is not None]
    return max(values) if values else None


def versus(velm, other, key, factor):
    """Trials in which velm-align's value is at most factor times the other method's."""
    pairs = [(v[key], o[key]) for v, o in zip(velm, other)]
    return sum(1 for a, b in pairs if a is not None and b is not None and a <= factor * b), len(pairs)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default=os.path.join(ROOT, "build", "release", "tools", "velm-align"),
                        help="path of velm-align (default: build/release/tools/velm-align)")
    parser.add_argument("--trials-bunny", type=int, default=5)
    parser.add_argument("--trials-dragon", type=int, default=3)
    parser.add_argument("--trials-far", type=int, default=3, help="bunny trials with one scan 60-120 degrees off")
    parser.add_argument("--sets", default="bunny,dragon,far", help="any of bunny, dragon, far")
    parser.add_argument("--skip-velm", action="store_true", help="run only Open3D")
    parser.add_argument("--skip-open3d-all-pairs", action="store_true",
                        help="leave out Open3D's all-pairs variant (105 pairs on the dragon)")
    args = parser.parse_args()
    wanted = args.sets.split(",")
    unknown = set(wanted) - {k[0] for k in KINDS}
    if unknown:
        sys.exit("unknown sets: " + ", ".join(sorted(unknown)))
    if not args.skip_velm and not os.access(args.tool, os.X_OK):
        sys.exit("no velm-align at " + args.tool + " (build it, pass --tool, or --skip-velm)")
    import open3d as o3d
    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)

    methods = [m for m in METHODS if not (m == "velm" and args.skip_velm)
               and not (m == "multiway-all" and args.skip_open3d_all_pairs)]
    results = []  # (kind, trial, method, score); trial None and method "published" for the published poses
    agreements = []  # (kind, trial, reference, agreement)
    pair_names = {}  # kind -> the overlapping pairs' labels
    clouds_by_set = {}
    for kind, set_name, kind_index, trials_option, far in KINDS:
        if kind not in wanted:
            continue
        scan_set = SETS[set_name]
        order = scan_set["order"]
        published = read_conf(os.path.join(scan_set["dir"], scan_set["conf"]))
        centroids = {name: read_points(os.path.join(scan_set["dir"], name + ".ply")).mean(axis=0) for name in order}
        if set_name not in clouds_by_set:
            clouds_by_set[set_name] = fit_clouds(o3d, scan_set, order)
        clouds = clouds_by_set[set_name]
        prefix = os.path.commonprefix(order)
        pair_names[kind] = ["%s-%s" % (order[i][len(prefix):], order[j][len(prefix):])
                            for i, j in overlapping_pairs(len(order))]
        published_fit = fit(clouds, order, published)
        results.append((kind, None, "published", {"fit": published_fit}))
        print("%s published poses: fit %s mm, %.1f %% matched" %
              (KIND_LABELS[kind], fmt(published_fit["rms"]), 100.0 * published_fit["matched"]),
              file=sys.stderr, flush=True)
        for trial in range(getattr(args, trials_option)):
            start, far_scan = starts(kind_index, trial, order, published, centroids, far)
            runs = {}
            if "velm" in methods:
                runs["velm"] = run_velm(args.tool, scan_set, order, start)
            if "multiway-all" in methods:
                runs["multiway-all"] = run_open3d(o3d, scan_set, order, start, False)
            runs["multiway-overlap"] = run_open3d(o3d, scan_set, order, start, True)
            # The odometry is the same in both variants (the same consecutive pairs, the same ICP).
            runs["chaining"] = runs.get("multiway-all", runs["multiway-overlap"])["chaining"]
            for method in methods:
                s = score(runs[method], order, published, centroids, far_scan)
                s["fit"] = fit(clouds, order, runs[method]["poses"])
                results.append((kind, trial, method, s))
                print("%s trial %d %s: worst %s deg / %s mm, fit %s mm, %.2f s" %
                      (KIND_LABELS[kind], trial, method, fmt(s["worst_deg"]), fmt(s["worst_mm"]),
                       fmt(s["fit"]["rms"]), s["wall"]), file=sys.stderr, flush=True)
            if "velm" in runs:
                for ref in ("multiway-all", "multiway-overlap"):
                    if ref in runs:
                        agreements.append((kind, trial, ref,
                                           agreement(runs["velm"], runs[ref], order, published, centroids)))

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    print("commit %s, nproc %d, load %.2f %.2f %.2f, %s, one thread each" %
          ((commit, os.cpu_count()) + os.getloadavg() + (platform.processor() or platform.machine(),)))
    print()
    references = [m for m in ("multiway-all", "multiway-overlap") if m in methods]
    ref_columns = ["velm worst within 0.7x %s (deg; mm)" % LABELS[m] for m in references] if "velm" in methods else []
    print("Errors against the published poses; fit (point-to-plane RMS over the overlapping pairs, 1 mm partners)"
          " and matched share: medians over the trials.")
    print()
    print("| set | trials | method | median error deg / mm | worst error deg / mm | fit mm | matched % | " +
          "".join(c + " | " for c in ref_columns) + "scans not aligned | far scan outcome | median wall s |"
          " worst wall s |")
    print("|---|---|---|---|---|---|---|" + "---|" * len(ref_columns) + "---|---|---|---|")
    for kind, set_name, _, trials_option, far in KINDS:
        if kind not in wanted:
            continue
        published_fit = [s["fit"] for k, _, m, s in results if k == kind and m == "published"][0]
        print("| %s | - | published poses | - | - | %s | %.1f | %s- | - | - | - |" % (
            set_name, fmt(published_fit["rms"]), 100.0 * published_fit["matched"], "| " * len(ref_columns)))
        for method in methods:
            rows = [s for k, _, m, s in results if k == kind and m == method]
            cells = []
            for ref in references if "velm" in methods else []:
                if method != "velm":
                    cells.append("")
                    continue
                other = [s for k, _, m, s in results if k == kind and m == ref]
                cells.append("%d of %d trials; %d of %d trials" % (versus(rows, other, "worst_deg", 0.7) +
                                                                   versus(rows, other, "worst_mm", 0.7)))
            outcomes = {}
            for s in rows:
                if s["far"]:
                    key = s["far"].split(" (")[0]
                    outcomes[key] = outcomes.get(key, 0) + 1
            print("| %s | %d %s | %s | %s / %s | %s / %s | %s | %s | %s%d | %s | %.2f | %.2f |" % (
                set_name, len(rows), "far" if far else "perturbed", LABELS[method],
                fmt(med(s["median_deg"] for s in rows)), fmt(med(s["median_mm"] for s in rows)),
                fmt(worst(s["worst_deg"] for s in rows)), fmt(worst(s["worst_mm"] for s in rows)),
                fmt(med(s["fit"]["rms"] for s in rows)), fmt(med(100.0 * s["fit"]["matched"] for s in rows), 1),
                "".join(c + " | " for c in cells), sum(s["not_aligned"] for s in rows),
                ", ".join("%d %s" % (n, o) for o, n in sorted(outcomes.items())) if far else "",
                statistics.median(s["wall"] for s in rows), max(s["wall"] for s in rows)))

    if "velm" in methods:
        print()
        print("Targets, per trial: velm-align's worst at most 0.7x, its median at most Open3D multiway's; speed:"
              " Open3D multiway's wall time over velm-align's.")
        print()
        print("| set | trials | against | worst deg <= 0.7x | worst mm <= 0.7x | median deg <= | median mm <= |"
              " speed-up median | speed-up lowest |")
        print("|---|---|---|---|---|---|---|---|---|")
        for kind, set_name, _, _, far in KINDS:
            if kind not in wanted:
                continue
            velm = [s for k, _, m, s in results if k == kind and m == "velm"]
            for ref in references:
                other = [s for k, _, m, s in results if k == kind and m == ref]
                ratios = [o["wall"] / v["wall"] for v, o in zip(velm, other)]
                print("| %s | %d %s | %s | %d of %d | %d of %d | %d of %d | %d of %d | %.2f | %.2f |" % (
                    (set_name, len(velm), "far" if far else "perturbed", LABELS[ref]) +
                    versus(velm, other, "worst_deg", 0.7) + versus(velm, other, "worst_mm", 0.7) +
                    versus(velm, other, "median_deg", 1.0) + versus(velm, other, "median_mm", 1.0) +
                    (statistics.median(ratios), min(ratios))))

    if agreements:
        print()
        print("velm-align beside Open3D multiway, scan by scan over the scans velm-align reports aligned"
              " (degrees / mm of the scan's centroid); \"all\" is the median of the trials' medians and the"
              " worst of their worsts.")
        print()
        print("| set | trial | Open3D variant | scans | velm vs Open3D median | velm vs Open3D worst |"
              " velm vs published median | velm vs published worst | Open3D vs published median |"
              " Open3D vs published worst |")
        print("|---|---|---|---|---|---|---|---|---|---|")

        def cells(values):
            return "%s / %s | %s / %s" % (fmt(values[0]), fmt(values[1]), fmt(values[2]), fmt(values[3]))

        for kind, *_ in KINDS:
            for ref in references:
                rows = [(t, a) for k, t, r, a in agreements if k == kind and r == ref]
                for trial, a in rows:
                    print("| %s | %d | %s | %d | %s | %s | %s |" % (KIND_LABELS[kind], trial, LABELS[ref], a["scans"],
                                                                   cells(a["between"]), cells(a["velm"]),
                                                                   cells(a["other"])))
                if len(rows) > 1:
                    summary = {key: (med(a[key][0] for _, a in rows), med(a[key][1] for _, a in rows),
                                     worst(a[key][2] for _, a in rows), worst(a[key][3] for _, a in rows))
                               for key in ("between", "velm", "other")}
                    print("| %s | all | %s | - | %s | %s | %s |" % (KIND_LABELS[kind], LABELS[ref],
                                                                   cells(summary["between"]), cells(summary["velm"]),
                                                                   cells(summary["other"])))

    print()
    print("| set | trial | method | median deg | median mm | worst deg | worst mm | fit mm | matched % | not aligned |"
          " far scan | wall s |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for kind, trial, method, s in results:
        if method == "published":
            print("| %s | - | published poses | - | - | - | - | %s | %.1f | - | - | - |" % (
                KIND_LABELS[kind], fmt(s["fit"]["rms"]), 100.0 * s["fit"]["matched"]))
            continue
        print("| %s | %d | %s | %s | %s | %s | %s | %s | %.1f | %d | %s | %.2f |" % (
            KIND_LABELS[kind], trial, LABELS[method], fmt(s["median_deg"]), fmt(s["median_mm"]), fmt(s["worst_deg"]),
            fmt(s["worst_mm"]), fmt(s["fit"]["rms"]), 100.0 * s["fit"]["matched"], s["not_aligned"], s["far"] or "",
            s["wall"]))

    print()
    print("Fit per overlapping pair (FIX-FLOAT): RMS mm (matched %).")
    for kind, *_ in KINDS:
        if kind not in pair_names:
            continue
        print()
        print("| set | trial | method | " + " | ".join(pair_names[kind]) + " |")
        print("|---|---|---|" + "---|" * len(pair_names[kind]))
        for k, trial, method, s in results:
            if k != kind:
                continue
            print("| %s | %s | %s | %s |" % (
                KIND_LABELS[kind], "-" if trial is None else trial, LABELS.get(method, "published poses"),
                " | ".join("%s (%.0f)" % (fmt(p["rms"]), 100.0 * p["matched"]) for p in s["fit"]["pairs"])))

if __name__ == "__main__":
    main()
