#pragma once

#include "velm/Base/Interfaces/ISurfelCollection.h"
#include "velm/Frame/CThreadPool.h"
#include "velm/Frame/CbVector3.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Base::Features
{
constexpr size_t kFpfhBins = 33; // three angle features of 11 bins each
using CFpfh = std::array<float, kFpfhBins>;

struct SFpfhOptions
{
    float fRadius = 0.0f;           // neighbourhood radius, same units as the positions
    uint32_t uiMaxNeighbours = 100; // the nearest ones within the radius
};

// FPFH of every point of a point set (typically a voxel subsample), with unit normals, over a kd-tree built on
// exactly these positions. Each of the three 11-bin sub-histograms of a point with neighbours sums to 1 (so a
// descriptor's mass is 3); a point without neighbours gets all zeros. Loops run on the pool's threads (null: the
// calling thread), the same result for every thread count. Throws std::invalid_argument when the sizes disagree,
// the tree's count differs from the positions', or the radius is not finite and > 0.
//
// Layout: bins 0-10 alpha, 11-21 phi (both over [-1, 1]), 22-32 theta (over [-pi, pi]), each from low to
// high. The neighbours of a point are the nearest uiMaxNeighbours other points within the radius (as the
// tree finds them); of those, points whose normal is zero or not finite and points that coincide with it
// are left out, and a point whose own normal is zero or not finite has no neighbours. The neighbour
// weights are 1 / distance, so the descriptor depends on the unit of length, not only on the shape. The
// tree's count is checked when it is a CKdTree3D; any tree that answers an index beyond the positions
// makes the call throw std::invalid_argument.
std::vector<CFpfh> ComputeFpfh(const std::vector<CbVector3f>& positions, const std::vector<CbVector3f>& normals,
                               const IKdTree3D& tree, const SFpfhOptions& options, CThreadPool* pool = nullptr);
} // namespace Base::Features
