#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <vector>

namespace Base
{
// A permutation of the indices of the given positions whose every prefix spreads over the whole
// surface: the points are binned into an octree over their bounding cube, and level by level each
// cell not yet sampled gives one point, the cells of a level visited in a shuffled order. Positions
// that share the finest cell follow last, shuffled. A fixed seed makes the order a function of the
// positions alone.
std::vector<uint32_t> ComputeSampleOrder(const std::vector<CbVector3f>& positions);
} // namespace Base
