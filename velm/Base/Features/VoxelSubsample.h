#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>
#include <vector>

namespace Base::Features
{
// One point per occupied cube of edge `voxel` (cubes aligned at the origin, index = floor(coordinate / voxel)):
// the point of the cube nearest the mean of the cube's points, ties to the lower index. Returned ascending.
// Throws std::invalid_argument for a voxel that is not finite and > 0. Non-finite positions are skipped.
//
// The cube index and the mean are taken in double, so a point exactly on a cube face belongs to the cube
// above it, as the floor says, however large the coordinates are against the edge.
std::vector<uint32_t> VoxelSubsample(const std::vector<CbVector3f>& positions, float voxel);
} // namespace Base::Features
