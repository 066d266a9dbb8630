#include "velm/Base/Features/Fpfh.h"

#include "velm/Base/SurfelData/CKdTree3D.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

namespace Base::Features
{
namespace
{
constexpr size_t kSubBins = kFpfhBins / 3;
constexpr double kPi = 3.14159265358979323846;

using CHistogram = std::array<double, kFpfhBins>;

struct SNeighbour
{
    uint32_t uiIndex;
    double dDistance;
};

// Unit normals in double, and which points have one: a zero or non-finite normal cannot orient a frame.
void UnitNormals(const std::vector<CbVector3f>& normals, std::vector<CbVector3d>& unit, std::vector<uint8_t>& usable)
{
    unit.resize(normals.size());
    usable.assign(normals.size(), 0);
    for (size_t i = 0; i < normals.size(); ++i)
    {
        const CbVector3d n(normals[i]);
        const double l = n.Length();
        if (std::isfinite(l) && l > 0.0)
        {
            unit[i] = n * (1.0 / l);
            usable[i] = 1;
        }
    }
}

// Bin of a value in [-1, 1]; rounding may carry a value a hair beyond either end, which still counts for
// the end bin.
size_t Bin(double value)
{
    const double t = (value + 1.0) * (0.5 * static_cast<double>(kSubBins));
    if (!(t > 0.0))
        return 0;
    return std::min(static_cast<size_t>(t), kSubBins - 1);
}

// The directions of the inner edges of the angle bins, -pi + 2 pi k / 11 for k = 1..10: the first five
// below zero, the others above (none is at zero, as 11 is odd).
struct SAngleEdges
{
    double aCos[kSubBins - 1];
    double aSin[kSubBins - 1];
    SAngleEdges()
    {
        for (size_t k = 1; k < kSubBins; ++k)
        {
            const double e = -kPi + 2.0 * kPi * static_cast<double>(k) / static_cast<double>(kSubBins);
            aCos[k - 1] = std::cos(e);
            aSin[k - 1] = std::sin(e);
        }
    }
};

// Made on first use, so that no other library's static initialiser can find it unmade.
const SAngleEdges& AngleEdges()
{
    static const SAngleEdges edges;
    return edges;
}

// Bin of the angle atan2(y, x) over [-pi, pi], without the atan2, which would cost as much as the rest of
// a pair: the angle lies at or above an edge on its own side of the x axis when the edge's direction turns
// towards (x, y), and above every edge on the other side when y >= 0.
size_t AngleBin(double y, double x)
{
    constexpr size_t kHalf = kSubBins / 2;
    const SAngleEdges& edges = AngleEdges();
    const size_t first = y >= 0.0 ? kHalf : 0;
    size_t bin = first;
    for (size_t k = first; k < first + kHalf; ++k)
        bin += edges.aCos[k] * y - edges.aSin[k] * x >= 0.0 ? 1 : 0;
    return bin;
}

// Adds the Darboux-frame features of the pair (a, b) at distance `distance` to the histogram; false when
// the frame is undefined (the source normal along the line joining the points). The source is the point
// whose normal makes the smaller angle with the line towards the other, the lower index on a tie, so the
// pair gives the same bins, bit for bit, seen from either point: the line is formed by one subtraction,
// which flips its sign exactly when the points swap.
bool AddPair(const CbVector3d& pa, const CbVector3d& na, uint32_t a, const CbVector3d& pb, const CbVector3d& nb,
             uint32_t b, double distance, CHistogram& histogram)
{
    const CbVector3d line = (pb - pa) * (1.0 / distance);
    const double ca = na.Dot(line);
    const double cb = -nb.Dot(line);
    const bool fromA = ca > cb || (ca == cb && a < b);
    const CbVector3d& u = fromA ? na : nb;
    const CbVector3d& target = fromA ? nb : na;
    const CbVector3d toTarget = fromA ? line : -line;
    CbVector3d v = u.Cross(toTarget);
    const double lv = v.Length();
    if (!(lv > 1e-12))
        return false;
    v *= 1.0 / lv;
    const CbVector3d w = u.Cross(v);
    histogram[Bin(v.Dot(target))] += 1.0;                                    // alpha
    histogram[kSubBins + Bin(u.Dot(toTarget))] += 1.0;                       // phi
    histogram[2 * kSubBins + AngleBin(w.Dot(target), u.Dot(target))] += 1.0; // theta
    return true;
}

// Runs body over [0, count) in chunks, on the pool when there is one. Each index writes only its own
// slots, so the pool changes nothing but the speed.
void ForEachChunk(CThreadPool* pool, size_t count, size_t grain, const std::function<void(size_t, size_t)>& body)
{
    if (!pool)
    {
        body(0, count);
        return;
    }
    pool->ParallelFor(count, grain, [&](size_t begin, size_t end, uint32_t) { body(begin, end); });
}

void CheckInput(const std::vector<CbVector3f>& positions, const std::vector<CbVector3f>& normals, const IKdTree3D& tree,
                const SFpfhOptions& options)
{
    if (normals.size() != positions.size())
        throw std::invalid_argument("ComputeFpfh: " + std::to_string(positions.size()) + " positions, but " +
                                    std::to_string(normals.size()) + " normals");
    if (positions.size() > 0xFFFFFFFFu)
        throw std::invalid_argument("ComputeFpfh: more points than 32-bit indices can name");
    if (const auto* kd = dynamic_cast<const CKdTree3D*>(&tree); kd && kd->GetCount() != positions.size())
        throw std::invalid_argument("ComputeFpfh: the kd-tree holds " + std::to_string(kd->GetCount()) +
                                    " points, the positions are " + std::to_string(positions.size()));
    if (!(std::isfinite(options.fRadius) && options.fRadius > 0.0f))
        throw std::invalid_argument("ComputeFpfh: the radius must be finite and positive, got " +
                                    std::to_string(options.fRadius));
}

// Scales each sub-histogram to sum 1 and stores it as float; a sub-histogram without mass stays zero.
CFpfh Normalised(const CHistogram& h)
{
    CFpfh out{};
    for (size_t s = 0; s < 3; ++s)
    {
        double sum = 0.0;
        for (size_t b = 0; b < kSubBins; ++b)
            sum += h[s * kSubBins + b];
        if (!(sum > 0.0))
            continue;
        for (size_t b = 0; b < kSubBins; ++b)
            out[s * kSubBins + b] = static_cast<float>(h[s * kSubBins + b] / sum);
    }
    return out;
}
} // namespace

std::vector<CFpfh> ComputeFpfh(const std::vector<CbVector3f>& positions, const std::vector<CbVector3f>& normals,
                               const IKdTree3D& tree, const SFpfhOptions& options, CThreadPool* pool)
{
    CheckInput(positions, normals, tree, options);
    const size_t n = positions.size();
    std::vector<CbVector3d> unit;
    std::vector<uint8_t> usable;
    UnitNormals(normals, unit, usable);
    // One more than asked for, as the point itself is among its nearest; no more than there are points.
    const uint32_t query = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{options.uiMaxNeighbours} + 1, n));

    // First pass: each point's neighbours and its simple histogram (SPFH), both kept for the second.
    std::vector<std::vector<SNeighbour>> neighbours(n);
    std::vector<CHistogram> spfh(n);
    ForEachChunk(pool, n, 64, [&](size_t begin, size_t end) {
        std::vector<SKdTreeNeighbour> found;
        for (size_t i = begin; i < end; ++i)
        {
            CHistogram& h = spfh[i];
            h.fill(0.0);
            if (!usable[i] || options.uiMaxNeighbours == 0)
                continue;
            const CbVector3d p(positions[i]);
            found.clear();
            tree.FindKNearest(found, positions[i], query, options.fRadius);
            std::vector<SNeighbour>& mine = neighbours[i];
            mine.reserve(found.size());
            double pairs = 0.0;
            for (const SKdTreeNeighbour& f : found)
            {
                if (f.uiIndex >= n)
                    throw std::invalid_argument("ComputeFpfh: the kd-tree answers point " + std::to_string(f.uiIndex) +
                                                " of " + std::to_string(n) + " positions");
                if (f.uiIndex == i || !usable[f.uiIndex] || mine.size() == options.uiMaxNeighbours)
                    continue;
                const CbVector3d q(positions[f.uiIndex]);
                const double distance = (q - p).Length();
                // A coincident point has no line to it, and its weight would be infinite.
                if (!(distance > 0.0))
                    continue;
                mine.push_back(SNeighbour{f.uiIndex, distance});
                if (AddPair(p, unit[i], static_cast<uint32_t>(i), q, unit[f.uiIndex], f.uiIndex, distance, h))
                    pairs += 1.0;
            }
            if (pairs > 0.0)
                for (double& b : h)
                    b /= pairs;
        }
    });

    // Second pass: the point's own SPFH plus the mean of its neighbours' weighted by inverse distance.
    std::vector<CFpfh> result(n);
    ForEachChunk(pool, n, 256, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i)
        {
            const std::vector<SNeighbour>& mine = neighbours[i];
            if (mine.empty())
            {
                result[i].fill(0.0f);
                continue;
            }
            CHistogram around{};
            for (const SNeighbour& q : mine)
            {
                const double weight = 1.0 / q.dDistance;
                const CHistogram& s = spfh[q.uiIndex];
                for (size_t b = 0; b < kFpfhBins; ++b)
                    around[b] += weight * s[b];
            }
            const double share = 1.0 / static_cast<double>(mine.size());
            CHistogram h = spfh[i];
            for (size_t b = 0; b < kFpfhBins; ++b)
                h[b] += share * around[b];
            result[i] = Normalised(h);
        }
    });
    return result;
}
} // namespace Base::Features
