#include "velm/Pipeline/CViewGrid.h"

#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/Frame/GridCell.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Pipeline
{
CViewGrid::CViewGrid(std::vector<CbVector3f> points, double reach) : m_vecPoints(std::move(points))
{
    double loU = std::numeric_limits<double>::infinity(), loV = loU;
    double hiU = -loU, hiV = -loU;
    size_t finite = 0;
    for (const CbVector3f& p : m_vecPoints)
        if (Base::IsKdTreeQueryPoint(p))
        {
            loU = std::min(loU, static_cast<double>(p.x));
            hiU = std::max(hiU, static_cast<double>(p.x));
            loV = std::min(loV, static_cast<double>(p.y));
            hiV = std::max(hiV, static_cast<double>(p.y));
            ++finite;
        }
    if (finite == 0)
    {
        m_vecCellStart.assign(1, 0);
        return;
    }
    m_dOriginU = loU;
    m_dOriginV = loV;
    // A cell a little wider than the reach: a question then looks at the 3 x 3 cells around it (float
    // distances may come out a hair shorter than the reach). Scattered points would ask for more cells
    // than points; their cells grow until there are at most four per point.
    const double budget = 4.0 * static_cast<double>(finite) + 64.0;
    double cell = std::isfinite(reach) && reach > 0.0 ? reach * (1.0 + 1e-4) : 0.0;
    const double extent = std::max(hiU - loU, hiV - loV);
    if (!(cell > 0.0) || !std::isfinite(extent))
        cell = extent > 0.0 && std::isfinite(extent) ? extent : 1.0;
    for (;;)
    {
        const double cellsU = std::floor((hiU - loU) / cell) + 1.0;
        const double cellsV = std::floor((hiV - loV) / cell) + 1.0;
        if (cellsU * cellsV <= budget)
        {
            m_iCellsU = static_cast<int64_t>(cellsU);
            m_iCellsV = static_cast<int64_t>(cellsV);
            break;
        }
        cell *= 2.0;
    }
    m_dCell = cell;

    // Counting sort by cell: ascending indices within a cell.
    const size_t cells = static_cast<size_t>(m_iCellsU * m_iCellsV);
    std::vector<uint32_t> cellOf(m_vecPoints.size(), 0);
    m_vecCellStart.assign(cells + 1, 0);
    for (size_t i = 0; i < m_vecPoints.size(); ++i)
    {
        const CbVector3f& p = m_vecPoints[i];
        if (!Base::IsKdTreeQueryPoint(p))
            continue;
        const int64_t c = ClampedCell((p.y - m_dOriginV) / m_dCell, m_iCellsV - 1) * m_iCellsU +
                          ClampedCell((p.x - m_dOriginU) / m_dCell, m_iCellsU - 1);
        cellOf[i] = static_cast<uint32_t>(c);
        ++m_vecCellStart[static_cast<size_t>(c) + 1];
    }
    for (size_t c = 0; c < cells; ++c)
        m_vecCellStart[c + 1] += m_vecCellStart[c];
    m_vecIndices.resize(finite);
    std::vector<uint32_t> next(m_vecCellStart.begin(), m_vecCellStart.end() - 1);
    for (size_t i = 0; i < m_vecPoints.size(); ++i)
        if (Base::IsKdTreeQueryPoint(m_vecPoints[i]))
            m_vecIndices[next[cellOf[i]]++] = static_cast<uint32_t>(i);
}

uint32_t CViewGrid::FindNearest(const CbVector3f& p, float maxDistance) const
{
    double limit = 0.0;
    if (m_vecIndices.empty() || !Base::IsKdTreeQueryPoint(p) || !Base::KdTreeSquaredLimit(maxDistance, limit))
        return 0xFFFFFFFFu;
    // Cells of every point whose distance could come out within the reach.
    const double rings = std::floor(static_cast<double>(maxDistance) * (1.0 + 1e-5) / m_dCell) + 1.0;
    const double cu = std::floor((static_cast<double>(p.x) - m_dOriginU) / m_dCell);
    const double cv = std::floor((static_cast<double>(p.y) - m_dOriginV) / m_dCell);
    const double loU = std::max(0.0, cu - rings), hiU = std::min(static_cast<double>(m_iCellsU - 1), cu + rings);
    const double loV = std::max(0.0, cv - rings), hiV = std::min(static_cast<double>(m_iCellsV - 1), cv + rings);
    if (!(loU <= hiU) || !(loV <= hiV))
        return 0xFFFFFFFFu;

    uint32_t best = 0xFFFFFFFFu;
    float bestDistance = 0.0f;
    for (int64_t v = static_cast<int64_t>(loV); v <= static_cast<int64_t>(hiV); ++v)
        for (int64_t u = static_cast<int64_t>(loU); u <= static_cast<int64_t>(hiU); ++u)
        {
            const size_t c = static_cast<size_t>(v * m_iCellsU + u);
            for (uint32_t k = m_vecCellStart[c]; k < m_vecCellStart[c + 1]; ++k)
            {
                const uint32_t i = m_vecIndices[k];
                const float d = Base::KdTreeSquaredDistance(m_vecPoints[i], p);
                if (!(Base::KdTreeBound(d) <= limit))
                    continue;
                if (best == 0xFFFFFFFFu || d < bestDistance || (d == bestDistance && i < best))
                {
                    best = i;
                    bestDistance = d;
                }
            }
        }
    return best;
}
} // namespace Pipeline
