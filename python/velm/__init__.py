"""Rigid registration of 3D surface scans that says whether the alignment can be trusted.

The same registration as the command-line tool velm-register, with the same defaults, verdict and
numbers: this package only converts between numpy and the library.

    import velm
    fix = velm.read_point_cloud("data/bun000.ply", units="m")
    floating = velm.read_point_cloud("data/bun045.ply", units="m")
    result = velm.register(fix, floating)
    print(result.verdict)
    print(result.transformation)   # 4 x 4, maps FLOAT onto FIX, metres
"""
import numpy as np

from . import _velm

__all__ = ["PointCloud", "read_point_cloud", "read_scan_set", "Config", "default_config", "register", "Result"]

_UNITS = ("mm", "m")


def _check_units(units):
    if units not in _UNITS:
        raise ValueError("unknown length unit %r (mm or m)" % (units,))
    return units


class PointCloud:
    """The points of one scan: N x 3 positions, optional N x 3 normals and N qualities (confidences:
    taken as they are within [0, 1], else divided by the largest), in `units` ("mm" or "m").

    A float32, C-contiguous points array is used as it is, not copied; any other is converted once.
    A cloud read from a file (read_point_cloud) also keeps the scanner's range image and confidences.
    """

    def __init__(self, points, normals=None, quality=None, units="mm"):
        self._units = _check_units(units)
        self._native = _velm.Cloud(points, normals, quality)

    @classmethod
    def _wrap(cls, native, units):
        cloud = cls.__new__(cls)
        cloud._units = _check_units(units)
        cloud._native = native
        return cloud

    @property
    def points(self):
        return self._native.points

    @property
    def normals(self):
        return self._native.normals

    @property
    def quality(self):
        return self._native.quality

    @property
    def units(self):
        return self._units

    @property
    def has_range_image(self):
        return self._native.has_grid

    def __len__(self):
        return len(self._native)

    def __repr__(self):
        return "velm.PointCloud(%d points, %s%s)" % (len(self), self._units,
                                                   ", range image" if self.has_range_image else "")


def read_point_cloud(path, units="mm"):
    """Reads a PLY or XYZ file; raises OSError with velm-register's message when it cannot."""
    _check_units(units)
    return PointCloud._wrap(_velm.read_point_cloud(str(path)), units)


class Config:
    """Settings of a registration: one attribute per key of `velm-register --print-config`. An attribute
    left None keeps the default the registration derives from the fixed scan."""

    _KEYS = tuple(_velm.config_keys())

    def __init__(self, **values):
        object.__setattr__(self, "_values", dict.fromkeys(self._KEYS))
        for key, value in values.items():
            setattr(self, key, value)

    def __setattr__(self, key, value):
        if key not in self._values:
            raise AttributeError("velm.Config has no setting %r" % (key,))
        if value is not None:
            _velm.check_overrides({key: value})
        self._values[key] = value

    def __getattr__(self, key):
        values = object.__getattribute__(self, "_values")
        if key in values:
            return values[key]
        raise AttributeError("velm.Config has no setting %r" % (key,))

    def to_dict(self):
        """The settings that are set, by key, in the order of --print-config."""
        return {k: v for k, v in self._values.items() if v is not None}

    @classmethod
    def from_dict(cls, values):
        """Raises KeyError for an unknown key, ValueError for a value of the wrong kind or range."""
        values = dict(values)
        _velm.check_overrides(values)
        return cls(**values)

    def __eq__(self, other):
        return isinstance(other, Config) and self._values == other._values

    def __repr__(self):
        return "velm.Config(%s)" % ", ".join("%s=%r" % kv for kv in self.to_dict().items())


def _native_cloud(cloud, units):
    """A PointCloud's native points, or an N x 3 array as native points in `units`; the units of both."""
    if isinstance(cloud, PointCloud):
        return cloud._native, cloud.units
    return _velm.Cloud(cloud, None, None), _check_units(units)


def default_config(fix, units="mm", threads=None):
    """The settings velm-register derives from the fixed scan (its spacing and size), every key set."""
    native, units = _native_cloud(fix, units)
    return Config(**_velm.default_config(native, units, threads))


class Result:
    """What a registration found: the engine's state and failure cause, the verification and its
    verdict, the transformation (4 x 4, maps FLOAT onto FIX, the clouds' units) and the measures,
    as velm-register writes them (to_dict gives exactly that record; a measure without a value is None)."""

    def __init__(self, record):
        self._record = record

    state = property(lambda self: self._record["state"])
    verified = property(lambda self: self._record["verified"])
    # True exactly when velm-register would exit with 0.
    success = property(lambda self: self._record["verified"])
    verdict = property(lambda self: self._record["verdict"])
    failure_cause = property(lambda self: self._record["failure_cause"])
    rmse_mm = property(lambda self: self._record["rmse_mm"])
    iterations = property(lambda self: self._record["iterations"])
    pairs = property(lambda self: self._record["pairs"])
    overlap_quotient = property(lambda self: self._record["overlap_quotient"])
    pair_weights_quotient = property(lambda self: self._record["pair_weights_quotient"])

    @property
    def transformation(self):
        return np.array(self._record["transformation"], dtype=np.float64)

    @property
    def verification(self):
        return [dict(check) for check in self._record["verification"]]

    def to_dict(self):
        import copy
        return copy.deepcopy(self._record)

    def __reduce__(self):
        return (Result, (self.to_dict(),))

    def __repr__(self):
        return "velm.Result(%s, %s)" % (self.state, self.verdict)


def register(fix, floating, init=None, config=None, units="mm", threads=None, view_dir=None, viewpoint=None,
             normal_neighbours=12, estimate_normals=False):
    """Registers FLOAT onto FIX as velm-register does and returns a Result.

    fix, floating: PointClouds (their units must agree) or N x 3 arrays in `units`.
    init: a 4 x 4 start (column vectors: maps FLOAT onto FIX, translation in the last column, the
    clouds' units), or None as velm-register without --init. config: a Config or a dict of overrides.
    threads: None for every core; the result is the same for every count. The GIL is released while
    the scans are prepared and registered.
    """
    fix_native, fix_units = _native_cloud(fix, units)
    flt_native, flt_units = _native_cloud(floating, units)
    if fix_units != flt_units:
        raise ValueError("the scans are in different units (%s and %s)" % (fix_units, flt_units))
    if config is None:
        overrides = {}
    elif isinstance(config, Config):
        overrides = config.to_dict()
    elif isinstance(config, dict):
        overrides = dict(config)
    else:
        raise ValueError("config: a velm.Config or a dict of settings, not %s" % type(config).__name__)
    if init is not None:
        init = np.asarray(init, dtype=np.float64)
    for name, vector in (("view_dir", view_dir), ("viewpoint", viewpoint)):
        if vector is not None and len(vector) != 3:
            raise ValueError("%s: expected 3 numbers, got %d" % (name, len(vector)))
    record = _velm.register(fix_native, flt_native, init, overrides, fix_units, threads,
                            None if view_dir is None else tuple(float(v) for v in view_dir),
                            None if viewpoint is None else tuple(float(v) for v in viewpoint),
                            int(normal_neighbours), bool(estimate_normals))
    return Result(record)


def read_scan_set(path):
    """The scans of a scan set file (lines `bmesh FILE tx ty tz qx qy qz qw`) in order: (FILE as written,
    pose) with the pose a 4 x 4 array in the file's units that maps a point p of the scan, as a column
    vector, to its place in the set's common frame, R(q)^T p + t. A malformed file raises ValueError."""
    try:
        scans = _velm.read_scan_set(path)
    except RuntimeError as e:
        raise ValueError(str(e)) from None
    return [(name, np.array(rows, dtype=float).reshape(4, 4)) for name, rows in scans]
