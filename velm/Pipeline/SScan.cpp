#include "velm/Pipeline/SScan.h"

#include "velm/Base/SurfelData/PrincipalAxes.h"
#include "velm/IO/CPointCloudReader.h"
#include "velm/Pipeline/Motion.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <stdexcept>
#include <vector>

namespace Pipeline
{
namespace
{
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Neighbours of a plane fit and how many points the noise is judged on: enough for a stable median,
// few enough to cost a few milliseconds.
constexpr uint32_t kNoiseNeighbours = 12;
constexpr size_t kNoiseSamples = 2000;

// The scan's noise: over samples spread across the surface (the collection's sample order), the
// median RMS distance of a point's nearest neighbours from their best plane. The median keeps edges
// and creases, where no plane fits, from counting.
// residuals: the plane residual of every point over its kNoiseNeighbours nearest, as normal
// estimation found them (empty: none, they are computed here).
double MeasureNoise(const Base::CSurfelCollection& collection, const std::vector<CbVector3f>& positions,
                    const std::vector<double>& residuals)
{
    const auto derived = collection.GetDerivedData();
    const Base::IKdTree3D& tree = derived->GetKdTree();
    const std::vector<uint32_t>& order = derived->GetSampleOrder();
    const size_t samples = std::min(kNoiseSamples, positions.size());
    std::vector<double> rms;
    rms.reserve(samples);
    std::vector<Base::SKdTreeNeighbour> neighbours;
    std::vector<CbVector3d> offsets;
    for (size_t k = 0; k < samples; ++k)
    {
        if (!residuals.empty())
        {
            if (!std::isnan(residuals[order[k]]))
                rms.push_back(residuals[order[k]]);
            continue;
        }
        const CbVector3f& p = positions[order[k]];
        neighbours.clear();
        tree.FindKNearest(neighbours, p, kNoiseNeighbours, FLT_MAX);
        if (neighbours.size() < 4)
            continue;
        offsets.clear();
        for (const Base::SKdTreeNeighbour& n : neighbours)
            offsets.push_back(CbVector3d(positions[n.uiIndex]) - CbVector3d(p));
        rms.push_back(Base::PlaneResidual(Base::PrincipalAxes(offsets.data(), offsets.size(), Base::EAxes::Least)));
    }
    if (rms.empty())
        return 0.0;
    const auto mid = rms.begin() + static_cast<std::ptrdiff_t>(rms.size() / 2);
    std::nth_element(rms.begin(), mid, rms.end());
    return *mid;
}

CbVector3d Centroid(const CbVector3f* positions, size_t count)
{
    CbVector3d sum;
    for (size_t i = 0; i < count; ++i)
        sum += CbVector3d(positions[i]);
    return sum * (1.0 / static_cast<double>(count));
}
} // namespace

double UnitScale(const std::string& units)
{
    if (units == "mm")
        return 1.0;
    if (units == "m")
        return 1000.0;
    throw std::invalid_argument("unknown length unit '" + units + "' (mm or m)");
}

const std::vector<CbVector3f>& SScan::Positions() const
{
    return *spKdTree->GetPositions();
}

IO::SPointCloud SScan::Moved(const CbMatrix4Rd& transformation) const
{
    IO::SPointCloud moved = cloud;
    const std::vector<CbVector3f>& positions = Positions();
    moved.vecPositions.resize(positions.size());
    moved.vecNormals.resize(positions.size());
    for (size_t i = 0; i < positions.size(); ++i)
    {
        const CbVector3d p = CbVector3d(positions[i]) * (1.0 / dScale);
        moved.vecPositions[i] = CbVector3f(transformation.TransformPoint(p));
        moved.vecNormals[i] = CbVector3f(RotateDirection(transformation, CbVector3d(surfels.vecNormals[i])));
    }
    moved.vecSkippedHeaderKeywords.clear();
    return moved;
}

const CViewGrid* SScan::ViewGrid() const
{
    std::call_once(m_viewOnce, [this] {
        if (!cloud.HasGrid())
            return;
        // Any two unit vectors that complete the view direction to an orthonormal frame.
        const CbVector3d& w = vViewDirection;
        const CbVector3d helper = std::fabs(w.x) < 0.9 ? CbVector3d(1, 0, 0) : CbVector3d(0, 1, 0);
        m_vViewAxisU = helper.Cross(w) * (1.0 / helper.Cross(w).Length());
        m_vViewAxisV = w.Cross(m_vViewAxisU);
        std::vector<CbVector3f> projected;
        projected.reserve(GetCount());
        for (const CbVector3f& p : Positions())
            projected.emplace_back(static_cast<float>(CbVector3d(p).Dot(m_vViewAxisU)),
                                   static_cast<float>(CbVector3d(p).Dot(m_vViewAxisV)), 0.0f);
        m_spViewGrid = std::make_shared<const CViewGrid>(std::move(projected), dSpacing);
    });
    return m_spViewGrid.get();
}

const CbVector3d& SScan::ViewAxisU() const
{
    ViewGrid();
    return m_vViewAxisU;
}

const CbVector3d& SScan::ViewAxisV() const
{
    ViewGrid();
    return m_vViewAxisV;
}

std::shared_ptr<const SScan> PrepareScan(const Base::SPointsView& points, const SScanOptions& options, std::string name,
                                         CThreadPool* pool)
{
    const auto t0 = Clock::now();
    auto scan = std::make_shared<SScan>();
    scan->strName = std::move(name);
    scan->strUnits = options.strUnits;
    scan->dScale = UnitScale(options.strUnits);
    if (points.uiCount < 3)
        throw std::invalid_argument(scan->strName + ": a scan needs at least 3 points, it has " +
                                    std::to_string(points.uiCount));
    Base::SSurfelsFromPointsOptions surfelOptions = options.surfels;
    surfelOptions.fScale = static_cast<float>(scan->dScale);
    // The free-space test looks along one direction; towards a viewpoint it takes the direction
    // from the scan's middle.
    const CbVector3d view = surfelOptions.bUseViewpoint
                                ? CbVector3d(surfelOptions.vViewpoint) - Centroid(points.pPositions, points.uiCount)
                                : CbVector3d(surfelOptions.vViewDirection);
    const double length = view.Length();
    if (!(length > 0.0 && std::isfinite(length)))
        throw std::invalid_argument(scan->strName + (surfelOptions.bUseViewpoint
                                                         ? ": the viewpoint lies in the middle of the scan"
                                                         : ": the view direction must be a finite, non-zero vector"));
    scan->vViewDirection = view * (1.0 / length);

    Base::SSurfelScan surfels = Base::SurfelScanFromPoints(points, surfelOptions, pool);
    scan->dSpacing = surfels.dSpacing;
    if (!(scan->dSpacing > 0.0))
        throw std::invalid_argument(scan->strName + ": the points have no spacing (most coincide)");
    // What the scan keeps of its points besides the surfels: the range image and the confidences.
    if (points.pGrid)
    {
        scan->cloud.uiGridRows = points.uiGridRows;
        scan->cloud.uiGridCols = points.uiGridCols;
        scan->cloud.vecGrid.assign(points.pGrid,
                                   points.pGrid + static_cast<size_t>(points.uiGridRows) * points.uiGridCols);
    }
    if (points.pConfidence)
        scan->cloud.vecConfidence.assign(points.pConfidence, points.pConfidence + points.uiCount);
    scan->spKdTree = surfels.spTree;
    scan->surfels = surfels.data;
    scan->spCollection = std::make_shared<const Base::CSurfelCollection>(std::move(surfels.data), surfels.spTree, pool);
    // Normal estimation has fitted the same planes when it took as many neighbours.
    const bool fitted = surfelOptions.uiNormalNeighbours == kNoiseNeighbours &&
                        surfels.vecPlaneResiduals.size() == scan->Positions().size();
    scan->dNoise = MeasureNoise(*scan->spCollection, scan->Positions(),
                                fitted ? surfels.vecPlaneResiduals : std::vector<double>());
    scan->dSurfelSeconds = Seconds(t0, Clock::now());
    return scan;
}

std::shared_ptr<const SScan> PrepareScan(IO::SPointCloud cloud, const SScanOptions& options, std::string name,
                                         CThreadPool* pool)
{
    if ((cloud.HasNormals() && cloud.vecNormals.size() != cloud.GetCount()) ||
        (cloud.HasConfidence() && cloud.vecConfidence.size() != cloud.GetCount()) ||
        (cloud.HasGrid() && cloud.vecGrid.size() != static_cast<size_t>(cloud.uiGridRows) * cloud.uiGridCols))
        throw std::invalid_argument(name + ": the normals, confidences or range image do not match the points");
    auto scan = PrepareScan(Base::SPointsView::Of(cloud), options, std::move(name), pool);
    std::const_pointer_cast<SScan>(scan)->cloud.vecSkippedHeaderKeywords = std::move(cloud.vecSkippedHeaderKeywords);
    return scan;
}

std::shared_ptr<const SScan> LoadScan(const std::string& file, const SScanOptions& options, CThreadPool* pool)
{
    UnitScale(options.strUnits); // an unknown unit should not cost the loading of a file
    const auto t0 = Clock::now();
    IO::SPointCloud cloud = IO::CPointCloudReader::Read(file);
    const double loadSeconds = Seconds(t0, Clock::now());
    auto scan = PrepareScan(std::move(cloud), options, "file '" + file + "'", pool);
    std::const_pointer_cast<SScan>(scan)->dLoadSeconds = loadSeconds;
    return scan;
}

namespace
{
// Runs step(i, pool for the step) for every index: one a thread of the pool while there are threads
// (each step then runs alone on its thread), else one after the other with the whole pool. A step
// that throws keeps its fault; the fault of the first index is thrown once all have ended.
void ForEachScan(size_t n, CThreadPool* pool, std::vector<std::exception_ptr>& faults,
                 const std::function<void(size_t, CThreadPool*)>& step)
{
    const auto guarded = [&](size_t i, CThreadPool* inner) {
        if (faults[i])
            return;
        try
        {
            step(i, inner);
        }
        catch (...)
        {
            faults[i] = std::current_exception();
        }
    };
    // Scans of one size keep as many threads busy as there are scans; with threads to spare, each
    // scan gets them all in turn.
    if (pool && pool->GetThreadCount() > 1 && pool->GetThreadCount() <= n)
        pool->ParallelFor(n, 1, [&](size_t begin, size_t end, uint32_t) {
            for (size_t i = begin; i < end; ++i)
                guarded(i, nullptr);
        });
    else
        for (size_t i = 0; i < n; ++i)
            guarded(i, pool);
}

void ThrowFirst(const std::vector<std::exception_ptr>& faults)
{
    for (const std::exception_ptr& fault : faults)
        if (fault)
            std::rethrow_exception(fault);
}
} // namespace

std::vector<std::shared_ptr<const SScan>> PrepareScans(const std::vector<Base::SPointsView>& points,
                                                       const std::vector<std::string>& names,
                                                       const SScanOptions& options, CThreadPool* pool)
{
    if (names.size() != points.size())
        throw std::invalid_argument("PrepareScans: " + std::to_string(points.size()) + " scans, but " +
                                    std::to_string(names.size()) + " names");
    std::vector<std::shared_ptr<const SScan>> scans(points.size());
    std::vector<std::exception_ptr> faults(points.size());
    ForEachScan(points.size(), pool, faults,
                [&](size_t i, CThreadPool* inner) { scans[i] = PrepareScan(points[i], options, names[i], inner); });
    ThrowFirst(faults);
    return scans;
}

std::vector<std::shared_ptr<const SScan>> LoadScans(const std::vector<std::string>& files, const SScanOptions& options,
                                                    CThreadPool* pool, SLoadTimes* times)
{
    UnitScale(options.strUnits); // an unknown unit should not cost the loading of a file
    const size_t n = files.size();
    std::vector<IO::SPointCloud> clouds(n);
    std::vector<double> readSeconds(n, 0.0);
    std::vector<std::exception_ptr> faults(n);
    // All files are read before any is prepared, so that each phase can be timed on its own.
    const auto t0 = Clock::now();
    ForEachScan(n, pool, faults, [&](size_t i, CThreadPool*) {
        const auto start = Clock::now();
        clouds[i] = IO::CPointCloudReader::Read(files[i]);
        readSeconds[i] = Seconds(start, Clock::now());
    });
    ThrowFirst(faults);
    const auto t1 = Clock::now();
    std::vector<Base::SPointsView> views;
    std::vector<std::string> names;
    for (size_t i = 0; i < n; ++i)
    {
        views.push_back(Base::SPointsView::Of(clouds[i]));
        names.push_back("file '" + files[i] + "'");
    }
    std::vector<std::shared_ptr<const SScan>> scans = PrepareScans(views, names, options, pool);
    for (size_t i = 0; i < n; ++i)
    {
        SScan& scan = *std::const_pointer_cast<SScan>(scans[i]);
        scan.dLoadSeconds = readSeconds[i];
        scan.cloud.vecSkippedHeaderKeywords = std::move(clouds[i].vecSkippedHeaderKeywords);
    }
    if (times)
    {
        times->dLoadSeconds = Seconds(t0, t1);
        times->dSurfelSeconds = Seconds(t1, Clock::now());
    }
    return scans;
}
} // namespace Pipeline
