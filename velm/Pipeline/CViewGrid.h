#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <vector>

namespace Pipeline
{
// Points in a plane (given as (u, v, 0)) binned into square cells, for nearest-point questions within
// a short, known reach: a scan seen along its view, asked once per verified sample. It answers exactly
// what Base::CKdTree3D::FindNearest answers over the same points (float squared distance in the
// kd-tree's term order, at most the reach squared, ties to the lower index) and is built in one pass
// instead of a tree's sort.
class CViewGrid
{
public:
    // `reach` is the distance the questions will ask about (larger ones are answered too, slower).
    // Points with a non-finite coordinate are near nothing.
    CViewGrid(std::vector<CbVector3f> points, double reach);

    // Index of the nearest point within maxDistance of p, or 0xFFFFFFFF when there is none.
    uint32_t FindNearest(const CbVector3f& p, float maxDistance) const;

private:
    std::vector<CbVector3f> m_vecPoints;
    std::vector<uint32_t> m_vecCellStart; // per cell (row by row) its first entry in m_vecIndices; one more at the end
    std::vector<uint32_t> m_vecIndices;   // point indices cell by cell, ascending within a cell
    double m_dCell = 1.0;
    double m_dOriginU = 0.0;
    double m_dOriginV = 0.0;
    int64_t m_iCellsU = 0;
    int64_t m_iCellsV = 0;
};
} // namespace Pipeline
