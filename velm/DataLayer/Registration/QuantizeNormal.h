#pragma once

#include "velm/Frame/CbVector3.h"

#include <cstdint>

namespace DataLayer
{
// The 16-bit code of a direction (any length): three sign bits and a cell of the octant's face.
// (0, 0, 0) and directions with a NaN or infinite component give 8128, "no normal".
uint16_t QuantizeNormal(const CbVector3f& direction);
} // namespace DataLayer
