#include "velm/Base/SurfelData/SurfelsFromPoints.h"

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/Base/SurfelData/PrincipalAxes.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>

namespace Base
{
namespace
{

bool IsUsableDirection(const CbVector3d& v)
{
    const double l = v.Length();
    return std::isfinite(l) && l > 0.0;
}

void CheckNormalInput(const std::vector<CbVector3f>& positions, uint32_t k,
                      const SSurfelsFromPointsOptions& orientation)
{
    if (positions.size() < 3)
        ThrowFormattedException(VELM_HERE, "Base::EstimateNormals",
                                L"Normal estimation needs at least 3 points, got %u.",
                                static_cast<unsigned>(positions.size()));
    if (k < 3)
        ThrowFormattedException(VELM_HERE, "Base::EstimateNormals",
                                L"Normal estimation needs at least 3 neighbours, got %u.", k);
    if (!orientation.bUseViewpoint && !IsUsableDirection(CbVector3d(orientation.vViewDirection)))
        ThrowFormattedException(VELM_HERE, "Base::EstimateNormals",
                                L"The view direction must be a finite, non-zero vector.");
}

// The distance from a point to its nearest other point, from its nearest neighbours (nearest first):
// the nearest is the point itself unless another coincides with it; either way the larger of the
// first two distances is the one.
double NearestOtherDistance(const SKdTreeNeighbour* neighbours, size_t count)
{
    float d2 = 0.0f;
    for (size_t j = 0; j < count && j < 2; ++j)
        d2 = std::max(d2, neighbours[j].fDistanceSqr);
    return std::sqrt(static_cast<double>(d2));
}

// The median; of an even count, the mean of the two middle values.
double Median(std::vector<double>& values)
{
    const size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    double median = values[mid];
    if (values.size() % 2 == 0)
        median = 0.5 * (median + *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid)));
    return median;
}

// The direction from p towards the scanner.
CbVector3d TowardsScanner(const CbVector3f& p, const SSurfelsFromPointsOptions& o)
{
    if (o.bUseViewpoint)
        return CbVector3d(o.vViewpoint) - CbVector3d(p);
    return CbVector3d(o.vViewDirection);
}
} // namespace

std::vector<CbVector3f> EstimateNormals(const std::vector<CbVector3f>& positions, uint32_t k,
                                        const SSurfelsFromPointsOptions& orientation)
{
    auto shared = std::make_shared<const std::vector<CbVector3f>>(positions);
    return EstimateNormals(CKdTree3D(shared), k, orientation, nullptr);
}

std::vector<CbVector3f> EstimateNormals(const CKdTree3D& tree, uint32_t k, const SSurfelsFromPointsOptions& orientation,
                                        CThreadPool* pool, double* spacing, std::vector<double>* planeResiduals)
{
    const std::vector<CbVector3f>& positions = *tree.GetPositions();
    CheckNormalInput(positions, k, orientation);
    std::vector<CbVector3f> normals(positions.size());
    std::vector<double> distances(spacing ? positions.size() : 0);
    if (planeResiduals)
        planeResiduals->assign(positions.size(), std::numeric_limits<double>::quiet_NaN());
    tree.ForEachPositionsKNearest(k, pool, [&](uint32_t i, const SKdTreeNeighbour* neighbours, size_t count) {
        const CbVector3f& p = positions[i];
        if (spacing)
            distances[i] = NearestOtherDistance(neighbours, count);
        // Centring on the point keeps the moments small, so the covariance loses no digits to the
        // distance of the scan from the origin.
        CbVector3d offsets[64];
        std::vector<CbVector3d> more;
        CbVector3d* offset = count <= 64 ? offsets : (more.resize(count), more.data());
        for (size_t j = 0; j < count; ++j)
            offset[j] = CbVector3d(positions[neighbours[j].uiIndex]) - CbVector3d(p);
        const SPrincipalAxes axes = PrincipalAxes(offset, count, EAxes::Least);
        if (planeResiduals && count >= 4)
            (*planeResiduals)[i] = PlaneResidual(axes);
        CbVector3d normal = axes.aAxes[2];
        const CbVector3d towards = TowardsScanner(p, orientation);
        // A neighbourhood without spread (all points equal) has no direction of least spread.
        if (!IsUsableDirection(normal) || !(axes.aValues[0] > 0.0))
            normal = towards;
        if (normal.Dot(towards) < 0.0)
            normal = -normal;
        const double l = normal.Length();
        normals[i] = IsUsableDirection(normal) ? CbVector3f(normal * (1.0 / l)) : CbVector3f(0.0f, 0.0f, 1.0f);
    });
    if (spacing)
        *spacing = Median(distances);
    return normals;
}

namespace
{
std::vector<uint8_t> BoundaryFlags(const SPointsView& points)
{
    if (!points.pGrid)
        return {};
    std::vector<uint8_t> flags(points.uiCount, 0);
    const int64_t rows = points.uiGridRows;
    const int64_t cols = points.uiGridCols;
    auto empty = [&](int64_t r, int64_t c) {
        return r < 0 || c < 0 || r >= rows || c >= cols || points.pGrid[static_cast<size_t>(r * cols + c)] < 0;
    };
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < cols; ++c)
        {
            const int32_t index = points.pGrid[static_cast<size_t>(r * cols + c)];
            if (index < 0 || static_cast<size_t>(index) >= flags.size())
                continue;
            if (empty(r - 1, c) || empty(r + 1, c) || empty(r, c - 1) || empty(r, c + 1))
                flags[static_cast<size_t>(index)] = 1;
        }
    return flags;
}

std::vector<uint8_t> Quality(const float* confidence, size_t count)
{
    if (!confidence || count == 0)
        return {};
    float largest = 0.0f;
    for (size_t i = 0; i < count; ++i)
        if (std::isfinite(confidence[i]))
            largest = std::max(largest, confidence[i]);
    const double divisor = largest > 1.0f ? largest : 1.0;
    std::vector<uint8_t> quality(count);
    for (size_t i = 0; i < count; ++i)
    {
        const double v = std::isfinite(confidence[i]) ? std::clamp(confidence[i] / divisor, 0.0, 1.0) : 0.0;
        quality[i] = static_cast<uint8_t>(std::lround(v * 255.0));
    }
    return quality;
}
} // namespace

SPointsView SPointsView::Of(const IO::SPointCloud& cloud)
{
    SPointsView view;
    view.pPositions = cloud.vecPositions.data();
    view.uiCount = cloud.GetCount();
    view.pNormals = cloud.HasNormals() ? cloud.vecNormals.data() : nullptr;
    view.pConfidence = cloud.HasConfidence() ? cloud.vecConfidence.data() : nullptr;
    if (cloud.HasGrid())
    {
        view.uiGridRows = cloud.uiGridRows;
        view.uiGridCols = cloud.uiGridCols;
        view.pGrid = cloud.vecGrid.data();
    }
    return view;
}

std::vector<uint8_t> BoundaryFlagsFromGrid(const IO::SPointCloud& cloud)
{
    return BoundaryFlags(SPointsView::Of(cloud));
}

std::vector<uint8_t> QualityFromConfidence(const std::vector<float>& confidence)
{
    return Quality(confidence.data(), confidence.size());
}

double MedianNeighbourSpacing(const std::vector<CbVector3f>& positions)
{
    auto shared = std::make_shared<const std::vector<CbVector3f>>(positions);
    return MedianNeighbourSpacing(CKdTree3D(shared));
}

double MedianNeighbourSpacing(const CKdTree3D& tree, CThreadPool* pool)
{
    const size_t count = tree.GetCount();
    if (count < 2)
        ThrowFormattedException(VELM_HERE, "Base::MedianNeighbourSpacing",
                                L"The sampling density needs at least 2 points, got %u.", static_cast<unsigned>(count));
    std::vector<double> spacing(count);
    tree.ForEachPositionsKNearest(2, pool, [&](uint32_t i, const SKdTreeNeighbour* neighbours, size_t found) {
        spacing[i] = NearestOtherDistance(neighbours, found);
    });
    return Median(spacing);
}

namespace
{
// Every element of the surfels but the positions, over a tree built on the scaled positions; the
// spacing too when asked for (from the normals' neighbourhoods where normals are estimated).
SSurfelData SurfelsOverTree(const SPointsView& cloud, const SSurfelsFromPointsOptions& options, const CKdTree3D& tree,
                            CThreadPool* pool, double* spacing, std::vector<double>* planeResiduals = nullptr)
{
    const size_t n = cloud.uiCount;
    SSurfelData data;
    std::vector<CbVector3f> normals;
    bool needEstimate = !(options.bUseFileNormals && cloud.pNormals);
    if (!needEstimate)
    {
        normals.resize(n);
        for (size_t i = 0; i < n; ++i)
        {
            const CbVector3d v(cloud.pNormals[i]);
            if (IsUsableDirection(v))
                normals[i] = CbVector3f(v * (1.0 / v.Length()));
            else
                needEstimate = true;
        }
    }
    if (needEstimate)
    {
        // The points are scaled: so is the viewpoint they are turned towards.
        SSurfelsFromPointsOptions scaled = options;
        scaled.vViewpoint = options.vViewpoint * options.fScale;
        std::vector<CbVector3f> estimated =
            EstimateNormals(tree, options.uiNormalNeighbours, scaled, pool, spacing, planeResiduals);
        if (normals.empty())
            normals = std::move(estimated);
        else
            for (size_t i = 0; i < n; ++i)
                if (!IsUsableDirection(CbVector3d(cloud.pNormals[i])))
                    normals[i] = estimated[i];
    }
    else if (spacing)
        *spacing = MedianNeighbourSpacing(tree, pool);
    data.vecNormals = std::move(normals);
    data.vecQuality = Quality(cloud.pConfidence, n);
    data.vecBoundaryFlags = BoundaryFlags(cloud);
    return data;
}

std::shared_ptr<std::vector<CbVector3f>> ScaledPositions(const SPointsView& points,
                                                         const SSurfelsFromPointsOptions& options)
{
    if (!(std::isfinite(options.fScale) && options.fScale > 0.0f))
        ThrowFormattedException(VELM_HERE, "Base::SurfelsFromPoints",
                                L"The scale factor must be finite and positive, got %g.",
                                static_cast<double>(options.fScale));
    if (points.pGrid && static_cast<uint64_t>(points.uiGridRows) * points.uiGridCols == 0)
        ThrowFormattedException(VELM_HERE, "Base::SurfelsFromPoints", L"A range image needs rows and columns.");
    auto positions = std::make_shared<std::vector<CbVector3f>>(points.uiCount);
    for (size_t i = 0; i < points.uiCount; ++i)
        (*positions)[i] = points.pPositions[i] * options.fScale;
    return positions;
}

// A cloud's optional parts cover its points, as its view promises.
const IO::SPointCloud& Checked(const IO::SPointCloud& cloud)
{
    const size_t n = cloud.GetCount();
    if ((cloud.HasNormals() && cloud.vecNormals.size() != n) ||
        (cloud.HasConfidence() && cloud.vecConfidence.size() != n))
        ThrowFormattedException(VELM_HERE, "Base::SurfelsFromPoints",
                                L"The point cloud's normals or confidences do not match its %u points.",
                                static_cast<unsigned>(n));
    return cloud;
}
} // namespace

SSurfelData SurfelsFromPoints(const IO::SPointCloud& cloud, const SSurfelsFromPointsOptions& options)
{
    const SPointsView points = SPointsView::Of(Checked(cloud));
    std::shared_ptr<const std::vector<CbVector3f>> positions = ScaledPositions(points, options);
    SSurfelData data = SurfelsOverTree(points, options, CKdTree3D(positions), nullptr, nullptr);
    data.vecPositions = *positions;
    return data;
}

SSurfelScan SurfelScanFromPoints(const IO::SPointCloud& cloud, const SSurfelsFromPointsOptions& options,
                                 CThreadPool* pool)
{
    return SurfelScanFromPoints(SPointsView::Of(Checked(cloud)), options, pool);
}

SSurfelScan SurfelScanFromPoints(const SPointsView& points, const SSurfelsFromPointsOptions& options, CThreadPool* pool)
{
    std::shared_ptr<const std::vector<CbVector3f>> positions = ScaledPositions(points, options);
    SSurfelScan scan;
    scan.spTree = std::make_shared<const CKdTree3D>(positions, pool);
    scan.data = SurfelsOverTree(points, options, *scan.spTree, pool, &scan.dSpacing, &scan.vecPlaneResiduals);
    return scan;
}
} // namespace Base
