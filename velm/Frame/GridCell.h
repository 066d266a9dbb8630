#pragma once

#include <cstdint>

// The cell of a grid that a coordinate falls in, given as its offset from the grid's origin in cells:
// the floor, clamped to [0, last], a NaN in cell 0. Without a floor call, which the compiler cannot
// inline on the baseline instruction set: the floor of a value of at least 1 is its truncation.
inline int64_t ClampedCell(double offsetInCells, int64_t last)
{
    if (!(offsetInCells >= 1.0))
        return 0;
    return offsetInCells >= static_cast<double>(last) ? last : static_cast<int64_t>(offsetInCells);
}
