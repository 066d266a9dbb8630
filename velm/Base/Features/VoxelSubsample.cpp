#include "velm/Base/Features/VoxelSubsample.h"

#include "velm/Frame/RadixSort.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

// floor() without the library call: a quotient of that size or more is an integer already.
double Floor(double x)
{
    if (!(std::fabs(x) < 4503599627370496.0)) // 2^52
        return x;
    const double t = static_cast<double>(static_cast<int64_t>(x));
    return t > x ? t - 1.0 : t;
}

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
        cells.push_back(
            SCellPoint{{Floor(p.x / edge), Floor(p.y / edge), Floor(p.z / edge)}, static_cast<uint32_t>(i)});
    }
    // Each cube one run in index order, without a hash table's iteration order: cubes numbered from
    // the lowest occupied one fit one integer key when the points span fewer than 2^21 cubes an axis
    // (and are radix-sorted), otherwise the cube indices are compared as they are.
    double low[3] = {0.0, 0.0, 0.0}, high[3] = {0.0, 0.0, 0.0};
    for (size_t c = 0; c < cells.size(); ++c)
        for (int a = 0; a < 3; ++a)
        {
            low[a] = c == 0 ? cells[c].aCell[a] : std::min(low[a], cells[c].aCell[a]);
            high[a] = c == 0 ? cells[c].aCell[a] : std::max(high[a], cells[c].aCell[a]);
        }
    constexpr double kAxisCubes = 2097152.0; // 2^21
    if (high[0] - low[0] < kAxisCubes && high[1] - low[1] < kAxisCubes && high[2] - low[2] < kAxisCubes)
    {
        std::vector<uint64_t> keys(cells.size());
        std::vector<uint32_t> order(cells.size());
        for (size_t c = 0; c < cells.size(); ++c)
        {
            const SCellPoint& e = cells[c];
            keys[c] = (static_cast<uint64_t>(e.aCell[0] - low[0]) << 42) |
                      (static_cast<uint64_t>(e.aCell[1] - low[1]) << 21) | static_cast<uint64_t>(e.aCell[2] - low[2]);
            order[c] = static_cast<uint32_t>(c);
        }
        RadixSortByKey(keys, order, 63);
        std::vector<SCellPoint> sorted(cells.size());
        for (size_t c = 0; c < cells.size(); ++c)
            sorted[c] = cells[order[c]];
        cells.swap(sorted);
    }
    else
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
