"""The Python module gives what velm-register gives, takes arrays without copying them, and fails with
the tool's messages."""
import json
import os
import pickle
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import velm

SOURCE = os.environ.get("VELM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
DATA = os.path.join(SOURCE, "data")
TOOL = os.environ.get("VELM_REGISTER_TOOL")


def read(name):
    return velm.read_point_cloud(os.path.join(DATA, name + ".ply"), units="m")


def turned(degrees, axis, shift_m):
    """A motion about the bunny's middle: turn by `degrees` about `axis`, then shift (metres)."""
    a = np.radians(degrees)
    n = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -n[2], n[1]], [n[2], 0, -n[0]], [-n[1], n[0], 0]])
    m = np.eye(4)
    m[:3, :3] = np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * k @ k
    centre = np.array([-0.02, 0.1, 0.0])
    m[:3, 3] = centre + np.asarray(shift_m) - m[:3, :3] @ centre
    return m


@pytest.fixture(scope="module")
def bunny():
    return read("bun000"), read("bun045")


def run_tool(tmp_path, *args):
    out = tmp_path / "result.json"
    proc = subprocess.run([TOOL, os.path.join(DATA, "bun000.ply"), os.path.join(DATA, "bun045.ply"), "--units", "m",
                           "--output", str(out)] + list(args), capture_output=True, text=True)
    return proc.returncode, json.loads(out.read_text())


@pytest.mark.skipif(not TOOL, reason="needs VELM_REGISTER_TOOL, the built velm-register")
def test_the_same_result_as_the_tool(bunny, tmp_path):
    fix, floating = bunny
    # Without a start both search for one, and land in the same place.
    searched = run_tool(tmp_path)[1]
    found = velm.register(fix, floating, threads=2)
    assert found.success and found.to_dict()["start"] == {**searched["start"], "seconds": found.to_dict()["start"]["seconds"]}
    np.testing.assert_allclose(found.transformation, np.array(searched["transformation"]), rtol=0, atol=1e-9)
    # A start 8 degrees and 6 mm off where the tool lands without one.
    start = turned(8.0, (0.3, 1.0, 0.2), (0.004, -0.002, 0.004)) @ np.array(searched["transformation"])
    code, tool = run_tool(tmp_path, "--init", " ".join("%.17g" % v for v in start.flatten()))
    result = velm.register(fix, floating, init=start, threads=2)
    assert code == (0 if result.success else 2)
    assert result.state == tool["state"] and result.verdict == tool["verdict"] and result.verified == tool["verified"]
    np.testing.assert_allclose(result.transformation, np.array(tool["transformation"]), rtol=0, atol=1e-9)
    mine = result.to_dict()
    for record in (mine, tool):
        del record["timings_s"]
        for stage in record["stages"]:
            del stage["seconds"]
    assert mine == tool
    assert result.success and result.rmse_mm < 0.2 and result.iterations == tool["iterations"]
    assert [c["name"] for c in result.verification] == ["residual_ratio", "normal_agreement", "constraint", "free_space"]


def test_arrays_are_used_as_they_are_and_results_pickle(bunny):
    fix, floating = bunny
    # The points of a file are viewed, not copied; float32 C-contiguous arrays are held as they are.
    assert fix.points.dtype == np.float32 and fix.points.shape == (len(fix), 3) and fix.has_range_image
    assert fix.normals is None and fix.quality is None and fix.units == "m"
    points = np.array(fix.points, dtype=np.float32) * 1000.0
    cloud = velm.PointCloud(points)
    assert np.shares_memory(cloud.points, points) and not cloud.has_range_image
    wide = points.astype(np.float64)
    converted = velm.PointCloud(wide)
    assert converted.points.dtype == np.float32 and not np.shares_memory(converted.points, wide)
    # Arrays in millimetres give the same registration as the file in metres, but for the range image
    # (the free-space check does not apply without it).
    result = velm.register(points, np.array(floating.points, dtype=np.float32) * 1000.0, threads=1)
    assert result.success
    assert [c["applicable"] for c in result.verification] == [True, True, True, False]
    np.testing.assert_allclose(result.transformation[:3, 3] / 1000.0,
                               velm.register(fix, floating, threads=1).transformation[:3, 3], atol=2e-4)
    again = pickle.loads(pickle.dumps(result))
    assert again.to_dict() == result.to_dict() and again.verdict == result.verdict


def test_configuration_keys_defaults_and_overrides(bunny):
    fix, floating = bunny
    config = velm.default_config(fix)
    printed = json.loads(subprocess.run([TOOL, os.path.join(DATA, "bun000.ply"), "--units", "m", "--print-config"],
                                        capture_output=True, text=True).stdout) if TOOL else None
    assert list(config.to_dict()) == list(velm.Config._KEYS)
    if printed:
        assert config.to_dict() == printed
    assert velm.Config.from_dict(config.to_dict()) == config
    with pytest.raises(KeyError, match="fSamplingDenstiy"):
        velm.Config.from_dict({"fSamplingDenstiy": 1})
    with pytest.raises(ValueError, match="iMaxIterations': expected an integer, got 2.5"):
        velm.Config.from_dict({"iMaxIterations": 2.5})
    with pytest.raises(ValueError, match="verify_max_free_space_share"):
        velm.Config(verify_max_free_space_share=2.0)
    with pytest.raises(AttributeError):
        velm.Config().noSuchSetting = 1
    # An iteration limit of 1 cannot converge: the engine's state stands, the result is not verified.
    limited = velm.register(fix, floating, config={"iMaxIterations": 1}, threads=1)
    assert limited.state == "NotConverged" and not limited.success
    assert limited.failure_cause.startswith(" uiIterations=1 (1)")
    assert velm.register(fix, floating, config=velm.Config(iMaxIterations=1), threads=1).to_dict()["state"] == \
        "NotConverged"


def test_bad_input_raises_with_the_tools_messages(bunny, tmp_path):
    fix, floating = bunny
    with pytest.raises(OSError, match="cannot open for reading"):
        velm.read_point_cloud(tmp_path / "none.ply")
    (tmp_path / "bad.ply").write_text("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\n1\n")
    with pytest.raises(OSError, match="the vertex element has no 'y' property"):
        velm.read_point_cloud(tmp_path / "bad.ply")
    with pytest.raises(ValueError, match="expected an N x 3 array"):
        velm.PointCloud(np.zeros((5, 2)))
    with pytest.raises(ValueError, match="points: value 4 is not finite"):
        velm.PointCloud(np.array([[0, 0, 0], [1, np.nan, 0]], dtype=np.float32))
    with pytest.raises(ValueError, match="normals: expected an N x 3 array like the points"):
        velm.PointCloud(np.zeros((4, 3)), normals=np.zeros((3, 3)))
    with pytest.raises(ValueError, match="a scan needs at least 3 points, it has 2"):
        velm.register(np.zeros((2, 3)), fix.points, units="m")
    with pytest.raises(ValueError, match="different units"):
        velm.register(fix, velm.PointCloud(floating.points, units="mm"))
    with pytest.raises(ValueError, match="unknown length unit"):
        velm.PointCloud(fix.points, units="km")
    with pytest.raises(ValueError, match="init: the upper left 3x3 part is not a rotation"):
        velm.register(fix, floating, init=np.diag([2.0, 1.0, 1.0, 1.0]))
    with pytest.raises(ValueError, match="init: expected a 4 x 4 array"):
        velm.register(fix, floating, init=np.eye(3))
    with pytest.raises(KeyError, match="coarse_stpes"):
        velm.register(fix, floating, config={"coarse_stpes": 2})
    with pytest.raises(ValueError, match="threads"):
        velm.register(fix, floating, threads=0)


def test_other_threads_run_while_one_registers(bunny):
    fix, floating = bunny
    done = threading.Event()
    results = []

    def work():
        results.append(velm.register(fix, floating, threads=1))
        done.set()

    worker = threading.Thread(target=work)
    ticks = 0
    started = time.perf_counter()
    worker.start()
    while not done.is_set():
        ticks += 1
        time.sleep(0.001)
    worker.join()
    elapsed = time.perf_counter() - started
    # This thread kept waking up while the other was inside register (holding the GIL there would
    # leave it a tick or two); a tenth of the possible ticks leaves room for a busy machine.
    assert results[0].success
    assert ticks > max(10, 0.1 * elapsed / 0.001), (ticks, elapsed)


def test_the_dask_example_registers_several_pairs():
    sys.path.insert(0, os.path.join(SOURCE, "examples"))
    try:
        import dask_pairs
    finally:
        sys.path.pop(0)
    pairs = [(os.path.join(DATA, "bun000.ply"), os.path.join(DATA, "bun045.ply"), None),
             (os.path.join(DATA, "bun000.ply"), os.path.join(DATA, "bun315.ply"), None)]
    results = dask_pairs.register_pairs(pairs, scheduler="processes")
    assert [r.success for r in results] == [True, True]
    assert results[0].to_dict()["transformation"] == velm.register(read("bun000"), read("bun045"),
                                                                   threads=1).to_dict()["transformation"]


def test_scan_set_files_are_read_by_the_library(tmp_path):
    scans = velm.read_scan_set(os.path.join(DATA, "bun.conf"))
    assert [name for name, _ in scans] == ["bun%03d.ply" % a for a in (0, 45, 90, 180, 270, 315)]
    # bun045's line: a point p of the scan lies at R(q)^T p + t, the translation in the file's metres.
    line = open(os.path.join(DATA, "bun.conf")).read().split("bun045.ply")[1].split()[:7]
    (tx, ty, tz, qx, qy, qz, qw) = map(float, line)
    (qx, qy, qz, qw) = np.array([qx, qy, qz, qw]) / np.linalg.norm([qx, qy, qz, qw])
    r = np.array([[1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)],
                  [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)],
                  [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)]])
    np.testing.assert_allclose(scans[1][1][:3, :3], r.T, atol=1e-9)
    np.testing.assert_allclose(scans[1][1][:3, 3], [tx, ty, tz], atol=1e-15)
    np.testing.assert_array_equal(scans[1][1][3], [0, 0, 0, 1])
    bad = tmp_path / "bad.conf"
    bad.write_text("bmesh a.ply 0 0 0 0 0 0 1\nmesh b 0 0 0 0 0 0 1\n")
    with pytest.raises(ValueError, match="line 2: unknown keyword 'mesh'"):
        velm.read_scan_set(str(bad))
