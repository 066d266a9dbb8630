"""Open3D's registration as the benchmarks run it beside velm-register: normals from the 12 nearest
neighbours turned towards +z (the scanner), then point-to-plane ICP coarse to fine, with a 10 mm and then
a 2 mm correspondence distance, up to 50 iterations each. Import after OMP_NUM_THREADS is set."""
import time

import numpy as np


def register(o3d, fix_path, flt_path, start, millimetres_per_unit):
    """Returns the times of loading, normals and ICP (seconds), the transformation and the fitness at 2 mm."""
    t0 = time.perf_counter()
    target = o3d.io.read_point_cloud(fix_path)
    source = o3d.io.read_point_cloud(flt_path)
    t1 = time.perf_counter()
    for cloud in (target, source):
        cloud.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(knn=12))
        cloud.orient_normals_to_align_with_direction([0.0, 0.0, 1.0])
    t2 = time.perf_counter()
    m, fitness = start, 0.0
    for distance in (10.0, 2.0):
        reg = o3d.pipelines.registration.registration_icp(
            source, target, distance / millimetres_per_unit, m,
            o3d.pipelines.registration.TransformationEstimationPointToPlane(),
            o3d.pipelines.registration.ICPConvergenceCriteria(max_iteration=50))
        m, fitness = reg.transformation, reg.fitness
    t3 = time.perf_counter()
    return {"load": t1 - t0, "normals": t2 - t1, "icp": t3 - t2, "matrix": np.asarray(m), "fitness": fitness}
