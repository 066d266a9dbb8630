#include "velm/Base/Features/VoxelSubsample.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace Base::Features
{
namespace
{
// Cube indices stay doubles: floor() of any finite quotient is an integer there, so no coordinate can
// overflow an integer key, and -0 and +0 fall into the same cube.
struct SCellPoint
{
    double aCell[3];
    uint32_t uiIndex;

    bool operator<(const SCellPoint& o) const
    {
        if (aCell[0] != o.aCell[0])
            return aCell[0] < o.aCell[0];
        if (aCell[1] != o.aCell[1])
            return aCell[1] < o.aCell[1];
        if (aCell[2] != o.aCell[2])
            return aCell[2] < o.aCell[2];
        return uiIndex < o.uiIndex;
    }
    bool SameCell(const SCellPoint& o) const
    {
        return aCell[0] == o.aCell[0] && aCell[1] == o.aCell[1] && aCell[2] == o.aCell[2];
    }
};

bool IsFinite(const CbVector3f& p)
{
    return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The point of one cube nearest the mean of its points; the run is in index order, so keeping only a
// strictly nearer one leaves ties with the lower index.
uint32_t Representative(const std::vector<CbVector3f>& positions, const SCellPoint* begin, const SCellPoint* end)
{
    CbVector3d sum;
    for (const SCellPoint* c = begin; c != end; ++c)
        sum += CbVector3d(positions[c->uiIndex]);
    const CbVector3d mean = sum * (1.0 / static_cast<double>(end - begin));
    uint32_t best = begin->uiIndex;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const SCellPoint* c = begin; c != end; ++c)
    {
        const double d = (CbVector3d(positions[c->uiIndex]) - mean).LengthSqr();
        if (d < bestDistance)
        {
            bestDistance = d;
            best = c->uiIndex;
        }
    }
    return best;
}
} // namespace

std::vector<uint32_t> VoxelSubsample(const std::vector<CbVector3f>& positions, float voxel)
{
    if (!(std::isfinite(voxel) && voxel > 0.0f))
        throw std::invalid_argument("VoxelSubsample: the voxel edge must be finite and positive, got " +
                                    std::to_string(voxel));
    if (positions.size() > std::numeric_limits<uint32_t>::max())
        throw std::invalid_argument("VoxelSubsample: more points than 32-bit indices can name");
    const double edge = voxel;
    std::vector<SCellPoint> cells;
    cells.reserve(positions.size());
    for (size_t i = 0; i < positions.size(); ++i)
    {
        const CbVector3f& p = positions[i];
        if (!IsFinite(p))
            continue;
        cells.push_back(SCellPoint{{std::floor(p.x / edge), std::floor(p.y / edge), std::floor(p.z / edge)},
                                   static_cast<uint32_t>(i)});
    }
    // Sorting (rather than hashing) makes each cube one run in index order, with no dependence on a
    // hash table's iteration order.
    std::sort(cells.begin(), cells.end());
    std::vector<uint32_t> kept;
    for (size_t first = 0; first < cells.size();)
    {
        size_t last = first + 1;
        while (last < cells.size() && cells[last].SameCell(cells[first]))
            ++last;
        kept.push_back(Representative(positions, cells.data() + first, cells.data() + last));
        first = last;
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}
} // namespace Base::Features
