#pragma once

#include "velm/Frame/CbMatrix4.h"
#include "velm/Frame/CbVector3.h"

#include <string>

namespace Pipeline
{
// Rigid motions in the library's layout (p maps to p * M, translation in e12..e14; A * B applies A
// first).

// The rotation part of m applied to a direction.
CbVector3d RotateDirection(const CbMatrix4Rd& m, const CbVector3d& direction);
// The rotation by `degrees` about the axis (any length but 0) through centre.
CbMatrix4Rd TurnAbout(const CbVector3d& centre, const CbVector3d& axis, double degrees);
// The angle (degrees) of the rotation that takes the rotation part of a onto that of b.
double AngleBetween(const CbMatrix4Rd& a, const CbMatrix4Rd& b);
// The same motion with its translation multiplied by factor (a change of length unit).
CbMatrix4Rd ScaleTranslation(CbMatrix4Rd m, double factor);

// A rigid motion given in the usual layout, the 16 numbers row by row (p maps to M p for a column
// vector p: rotation in the upper left 3x3, translation in the last column), in the library's layout.
// Throws std::invalid_argument, starting with `what`, for a non-finite number, a last row other than
// 0 0 0 1, or a 3x3 part that is not a rotation (columns orthonormal to 1e-4, determinant positive).
CbMatrix4Rd RigidFromUsualRows(const double rows[16], const std::string& what);
} // namespace Pipeline
