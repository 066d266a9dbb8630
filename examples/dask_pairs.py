"""Registers several pairs of scans as Dask tasks: the path for scan sets that outgrow one machine.

Each task reads its two files and registers them on one thread; Dask's local scheduler runs the tasks
in parallel (here in processes: results cross them by pickling). A distributed scheduler runs the same
graph on a cluster.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/dask_pairs.py data
"""
import sys

import dask

import velm


@dask.delayed
def register_pair(fix_path, floating_path, init=None):
    fix = velm.read_point_cloud(fix_path, units="m")
    floating = velm.read_point_cloud(floating_path, units="m")
    return velm.register(fix, floating, init=init, threads=1)


def register_pairs(pairs, scheduler="processes"):
    """pairs: (fix path, floating path, start or None); returns the Results in the same order."""
    tasks = [register_pair(fix, floating, init) for fix, floating, init in pairs]
    return list(dask.compute(*tasks, scheduler=scheduler))


if __name__ == "__main__":
    data = sys.argv[1] if len(sys.argv) > 1 else "data"
    # Neighbouring views, 45 degrees apart: the coarse stage finds them without a start.
    pairs = [(data + "/bun000.ply", data + "/bun045.ply", None), (data + "/bun000.ply", data + "/bun315.ply", None),
             (data + "/bun315.ply", data + "/bun270.ply", None)]
    for (fix, floating, _), result in zip(pairs, register_pairs(pairs)):
        print("%s onto %s: %s" % (floating, fix, result.verdict))
