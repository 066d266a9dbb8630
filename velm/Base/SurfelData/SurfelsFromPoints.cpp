#include "velm/Base/SurfelData/SurfelsFromPoints.h"

#include "velm/Base/SurfelData/CKdTree3D.h"
#include "velm/DataLayer/Algorithms/Math/CPrincipalComponentAnalysis3D.h"
#include "velm/Frame/VelmException.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>

namespace Base
{
namespace
{
const char* const kSource = "velm/Base/SurfelData/SurfelsFromPoints.cpp";

bool IsUsableDirection(const CbVector3d& v)
{
    const double l = v.Length();
    return std::isfinite(l) && l > 0.0;
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
    if (positions.size() < 3)
        ThrowFormattedException(kSource, __LINE__, "Base::EstimateNormals",
                                L"Normal estimation needs at least 3 points, got %u.",
                                static_cast<unsigned>(positions.size()));
    if (k < 3)
        ThrowFormattedException(kSource, __LINE__, "Base::EstimateNormals",
                                L"Normal estimation needs at least 3 neighbours, got %u.", k);
    if (!orientation.bUseViewpoint && !IsUsableDirection(CbVector3d(orientation.vViewDirection)))
        ThrowFormattedException(kSource, __LINE__, "Base::EstimateNormals",
                                L"The view direction must be a finite, non-zero vector.");

    auto shared = std::make_shared<const std::vector<CbVector3f>>(positions);
    const CKdTree3D tree(shared);
    std::vector<CbVector3f> normals(positions.size());
    std::vector<SKdTreeNeighbour> neighbours;
    for (size_t i = 0; i < positions.size(); ++i)
    {
        const CbVector3f& p = positions[i];
        neighbours.clear();
        tree.FindKNearest(neighbours, p, k, FLT_MAX);
        // Centring on the point keeps the moments small, so the covariance loses no digits to the
        // distance of the scan from the origin.
        DataLayer::CPrincipalComponentAnalysis3D<CbVector3d> pca;
        for (const SKdTreeNeighbour& n : neighbours)
            pca.Add(CbVector3d(positions[n.uiIndex]) - CbVector3d(p));
        pca.ComputePCA();
        CbVector3d normal = pca.GetEigenVector(2);
        const CbVector3d towards = TowardsScanner(p, orientation);
        // A neighbourhood without spread (all points equal) has no direction of least spread.
        if (!IsUsableDirection(normal) || !(pca.GetEigenValue(0) > 0.0))
            normal = towards;
        if (normal.Dot(towards) < 0.0)
            normal = -normal;
        const double l = normal.Length();
        normals[i] = IsUsableDirection(normal) ? CbVector3f(normal * (1.0 / l)) : CbVector3f(0.0f, 0.0f, 1.0f);
    }
    return normals;
}

std::vector<uint8_t> BoundaryFlagsFromGrid(const IO::SPointCloud& cloud)
{
    if (!cloud.HasGrid())
        return {};
    std::vector<uint8_t> flags(cloud.GetCount(), 0);
    const int64_t rows = cloud.uiGridRows;
    const int64_t cols = cloud.uiGridCols;
    auto empty = [&](int64_t r, int64_t c) {
        return r < 0 || c < 0 || r >= rows || c >= cols || cloud.vecGrid[static_cast<size_t>(r * cols + c)] < 0;
    };
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < cols; ++c)
        {
            const int32_t index = cloud.vecGrid[static_cast<size_t>(r * cols + c)];
            if (index < 0 || static_cast<size_t>(index) >= flags.size())
                continue;
            if (empty(r - 1, c) || empty(r + 1, c) || empty(r, c - 1) || empty(r, c + 1))
                flags[static_cast<size_t>(index)] = 1;
        }
    return flags;
}

std::vector<uint8_t> QualityFromConfidence(const std::vector<float>& confidence)
{
    if (confidence.empty())
        return {};
    float largest = 0.0f;
    for (float c : confidence)
        if (std::isfinite(c))
            largest = std::max(largest, c);
    const double divisor = largest > 1.0f ? largest : 1.0;
    std::vector<uint8_t> quality(confidence.size());
    for (size_t i = 0; i < confidence.size(); ++i)
    {
        const double v = std::isfinite(confidence[i]) ? std::clamp(confidence[i] / divisor, 0.0, 1.0) : 0.0;
        quality[i] = static_cast<uint8_t>(std::lround(v * 255.0));
    }
    return quality;
}

double MedianNeighbourSpacing(const std::vector<CbVector3f>& positions)
{
    auto shared = std::make_shared<const std::vector<CbVector3f>>(positions);
    return MedianNeighbourSpacing(positions, CKdTree3D(shared));
}

double MedianNeighbourSpacing(const std::vector<CbVector3f>& positions, const IKdTree3D& tree)
{
    if (positions.size() < 2)
        ThrowFormattedException(kSource, __LINE__, "Base::MedianNeighbourSpacing",
                                L"The sampling density needs at least 2 points, got %u.",
                                static_cast<unsigned>(positions.size()));
    std::vector<double> spacing(positions.size());
    std::vector<SKdTreeNeighbour> neighbours;
    for (size_t i = 0; i < positions.size(); ++i)
    {
        neighbours.clear();
        tree.FindKNearest(neighbours, positions[i], 2, FLT_MAX);
        // The nearest is the point itself unless another coincides with it; either way the larger
        // of the two is the distance to the nearest other point.
        float d2 = 0.0f;
        for (const SKdTreeNeighbour& n : neighbours)
            d2 = std::max(d2, n.fDistanceSqr);
        spacing[i] = std::sqrt(static_cast<double>(d2));
    }
    const size_t mid = spacing.size() / 2;
    std::nth_element(spacing.begin(), spacing.begin() + static_cast<std::ptrdiff_t>(mid), spacing.end());
    double median = spacing[mid];
    if (spacing.size() % 2 == 0)
        median = 0.5 * (median + *std::max_element(spacing.begin(), spacing.begin() + static_cast<std::ptrdiff_t>(mid)));
    return median;
}

SSurfelData SurfelsFromPoints(const IO::SPointCloud& cloud, const SSurfelsFromPointsOptions& options)
{
    const size_t n = cloud.GetCount();
    if (!(std::isfinite(options.fScale) && options.fScale > 0.0f))
        ThrowFormattedException(kSource, __LINE__, "Base::SurfelsFromPoints",
                                L"The scale factor must be finite and positive, got %g.",
                                static_cast<double>(options.fScale));
    if ((cloud.HasNormals() && cloud.vecNormals.size() != n) || (cloud.HasConfidence() && cloud.vecConfidence.size() != n))
        ThrowFormattedException(kSource, __LINE__, "Base::SurfelsFromPoints",
                                L"The point cloud's normals or confidences do not match its %u points.",
                                static_cast<unsigned>(n));

    SSurfelData data;
    std::vector<CbVector3f> normals;
    bool needEstimate = !(options.bUseFileNormals && cloud.HasNormals());
    if (!needEstimate)
    {
        normals.resize(n);
        for (size_t i = 0; i < n; ++i)
        {
            const CbVector3d v(cloud.vecNormals[i]);
            if (IsUsableDirection(v))
                normals[i] = CbVector3f(v * (1.0 / v.Length()));
            else
                needEstimate = true;
        }
    }
    if (needEstimate)
    {
        const std::vector<CbVector3f> estimated = EstimateNormals(cloud.vecPositions, options.uiNormalNeighbours, options);
        if (normals.empty())
            normals = estimated;
        else
            for (size_t i = 0; i < n; ++i)
                if (!IsUsableDirection(CbVector3d(cloud.vecNormals[i])))
                    normals[i] = estimated[i];
    }

    data.vecPositions.resize(n);
    for (size_t i = 0; i < n; ++i)
        data.vecPositions[i] = cloud.vecPositions[i] * options.fScale;
    data.vecNormals = std::move(normals);
    data.vecQuality = QualityFromConfidence(cloud.vecConfidence);
    data.vecBoundaryFlags = BoundaryFlagsFromGrid(cloud);
    return data;
}
} // namespace Base
