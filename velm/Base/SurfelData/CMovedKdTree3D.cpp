#include "velm/Base/SurfelData/CMovedKdTree3D.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace Base
{
namespace
{
double LargestCoordinate(const CbVector3f& p)
{
    return std::max(std::fabs(static_cast<double>(p.x)),
                    std::max(std::fabs(static_cast<double>(p.y)), std::fabs(static_cast<double>(p.z))));
}

constexpr uint32_t kSpare = 1; // nearest asked beyond k: farther than the k-th by the margins, it proves them complete
} // namespace

std::shared_ptr<std::vector<CbVector3f>> MovedPositions(const std::vector<CbVector3f>& positions,
                                                        const CbMatrix4Rd& motion, CThreadPool* pool)
{
    auto moved = std::make_shared<std::vector<CbVector3f>>(positions.size());
    const auto move = [&](size_t begin, size_t end, uint32_t) {
        for (size_t i = begin; i < end; ++i)
            (*moved)[i] = CbVector3f(motion.TransformPoint(CbVector3d(positions[i])));
    };
    if (pool)
        pool->ParallelFor(positions.size(), 4096, move);
    else
        move(0, positions.size(), 0);
    return moved;
}

double CMovedKdTree3D::Distortion(const CbMatrix4Rd& m)
{
    for (int i = 0; i < 16; ++i)
        if (!std::isfinite(m.e[i]))
            return std::numeric_limits<double>::infinity();
    if (m.e[3] != 0.0 || m.e[7] != 0.0 || m.e[11] != 0.0 || m.e[15] != 1.0)
        return std::numeric_limits<double>::infinity();
    // The largest row sum of |A A^T - I| (A the rows of the linear part): every eigenvalue of A A^T, a
    // squared stretch of the motion, lies within it of 1.
    double worst = 0.0;
    for (int a = 0; a < 3; ++a)
    {
        double row = 0.0;
        for (int b = 0; b < 3; ++b)
        {
            const double dot =
                m.e[4 * a] * m.e[4 * b] + m.e[4 * a + 1] * m.e[4 * b + 1] + m.e[4 * a + 2] * m.e[4 * b + 2];
            row += std::fabs(dot - (a == b ? 1.0 : 0.0));
        }
        worst = std::max(worst, row);
    }
    return worst;
}

bool CMovedKdTree3D::Accepts(const CbMatrix4Rd& motion)
{
    return Distortion(motion) <= kMaxDistortion;
}

CMovedKdTree3D::CMovedKdTree3D(std::shared_ptr<const CKdTree3D> original, const CbMatrix4Rd& motion, CThreadPool* pool)
    : m_spOriginal(std::move(original)), m_motion(motion)
{
    if (!m_spOriginal)
        throw std::invalid_argument("A moved kd-tree needs the original tree.");
    const double distortion = Distortion(motion);
    if (!(distortion <= kMaxDistortion))
        throw std::invalid_argument("A moved kd-tree needs a motion close to rigid.");
    // Distances change by at most this factor either way; the question is turned back by the inverse
    // of the linear part (its transpose, when the motion is rigid).
    m_dStretch = 1.0 / std::sqrt(1.0 - distortion);
    const double* e = motion.e;
    const double cofactors[9] = {e[5] * e[10] - e[6] * e[9], e[2] * e[9] - e[1] * e[10], e[1] * e[6] - e[2] * e[5],
                                 e[6] * e[8] - e[4] * e[10], e[0] * e[10] - e[2] * e[8], e[2] * e[4] - e[0] * e[6],
                                 e[4] * e[9] - e[5] * e[8],  e[1] * e[8] - e[0] * e[9],  e[0] * e[5] - e[1] * e[4]};
    const double determinant = e[0] * cofactors[0] + e[1] * cofactors[3] + e[2] * cofactors[6];
    for (int i = 0; i < 9; ++i)
        m_aInverse[i] = cofactors[i] / determinant;
    const std::vector<CbVector3f>& own = *m_spOriginal->GetPositions();
    std::shared_ptr<std::vector<CbVector3f>> moved = MovedPositions(own, motion, pool);
    for (size_t i = 0; i < own.size(); ++i)
        m_dLargestCoordinate =
            std::max(m_dLargestCoordinate, std::max(LargestCoordinate(own[i]), LargestCoordinate((*moved)[i])));
    m_spPositions = std::move(moved);
}

CbVector3f CMovedKdTree3D::Back(const CbVector3f& p) const
{
    // Row vectors: moved = original A + t, so original = (moved - t) A^-1.
    const double* e = m_motion.e;
    const double* v = m_aInverse;
    const double x = static_cast<double>(p.x) - e[12];
    const double y = static_cast<double>(p.y) - e[13];
    const double z = static_cast<double>(p.z) - e[14];
    return CbVector3f(static_cast<float>((x * v[0] + y * v[3]) + z * v[6]),
                      static_cast<float>((x * v[1] + y * v[4]) + z * v[7]),
                      static_cast<float>((x * v[2] + y * v[5]) + z * v[8]));
}

float CMovedKdTree3D::OriginalReach(const CbVector3f& p, const CbVector3f& back, double reach) const
{
    // A moved point differs from the exact motion of its original by its rounding to float, the
    // question turned back by its own, and both float distances by a few parts in 10^7: a margin of
    // eight float epsilons of the largest coordinate involved, and 10^-5 of the reach, covers them all;
    // the motion's stretch scales the whole.
    const double scale = std::max(m_dLargestCoordinate, std::max(LargestCoordinate(p), LargestCoordinate(back)));
    const double grown = (reach + 8.0 * FLT_EPSILON * scale) * m_dStretch * (1.0 + 1e-5);
    if (!(grown < static_cast<double>(FLT_MAX)))
        return std::numeric_limits<float>::infinity();
    return std::nextafter(static_cast<float>(grown), std::numeric_limits<float>::infinity());
}

void CMovedKdTree3D::FindInRadius(std::vector<uint32_t>& result, const CbVector3f& p, float radius) const
{
    double limit = 0.0;
    if (GetCount() == 0 || !IsKdTreeQueryPoint(p) || !KdTreeSquaredLimit(radius, limit))
        return;
    const CbVector3f back = Back(p);
    const size_t first = result.size();
    m_spOriginal->FindInRadius(result, back, OriginalReach(p, back, static_cast<double>(radius)));
    // The original tree gives its answer in index order; filtering keeps it.
    const std::vector<CbVector3f>& moved = *m_spPositions;
    size_t kept = first;
    for (size_t k = first; k < result.size(); ++k)
    {
        const uint32_t i = result[k];
        result[kept] = i;
        kept += KdTreeBound(KdTreeSquaredDistance(moved[i], p)) <= limit ? 1 : 0;
    }
    result.resize(kept);
}

void CMovedKdTree3D::FindKNearest(std::vector<SKdTreeNeighbour>& result, const CbVector3f& p, uint32_t k,
                                  float maxDistance) const
{
    double limit = 0.0;
    if (k == 0 || GetCount() == 0 || !IsKdTreeQueryPoint(p) || !KdTreeSquaredLimit(maxDistance, limit))
        return;
    // The k nearest in the original frame lie, moved, within the k-th distance and the margin; so the
    // moved k nearest lie within that and the margin again in the original frame. The next nearest
    // usually lies past that already; otherwise a radius question gathers them. The candidates
    // are kept in the caller's vector, past what it held.
    const CbVector3f back = Back(p);
    const size_t first = result.size();
    m_spOriginal->FindKNearest(result, back, k <= UINT32_MAX - kSpare ? k + kSpare : k, FLT_MAX);
    const size_t found = result.size() - first;
    if (found > k)
    {
        const double kth = std::sqrt(static_cast<double>(result[first + k - 1].fDistanceSqr));
        const float reach = OriginalReach(p, back, static_cast<double>(OriginalReach(p, back, kth)));
        if (!(static_cast<double>(reach) * reach < static_cast<double>(result.back().fDistanceSqr)))
        {
            std::vector<uint32_t> candidates;
            m_spOriginal->FindInRadius(candidates, back, reach);
            result.resize(first);
            for (const uint32_t i : candidates)
                result.push_back(SKdTreeNeighbour{i, 0.0f});
        }
    }

    // Decided on the moved positions: within the limit, by (distance, index), the first k.
    const std::vector<CbVector3f>& moved = *m_spPositions;
    size_t kept = first;
    for (size_t j = first; j < result.size(); ++j)
    {
        const uint32_t i = result[j].uiIndex;
        const float d = KdTreeSquaredDistance(moved[i], p);
        if (KdTreeBound(d) <= limit)
            result[kept++] = SKdTreeNeighbour{i, d};
    }
    result.resize(kept);
    const auto before = [](const SKdTreeNeighbour& a, const SKdTreeNeighbour& b) {
        return a.fDistanceSqr != b.fDistanceSqr ? a.fDistanceSqr < b.fDistanceSqr : a.uiIndex < b.uiIndex;
    };
    const auto begin = result.begin() + static_cast<std::ptrdiff_t>(first);
    const size_t count = std::min<size_t>(k, kept - first);
    std::partial_sort(begin, begin + static_cast<std::ptrdiff_t>(count), result.end(), before);
    result.resize(first + count);
}

uint32_t CMovedKdTree3D::FindNearest(const CbVector3f& p, float maxDistance, uint32_t) const
{
    std::vector<SKdTreeNeighbour> nearest;
    FindKNearest(nearest, p, 1, maxDistance);
    return nearest.empty() ? 0xFFFFFFFFu : nearest[0].uiIndex;
}
} // namespace Base
