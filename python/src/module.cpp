// The native half of the Python module `velm`: it converts between numpy and Python values and the
// library's types, and calls velm/Pipeline and velm/IO. Everything a result says comes from the
// pipeline's record; nothing is computed here.

#include "velm/Frame/VelmException.h"
#include "velm/IO/CPointCloudReader.h"
#include "velm/Pipeline/RegisterPair.h"
#include "velm/Pipeline/ScanSetConf.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace
{
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The points of one scan: a cloud read from a file (with its range image and confidences), or arrays
// the caller gave, held as they are when they are float32 and C-contiguous, converted once otherwise.
class CCloud
{
public:
    explicit CCloud(IO::SPointCloud cloud) : m_cloud(std::move(cloud)) { m_count = m_cloud.GetCount(); }

    CCloud(FloatArray points, std::optional<FloatArray> normals, std::optional<FloatArray> quality)
        : m_points(std::move(points)), m_normals(std::move(normals)), m_quality(std::move(quality))
    {
        if (m_points->ndim() != 2 || m_points->shape(1) != 3)
            throw std::invalid_argument("points: expected an N x 3 array, got shape " + Shape(*m_points));
        m_count = static_cast<size_t>(m_points->shape(0));
        CheckFinite(*m_points, "points");
        if (m_normals)
        {
            if (m_normals->ndim() != 2 || m_normals->shape(1) != 3 ||
                static_cast<size_t>(m_normals->shape(0)) != m_count)
                throw std::invalid_argument("normals: expected an N x 3 array like the points, got shape " +
                                            Shape(*m_normals));
            CheckFinite(*m_normals, "normals");
        }
        if (m_quality)
        {
            if (m_quality->ndim() != 1 || static_cast<size_t>(m_quality->shape(0)) != m_count)
                throw std::invalid_argument("quality: expected N values, one a point, got shape " + Shape(*m_quality));
            CheckFinite(*m_quality, "quality");
        }
    }

    size_t Count() const { return m_count; }

    Base::SPointsView View() const
    {
        if (!m_points)
            return Base::SPointsView::Of(m_cloud);
        Base::SPointsView view;
        view.pPositions = reinterpret_cast<const CbVector3f*>(m_points->data());
        view.uiCount = m_count;
        view.pNormals = m_normals ? reinterpret_cast<const CbVector3f*>(m_normals->data()) : nullptr;
        view.pConfidence = m_quality ? m_quality->data() : nullptr;
        return view;
    }

    // The parts as numpy arrays over the cloud's own memory (no copy); None where a part is absent.
    static py::object Points(py::object self)
    {
        const CCloud& c = self.cast<const CCloud&>();
        if (c.m_points)
            return *c.m_points;
        return Rows(self, c.m_cloud.vecPositions);
    }
    static py::object Normals(py::object self)
    {
        const CCloud& c = self.cast<const CCloud&>();
        if (c.m_points)
            return c.m_normals ? py::object(*c.m_normals) : py::none();
        return c.m_cloud.HasNormals() ? Rows(self, c.m_cloud.vecNormals) : py::none();
    }
    static py::object Quality(py::object self)
    {
        const CCloud& c = self.cast<const CCloud&>();
        if (c.m_points)
            return c.m_quality ? py::object(*c.m_quality) : py::none();
        if (!c.m_cloud.HasConfidence())
            return py::none();
        return FloatArray({static_cast<py::ssize_t>(c.m_count)}, {static_cast<py::ssize_t>(sizeof(float))},
                          c.m_cloud.vecConfidence.data(), self);
    }
    bool HasGrid() const { return !m_points && m_cloud.HasGrid(); }

private:
    static std::string Shape(const py::array& a)
    {
        std::string s = "(";
        for (py::ssize_t i = 0; i < a.ndim(); ++i)
            s += (i ? ", " : "") + std::to_string(a.shape(i));
        return s + (a.ndim() == 1 ? ",)" : ")");
    }
    static void CheckFinite(const FloatArray& a, const char* what)
    {
        const float* v = a.data();
        for (py::ssize_t i = 0; i < a.size(); ++i)
            if (!std::isfinite(v[i]))
                throw std::invalid_argument(std::string(what) + ": value " + std::to_string(i) + " is not finite");
    }
    static py::object Rows(py::object self, const std::vector<CbVector3f>& v)
    {
        return FloatArray({static_cast<py::ssize_t>(v.size()), py::ssize_t(3)},
                          {static_cast<py::ssize_t>(sizeof(CbVector3f)), static_cast<py::ssize_t>(sizeof(float))},
                          reinterpret_cast<const float*>(v.data()), self);
    }

    IO::SPointCloud m_cloud;
    std::optional<FloatArray> m_points; // given arrays; absent for a cloud read from a file
    std::optional<FloatArray> m_normals;
    std::optional<FloatArray> m_quality;
    size_t m_count = 0;
};

py::object ToPython(const Pipeline::CRecord& r)
{
    using K = Pipeline::CRecord::EKind;
    switch (r.GetKind())
    {
    case K::Null: return py::none();
    case K::Bool: return py::bool_(r.AsBool());
    case K::Int: return py::int_(r.AsInt());
    case K::UInt: return py::int_(r.AsUInt());
    // A single-precision value becomes the number its shortest digits read as, the number a JSON
    // reader of the tool's record gets.
    case K::Float: return py::float_(std::stod(r.ToJson()));
    case K::Double: return py::float_(r.AsDouble());
    case K::Text: return py::str(r.AsText());
    case K::List:
    {
        py::list list;
        for (const Pipeline::CRecord& e : r.GetElements())
            list.append(ToPython(e));
        return list;
    }
    case K::Map:
    {
        py::dict dict;
        for (const auto& [key, value] : r.GetItems())
            dict[py::str(key)] = ToPython(value);
        return dict;
    }
    }
    return py::none();
}

Pipeline::CRecord FromPython(py::handle v, const std::string& key)
{
    if (v.is_none())
        return Pipeline::CRecord();
    if (py::isinstance<py::bool_>(v))
        return Pipeline::CRecord(v.cast<bool>());
    if (py::isinstance<py::int_>(v))
    {
        // Integers beyond 64 bits are out of every setting's range; say so in the setting's words.
        try
        {
            return Pipeline::CRecord(v.cast<long long>());
        }
        catch (const py::cast_error&)
        {
            return Pipeline::CRecord(v.cast<double>());
        }
    }
    if (py::isinstance<py::float_>(v))
        return Pipeline::CRecord(v.cast<double>());
    if (py::isinstance<py::str>(v))
        return Pipeline::CRecord(v.cast<std::string>());
    throw std::invalid_argument("configuration key '" + key + "': expected a number, got " +
                                py::str(py::repr(v)).cast<std::string>());
}

Pipeline::CRecord Overrides(const py::dict& config)
{
    Pipeline::CRecord map = Pipeline::CRecord::Map();
    for (const auto& [key, value] : config)
    {
        const std::string name = py::str(key).cast<std::string>();
        map.Set(name, FromPython(value, name));
    }
    return map;
}

Pipeline::SScanOptions ScanOptions(const std::string& units, std::optional<std::array<float, 3>> viewDir,
                                   std::optional<std::array<float, 3>> viewpoint, uint32_t normalNeighbours,
                                   bool estimateNormals)
{
    Pipeline::SScanOptions options;
    Pipeline::UnitScale(units);
    options.strUnits = units;
    if (normalNeighbours < 3 || normalNeighbours > 1000)
        throw std::invalid_argument("normal_neighbours: " + std::to_string(normalNeighbours) + " is outside 3 to 1000");
    options.surfels.uiNormalNeighbours = normalNeighbours;
    options.surfels.bUseFileNormals = !estimateNormals;
    if (viewDir)
        options.surfels.vViewDirection = CbVector3f((*viewDir)[0], (*viewDir)[1], (*viewDir)[2]);
    if (viewpoint)
    {
        options.surfels.bUseViewpoint = true;
        options.surfels.vViewpoint = CbVector3f((*viewpoint)[0], (*viewpoint)[1], (*viewpoint)[2]);
    }
    return options;
}

std::shared_ptr<CThreadPool> Threads(std::optional<uint32_t> threads)
{
    if (threads && *threads == 0)
        throw std::invalid_argument("threads: at least 1, or None for every core");
    return std::make_shared<CThreadPool>(threads ? *threads : CThreadPool::HardwareThreads());
}

py::dict DefaultConfig(const CCloud& fix, const std::string& units, std::optional<uint32_t> threads)
{
    const Pipeline::SScanOptions options = ScanOptions(units, std::nullopt, std::nullopt, 12, false);
    const auto pool = Threads(threads);
    Pipeline::CRecord config;
    {
        py::gil_scoped_release release;
        const auto scan = Pipeline::PrepareScan(fix.View(), options, "fix", pool.get());
        config = Pipeline::ConfigToRecord(Pipeline::DefaultConfig(*scan));
    }
    return ToPython(config).cast<py::dict>();
}

// Checks overrides as a registration would, against any defaults (the checks depend on the values only).
void CheckOverrides(const py::dict& overrides)
{
    Pipeline::SRegistrationConfig config = Pipeline::DefaultConfig(1.0, 100.0);
    Pipeline::ApplyConfigOverrides(Overrides(overrides), config);
    Pipeline::CheckConfig(config);
}

py::dict Register(const CCloud& fix, const CCloud& flt, std::optional<DoubleArray> init, const py::dict& overrides,
                  const std::string& units, std::optional<uint32_t> threads,
                  std::optional<std::array<float, 3>> viewDir, std::optional<std::array<float, 3>> viewpoint,
                  uint32_t normalNeighbours, bool estimateNormals)
{
    const Pipeline::SScanOptions scanOptions =
        ScanOptions(units, viewDir, viewpoint, normalNeighbours, estimateNormals);
    Pipeline::SRegisterOptions options;
    // Without a start the tool searches for one; so do the bindings.
    options.eStart = init ? Pipeline::EStartMethod::Given : Pipeline::EStartMethod::Global;
    if (init)
    {
        if (init->ndim() != 2 || init->shape(0) != 4 || init->shape(1) != 4)
            throw std::invalid_argument("init: expected a 4 x 4 array");
        options.mStart = Pipeline::RigidFromUsualRows(init->data(), "init");
    }
    const Pipeline::CRecord changes = Overrides(overrides);
    options.spThreads = Threads(threads);
    Pipeline::CRecord record;
    {
        py::gil_scoped_release release;
        const auto scans =
            Pipeline::PrepareScans({fix.View(), flt.View()}, {"fix", "floating"}, scanOptions, options.spThreads.get());
        options.config = Pipeline::DefaultConfig(*scans[0]);
        Pipeline::ApplyConfigOverrides(changes, *options.config);
        Pipeline::CheckConfig(*options.config);
        record = Pipeline::RegisterPair(*scans[0], *scans[1], options).ToRecord();
    }
    return ToPython(record).cast<py::dict>();
}
} // namespace

PYBIND11_MODULE(_velm, m)
{
    m.doc() = "The native half of velm: conversions and calls into the library.";

    // The library's faults in Python's words: an unknown configuration key is a KeyError, every other
    // bad value a ValueError (pybind11 turns std::invalid_argument into one); file faults are turned
    // into OSError where files are read.
    py::register_exception_translator([](std::exception_ptr p) {
        try
        {
            if (p)
                std::rethrow_exception(p);
        }
        catch (const Pipeline::CUnknownKeyError& e)
        {
            PyErr_SetString(PyExc_KeyError, e.what());
        }
        catch (const VelmException& e)
        {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    py::class_<CCloud>(m, "Cloud")
        .def(py::init<FloatArray, std::optional<FloatArray>, std::optional<FloatArray>>(), py::arg("points"),
             py::arg("normals") = py::none(), py::arg("quality") = py::none())
        .def("__len__", &CCloud::Count)
        .def_property_readonly("points", &CCloud::Points)
        .def_property_readonly("normals", &CCloud::Normals)
        .def_property_readonly("quality", &CCloud::Quality)
        .def_property_readonly("has_grid", &CCloud::HasGrid);

    m.def(
        "read_point_cloud",
        [](const std::string& path) {
            try
            {
                py::gil_scoped_release release;
                return std::make_unique<CCloud>(IO::CPointCloudReader::Read(path));
            }
            catch (const VelmException& e)
            {
                // The GIL is back: the release ended with the try block.
                PyErr_SetString(PyExc_OSError, e.what());
                throw py::error_already_set();
            }
        },
        py::arg("path"));
    // The scans of a set file in order: FILE as written and its pose in the usual layout, row by row,
    // in the file's units.
    m.def(
        "read_scan_set",
        [](const std::string& path) {
            std::vector<std::pair<std::string, std::array<double, 16>>> scans;
            const Pipeline::SScanSet set = Pipeline::ReadScanSet(path);
            for (const Pipeline::SConfLine* line : set.Scans())
            {
                const CbMatrix4Rd pose = Pipeline::PoseOfLine(*line, 1.0);
                std::array<double, 16> rows{};
                for (int r = 0; r < 4; ++r)
                    for (int c = 0; c < 4; ++c)
                        rows[4 * r + c] = pose.Usual(r, c);
                scans.emplace_back(line->strFile, rows);
            }
            return scans;
        },
        py::arg("path"));
    m.def("config_keys", &Pipeline::ConfigKeys);
    m.def("check_overrides", &CheckOverrides, py::arg("overrides"));
    m.def("default_config", &DefaultConfig, py::arg("fix"), py::arg("units"), py::arg("threads"));
    m.def("register", &Register, py::arg("fix"), py::arg("floating"), py::arg("init"), py::arg("overrides"),
          py::arg("units"), py::arg("threads"), py::arg("view_dir"), py::arg("viewpoint"), py::arg("normal_neighbours"),
          py::arg("estimate_normals"));
}
