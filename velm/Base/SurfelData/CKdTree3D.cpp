#include "velm/Base/SurfelData/CKdTree3D.h"

#include "velm/Frame/VelmException.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

namespace Base
{
namespace
{
struct SPointCloud
{
    const std::vector<CbVector3f>& points;

    size_t kdtree_get_point_count() const { return points.size(); }
    float kdtree_get_pt(uint32_t index, size_t dim) const
    {
        const CbVector3f& p = points[index];
        return dim == 0 ? p.x : (dim == 1 ? p.y : p.z);
    }
    template <class BBox>
    bool kdtree_get_bbox(BBox&) const
    {
        return false;
    }
};

// The library's own distance, evaluated in float and in its order of terms, handed to the tree as a
// double so that the tree's pruning bounds are computed without float rounding of their own.
// A distance that overflows float becomes DBL_MAX: larger than every finite float distance, and
// still inside an infinite limit.
struct SFloatSquaredDistance
{
    using ElementType = float;
    using DistanceType = double;

    const SPointCloud& cloud;

    explicit SFloatSquaredDistance(const SPointCloud& c) : cloud(c) {}

    double evalMetric(const float* a, uint32_t index, size_t) const
    {
        const CbVector3f& p = cloud.points[index];
        const float dx = p.x - a[0];
        const float dy = p.y - a[1];
        const float dz = p.z - a[2];
        const float d = (dy * dy + dx * dx) + dz * dz;
        return d <= FLT_MAX ? static_cast<double>(d) : DBL_MAX;
    }

    template <typename U, typename V>
    double accum_dist(const U a, const V b, size_t) const
    {
        const double d = static_cast<double>(a) - static_cast<double>(b);
        return d * d;
    }
};

using TTree = nanoflann::KDTreeSingleIndexAdaptor<SFloatSquaredDistance, SPointCloud, 3, uint32_t>;

// The tree prunes with exact per-axis bounds, but a float distance may round below its exact value
// by a few units in the last place. Searching a slightly wider bound and filtering with the exact
// float test keeps points that lie exactly on the limit.
double Widen(double squaredLimit)
{
    return squaredLimit * (1.0 + 1e-5) + 1e-37;
}

// The squared limit of a search, or false when the limit admits no point at all.
bool SquaredLimit(float limit, double& squared)
{
    if (!(limit >= 0.0f))
        return false;
    const float s = limit * limit;
    squared = static_cast<double>(s);
    return true;
}

// A point at infinity or with a NaN coordinate is near nothing (and its bounds would turn into NaN
// inside the search).
bool IsQueryPoint(const CbVector3f& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The k entries smallest by (distance, index) within the limit, nearest first.
class CKNearestSet
{
public:
    CKNearestSet(size_t capacity, double squaredLimit) : m_capacity(capacity), m_limit(squaredLimit)
    {
        m_entries.reserve(capacity);
    }

    double worstDist() const
    {
        if (m_entries.size() < m_capacity)
            return Widen(m_limit);
        return Widen(m_entries.back().first);
    }
    bool full() const { return m_entries.size() == m_capacity; }
    bool addPoint(double distance, uint32_t index)
    {
        if (!(distance <= m_limit))
            return true;
        const std::pair<double, uint32_t> entry(distance, index);
        if (m_entries.size() == m_capacity)
        {
            if (!(entry < m_entries.back()))
                return true;
            m_entries.pop_back();
        }
        m_entries.insert(std::upper_bound(m_entries.begin(), m_entries.end(), entry), entry);
        return true;
    }

    const std::vector<std::pair<double, uint32_t>>& Entries() const { return m_entries; }

private:
    size_t m_capacity;
    double m_limit;
    std::vector<std::pair<double, uint32_t>> m_entries;
};

class CRadiusSet
{
public:
    CRadiusSet(std::vector<uint32_t>& result, double squaredLimit)
        : m_result(result), m_limit(squaredLimit), m_bound(Widen(squaredLimit))
    {
    }

    double worstDist() const { return m_bound; }
    bool full() const { return true; }
    bool addPoint(double distance, uint32_t index)
    {
        if (distance <= m_limit)
            m_result.push_back(index);
        return true;
    }

private:
    std::vector<uint32_t>& m_result;
    double m_limit;
    double m_bound;
};
} // namespace

struct CKdTree3D::SImpl
{
    std::shared_ptr<const std::vector<CbVector3f>> spPositions;
    SPointCloud cloud;
    TTree tree;

    explicit SImpl(std::shared_ptr<const std::vector<CbVector3f>> positions)
        : spPositions(std::move(positions)), cloud{*spPositions},
          tree(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(10))
    {
    }

    template <typename TResultSet>
    void Search(TResultSet& set, const CbVector3f& p) const
    {
        const float query[3] = {p.x, p.y, p.z};
        tree.findNeighbors(set, query, nanoflann::SearchParams());
    }
};

namespace
{
std::shared_ptr<const std::vector<CbVector3f>> CheckedPositions(std::shared_ptr<const std::vector<CbVector3f>> p)
{
    if (!p)
        ThrowFormattedException("velm/Base/SurfelData/CKdTree3D.cpp", __LINE__, "Base::CKdTree3D::CKdTree3D",
                                L"A kd-tree needs a list of positions.");
    // 0xFFFFFFFF answers "none", so it can never be an index.
    if (p->size() >= 0xFFFFFFFFull)
        ThrowFormattedException("velm/Base/SurfelData/CKdTree3D.cpp", __LINE__, "Base::CKdTree3D::CKdTree3D",
                                L"A kd-tree holds at most 4294967294 positions, not %llu.",
                                static_cast<unsigned long long>(p->size()));
    for (size_t i = 0; i < p->size(); ++i)
    {
        const CbVector3f& v = (*p)[i];
        if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
            ThrowFormattedException("velm/Base/SurfelData/CKdTree3D.cpp", __LINE__, "Base::CKdTree3D::CKdTree3D",
                                    L"Position %llu is not finite (%g, %g, %g).", static_cast<unsigned long long>(i),
                                    static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z));
    }
    return p;
}
} // namespace

CKdTree3D::CKdTree3D(std::shared_ptr<const std::vector<CbVector3f>> positions)
    : m_pImpl(std::make_unique<SImpl>(CheckedPositions(std::move(positions))))
{
}

CKdTree3D::~CKdTree3D() = default;

size_t CKdTree3D::GetCount() const
{
    return m_pImpl->spPositions->size();
}

uint32_t CKdTree3D::FindNearest(const CbVector3f& p, float maxDistance, uint32_t) const
{
    double limit = 0.0;
    if (GetCount() == 0 || !IsQueryPoint(p) || !SquaredLimit(maxDistance, limit))
        return 0xFFFFFFFFu;
    CKNearestSet set(1, limit);
    m_pImpl->Search(set, p);
    return set.Entries().empty() ? 0xFFFFFFFFu : set.Entries().front().second;
}

void CKdTree3D::FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                             float maxDistance) const
{
    double limit = 0.0;
    if (k == 0 || GetCount() == 0 || !IsQueryPoint(p) || !SquaredLimit(maxDistance, limit))
        return;
    CKNearestSet set(std::min<size_t>(k, GetCount()), limit);
    m_pImpl->Search(set, p);
    for (const auto& entry : set.Entries())
    {
        // A distance beyond float range was kept as DBL_MAX; it is reported as infinity.
        const float distance = entry.first <= FLT_MAX ? static_cast<float>(entry.first) : std::numeric_limits<float>::infinity();
        result.push_back(SKdTreeNeighbour{entry.second, distance});
    }
}

void CKdTree3D::FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const
{
    double limit = 0.0;
    if (GetCount() == 0 || !IsQueryPoint(p) || !SquaredLimit(radius, limit))
        return;
    const size_t first = result.size();
    CRadiusSet set(result, limit);
    m_pImpl->Search(set, p);
    std::sort(result.begin() + static_cast<std::ptrdiff_t>(first), result.end());
}
} // namespace Base
