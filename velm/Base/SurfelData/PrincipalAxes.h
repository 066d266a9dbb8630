#pragma once

#include "velm/Frame/CbVector3.h"

#include <cmath>
#include <cstddef>

namespace Base
{
// The spread of a few points: the eigenvalues of their covariance in decreasing order (the mean
// squared distance from their centroid along each axis) and the unit axes that belong to them.
struct SPrincipalAxes
{
    double aValues[3] = {0.0, 0.0, 0.0};
    CbVector3d aAxes[3];
};

// Principal axes of points given relative to a reference point near them (so that their distance
// from the origin costs no digits). The least eigenvalue of the symmetric 3x3 covariance comes from
// its characteristic polynomial, the axes from cross products of its rows; where two eigenvalues lie
// too close for that to resolve the axes (or one is 0), an iterative solver takes over. No points:
// all zero.
// With EAxes::Least the first two axes may be left zero: a caller that wants only the normal of the
// best plane spares their work.
enum class EAxes
{
    All,
    Least
};
SPrincipalAxes PrincipalAxes(const CbVector3d* points, size_t count, EAxes wanted = EAxes::All);

// The RMS distance of the points from their best plane: the square root of the least value.
inline double PlaneResidual(const SPrincipalAxes& axes)
{
    return axes.aValues[2] > 0.0 ? std::sqrt(axes.aValues[2]) : 0.0;
}
} // namespace Base
